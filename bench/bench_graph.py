"""Single-route benchmark: rail_bridge_v2 across random obstacle fields.

    python bench/bench_graph.py [--routes N] [--seed S]

Fields: obstacles with sides uniform in [5, 20] covering ~15 % of a square;
ports at random free points with random axis headings; bend radius 2,
route spacing 1.  Per field it prints the median lattice size (lines x lines),
median states expanded, median and 90th-percentile time per route, states per
second, the share of clean routes and the process's peak resident memory.
"""

import argparse
import resource
import time

import numpy as np

from kelvane.manhattan_router import graph

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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--routes", type=int, default=30)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    rng = np.random.default_rng(args.seed)
    print(f"{'obstacles':>9} {'x*y lines':>11} {'states':>8} {'median ms':>10} {'p90 ms':>8} "
          f"{'states/s':>10} {'clean':>6} {'peak MB':>8}")
    for n in (10, 100, 1000):
        side, obstacles = make_field(n, rng)
        idx = graph._ObstacleIndex(obstacles, None)
        times, states, nodes, clean = [], [], [], 0
        for _ in range(args.routes):
            s, e = free_point(idx, side, rng), free_point(idx, side, rng)
            st, et = HEADINGS[rng.integers(4)], HEADINGS[rng.integers(4)]
            t0 = time.perf_counter()
            _, info = graph.rail_bridge_v2(s, e, st, et, 2.0, obstacles, route_spacing=1.0)
            times.append(time.perf_counter() - t0)
            states.append(info["states_expanded"])
            nodes.append(info["lattice"][0] * info["lattice"][1])
            clean += info["clean"]
        t = np.array(times)
        med_nodes = int(np.median(nodes))
        print(f"{n:>9} {med_nodes:>11} {int(np.median(states)):>8} {np.median(t) * 1e3:>10.3f} "
              f"{np.percentile(t, 90) * 1e3:>8.2f} {sum(states) / t.sum():>10.0f} {clean:>3}/{len(t):<2} "
              f"{peak_rss_mb():>8.1f}")


if __name__ == "__main__":
    main()
