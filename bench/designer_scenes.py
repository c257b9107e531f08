"""Designer scenes that are feasible by construction, each with its witness routing.

Every scene is made backwards: first a clean witness routing is drawn (ribbons of
lanes at the pitch with concentric bends, or independent routes that need no
crossing), then its ends become ports on device boxes, then obstacles are
scattered where they keep clear of it.  The witness is checked by
`kelvane.check.check_routes`; a scene whose witness is not clean is a bug here
(`GeneratorError`).

Ribbons.  Lane 0 is the leftmost lane in the direction of travel and lane k runs k
pitches to its right.  At a bend the inner lane's arc has radius delta and each
lane outward one pitch more, so the arcs of neighbouring lanes are concentric and
one pitch apart.  A lane's run between two bends is at least the sum of their
radii and a port run at least its bend's radius, so the arcs fit (and the
checker's delta / 2 * delta rule holds).  An arc lies in its bend's corner square
(the r x r box inside the bend at the corner); obstacles, devices and other
ribbons keep clear of those squares, so they keep clear of the arcs.

Families (`FAMILIES`, sizes in `SIZES`, scattered obstacles `OBSTACLE_COUNTS`):

    jog          one ribbon, device bank to device bank, with a jog
    corner       one ribbon with one bend
    uturn        one ribbon turning back to the side it left (loopback)
    gap          one ribbon through a gap between two walls exactly its width
                 plus the clearance to both walls
    fanout       a 127 pitch bank to a 10 pitch bank (every lane jogs)
    two-bundles  two ribbons where each one's shortest road crosses the other,
                 routable without crossings
    independent  8 or 16 routes between ports on several devices, no crossing
    swap         n routes from one bank to a facing bank in reverse order: every
                 pair must cross once, so there is no clean witness; the scene
                 records the forced crossings, n (n - 1) / 2

    python bench/designer_scenes.py OUT_DIR [--quick] [--family NAME]

writes every scene as OUT_DIR/<name>.json and its witness as
OUT_DIR/<name>.witness.routes.json (a route file: `kelvane check` reads it;
`kelvane route OUT_DIR` skips it).
"""

from __future__ import annotations

import argparse
import json
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from kelvane.check import _box_gap, check_routes
from kelvane.scene import Scene, parse_scene, routes_document

DELTA, SPACING, PITCH, DBU, WIDTH = 5.0, 3.0, 4.0, 0.001, 0.5
FAN_START_PITCH, FAN_END_PITCH = 127.0, 10.0

FAMILIES = ("jog", "corner", "uturn", "gap", "fanout", "two-bundles", "independent", "swap")
SIZES = {"independent": (8, 16), "swap": (8, 16, 32)}
DEFAULT_SIZES = (4, 16, 64)
OBSTACLE_COUNTS = (0, 20, 100)

E, N, W, S = (1, 0), (0, 1), (-1, 0), (0, -1)


class GeneratorError(AssertionError):
    """The generator drew a scene it cannot vouch for (a bug here, not in a router)."""


@dataclass
class Item:
    """One generated scene with its witness (None for swaps) and where it comes from."""

    family: str
    size: int
    obstacles: int
    seed: int
    scene: dict
    witness: list[np.ndarray] | None
    radii: list[list[float]] = field(default_factory=list)  # bend radii of each witness route
    forced_crossings: int = 0
    witness_lengths: list[float] = field(default_factory=list)
    witness_bends: list[int] = field(default_factory=list)

    @property
    def name(self) -> str:
        return f"{self.family}-{self.size}-o{self.obstacles}-s{self.seed}"

    def parsed(self) -> Scene:
        return parse_scene(self.scene, self.name)


def sizes(family: str) -> tuple[int, ...]:
    return SIZES.get(family, DEFAULT_SIZES)


# --- geometry -------------------------------------------------------------------------

def _dirs(pts: np.ndarray) -> np.ndarray:
    d = np.diff(pts, axis=0)
    return np.sign(d).astype(int)


