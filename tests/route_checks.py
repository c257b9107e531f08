"""Independent checks of the invariants every routed skeleton must satisfy."""

import numpy as np

TOL = 1e-9


def heading(a, b):
    dx, dy = b[0] - a[0], b[1] - a[1]
    if abs(dx) > TOL and abs(dy) <= TOL:
        return (1, 0) if dx > 0 else (-1, 0)
    if abs(dy) > TOL and abs(dx) <= TOL:
        return (0, 1) if dy > 0 else (0, -1)
    raise AssertionError(f"segment {a} -> {b} is not axis-parallel or has zero length")


def unit(t):
    t = np.asarray(t, dtype=float)
    return tuple(int(v) for v in np.sign(t))


def inside_length(a, b, box, tol=TOL):
    """Length of segment a-b inside the open interior of box."""
    x0, y0, x1, y1 = box
    if abs(a[1] - b[1]) <= tol:  # horizontal
        if not (y0 + tol < a[1] < y1 - tol):
            return 0.0
        lo, hi = max(min(a[0], b[0]), x0), min(max(a[0], b[0]), x1)
    else:
        if not (x0 + tol < a[0] < x1 - tol):
            return 0.0
        lo, hi = max(min(a[1], b[1]), y0), min(max(a[1], b[1]), y1)
    return max(0.0, hi - lo - tol)


def segment_distance(a, b, c, d):
    """Euclidean distance between two axis-parallel segments."""
    def clamp(v, lo, hi):
        return max(lo, min(hi, v))
    ax0, ax1 = sorted((a[0], b[0])); ay0, ay1 = sorted((a[1], b[1]))
    cx0, cx1 = sorted((c[0], d[0])); cy0, cy1 = sorted((c[1], d[1]))
    dx = max(0.0, cx0 - ax1, ax0 - cx1)
    dy = max(0.0, cy0 - ay1, ay0 - cy1)
    return float(np.hypot(dx, dy))


def check_shape(skel, start, end, start_tangent, end_tangent):
    """Exact ends, tangents, axis-parallel, no zero-length, collinear or reversing steps."""
    s = np.asarray(skel, dtype=float)
    assert s.ndim == 2 and s.shape[1] == 2 and len(s) >= 2, s
    assert tuple(s[0]) == tuple(map(float, start)), (s[0], start)
    assert tuple(s[-1]) == tuple(map(float, end)), (s[-1], end)
    heads = [heading(s[i], s[i + 1]) for i in range(len(s) - 1)]
    assert heads[0] == unit(start_tangent), (heads[0], start_tangent)
    assert heads[-1] == unit(end_tangent), (heads[-1], end_tangent)
    for h1, h2 in zip(heads, heads[1:]):
        assert h1 != h2, f"collinear interior point in {s}"
        assert h1 != (-h2[0], -h2[1]), f"reversal in {s}"
    return s


def runs_ok(s, r):
    lens = [abs(s[i + 1][0] - s[i][0]) + abs(s[i + 1][1] - s[i][1]) for i in range(len(s) - 1)]
    if len(lens) == 1:
        return True
    need = [r] + [2 * r] * (len(lens) - 2) + [r]
    return all(l >= n - 1e-9 for l, n in zip(lens, need))


def violations(s, obstacles=(), margin=0.0, keep_outs=(), ports=()):
    """Total length inside grown obstacles and keep-out boxes.  The margin is
    waived for an obstacle holding a port within it."""
    total = 0.0
    for o in obstacles:
        x0, y0, x1, y1 = (float(v) for v in o)
        g = (x0 - margin, y0 - margin, x1 + margin, y1 + margin)
        if any(g[0] - TOL <= p[0] <= g[2] + TOL and g[1] - TOL <= p[1] <= g[3] + TOL for p in ports):
            g = (x0, y0, x1, y1)
        total += sum(inside_length(s[i], s[i + 1], g) for i in range(len(s) - 1))
    for k in keep_outs:
        total += sum(inside_length(s[i], s[i + 1], tuple(map(float, k))) for i in range(len(s) - 1))
    return total


def segments(s):
    return [(tuple(map(float, s[i])), tuple(map(float, s[i + 1]))) for i in range(len(s) - 1)]


