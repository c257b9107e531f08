"""Single-route benchmark: rail_bridge_v2 across random obstacle fields.

    python bench/bench_graph.py [--routes N] [--seed S] [--no-scale] [--optimality N]

Fields: obstacles with sides uniform in [5, 20] covering ~15 % of a square;
ports at random free points with random axis headings; bend radius 2,
route spacing 1; the same routes without and with a grid (dbu 1).  Per field
it prints the median lattice size (lines x lines), median states expanded,
median and 90th-percentile time per route, states per second, the share of
clean routes and the process's peak resident memory.

Then chip-scale cases, one route each: 10,000 and 100,000 boxes (as an N x 4
array and as a list of tuples) with the ports close together and across the
whole field; 2,000 and 20,000 heavily overlapping boxes; a port shut in by
5,000 rings (at the start, at the end).

With --optimality N, the cost (length + r per bend) of N small random scenes
a family against an exhaustive unit-grid search (the core tests' comparison:
integer boxes, more boxes with a larger r, arcs kept clear, dbu 1, and ports
within 2r of each other with boxes near them, without and with dbu 1).

Every time is printed beside its ratio to a yardstick timed in the same
process (numpy sorting 2 million floats), since absolute times on shared
machines are noisy.
"""

import argparse
import os
import pathlib
import resource
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

from fields import free_port, rings  # noqa: E402
from kelvane.manhattan_router import graph  # noqa: E402

HEADINGS = [(1, 0), (0, 1), (-1, 0), (0, -1)]


def make_field(n, rng, cover=0.15, smin=5.0, smax=20.0):
    side = np.sqrt(n * ((smin + smax) / 2) ** 2 / cover)
    xy = rng.uniform(0, side, size=(n, 2))
    wh = rng.uniform(smin, smax, size=(n, 2))
    return side, [(x, y, x + w, y + h) for (x, y), (w, h) in zip(xy, wh)]


def free_point(idx, side, rng):
    while True:
        x, y = rng.uniform(0, side, size=2)
        if not idx.blocked(x - 3, y, x + 3, y) and not idx.blocked(x, y - 3, x, y + 3):
            return (float(x), float(y))


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def yardstick_ms():
    """Median time of a fixed numpy job: the machine's speed right now."""
    data = np.random.default_rng(0).random(2_000_000)
    runs = []
    for _ in range(5):
        t0 = time.perf_counter()
        np.sort(data)
        runs.append(time.perf_counter() - t0)
    return float(np.median(runs)) * 1e3


def scale_cases(rng):
    """(label, start, end, start tangent, end tangent, obstacles) of the chip-scale rows."""
    east, west = (1, 0), (-1, 0)
    for n in (10_000, 100_000):
        side, listed = make_field(n, rng)
        array = np.array(listed)
        close_start = free_port(array, 0.5 * side, 0.5 * side)
        close_end = free_port(array, close_start[0] + 60, close_start[1] + 40)
        far_start = free_port(array, 0.12 * side, 0.1 * side)
        far_end = free_port(array, 0.95 * side, 0.6 * side)
        for form, boxes in (("array", array), ("list", listed)):
            yield f"{n} boxes, close, {form}", close_start, close_end, east, east, boxes
            yield f"{n} boxes, across, {form}", far_start, far_end, east, east, boxes
    for n in (2_000, 20_000):
        xy = rng.uniform(0, 200, size=(n, 2))
        heap = np.hstack([xy, xy + rng.uniform(20, 80, size=(n, 2))])
        yield f"{n} overlapping boxes", (-50.0, 100.0), (350.0, 120.0), east, east, heap
    boxes, far = rings(5000)
    yield "start shut in by 5000 rings", (0.0, 0.0), (far, 5.0), east, east, boxes
    yield "end shut in by 5000 rings", (far, 5.0), (0.0, 0.0), west, west, boxes