def _turn(d_in, d_out) -> int:
    """+1 for a left turn, -1 for a right turn."""
    return int(d_in[0] * d_out[1] - d_in[1] * d_out[0])


def ribbon(lane0, n: int, pitch: float = PITCH, delta: float = DELTA) -> tuple[list[np.ndarray], list[list[float]]]:
    """The n lanes of a ribbon whose lane 0 follows `lane0`, and every lane's bend radii.

    Lane k lies k pitches to the right of lane 0 on every run.  At a left turn
    lane 0 is the inner lane (radius delta), at a right turn lane n - 1 is.
    """
    pts = np.asarray(lane0, dtype=float)
    dirs = _dirs(pts)
    right = np.column_stack([dirs[:, 1], -dirs[:, 0]])
    turns = [_turn(dirs[i - 1], dirs[i]) for i in range(1, len(dirs))]
    lanes, radii = [], []
    for k in range(n):
        off = k * pitch
        q = [pts[0] + off * right[0]]
        q += [pts[i] + off * (right[i - 1] + right[i]) for i in range(1, len(pts) - 1)]
        q.append(pts[-1] + off * right[-1])
        lanes.append(np.array(q))
        radii.append([delta + (k if t > 0 else n - 1 - k) * pitch for t in turns])
    return lanes, radii


def run_need(n: int, before: int, after: int, pitch: float = PITCH, delta: float = DELTA) -> float:
    """Least length of lane 0's run between bends turning `before` and `after`
    (+1 left, -1 right, 0 for a port) so that every lane of an n-lane ribbon has
    room for both arcs."""
    def r(k: int, t: int) -> float:
        return 0.0 if t == 0 else delta + (k if t > 0 else n - 1 - k) * pitch
    # Lane k's run is lane 0's plus k pitches for each left turn at its ends, minus for each right turn.
    return max(r(k, before) + r(k, after) - k * pitch * (before + after) for k in range(n))


def corner_squares(points: np.ndarray, radii) -> np.ndarray:
    """The box inside each bend that holds its arc: r along the run before and r along the run after."""
    pts = np.asarray(points, dtype=float)
    dirs = _dirs(pts)
    out = []
    for i, r in enumerate(radii, start=1):
        c = pts[i]
        a, b = c - r * dirs[i - 1], c + r * dirs[i]
        out.append([min(a[0], b[0], c[0]), min(a[1], b[1], c[1]), max(a[0], b[0], c[0]), max(a[1], b[1], c[1])])
    return np.array(out, dtype=float).reshape(-1, 4)


def run_boxes(points: np.ndarray) -> np.ndarray:
    """Each straight run as a degenerate box (x0, y0, x1, y1)."""
    p = np.asarray(points, dtype=float)
    return np.column_stack([np.minimum(p[:-1], p[1:]), np.maximum(p[:-1], p[1:])])


def arc_room_problems(lanes, radii, groups, tol: float = 1e-9) -> list[str]:
    """Runs too short for their arcs, and arcs of different groups (ribbons,
    loose routes) closer than the spacing to each other's runs or arcs."""
    problems = []
    for k, (pts, rs) in enumerate(zip(lanes, radii)):
        lengths = np.abs(np.diff(pts, axis=0)).sum(axis=1)
        need = np.array([0.0, *rs]) + np.array([*rs, 0.0])
        for i in np.nonzero(lengths < need - tol)[0]:
            problems.append(f"lane {k} run {i} is {lengths[i]:g} long, its arcs need {need[i]:g}")
    shapes = [np.vstack([run_boxes(p), corner_squares(p, r)]) for p, r in zip(lanes, radii)]
    squares = [corner_squares(p, r) for p, r in zip(lanes, radii)]
    for a in range(len(lanes)):
        for b in range(len(lanes)):
            if groups[a] == groups[b] or not len(squares[a]):
                continue
            gap = _box_gap(squares[a][:, None, :], shapes[b][None])
            if (gap < SPACING - tol).any():
                problems.append(f"an arc of lane {a} is {gap.min():g} from lane {b}")
    return problems


