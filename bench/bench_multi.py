"""Designer scenes routed by the strategies of `kelvane route`, judged by the independent checker.

The corpus is bench/designer_scenes.py: scenes feasible by construction, each with
a clean witness routing (reversed swaps have none: their forced crossings are
counted instead).  Every result is checked by kelvane.check.

Columns, per family x size x strategy (obstacle counts 0, 20, 100 pooled):
  scenes       scenes routed
  clean        scenes the checker finds clean
  t/o          scenes the strategy did not finish within --timeout (counted as routing nothing)
  cross        crossing findings (swaps: / the crossings their port order forces)
  faults       all other findings
  len/wit      median over scenes of routed length / the witness's length of those routes
  +bends       median over scenes of bends per routed route above the witness
  ms med, max  time in the routers (route_scene's seconds; auto: every attempt)
  x base       median time over the baseline: one rail_bridge_v2 search corner to corner
               across a fixed field (8 devices, 100 obstacles), best of 10 before and
               after the scenes, timed in the same run

Then, per strategy, the share of the feasible corpus routed clean, the median length
ratio and extra bends against the targets (98 %, 1.10x, 1 bend), the three timing
targets (the slowest scene of each set counts), and the scenes with most findings.

    python bench/bench_multi.py [--strategies auto,rail-bridge,...] [--quick] [--family jog]
                                [--timeout 60] [--write DIR] [--svg DIR] [--json FILE] [--worst 12]
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import pathlib
import sys
from collections import Counter, defaultdict
from dataclasses import dataclass
from pathlib import Path

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import designer_scenes as ds  # noqa: E402
from kelvane.check import Report, check_routes  # noqa: E402
from kelvane.routing import route_scene  # noqa: E402
from kelvane.scene import parse_scene  # noqa: E402
from kelvane.strategies import STRATEGIES, StrategyUnavailable, load_backend  # noqa: E402
from kelvane.svg import render_svg  # noqa: E402
from timing import best_ms  # noqa: E402

BUNDLES = ("jog", "corner", "uturn", "gap", "fanout")
# (what, families, size, obstacles, limit in ms)
TIME_TARGETS = (("16-lane bundle, 100 obstacles", BUNDLES, 16, 100, 100.0),
                ("64-lane bundle, 100 obstacles", BUNDLES, 64, 100, 1000.0),
                ("16 independent routes, 100 obstacles", ("independent",), 16, 100, 2000.0))
CLEAN_TARGET, LENGTH_TARGET, BENDS_TARGET = 0.98, 1.10, 1.0


@dataclass
class Outcome:
    """One scene routed by one strategy, and what the checker made of it."""

    item: ds.Item
    strategy: str
    used: str | None
    ms: float
    report: Report
    skeletons: list
    timed_out: bool = False

    @property
    def crossings(self) -> int:
        return self.report.count("crossing")

    @property
    def faults(self) -> int:
        return len(self.report.findings) - self.crossings

    @property
    def excess(self) -> int:
        """Findings beyond the crossings the scene forces."""
        return len(self.report.findings) - min(self.crossings, self.item.forced_crossings)

    def _routed(self) -> list[int]:
        return [k for k, length in enumerate(self.report.lengths) if length > 0]

    @property
    def length_ratio(self) -> float | None:
        k = self._routed()
        if self.item.witness is None or not k:
            return None
        return sum(self.report.lengths[i] for i in k) / sum(self.item.witness_lengths[i] for i in k)

    @property
    def extra_bends(self) -> float | None:
        k = self._routed()
        if self.item.witness is None or not k:
            return None
        return sum(self.report.bends[i] - self.item.witness_bends[i] for i in k) / len(k)


def _serve(conn) -> None:
    """The worker's loop: route each (scene, name, strategy) it is sent until it is sent None."""
    while (job := conn.recv()) is not None:
        scene, name, strategy = job
        result = route_scene(parse_scene(scene, name), strategy)
        conn.send((result.strategy, result.seconds, result.skeletons))


class Worker:
    """Routes scenes in a child process, so that a strategy past the time limit can be stopped."""

    def __init__(self) -> None:
        self._start()

    def _start(self) -> None:
        ctx = multiprocessing.get_context("spawn")
        self.conn, child = ctx.Pipe()
        self.proc = ctx.Process(target=_serve, args=(child,), daemon=True)
        self.proc.start()

    def route(self, item: ds.Item, strategy: str, timeout: float):
        """(strategy used, seconds, skeletons), or None when it ran past `timeout` seconds (then stopped)."""
        self.conn.send((item.scene, item.name, strategy))
        if self.conn.poll(timeout):
            return self.conn.recv()
        self.proc.kill()
        self.proc.join()
        self._start()
        return None

    def close(self) -> None:
        self.conn.send(None)
        self.proc.join(10)


