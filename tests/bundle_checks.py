"""Independent checks of a routed bundle: every lane against its own ports,
every pair of lanes against each other, every lane against the obstacles.

Written from the geometry alone (no router code): lanes are N x 2 corner
point arrays, ports are (x, y) pairs, obstacles (x0, y0, x1, y1) boxes.
"""

import itertools

import numpy as np

from route_checks import TOL, inside_length, segment_distance


def segments(lane):
    s = np.asarray(lane, dtype=float)
    return [(tuple(s[i]), tuple(s[i + 1])) for i in range(len(s) - 1)]


def shape_problems(lane, start, end):
    """Why a lane is not an axis-parallel polyline from `start` to `end` (empty: it is)."""
    s = np.asarray(lane, dtype=float)
    problems = []
    if s.ndim != 2 or s.shape[1] != 2 or len(s) < 2:
        return [f"not a polyline: shape {s.shape}"]
    if tuple(s[0]) != tuple(map(float, start)):
        problems.append(f"starts at {tuple(s[0])}, port {tuple(start)}")
    if tuple(s[-1]) != tuple(map(float, end)):
        problems.append(f"ends at {tuple(s[-1])}, port {tuple(end)}")
    for a, b in segments(s):
        dx, dy = abs(b[0] - a[0]), abs(b[1] - a[1])
        if dx > 0 and dy > 0:
            problems.append(f"diagonal segment {a} -> {b}")
        elif dx == 0 and dy == 0:
            problems.append(f"zero-length segment at {a}")
    return problems


def _shared_length(a, b, c, d):
    """Length two collinear axis-parallel segments share (0 when not collinear)."""
    if abs(a[1] - b[1]) <= TOL and abs(c[1] - d[1]) <= TOL and abs(a[1] - c[1]) <= TOL:
        lo, hi = max(min(a[0], b[0]), min(c[0], d[0])), min(max(a[0], b[0]), max(c[0], d[0]))
        return max(0.0, hi - lo)
    if abs(a[0] - b[0]) <= TOL and abs(c[0] - d[0]) <= TOL and abs(a[0] - c[0]) <= TOL:
        lo, hi = max(min(a[1], b[1]), min(c[1], d[1])), min(max(a[1], b[1]), max(c[1], d[1]))
        return max(0.0, hi - lo)
    return 0.0


def pair_conflicts(lane_a, lane_b, required):
    """(touches, overlaps, too_close) of two lanes: they meet at a point, they
    share a stretch, or they come closer than `required` somewhere."""
    touches = overlaps = too_close = False
    for (a, b), (c, d) in itertools.product(segments(lane_a), segments(lane_b)):
        dist = segment_distance(a, b, c, d)
        if dist <= TOL:
            if _shared_length(a, b, c, d) > TOL:
                overlaps = True
            else:
                touches = True
        if dist < required - 1e-6:
            too_close = True
    return touches, overlaps, too_close


def smallest_port_gap(ports):
    pts = np.asarray(ports, dtype=float)
    return min(float(np.hypot(*(p - q))) for p, q in itertools.combinations(pts, 2))


def bundle_report(lanes, starts, ends, spacing, obstacles=()):
    """Counts of what is wrong with a routed bundle.

    shape       lanes that do not run axis-parallel from their start port to
                their end port
    crossings   lane pairs that meet at a point
    overlaps    lane pairs that share a stretch
    spacing     lane pairs closer than the spacing anywhere (closer than 0.8 of
                the smallest port gap where ports are closer than the spacing)
    obstacles   lanes with length inside an obstacle's interior
    """
    report = dict(shape=0, crossings=0, overlaps=0, spacing=0, obstacles=0)
    gaps = [smallest_port_gap(starts), smallest_port_gap(ends)] if len(lanes) > 1 else []
    required = min([spacing] + [0.8 * g for g in gaps])
    for lane, s, e in zip(lanes, starts, ends):
        report["shape"] += bool(shape_problems(lane, s, e))
        segs = segments(lane)
        if any(inside_length(a, b, tuple(map(float, o))) > 1e-9 for o in obstacles for a, b in segs):
            report["obstacles"] += 1
    for la, lb in itertools.combinations(lanes, 2):
        touches, overlaps, too_close = pair_conflicts(la, lb, required)
        report["crossings"] += touches
        report["overlaps"] += overlaps
        report["spacing"] += too_close
    return report


def order_across(lanes, at):
    """Indices of the lanes sorted by their coordinate across a straight
    stretch: `at` = (axis, position) picks, for every lane, the segment that
    crosses the line axis = position and returns the lanes by the other
    coordinate there."""
    axis, pos = at
    keys = []
    for i, lane in enumerate(lanes):
        for a, b in segments(lane):
            lo, hi = sorted((a[axis], b[axis]))
            if lo - TOL <= pos <= hi + TOL and abs(a[1 - axis] - b[1 - axis]) <= TOL:
                keys.append((a[1 - axis], i))
                break
    return [i for _, i in sorted(keys)]