def run_scale(rng, unit):
    print(f"\n{'case':<30} {'ms':>9} {'x yard':>8} {'clean':>6} {'guided':>7} {'out of budget':>14} "
          f"{'states':>9} {'length/direct':>14} {'bends':>6} {'peak MB':>8}")
    for label, start, end, st, et, boxes in scale_cases(rng):
        t0 = time.perf_counter()
        _, info = graph.rail_bridge_v2(start, end, st, et, 2.0, boxes, route_spacing=1.0)
        ms = (time.perf_counter() - t0) * 1e3
        direct = abs(end[0] - start[0]) + abs(end[1] - start[1])
        print(f"{label:<30} {ms:>9.1f} {ms / unit:>8.2f} {str(info['clean']):>6} {str(info['guided']):>7} "
              f"{str(info['budget_exhausted']):>14} {info['states_expanded']:>9} {info['length'] / direct:>14.3f} "
              f"{info['bends']:>6} {peak_rss_mb():>8.1f}", flush=True)


def run_fields(rng, unit, routes):
    print(f"{'obstacles':>9} {'dbu':>5} {'x*y lines':>11} {'states':>8} {'median ms':>10} {'x yard':>8} {'p90 ms':>8} "
          f"{'states/s':>10} {'clean':>6} {'peak MB':>8}")
    for n in (10, 100, 1000):
        side, obstacles = make_field(n, rng)
        idx = graph._ObstacleIndex(obstacles, None)
        ports = []
        for _ in range(routes):
            s, e = free_point(idx, side, rng), free_point(idx, side, rng)
            ports.append((s, e, HEADINGS[rng.integers(4)], HEADINGS[rng.integers(4)]))
        for dbu in (None, 1.0):
            times, states, nodes, clean = [], [], [], 0
            for s, e, st, et in ports:
                t0 = time.perf_counter()
                _, info = graph.rail_bridge_v2(s, e, st, et, 2.0, obstacles, route_spacing=1.0, dbu=dbu)
                times.append(time.perf_counter() - t0)
                states.append(info["states_expanded"])
                nodes.append(info["lattice"][0] * info["lattice"][1])
                clean += info["clean"]
            t = np.array(times)
            print(f"{n:>9} {str(dbu):>5} {int(np.median(nodes)):>11} {int(np.median(states)):>8} "
                  f"{np.median(t) * 1e3:>10.3f} {np.median(t) * 1e3 / unit:>8.3f} {np.percentile(t, 90) * 1e3:>8.2f} "
                  f"{sum(states) / t.sum():>10.0f} {clean:>3}/{len(t):<2} {peak_rss_mb():>8.1f}", flush=True)


def run_optimality(cases):
    """Cost against the exhaustive optimum on small fields: the core tests'
    comparison (an independent unit-grid search), run with `cases` scenes a family."""
    binary = pathlib.Path(__file__).resolve().parent.parent / "build" / "core-tests" / "kelvane_core_tests"
    if not binary.exists():
        print("\n(optimality: build the core tests first, e.g. with ./dev test)")
        return
    env = dict(os.environ, KELVANE_OPTIMALITY_CASES=str(cases))
    out = subprocess.run([str(binary)], env=env, capture_output=True, text=True).stdout
    print(f"\ncost against the exhaustive optimum, {cases} scenes a family (length + r per bend):")
    for line in out.splitlines():
        if "cases" in line and "optimal" in line:
            print(line)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--routes", type=int, default=30)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--no-scale", action="store_true", help="skip the chip-scale cases")
    ap.add_argument("--optimality", type=int, default=0, metavar="N",
                    help="also compare N small scenes a family with the exhaustive optimum")
    args = ap.parse_args()
    rng = np.random.default_rng(args.seed)
    unit = yardstick_ms()
    print(f"yardstick (numpy sort of 2e6 floats): {unit:.1f} ms; 'x yard' = time / yardstick\n")
    run_fields(rng, unit, args.routes)
    if not args.no_scale:
        run_scale(rng, unit)
    if args.optimality:
        run_optimality(args.optimality)


if __name__ == "__main__":
    main()