def _keeps_clear(box: np.ndarray, keep: list[tuple[np.ndarray, float]]) -> bool:
    return all(not len(arr) or bool((_box_gap(box[None], arr) >= gap).all()) for arr, gap in keep)


def bank(ports, facing, depth: float, margin: float) -> list[float]:
    """A device box behind a row of ports on one of its edges, facing `facing`."""
    p = np.asarray(ports, dtype=float).reshape(-1, 2)
    lo, hi = p.min(axis=0), p.max(axis=0)
    fx, fy = facing
    if fx:
        edge = p[0, 0]
        x0, x1 = (edge - depth, edge) if fx > 0 else (edge, edge + depth)
        return [x0, lo[1] - margin, x1, hi[1] + margin]
    edge = p[0, 1]
    y0, y1 = (edge - depth, edge) if fy > 0 else (edge, edge + depth)
    return [lo[0] - margin, y0, hi[0] + margin, y1]


# --- families: each returns (lanes, radii, groups, devices, walls) -------------------------

def _slack(rng, lo: float, hi: float) -> float:
    return float(rng.integers(int(lo), int(hi) + 1))


def _device_size(rng) -> tuple[float, float]:
    return _slack(rng, 20, 50), _slack(rng, 6, 16)   # depth, margin beyond the outer ports


def _banks(rng, lanes, start_name: str = "dev A", end_name: str = "dev B") -> list[tuple[str, list[float]]]:
    """Device boxes holding the start ports and the end ports of a set of lanes."""
    d0 = tuple(_dirs(lanes[0])[0])
    d1 = tuple(_dirs(lanes[0])[-1])
    depth, margin = _device_size(rng)
    starts = [l[0] for l in lanes]
    ends = [l[-1] for l in lanes]
    return [(start_name, bank(starts, d0, depth, margin)),
            (end_name, bank(ends, (-d1[0], -d1[1]), *_device_size(rng)))]


def _jog_lane0(rng, n: int, turn: int, tail: float = 0.0) -> np.ndarray:
    l0 = run_need(n, 0, turn) + _slack(rng, 10, 80)
    jog = run_need(n, turn, -turn) + _slack(rng, 0, 60)
    l2 = run_need(n, -turn, 0) + _slack(rng, 10, 80) + tail
    return np.array([(0, 0), (l0, 0), (l0, turn * jog), (l0 + l2, turn * jog)], dtype=float)


def family_jog(rng, n):
    lanes, radii = ribbon(_jog_lane0(rng, n, int(rng.choice([1, -1]))), n)
    return lanes, radii, [0] * n, _banks(rng, lanes), []


def family_corner(rng, n):
    turn = int(rng.choice([1, -1]))
    l0 = run_need(n, 0, turn) + _slack(rng, 10, 120)
    l1 = run_need(n, turn, 0) + _slack(rng, 10, 120)
    lanes, radii = ribbon(np.array([(0, 0), (l0, 0), (l0, turn * l1)], dtype=float), n)
    return lanes, radii, [0] * n, _banks(rng, lanes), []


def family_uturn(rng, n):
    turn = int(rng.choice([1, -1]))
    # Little more than the arcs need: the witness's length is the yardstick, so no needless detour.
    l0 = run_need(n, 0, turn) + _slack(rng, 0, 10)
    rise = run_need(n, turn, turn) + _slack(rng, 0, 40)
    # Loopback: both banks on one device's edge; otherwise two devices, the end bank offset.
    loopback = rng.random() < 0.5
    l2 = l0 if loopback else max(run_need(n, turn, 0), l0 + _slack(rng, -40, 40))
    lanes, radii = ribbon([(0, 0), (l0, 0), (l0, turn * rise), (l0 - l2, turn * rise)], n)
    starts, ends = np.array([l[0] for l in lanes]), np.array([l[-1] for l in lanes])
    depth, margin = _device_size(rng)
    if loopback:
        return lanes, radii, [0] * n, [("dev A", bank(np.vstack([starts, ends]), E, depth, margin))], []
    between = max(ends[:, 1].min() - starts[:, 1].max(), starts[:, 1].min() - ends[:, 1].max())
    margin = min(margin, (between - SPACING) / 2)   # the two boxes stay apart
    return lanes, radii, [0] * n, [("dev A", bank(starts, E, depth, margin)),
                                   ("dev B", bank(ends, E, _device_size(rng)[0], margin))], []


