"""Benchmark of kelvane.manhattan_router.bundle: both strategies on one-corner bundles.

A bundle of B routes leaves x = 0 facing +x at a 5-unit pitch and turns left to end
facing +y; 0, 20 or 100 small boxes are scattered around it (none within 40 of a
port).  delta 5, route_spacing 3.

Columns:
  ms          best time of one bundle call over several repeats (native road)
  x base      that time over the baseline: one graph.rail_bridge_v2 search of a
              fixed single route in an open field, timed in the same run
  searches    single-route searches the call ran (counted in a separate call
              through a counting rail_bridge_v2, which takes the same decisions)
  states      states the searches expanded, from their info
  length      total length of the lanes
  cross, overlap, spacing, obstacle
              what the independent checker of tests/bundle_checks.py finds: lane
              pairs that cross or touch, share a stretch or come closer than the
              spacing, and lanes entering an obstacle

Targets: backbone strategy for 64 lanes under 5 ms; rail-bridge strategy for 16
lanes and 100 obstacles under 40 ms.

    python bench/bench_bundle.py
"""

import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

from bundle_checks import bundle_report  # noqa: E402
from bundle_scenes import args, corner, with_field  # noqa: E402
from kelvane.manhattan_router import bundle as bd  # noqa: E402
from kelvane.manhattan_router import graph  # noqa: E402
from timing import best_ms  # noqa: E402

DELTA, SPACING, PITCH = 5.0, 3.0, 5


def baseline():
    return graph.rail_bridge_v2((0, 0), (300, 100), (1, 0), (1, 0), DELTA, [], route_spacing=SPACING)


def scene(lanes, obstacles):
    s = corner(lanes, pitch=PITCH, reach=300 + PITCH * lanes)
    return with_field(s, obstacles, seed=lanes) if obstacles else s


class Counter:
    def __init__(self):
        self.calls = 0

    def __call__(self, *a, **k):
        self.calls += 1
        return graph.rail_bridge_v2(*a, **k)


def searches(strategy, s):
    counter = Counter()
    bd.rail_bridge_v2 = counter
    try:
        strategy(*args(s), DELTA, s["obstacles"], route_spacing=SPACING)
    finally:
        bd.rail_bridge_v2 = graph.rail_bridge_v2
    return counter.calls


def main():
    base = best_ms(baseline, 50)
    rows = []
    for name, strategy in (("backbone", bd.bundle_backbone_v2), ("rail-bridge", bd.bundle_rail_bridge_v2)):
        for lanes in (4, 16, 64):
            for count in (0, 20, 100):
                s = scene(lanes, count)
                run = lambda: strategy(*args(s), DELTA, s["obstacles"], route_spacing=SPACING)  # noqa: E731
                lanes_out, info = run()
                repeats = 20 if name == "backbone" else max(3, 160 // lanes)
                ms = best_ms(run, repeats)
                infos = info["infos"] if "infos" in info else [info["backbone_info"]]
                states = sum(i["states_expanded"] for i in infos)
                length = sum(float(np.abs(np.diff(lane, axis=0)).sum()) for lane in lanes_out)
                report = bundle_report(lanes_out, s["starts"], s["ends"], SPACING, s["obstacles"])
                rows.append((name, lanes, count, ms, searches(strategy, s), states, length, report))
    base = min(base, best_ms(baseline, 50))  # baseline again after the bundles

    print(f"baseline: one open-field rail_bridge_v2 search, {base:.3f} ms")
    print(f"{'strategy':<11} {'lanes':>5} {'obst':>4} | {'ms':>8} {'x base':>7} | {'searches':>8} {'states':>8} "
          f"{'length':>9} | {'cross':>5} {'overlap':>7} {'spacing':>7} {'obstacle':>8}")
    print("-" * 101)
    for name, lanes, count, ms, n_search, states, length, r in rows:
        print(f"{name:<11} {lanes:>5} {count:>4} | {ms:>8.3f} {ms / base:>6.1f}x | {n_search:>8} {states:>8} "
              f"{length:>9.0f} | {r['crossings']:>5} {r['overlaps']:>7} {r['spacing']:>7} {r['obstacles']:>8}")
    print()
    for name, lanes, count, limit in (("backbone", 64, None, 5.0), ("rail-bridge", 16, 100, 40.0)):
        for r in rows:
            if r[0] == name and r[1] == lanes and (count is None or r[2] == count):
                print(f"target {name} {lanes} lanes, {r[2]} obstacles < {limit:g} ms: {r[3]:.2f} ms "
                      f"({'met' if r[3] < limit else 'NOT met'})")


if __name__ == "__main__":
    main()
