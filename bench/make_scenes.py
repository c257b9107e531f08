"""Write a folder of random scene files (bundles and loose routes among devices).

    python bench/make_scenes.py OUT_DIR [--count 200] [--seed 1]

Every scene is a field of 6 to 30 non-overlapping devices (boxes) and either a
plain bundle of up to 8 routes (east side of one device to the west side of
another, ports at least twice the spacing apart, in the same order) or up to 6
loose connections between random device sides (no two ports closer than twice
the spacing: a port shared by two routes is a conflict no router can resolve).
The same seed gives the same files.
"""

import argparse
import json
from pathlib import Path

import numpy as np

SIDES = {"E": (1, 0), "N": (0, 1), "W": (-1, 0), "S": (0, -1)}


def place_devices(rng, n, side):
    boxes = []
    while len(boxes) < n:
        w, h = rng.uniform(15, 40, size=2)
        x, y = rng.uniform(0, side - w), rng.uniform(0, side - h)
        box = (round(x, 1), round(y, 1), round(x + w, 1), round(y + h, 1))
        # Keep a channel of at least 12 between devices.
        if all(box[0] > b[2] + 12 or box[2] < b[0] - 12 or box[1] > b[3] + 12 or box[3] < b[1] - 12 for b in boxes):
            boxes.append(box)
    return boxes


def port_on(box, side, t):
    """The point at fraction t along a side of a box, and the way that side faces."""
    x0, y0, x1, y1 = box
    x, y = {"E": (x1, y0 + t * (y1 - y0)), "W": (x0, y0 + t * (y1 - y0)),
            "N": (x0 + t * (x1 - x0), y1), "S": (x0 + t * (x1 - x0), y0)}[side]
    return [round(x, 1), round(y, 1)], SIDES[side]


def make_scene(rng, index):
    side = 300.0
    boxes = place_devices(rng, int(rng.integers(6, 31)), side)
    routes = []
    if index % 2 == 0:  # a plain bundle from the east side of one device to the west side of another
        left = sorted(range(len(boxes)), key=lambda i: boxes[i][2])
        a = int(rng.choice(left[: len(left) // 2]))
        b = int(rng.choice([i for i in left if boxes[i][0] > boxes[a][2] + 20] or left[-1:]))
        span = min(boxes[a][3] - boxes[a][1], boxes[b][3] - boxes[b][1]) * 0.6
        n = int(min(rng.integers(3, 9), span // 3 + 1))  # port pitch at least twice the spacing
        for k, t in enumerate(np.linspace(0.2, 0.8, n)):
            start, facing = port_on(boxes[a], "E", t)
            end, _ = port_on(boxes[b], "W", t)
            routes.append({"name": f"b{k}", "start": start, "start_heading": list(facing),
                           "end": end, "end_heading": [1, 0]})
    else:  # loose connections between device sides, no port within twice the spacing of another
        ports = []
        def free(p):
            return all(abs(p[0] - q[0]) + abs(p[1] - q[1]) >= 3.0 for q in ports)
        k = 0
        for _ in range(int(rng.integers(2, 7))):
            a, b = rng.choice(len(boxes), size=2, replace=False)
            start, facing = port_on(boxes[a], rng.choice(list(SIDES)), rng.uniform(0.2, 0.8))
            end, end_facing = port_on(boxes[b], rng.choice(list(SIDES)), rng.uniform(0.2, 0.8))
            if not (free(start) and free(end)):
                continue
            ports += [start, end]
            routes.append({"name": f"r{k}", "start": start, "start_heading": list(facing),
                           "end": end, "end_heading": [-end_facing[0], -end_facing[1]]})
            k += 1
    return {"description": f"generated scene {index}", "delta": 3.0, "spacing": 1.5, "dbu": 0.001,
            "obstacles": [list(b) for b in boxes], "routes": routes}


def write_scenes(out, count, seed=1):
    """Write `count` scenes into folder `out`; returns their paths."""
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    paths = []
    for i in range(count):
        p = out / f"scene_{i:04d}.json"
        p.write_text(json.dumps(make_scene(rng, i)))
        paths.append(p)
    return paths


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out")
    ap.add_argument("--count", type=int, default=200)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    print(f"wrote {len(write_scenes(args.out, args.count, args.seed))} scenes to {args.out}")


if __name__ == "__main__":
    main()