def family_gap(rng, n):
    width = (n - 1) * PITCH
    turn = int(rng.choice([1, -1, 0]))
    wall = _slack(rng, 10, 30)
    before = DELTA + width + _slack(rng, 10, 40)        # past the last bend's arcs
    after = _slack(rng, 20, 60)                          # before the end device
    if turn:
        lane0 = _jog_lane0(rng, n, turn, tail=before + wall + after)
        x_wall = lane0[1, 0] + before
    else:
        length = before + wall + after + _slack(rng, 20, 80)
        lane0 = np.array([(0, 0), (length, 0)], dtype=float)
        x_wall = before
    lanes, radii = ribbon(lane0, n)
    y_top, y_bottom = lane0[-1, 1], lane0[-1, 1] - width
    height = _slack(rng, 40, 120) + width
    half = SPACING / 2
    walls = [("wall N", [x_wall, y_top + half, x_wall + wall, y_top + half + height]),
             ("wall S", [x_wall, y_bottom - half - height, x_wall + wall, y_bottom - half])]
    return lanes, radii, [0] * n, _banks(rng, lanes), walls


def family_fanout(rng, n):
    c = (n - 1) / 2
    half = n // 2
    x_first = DELTA + _slack(rng, 20, 60)
    x_end = x_first + (half - 1) * FAN_END_PITCH + DELTA + _slack(rng, 20, 80)
    lanes, radii = [], []
    for k in range(n):
        ys, ye = FAN_START_PITCH * (c - k), FAN_END_PITCH * (c - k)
        rank = (k if k < half else n - 1 - k)
        x = x_first + (half - 1 - rank) * FAN_END_PITCH   # the inner lanes turn first
        lanes.append(np.array([(0, ys), (x, ys), (x, ye), (x_end, ye)], dtype=float))
        radii.append([DELTA, DELTA])
    devices = [("fibre array", bank([l[0] for l in lanes], E, _device_size(rng)[0], FAN_START_PITCH / 2)),
               ("chip", bank([l[-1] for l in lanes], W, *_device_size(rng)))]
    return lanes, radii, list(range(n)), devices, []


def family_two_bundles(rng, n):
    """A: west bank, east then north to a bank above.  B: south bank below A's
    run, under A and past its corner, then north and east to a bank on the east
    side above A's run.  B's shortest road (north, then east) crosses A."""
    na, nb = n // 2, n - n // 2
    wa, wb = (na - 1) * PITCH, (nb - 1) * PITCH
    gap = 2 * PITCH + _slack(rng, 2, 20)
    x_b = _slack(rng, 20, 60)
    x_a = x_b + wb + 2 * DELTA + gap + _slack(rng, 0, 60)
    y_b1 = -wa - gap - _slack(rng, 0, 30)
    y_s = y_b1 - run_need(nb, 0, -1) - _slack(rng, 10, 60)
    x_b2 = x_a + wa + gap + DELTA + _slack(rng, 0, 40)
    y_b3 = wb + gap + DELTA + _slack(rng, 10, 60)
    y_b3 = max(y_b3, y_b1 + run_need(nb, 1, -1) + _slack(rng, 0, 20))
    y_n = y_b3 + DELTA + _slack(rng, 20, 60)
    x_e = x_b2 + run_need(nb, -1, 0) + _slack(rng, 10, 60)
    lanes_a, radii_a = ribbon([(0, 0), (x_a, 0), (x_a, y_n)], na)
    lanes_b, radii_b = ribbon([(x_b, y_s), (x_b, y_b1), (x_b2, y_b1), (x_b2, y_b3), (x_e, y_b3)], nb)
    devices = _banks(rng, lanes_a, "dev A1", "dev A2") + _banks(rng, lanes_b, "dev B1", "dev B2")
    return lanes_a + lanes_b, radii_a + radii_b, [0] * na + [1] * nb, devices, []