def route(item: ds.Item, strategy: str, worker: Worker | None, timeout: float) -> Outcome:
    scene = item.parsed()
    if worker is None:
        r = route_scene(scene, strategy)
        return Outcome(item, strategy, r.strategy, r.seconds * 1e3, r.report, r.skeletons)
    done = worker.route(item, strategy, timeout)
    if done is None:
        nothing = [None] * len(scene.routes)
        return Outcome(item, strategy, None, timeout * 1e3, check_routes(scene, nothing), nothing, timed_out=True)
    used, seconds, skeletons = done
    return Outcome(item, strategy, used, seconds * 1e3, check_routes(scene, skeletons), skeletons)


def baseline_ms(repeats: int = 10) -> float:
    """One single-route search: corner to corner across a fixed field of 8 devices and 100 obstacles."""
    from kelvane.manhattan_router import graph
    scene = ds.make_item("independent", 16, 100, 0).parsed()
    boxes = np.array(scene.obstacles)
    lo, hi = tuple(boxes[:, :2].min(axis=0) - 10), tuple(boxes[:, 2:].max(axis=0) + 10)
    return best_ms(lambda: graph.rail_bridge_v2(lo, hi, (1, 0), (1, 0), scene.delta, list(scene.obstacles),
                                                route_spacing=scene.spacing, dbu=scene.dbu), repeats)


def usable(names: list[str]) -> list[str]:
    """The strategies that can run; a note on stderr for each one skipped."""
    out = []
    for name in names:
        if name != "auto" and name not in STRATEGIES:
            print(f"note: strategy {name!r} is unknown (known: auto, {', '.join(STRATEGIES)}); skipped",
                  file=sys.stderr)
            continue
        try:
            if name != "auto":
                load_backend(name)
        except StrategyUnavailable as e:
            print(f"note: {e}; skipped", file=sys.stderr)
            continue
        out.append(name)
    return out


def median(values) -> float | None:
    v = [x for x in values if x is not None]
    return float(np.median(v)) if v else None


def fmt(v, style: str) -> str:
    return "-" if v is None else format(v, style)


def table(outcomes: list[Outcome], strategies: list[str], base: float, split_obstacles: bool) -> str:
    groups: dict[tuple, list[Outcome]] = defaultdict(list)
    for o in outcomes:
        it = o.item
        groups[(ds.FAMILIES.index(it.family), it.size, it.obstacles if split_obstacles else -1,
                strategies.index(o.strategy))].append(o)
    head = (f"{'family':<12}{'size':>5}{' obst' if split_obstacles else ''}  {'strategy':<12}{'scenes':>6}"
            f"{'clean':>6}{'t/o':>4}{'cross':>12}{'faults':>7}{'len/wit':>8}{'+bends':>7}{'ms med':>9}{'ms max':>9}"
            f"{'x base':>8}")
    lines = [head, "-" * len(head)]
    for (f, size, count, s), rows in sorted(groups.items()):
        strategy = strategies[s]
        forced = sum(o.item.forced_crossings for o in rows)
        cross = sum(o.crossings for o in rows)
        ms = [o.ms for o in rows]
        lines.append(
            f"{ds.FAMILIES[f]:<12}{size:>5}{f'{count:>5}' if split_obstacles else ''}  {strategy:<12}{len(rows):>6}"
            f"{sum(o.report.clean for o in rows):>6}{sum(o.timed_out for o in rows):>4}"
            f"{f'{cross}/{forced}' if forced else str(cross):>12}"
            f"{sum(o.faults for o in rows):>7}{fmt(median(o.length_ratio for o in rows), '.3f'):>8}"
            f"{fmt(median(o.extra_bends for o in rows), '+.2f'):>7}{np.median(ms):>9.1f}{max(ms):>9.1f}"
            f"{times(np.median(ms) / base):>7}x")
    return "\n".join(lines)


def summary(outcomes: list[Outcome], strategies: list[str], base: float) -> str:
    lines = []
    for s in strategies:
        mine = [o for o in outcomes if o.strategy == s]
        feasible = [o for o in mine if o.item.witness is not None]
        swaps = [o for o in mine if o.item.witness is None]
        if feasible:
            share = sum(o.report.clean for o in feasible) / len(feasible)
            ratio = median(o.length_ratio for o in feasible)
            bends = median(o.extra_bends for o in feasible)
            short = ratio is not None and ratio <= LENGTH_TARGET
            few = bends is not None and bends <= BENDS_TARGET
            lines.append(f"{s}: clean {sum(o.report.clean for o in feasible)}/{len(feasible)} = {share:.1%} "
                         f"(target >= {CLEAN_TARGET:.0%}: {met(share >= CLEAN_TARGET)}); length/witness median "
                         f"{fmt(ratio, '.3f')} (<= {LENGTH_TARGET}: {met(short)}); extra bends per route median "
                         f"{fmt(bends, '+.2f')} (<= {BENDS_TARGET:g}: {met(few)})")
        if swaps:
            lines.append(f"{s}: reversed swaps: crossings {sum(o.crossings for o in swaps)} where "
                         f"{sum(o.item.forced_crossings for o in swaps)} are forced, other findings "
                         f"{sum(o.faults for o in swaps)}")
        for what, families, size, count, limit in TIME_TARGETS:
            rows = [o for o in mine if o.item.family in families and o.item.size == size and o.item.obstacles == count]
            ms = [o.ms for o in rows]
            if ms:
                over = ">" if any(o.timed_out for o in rows) else ""
                lines.append(f"  {what} < {limit:g} ms: slowest {over}{max(ms):.1f} ms "
                             f"({times(max(ms) / base)}x base), median {np.median(ms):.1f} ms over {len(ms)} scenes: "
                             f"{met(max(ms) < limit)}")
    return "\n".join(lines)


