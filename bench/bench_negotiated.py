"""Negotiated-router benchmark: negotiate_routes on bundles of 2 to 32 routes.

    python bench/bench_negotiated.py [--sizes 2,4,8,16,32] [--kinds parallel,swap,corner] [--repeat 3]

Scenes (pitch 4, bend radius delta 2, ports on device faces that are obstacles too):
  parallel  B routes straight across from one device to another, ends shifted by 8
  swap      the same with the end order reversed (every pair must cross or detour)
  corner    leaving east, arriving north on a device above (a bundle turning a corner)
with 0 or 20 extra obstacles (seeded, 3..12 wide, scattered between the devices,
never on a port).

Per row: lattice nodes and edges (the largest cage level's), lattice bytes per node,
searches, states expanded, orders run over all cage levels and the levels tried (from
a second, instrumented run through bench_negotiated), the best-of-repeat time of
negotiate_routes with its ratio to a baseline run in this process (the 4-route swap
between devices, no extra obstacles), the search buffers and per-edge tables in MB,
the process's peak resident memory, and the solution key (unrouted, conflicts,
crossings, overlaps, turns, length).
"""

import argparse
import os
import resource
import time

import numpy as np

from kelvane.manhattan_router import bench_negotiated, negotiated

E, N = (1.0, 0.0), (0.0, 1.0)
PITCH, DELTA = 4.0, 2.0


def scene(kind, B, n_obstacles, seed=7):
    ys = [PITCH * i for i in range(B)]
    length = max(80.0, 10.0 * B)
    if kind == "corner":
        pc = [[[0.0, y], [length + PITCH * (B - 1 - i), length + ys[-1]]] for i, y in enumerate(ys)]
        pt = [[E, N]] * B
        obstacles = [(-20.0, -6.0, 0.0, ys[-1] + 6.0), (length - 6.0, length + ys[-1], length + ys[-1] + 6.0 + PITCH * B,
                                                          length + ys[-1] + 20.0)]
    else:
        ends = ys[::-1] if kind == "swap" else [y + 8.0 for y in ys]
        pc = [[[0.0, y], [length, e]] for y, e in zip(ys, ends)]
        pt = [[E, E]] * B
        obstacles = [(-20.0, -6.0, 0.0, ys[-1] + 6.0), (length, min(ends) - 6.0, length + 20.0, max(ends) + 6.0)]
    rng = np.random.default_rng(seed)
    ports = [tuple(p) for route in pc for p in route]
    x_hi = max(p[0] for p in ports)
    y_lo, y_hi = -10.0, max(p[1] for p in ports) + 10.0
    while n_obstacles:
        w, h = rng.uniform(3.0, 12.0, size=2)
        x, y = rng.uniform(0.15 * x_hi, 0.85 * x_hi - w), rng.uniform(y_lo, y_hi - h)
        box = (float(x), float(y), float(x + w), float(y + h))
        if any(box[0] - DELTA <= p[0] <= box[2] + DELTA and box[1] - DELTA <= p[1] <= box[3] + DELTA for p in ports):
            continue
        obstacles.append(box)
        n_obstacles -= 1
    return np.asarray(pc, float), np.asarray(pt, float), obstacles


def best_time(pc, pt, obstacles, repeat):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        negotiated.negotiate_routes(pc, pt, DELTA, obstacles)
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="2,4,8,16,32")
    ap.add_argument("--kinds", default="parallel,swap,corner")
    ap.add_argument("--obstacles", default="0,20")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    sizes = [int(v) for v in args.sizes.split(",")]
    kinds = args.kinds.split(",")
    counts = [int(v) for v in args.obstacles.split(",")]

    base_pc, base_pt, base_obs = scene("swap", 4, 0)
    baseline = best_time(base_pc, base_pt, base_obs, 5)
    print(f"baseline (4-route swap between devices): {baseline * 1e3:.1f} ms; numpy threads: "
          f"{os.environ.get('OPENBLAS_NUM_THREADS', 'default')}")
    print(f"{'scene':<9} {'B':>3} {'obs':>3} {'nodes':>7} {'edges':>7} {'B/node':>6} {'searches':>8} "
          f"{'expanded':>10} {'orders':>6} {'levels':>6} {'time s':>8} {'ratio':>7} {'work MB':>7} "
          f"{'peak MB':>7}  key")
    for kind in kinds:
        for B in sizes:
            for n_obs in counts:
                pc, pt, obstacles = scene(kind, B, n_obs)
                orders = negotiated._orders_for(B, 8, 0)
                figures = bench_negotiated.run(negotiated._Scene(pc, pt, DELTA, obstacles), orders,
                                               negotiated._cage_ladder(B))
                # Rows over 5 s are not run again: their time is the instrumented run's
                # (the same native code), marked with *.
                slow = figures["seconds"] > 5.0
                t = figures["seconds"] if slow else best_time(pc, pt, obstacles, args.repeat if figures["seconds"] < 1.0 else 1)
                key = figures["key"]
                key_text = "(" + ", ".join(f"{v:g}" for v in key[:5]) + f", {key[5]:.1f})"
                peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
                print(f"{kind:<9} {B:>3} {n_obs:>3} {figures['nodes']:>7} {figures['edges']:>7} "
                      f"{figures['lattice_bytes'] / max(1, figures['nodes']):>6.1f} {figures['searches']:>8} "
                      f"{figures['expanded']:>10} {figures['runs']:>6} {figures['levels']:>6} {t:>8.3f} "
                      f"{t / baseline:>7.1f}{'*' if slow else ' '}{figures['workspace_bytes'] / 2**20:>7.2f} {peak:>7.1f}  {key_text}",
                      flush=True)


if __name__ == "__main__":
    main()