SIDE_NORMALS = (E, N, W, S)


def _port_on(rng, box, side: int) -> np.ndarray:
    x0, y0, x1, y1 = box
    t = rng.uniform(0.15, 0.85)
    if side in (0, 2):
        return np.array([x1 if side == 0 else x0, round(y0 + t * (y1 - y0))], dtype=float)
    return np.array([round(x0 + t * (x1 - x0)), y1 if side == 1 else y0], dtype=float)


def _connect(rng, pa, ha, pb, hb) -> np.ndarray | None:
    """A witness from pa leaving along ha to pb arriving along hb: straight, L, Z or U, or None."""
    ha, hb = np.array(ha), np.array(hb)
    rel = pb - pa
    margin = DELTA + SPACING
    if (ha == hb).all():
        ahead = float(rel @ ha)
        side = rel - ahead * ha
        if not side.any():
            return np.array([pa, pb]) if ahead > 0 else None
        if ahead < 2 * margin or np.abs(side).sum() < 2 * DELTA:
            return None
        t = rng.uniform(margin, ahead - margin)
        a = pa + round(t) * ha
        return np.array([pa, a, a + side, pb])
    if (ha == -hb).all():
        back = float(rel @ ha)
        side = rel - back * ha
        if np.abs(side).sum() < 2 * DELTA:
            return None
        t = max(margin, back + margin) + _slack(rng, 0, 10)
        a = pa + t * ha
        return np.array([pa, a, a + side, pb])
    corner = pa + float(rel @ ha) * ha
    if float((corner - pa) @ ha) < margin or float((pb - corner) @ hb) < margin:
        return None
    return np.array([pa, corner, pb])


def family_independent(rng, n):
    side = 160.0 + 30.0 * n
    for _ in range(100):
        devices = []
        for _ in range(400):
            if len(devices) == 4 + n // 4:
                break
            w, h = _slack(rng, 25, 70), _slack(rng, 25, 70)
            x, y = _slack(rng, 0, side - w), _slack(rng, 0, side - h)
            box = np.array([x, y, x + w, y + h])
            if not devices or (_box_gap(box[None], np.array(devices)) >= 50).all():
                devices.append(box)
        if len(devices) < 4 + n // 4:
            continue
        devs = np.array(devices)
        lanes, shapes, ports = [], [], []
        for _ in range(80 * n):
            if len(lanes) == n:
                break
            a, b = rng.choice(len(devs), size=2, replace=False)
            sa, sb = int(rng.integers(4)), int(rng.integers(4))
            pa, pb = _port_on(rng, devs[a], sa), _port_on(rng, devs[b], sb)
            ha = SIDE_NORMALS[sa]
            hb = tuple(-v for v in SIDE_NORMALS[sb])
            path = _connect(rng, pa, ha, pb, hb)
            if path is None:
                continue
            if ports and (np.hypot(*(np.array(ports) - pa).T).min() < 3 * SPACING
                          or np.hypot(*(np.array(ports) - pb).T).min() < 3 * SPACING):
                continue
            runs, arcs = run_boxes(path), corner_squares(path, [DELTA] * (len(path) - 2))
            mine = np.vstack([runs, arcs])
            # Runs and arcs keep spacing / 2 from every device, except that a port run touches its own
            # device at the port; and the spacing from every earlier route.
            if not (all(_keeps_clear(s, [(devs, SPACING / 2)]) for s in np.vstack([runs[1:-1], arcs]))
                    and _keeps_clear(runs[0], [(np.delete(devs, [a, b] if len(runs) == 1 else [a], axis=0),
                                                SPACING / 2)])
                    and _keeps_clear(runs[-1], [(np.delete(devs, [a, b] if len(runs) == 1 else [b], axis=0),
                                                 SPACING / 2)])
                    and all(_keeps_clear(s, [(sh, SPACING)]) for s in mine for sh in shapes)):
                continue
            lanes.append(path)
            shapes.append(mine)
            ports += [pa, pb]
        if len(lanes) == n:
            named = [(f"dev {chr(65 + i)}", list(map(float, d))) for i, d in enumerate(devs)]
            return lanes, [[DELTA] * (len(p) - 2) for p in lanes], list(range(n)), named, []
    raise GeneratorError(f"independent: could not place {n} routes")


