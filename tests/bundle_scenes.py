"""Bundles to route: straight, one corner and U-turn bundles at an even or an
uneven port pitch, with or without obstacles.  Coordinates are integers, so
every port is exact as float32."""

import numpy as np

E, N, W, S = (1, 0), (0, 1), (-1, 0), (0, -1)


def port_offsets(n, pitch, uneven):
    """Positions across the bundle: `pitch` apart, or alternately 1x, 1.5x, 2x."""
    steps = [pitch * (2 + (k % 3)) // 2 if uneven else pitch for k in range(n - 1)]
    return np.concatenate([[0], np.cumsum(steps)]).astype(int)


def straight(n, pitch=10, uneven=False, length=300):
    """Starts at x = 0 and ends at x = length, both facing +x; the end ports
    at an even pitch, so uneven start ports make the lanes jog."""
    ys, ye = port_offsets(n, pitch, uneven), port_offsets(n, pitch, False)
    return dict(starts=[(0, int(y)) for y in ys], ends=[(length, int(y)) for y in ye],
                start_tangents=[E] * n, end_tangents=[E] * n, obstacles=[])


def corner(n, pitch=10, uneven=False, reach=300):
    """Starts facing +x, ends facing +y at y = reach: a left turn; the upper
    start (inside of the turn) ends leftmost."""
    ys, xe = port_offsets(n, pitch, uneven), port_offsets(n, pitch, False)
    return dict(starts=[(0, int(y)) for y in ys], ends=[(reach - int(x), reach) for x in xe],
                start_tangents=[E] * n, end_tangents=[N] * n, obstacles=[])


def uturn(n, pitch=10, uneven=False, rise=300):
    """Starts facing +x, ends facing -x above them: the upper start (inside of
    the turn) ends lowest."""
    ys, ye = port_offsets(n, pitch, uneven), port_offsets(n, pitch, False)
    top = rise + int(ye[-1])
    return dict(starts=[(0, int(y)) for y in ys], ends=[(0, top - int(y)) for y in ye],
                start_tangents=[E] * n, end_tangents=[W] * n, obstacles=[])


def with_block(scene, length=300):
    """A straight scene with a block across the lower half of its corridor."""
    ys = [y for _, y in scene["starts"]]
    mid = (min(ys) + max(ys)) // 2
    return dict(scene, obstacles=[(length * 2 // 5, min(ys) - 60, length * 3 // 5, mid)])


def with_field(scene, count, seed=1, margin=40):
    """`count` small boxes scattered around the bundle's corridor, clear of
    the ports (nothing within `margin` of a port)."""
    rng = np.random.default_rng(seed)
    pts = np.array(scene["starts"] + scene["ends"], dtype=float)
    lo, hi = pts.min(axis=0) - 80, pts.max(axis=0) + 80
    boxes = []
    while len(boxes) < count:
        w, h = rng.integers(3, 9, size=2)
        x, y = (rng.integers(int(lo[i]), int(hi[i])) for i in range(2))
        box = (int(x), int(y), int(x + w), int(y + h))
        if any(box[0] - margin <= px <= box[2] + margin and box[1] - margin <= py <= box[3] + margin for px, py in pts):
            continue
        boxes.append(box)
    return dict(scene, obstacles=boxes)


def args(scene):
    """The first six arguments of a bundle strategy, delta aside."""
    return scene["starts"], scene["ends"], scene["start_tangents"], scene["end_tangents"]
