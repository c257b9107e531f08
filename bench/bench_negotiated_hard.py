"""Negotiated router on scenes whose conflicts cannot clear, and on big box fields.

    python bench/bench_negotiated_hard.py [--repeat 1] [--budget 1.0] [--worst N]

Scenes:
  shared8   negotiated_shared_ports_8routes_50boxes.json (beside this file): 8 routes,
            some sharing port points, a comb of thin walls and 35 more boxes; the
            conflicts can never clear, so every order and cage level runs all passes
  field4    4 routes swapping sides across 205 seeded boxes (1 to 8 wide) in a
            120 x 120 field
  shared4   the same field with two routes leaving one port and two arriving at one
Per row: lattice nodes (largest level), searches, cost-to-go tables made, orders run,
CPU seconds of negotiate_routes (best of --repeat; over 5 s the wall time of the
instrumented run, marked *) with the ratio to a baseline run in
this process (the 4-route swap between devices of bench_negotiated.py), the solution
key; with --budget S also the time and key under engine.time_budget(S).
--worst N routes N random scenes of at most 8 routes and 50 boxes (ports shared at
random, combs of walls) and prints the slowest (--verbose: each); --scenes picks the
named scenes (empty: none).  Runs on an older build too (no budget, no table counts).
"""

import argparse
import json
import time
from pathlib import Path

import numpy as np

from kelvane.manhattan_router import bench_negotiated, negotiated

try:  # an older build (for a before/after comparison) has no time budget
    from kelvane import engine
except ImportError:
    engine = None

HERE = Path(__file__).parent


def shared8():
    a = json.loads((HERE / "negotiated_shared_ports_8routes_50boxes.json").read_text())
    return np.asarray(a["pc"], float), np.asarray(a["pt"], float), float(a["delta"]), a["obs"]


def field4(seed=3, shared=False, B=4, n_boxes=205, size=120.0, delta=2.0):
    rng = np.random.default_rng(seed)
    ys = [size / 2 + 6.0 * (i - (B - 1) / 2) for i in range(B)]
    pc = np.array([[[0.0, y], [size, e]] for y, e in zip(ys, ys[::-1])])
    pt = np.array([[(1.0, 0.0), (1.0, 0.0)]] * B)
    ports = [tuple(p) for r in pc for p in r]
    boxes = []
    while len(boxes) < n_boxes:
        w, h = rng.uniform(1.0, 8.0, size=2)
        x, y = rng.uniform(0.05 * size, 0.95 * size - w), rng.uniform(0.0, size - h)
        b = (float(x), float(y), float(x + w), float(y + h))
        if not any(b[0] - 2 * delta <= p[0] <= b[2] + 2 * delta and b[1] - 2 * delta <= p[1] <= b[3] + 2 * delta
                   for p in ports):
            boxes.append(b)
    if shared:
        pc[1, 0] = pc[0, 0]  # two routes leave one port
        pc[3, 1] = pc[2, 1]  # two arrive at one
    return pc, pt, delta, boxes


def random_small(rng):
    """At most 8 routes and 50 boxes: ports on two facing columns, some shared, a comb."""
    B = int(rng.integers(2, 9))
    ys = rng.choice(np.arange(0.0, 8.0), size=B)  # repeats share port rows
    ye = rng.choice(np.arange(0.0, 8.0), size=B)
    pc = np.array([[[0.0, a], [40.0, b]] for a, b in zip(ys, ye)])
    pt = np.array([[(1.0, 0.0), (1.0, 0.0)]] * B)
    boxes = []
    for _ in range(int(rng.integers(0, 16))):  # thin walls from below and above
        x = float(rng.uniform(2.0, 36.0))
        boxes.append((x, -20.0, x + 0.5, float(rng.uniform(-1.0, 4.0))) if rng.random() < 0.5
                     else (x, float(rng.uniform(4.0, 9.0)), x + 0.5, 26.0))
    while len(boxes) < int(rng.integers(len(boxes), 51)):
        w, h = rng.uniform(0.5, 5.0, size=2)
        x, y = rng.uniform(45.0, 80.0), rng.uniform(-20.0, 40.0)
        boxes.append((float(x), float(y), float(x + w), float(y + h)))
    return pc, pt, 1.0, boxes


def cpu(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        t = time.process_time()
        out = fn()
        best = min(best, time.process_time() - t)
    return best, out


def key_text(key):
    return "(" + ", ".join(f"{v:g}" for v in key[:5]) + f", {key[5]:.1f})"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=1)
    ap.add_argument("--budget", type=float, default=None)
    ap.add_argument("--worst", type=int, default=0)
    ap.add_argument("--scenes", default="shared8,field4,shared4")
    ap.add_argument("--verbose", action="store_true")
    args = ap.parse_args()

    ys = [4.0 * i for i in range(4)]
    base = (np.array([[[0.0, y], [80.0, e]] for y, e in zip(ys, ys[::-1])]), np.array([[(1.0, 0.0), (1.0, 0.0)]] * 4),
            2.0, [(-20.0, -6.0, 0.0, 18.0), (80.0, -6.0, 100.0, 18.0)])
    baseline, _ = cpu(lambda: negotiated.negotiate_routes(*base), 5)
    print(f"baseline (4-route swap between devices): {baseline * 1e3:.1f} ms CPU")
    print(f"{'scene':<8} {'B':>2} {'boxes':>5} {'nodes':>7} {'searches':>8} {'tables':>6} {'orders':>6} "
          f"{'CPU s':>7} {'ratio':>7}  key")
    scenes = {"shared8": shared8(), "field4": field4(), "shared4": field4(shared=True)}
    for name in args.scenes.split(",") if args.scenes else []:
        pc, pt, delta, obs = scenes[name]
        B = pc.shape[0]
        f = bench_negotiated.run(negotiated._Scene(pc, pt, delta, obs), negotiated._orders_for(B, 8, 0),
                                 negotiated._cage_ladder(B))
        # Over 5 s: the instrumented run's time (the same native code), marked *.
        slow = f["seconds"] > 5.0
        t = f["seconds"] if slow else cpu(lambda: negotiated.negotiate_routes(pc, pt, delta, obs), args.repeat)[0]
        print(f"{name:<8} {B:>2} {len(obs):>5} {f['nodes']:>7} {f['searches']:>8} {f.get('tables', '-'):>6} "
              f"{f['runs']:>6} {t:>7.2f}{'*' if slow else ' '}{t / baseline:>7.0f}  {key_text(f['key'])}", flush=True)
        if args.budget is not None and engine is not None:
            w = time.perf_counter()
            with engine.time_budget(args.budget) as budget:
                skels = negotiated.negotiate_routes(pc, pt, delta, obs)
            print(f"  within time_budget({args.budget:g}): {time.perf_counter() - w:.2f} s wall, reached "
                  f"{budget.reached}, {sum(s is not None for s in skels)} of {B} routed", flush=True)
    if args.worst:
        rng = np.random.default_rng(19)
        worst = (0.0, None)
        for i in range(args.worst):
            scene = random_small(rng)
            t, _ = cpu(lambda: negotiated.negotiate_routes(*scene), 1)
            worst = max(worst, (t, i), key=lambda w: w[0])
            if args.verbose:
                print(f"  scene {i}: {scene[0].shape[0]} routes, {len(scene[3])} boxes, {t:.2f} s", flush=True)
        print(f"slowest of {args.worst} random scenes (<= 8 routes, <= 50 boxes): scene {worst[1]}, "
              f"{worst[0]:.2f} s CPU ({worst[0] / baseline:.0f} x baseline)")


if __name__ == "__main__":
    main()