def contact(p, q, box, tol=TOL):
    """Does segment p-q run through the open interior of box, or along one of its sides
    for a positive length?  (Meeting the box at a single point is free.)"""
    x0, y0, x1, y1 = (float(v) for v in box)
    if abs(p[1] - q[1]) <= tol:  # horizontal
        lo, hi = sorted((p[0], q[0]))
        overlap = min(hi, x1) - max(lo, x0)
        return overlap > tol and y0 - tol <= p[1] <= y1 + tol
    lo, hi = sorted((p[1], q[1]))
    overlap = min(hi, y1) - max(lo, y0)
    return overlap > tol and x0 - tol <= p[0] <= x1 + tol


def meeting(a, b, tol=TOL):
    """How two axis-parallel segments of different routes meet: None (apart),
    'cross' (perpendicular, at a point inside both), else 'touch'."""
    ah = abs(a[0][1] - a[1][1]) <= tol
    bh = abs(b[0][1] - b[1][1]) <= tol
    ax0, ax1 = sorted((a[0][0], a[1][0])); ay0, ay1 = sorted((a[0][1], a[1][1]))
    bx0, bx1 = sorted((b[0][0], b[1][0])); by0, by1 = sorted((b[0][1], b[1][1]))
    if ax1 < bx0 - tol or bx1 < ax0 - tol or ay1 < by0 - tol or by1 < ay0 - tol:
        return None
    if ah != bh:
        h, v = (a, b) if ah else (b, a)
        x, y = v[0][0], h[0][1]
        hx0, hx1 = sorted((h[0][0], h[1][0])); vy0, vy1 = sorted((v[0][1], v[1][1]))
        if hx0 + tol < x < hx1 - tol and vy0 + tol < y < vy1 - tol:
            return "cross"
    return "touch"


def check_negotiated(skels, port_centers, port_tangents, obstacles=()):
    """Every invariant of a negotiated result; returns the number of crossings per
    route pair {(i, j): n}."""
    pc = np.asarray(port_centers, dtype=float)
    pt = np.asarray(port_tangents, dtype=float)
    assert len(skels) == len(pc)
    for r, s in enumerate(skels):
        assert s is not None, f"route {r} unrouted"
        check_shape(s, pc[r, 0], pc[r, 1], pt[r, 0], pt[r, 1])
        for p, q in segments(s):
            for o in obstacles:
                assert not contact(p, q, o), f"route {r}: segment {p}-{q} enters or runs along obstacle {o}"
    crossings = {}
    for i in range(len(skels)):
        for j in range(i + 1, len(skels)):
            for a in segments(skels[i]):
                for b in segments(skels[j]):
                    m = meeting(a, b)
                    assert m != "touch", f"routes {i} and {j} touch: {a} {b}"
                    if m == "cross":
                        crossings[(i, j)] = crossings.get((i, j), 0) + 1
    return crossings


def arc_points(skel, r, rp=None, samples=256):
    """Points of every bend's quarter arc (radius r; min(r, rp) next to a port)."""
    s = np.asarray(skel, dtype=float)
    rp = r if rp is None else rp
    out = []
    for k in range(1, len(s) - 1):
        a, c, b = s[k - 1], s[k], s[k + 1]
        d_in = (c - a) / np.abs(c - a).sum()
        d_out = (b - c) / np.abs(b - c).sum()
        rho = min(r, rp) if k in (1, len(s) - 2) else r
        o = c - rho * d_in + rho * d_out
        t = np.linspace(0.0, np.pi / 2, samples)
        # From the end of the incoming run round to the start of the outgoing one.
        start, end = c - rho * d_in - o, c + rho * d_out - o
        out.append(o + np.outer(np.cos(t), start) + np.outer(np.sin(t), end))
    return np.concatenate(out) if out else np.zeros((0, 2))


def box_distance(points, box):
    """Distance of each point from a closed box (0 inside)."""
    x0, y0, x1, y1 = box
    dx = np.maximum.reduce([x0 - points[:, 0], np.zeros(len(points)), points[:, 0] - x1])
    dy = np.maximum.reduce([y0 - points[:, 1], np.zeros(len(points)), points[:, 1] - y1])
    return np.hypot(dx, dy)
