"""negotiate_spaced at chip scale: independent routes and a reversed swap among 1000 obstacles.

The scenes come from bench/designer_scenes.py with 1000 scattered obstacles
(the corpus itself stops at 100).  Every result is checked by kelvane.check.
Times carry a ratio to the baseline of bench_multi.py (one rail_bridge_v2
search across 8 devices and 100 obstacles) timed in the same run.

    python bench/bench_spaced.py [--obstacles 1000] [--time-budget SECONDS]
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time
from collections import Counter

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import designer_scenes as ds  # noqa: E402
from bench_multi import baseline_ms  # noqa: E402
from kelvane import engine  # noqa: E402
from kelvane.check import check_routes  # noqa: E402

SCENES = (("independent", 8), ("independent", 16))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--obstacles", type=int, default=1000)
    ap.add_argument("--time-budget", type=float, default=None)
    args = ap.parse_args()
    base = baseline_ms()
    print(f"baseline: {base:.3f} ms; {args.obstacles} obstacles a scene")
    print(f"{'scene':28} {'routes':>6} {'clean':>5} {'conflicts':>9} {'crossings':>9} {'findings':>24} "
          f"{'searches':>8} {'ms':>9} {'x base':>8}")
    for family, size in SCENES:
        item = ds.make_item(family, size, args.obstacles, 0)
        scene = item.parsed()
        sp, ep, st, et = scene.port_arrays()
        t = time.perf_counter()
        routes, info = engine.negotiate_spaced(sp, ep, st, et, scene.delta, list(scene.obstacles),
                                               route_spacing=scene.spacing, dbu=scene.dbu,
                                               time_budget=args.time_budget)
        ms = (time.perf_counter() - t) * 1e3
        kinds = Counter(f.kind for f in check_routes(scene, routes).findings)
        found = ", ".join(f"{k} {v}" for k, v in sorted(kinds.items())) or "none"
        print(f"{item.name:28} {size:6d} {str(info['clean']):>5} {info['conflicts']:9d} {info['crossings']:9d} "
              f"{found:>24} {info['searches']:8d} {ms:9.1f} {ms / base:7.0f}x")


if __name__ == "__main__":
    main()