BUILDERS = {"jog": family_jog, "corner": family_corner, "uturn": family_uturn, "gap": family_gap,
            "fanout": family_fanout, "two-bundles": family_two_bundles, "independent": family_independent}


# --- scenes ----------------------------------------------------------------------------

def _scatter(rng, count: int, region, keep: list[tuple[np.ndarray, float]], extent: float) -> list[list[float]]:
    """`count` boxes in `region` that keep the given distances from `keep` and spacing from each other."""
    boxes: list[np.ndarray] = []
    big = float(np.clip(extent / 20, 6, 40))
    x0, y0, x1, y1 = region
    for _ in range(400 * count + 1000):
        if len(boxes) == count:
            return [list(map(float, b)) for b in boxes]
        w, h = (round(v * 2) / 2 for v in rng.uniform(2, big, size=2))
        x, y = round(rng.uniform(x0, x1 - w) * 2) / 2, round(rng.uniform(y0, y1 - h) * 2) / 2
        box = np.array([x, y, x + w, y + h])
        if _keeps_clear(box, keep + [(np.array(boxes).reshape(-1, 4), SPACING)]):
            boxes.append(box)
    raise GeneratorError(f"could not scatter {count} obstacles")


def _route_name(family: str, groups: list[int], k: int) -> str:
    if family == "independent":
        return f"r{k}"
    if family == "two-bundles":
        return f"{'ab'[groups[k]]}{k - groups.index(groups[k])}"
    return f"l{k}"


def _routes(lanes, name_of) -> list[dict]:
    out = []
    for k, pts in enumerate(lanes):
        d0, d1 = _dirs(pts)[0], _dirs(pts)[-1]
        out.append({"name": name_of(k), "start": pts[0].tolist(), "start_heading": d0.tolist(),
                    "end": pts[-1].tolist(), "end_heading": d1.tolist()})
    return out


def _scene(description: str, routes: list[dict], obstacles: list) -> dict:
    return {"description": description, "delta": DELTA, "spacing": SPACING, "dbu": DBU, "width": WIDTH,
            "obstacles": obstacles, "routes": routes}


def _rng(family: str, size: int, count: int, seed: int) -> np.random.Generator:
    return np.random.default_rng([FAMILIES.index(family), size, count, seed])


def _swap(size: int, count: int, seed: int) -> Item:
    rng = _rng("swap", size, count, seed)
    pitch = FAN_END_PITCH
    length = 4 * DELTA + size * 2 * PITCH + _slack(rng, 60, 140)
    top = (size - 1) * pitch
    routes = [{"name": f"s{k}", "start": [0.0, k * pitch], "start_heading": list(E),
               "end": [length, top - k * pitch], "end_heading": list(E)} for k in range(size)]
    devices = [("dev A", bank([r["start"] for r in routes], E, *_device_size(rng))),
               ("dev B", bank([r["end"] for r in routes], W, *_device_size(rng)))]
    corridor = np.array([[0, -DELTA - SPACING, length, top + DELTA + SPACING]])
    keep = [(np.array([d for _, d in devices]), SPACING), (corridor, SPACING)]
    extent = max(length, top)
    pad = 0.25 * extent + 20
    obstacles = _scatter(rng, count, (-pad, -pad, length + pad, top + pad), keep, extent)
    forced = size * (size - 1) // 2
    scene = _scene(f"swap {size} routes, reversed order ({forced} crossings forced), {count} obstacles, seed {seed}",
                   routes, [{"name": n, "box": b} for n, b in devices] + obstacles)
    return Item("swap", size, count, seed, scene, None, forced_crossings=forced)