def times(ratio: float) -> str:
    return f"{ratio:.2g}" if ratio < 10 else f"{ratio:.0f}"


def met(ok: bool) -> str:
    return "met" if ok else "NOT met"


def by_kind(report: Report) -> str:
    return ", ".join(f"{k} {n}" for k, n in Counter(f.kind for f in report.findings).most_common())


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--strategies", default="auto", help="comma-separated strategies (default auto)")
    ap.add_argument("--quick", action="store_true", help="one seed a cell")
    ap.add_argument("--seeds", type=int, default=3, help="seeds a cell (default 3)")
    ap.add_argument("--family", action="append", help="only these families (repeatable or comma-separated)")
    ap.add_argument("--split-obstacles", action="store_true", help="one row per obstacle count")
    ap.add_argument("--write", metavar="DIR", help="write the scenes and their witnesses")
    ap.add_argument("--svg", metavar="DIR", help="draw every result (<scene>.<strategy>.svg)")
    ap.add_argument("--json", metavar="FILE", help="write one record per scene and strategy")
    ap.add_argument("--timeout", type=float, default=60.0,
                    help="seconds one strategy may take on one scene before it is stopped and counted as routing "
                         "nothing (default 60; 0: no limit, route in this process)")
    ap.add_argument("--worst", type=int, default=12, help="scenes with most findings to list (default 12)")
    args = ap.parse_args()

    families = [f for arg in args.family or [] for f in arg.split(",")] or list(ds.FAMILIES)
    unknown = [f for f in families if f not in ds.FAMILIES]
    if unknown:
        ap.error(f"unknown family {', '.join(unknown)} (known: {', '.join(ds.FAMILIES)})")
    strategies = usable([s.strip() for s in args.strategies.split(",") if s.strip()])
    items = ds.corpus(1 if args.quick else args.seeds, families)
    if args.write:
        ds.write_corpus(items, args.write)
    if args.svg:
        Path(args.svg).mkdir(parents=True, exist_ok=True)

    base = baseline_ms()
    worker = Worker() if args.timeout > 0 else None
    outcomes: list[Outcome] = []
    for i, item in enumerate(items):
        for s in strategies:
            o = route(item, s, worker, args.timeout)
            outcomes.append(o)
            what = "timed out" if o.timed_out else "clean" if o.report.clean else by_kind(o.report)
            print(f"[{i + 1}/{len(items)}] {item.name} {s}: {o.ms:.1f} ms, {what}", file=sys.stderr, flush=True)
            if args.svg:
                title = f"{item.name} {s}" + (f" ({o.used})" if s == "auto" and o.used else "") + f": {what}"
                svg = render_svg(item.parsed(), o.skeletons, o.report.findings, title=title)
                (Path(args.svg) / f"{item.name}.{s}.svg").write_text(svg)
    if worker is not None:
        worker.close()
    base = min(base, baseline_ms())

    print(f"baseline: one rail_bridge_v2 search across 8 devices and 100 obstacles, {base:.3f} ms (best of 10, twice)")
    print(f"corpus: {len(items)} scenes ({', '.join(families)}), delta {ds.DELTA:g}, spacing {ds.SPACING:g}, "
          f"pitch {ds.PITCH:g}")
    print()
    print(table(outcomes, strategies, base, args.split_obstacles))
    print()
    print(summary(outcomes, strategies, base))
    worst = sorted((o for o in outcomes if o.excess), key=lambda o: -o.excess)[:args.worst]
    if worst:
        print()
        print("most findings (beyond forced crossings):")
        for o in worst:
            used = f" ({o.used})" if o.strategy == "auto" else ""
            print(f"  {o.item.name}.json  {o.strategy}{used}: "
                  f"{f'timed out after {args.timeout:g} s' if o.timed_out else by_kind(o.report)}")
    if args.json:
        records = [{"scene": o.item.name, "family": o.item.family, "size": o.item.size,
                    "obstacles": o.item.obstacles, "seed": o.item.seed, "strategy": o.strategy, "used": o.used,
                    "ms": round(o.ms, 3), "timed_out": o.timed_out, "clean": o.report.clean,
                    "forced_crossings": o.item.forced_crossings,
                    "findings": dict(Counter(f.kind for f in o.report.findings)),
                    "length_ratio": o.length_ratio, "extra_bends": o.extra_bends} for o in outcomes]
        Path(args.json).write_text(json.dumps({"baseline_ms": base, "results": records}, indent=1))


if __name__ == "__main__":
    main()
