"""Batch throughput: generated scenes routed in this process vs a worker pool.

    python bench/bench_batch.py [--count 200] [--seed 1] [--jobs N]

Writes `count` scenes (bench/make_scenes.py) to a temporary folder, routes them
once in this process (the baseline) and once on a local process pool (worker
start-up included), writing route files both times, and prints scenes per
second with the ratio to the baseline.  A CPU-bound probe (pure Python, the same
number of tasks as workers, serial vs the pool) shows how much of the machine
was free for the pool at the time: other work on a shared machine caps the
pool's ratio at the probe's.
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

from make_scenes import write_scenes  # noqa: E402

from kelvane.batch import route_batch  # noqa: E402


def burn(n):
    s = 0
    for i in range(n):
        s += i * i
    return s


def probe(jobs, n=2_000_000):
    """Serial time over pool time for `jobs` equal CPU-bound tasks (workers already started)."""
    from concurrent.futures import ProcessPoolExecutor
    t0 = time.perf_counter()
    for _ in range(jobs):
        burn(n)
    serial = time.perf_counter() - t0
    with ProcessPoolExecutor(jobs) as pool:
        list(pool.map(abs, range(jobs)))
        t0 = time.perf_counter()
        list(pool.map(burn, [n] * jobs))
        return serial / (time.perf_counter() - t0)


def run(paths, out, **kw):
    t0 = time.perf_counter()
    outcomes = route_batch(paths, out, progress=False, **kw)
    return time.perf_counter() - t0, outcomes


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=int, default=200)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=os.cpu_count())
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        paths = write_scenes(Path(tmp) / "scenes", args.count, args.seed)
        base, outcomes = run(paths, Path(tmp) / "one", jobs=1)
        pool, pooled = run(paths, Path(tmp) / "pool", jobs=args.jobs)
    codes = [o.code for o in outcomes]
    assert codes == [o.code for o in pooled], "the pool routed differently"
    routes = sum(int(o.row["routes"].split("/")[1]) for o in outcomes if o.row)
    print(f"{args.count} scenes, {routes} routes: {codes.count(0)} clean, {codes.count(1)} with conflicts, "
          f"{codes.count(2)} bad input")
    print(f"{'mode':<14} {'workers':>7} {'seconds':>8} {'scenes/s':>9} {'ratio':>6}")
    print(f"{'one process':<14} {1:>7} {base:>8.2f} {args.count / base:>9.1f} {1.0:>6.2f}")
    print(f"{'process pool':<14} {args.jobs:>7} {pool:>8.2f} {args.count / pool:>9.1f} {base / pool:>6.2f}")
    print(f"{'cpu probe':<14} {args.jobs:>7} {'':>8} {'':>9} {probe(args.jobs):>6.2f}")


if __name__ == "__main__":
    main()