def make_item(family: str, size: int, count: int, seed: int) -> Item:
    """The scene of one corpus cell and seed, with its witness checked."""
    if family == "swap":
        return _swap(size, count, seed)
    rng = _rng(family, size, count, seed)
    lanes, radii, groups, devices, walls = BUILDERS[family](rng, size)
    problems = arc_room_problems(lanes, radii, groups)
    if problems:
        raise GeneratorError(f"{family}-{size}-o{count}-s{seed}: " + "; ".join(problems[:3]))
    fixed = devices + walls
    # Scattered obstacles keep spacing / 2 from every run and arc, the spacing from the port runs
    # (so that no port's clearance waiver reaches them) and from the devices and walls.
    runs = np.vstack([run_boxes(p) for p in lanes])
    arcs = np.vstack([corner_squares(p, r) for p, r in zip(lanes, radii)])
    stubs = np.vstack([run_boxes(p)[[0, -1]] for p in lanes])
    keep = [(runs, SPACING / 2), (arcs, SPACING / 2), (stubs, SPACING), (np.array([b for _, b in fixed]), SPACING)]
    pts = np.vstack(lanes + [np.array(b).reshape(2, 2) for _, b in fixed])
    lo, hi = pts.min(axis=0), pts.max(axis=0)
    extent = float((hi - lo).max())
    pad = 0.1 * extent + 20
    obstacles = _scatter(rng, count, (lo[0] - pad, lo[1] - pad, hi[0] + pad, hi[1] + pad), keep, extent)
    routes = _routes(lanes, lambda k: _route_name(family, groups, k))
    scene = _scene(f"{family} {size} routes, {count} obstacles, seed {seed}", routes,
                   [{"name": n, "box": [float(v) for v in b]} for n, b in fixed] + obstacles)
    item = Item(family, size, count, seed, scene, lanes, radii)
    report = check_routes(item.parsed(), lanes)
    if not report.clean:
        raise GeneratorError(f"{item.name}: witness not clean: " + "; ".join(map(str, report.findings[:3])))
    item.witness_lengths, item.witness_bends = report.lengths, report.bends
    return item


def corpus(seeds: int = 3, families=None) -> list[Item]:
    """Every family x size x obstacle count, `seeds` seeds each (0, 1, ...)."""
    return [make_item(f, n, c, s) for f in (families or FAMILIES) for n in sizes(f)
            for c in OBSTACLE_COUNTS for s in range(seeds)]


def write_corpus(items, folder) -> list[Path]:
    """Write each scene as <name>.json and its witness as <name>.witness.routes.json."""
    out = Path(folder)
    out.mkdir(parents=True, exist_ok=True)
    paths = []
    for item in items:
        path = out / f"{item.name}.json"
        path.write_text(json.dumps(item.scene, indent=1))
        paths.append(path)
        if item.witness is not None:
            doc = routes_document(item.parsed(), item.witness, family=item.family, size=item.size,
                                  obstacles=item.obstacles, seed=item.seed)
            doc["scene"] = path.name
            (out / f"{item.name}.witness.routes.json").write_text(json.dumps(doc))
    return paths


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out")
    ap.add_argument("--quick", action="store_true", help="one seed a cell (default 3)")
    ap.add_argument("--family", action="append", choices=FAMILIES, help="only this family (repeatable)")
    args = ap.parse_args()
    items = corpus(1 if args.quick else 3, args.family)
    print(f"wrote {len(write_corpus(items, args.out))} scenes to {args.out}")


if __name__ == "__main__":
    main()
