"""Route one scene: pick the strategy, run it, check the result, summarise it.

A named strategy runs alone.  ``auto`` tries candidates (strategies, some with
variants of their options) and keeps the best by `Wrongness`: the size of
what is wrong (broken routes, shared track, crossings other than one for each
pair whose ports force it, length through obstacles, spacing shortfall, bend misfits), then length and
bends.  The fast candidates always run; the medium ones too, except on a
plain bundle that needs no crossing and already has a clean result; the slow ones only while
nothing clean has been found; all within a time budget, after which the best
result so far is kept.
"""

from __future__ import annotations

import contextlib
import importlib
import time
from dataclasses import dataclass, field
from typing import Any, Iterator, Sequence

import numpy as np

from .check import Report, check_routes
from .scene import Scene
from .strategies import STRATEGIES, StrategyUnavailable, load_backend

__all__ = ["Attempt", "Candidate", "RouteResult", "Wrongness", "route_scene", "candidates", "forced_pairs", "forced_crossings", "finding_lines",
           "wrongness", "summary_row", "format_table", "SUMMARY_COLUMNS", "DEFAULT_TIME_BUDGET"]

# Seconds a strategy (auto: all its candidates) may spend on one scene before
# the best result so far is kept.
DEFAULT_TIME_BUDGET = 10.0
# Once a result is clean, a further candidate may take this many times the
# time spent so far (at least CLEAN_GRACE seconds): a better result is
# welcome, a long wait for one is not.
CLEAN_SHARE, CLEAN_GRACE = 4.0, 1.0


@dataclass(frozen=True, order=True)
class Wrongness:
    """What is wrong with a result, worst first, then its length and bends: smaller is better."""

    broken: int = 0          # routes unrouted, or not joining their ports with the right headings
    shared: float = 0.0      # length of track shared by two routes
    crossings: int = 0       # crossings beyond one a forced pair, and forced pairs that do not cross
    intrusion: float = 0.0   # length run through obstacles
    spacing: float = 0.0     # total shortfall of the spacing to routes and of spacing / 2 to obstacles
    bends: float = 0.0       # total shortfall of runs too short for their bends
    length: float = 0.0
    bend_count: int = 0

    @property
    def clean(self) -> bool:
        """Nothing wrong but the forced crossings."""
        return (self.broken, self.shared, self.crossings, self.intrusion, self.spacing, self.bends) == \
            (0, 0.0, 0, 0.0, 0.0, 0.0)

    def describe(self) -> str:
        """The non-zero measures, e.g. "shared 12, crossings 2, length 5160, bends 24"."""
        parts = [f"{label} {value:.6g}" for label, value in (
            ("broken", self.broken), ("shared", self.shared), ("crossings", self.crossings),
            ("intrusion", self.intrusion), ("spacing short", self.spacing), ("bend misfit", self.bends)) if value]
        return ", ".join(parts + [f"length {self.length:.6g}", f"bends {self.bend_count}"])


def forced_pairs(scene: Scene) -> set[frozenset[str]]:
    """Pairs of routes (by name) that must cross: a reversed bank, i.e. two
    routes travelling the same way from start to end, both starts behind
    both ends, whose order across the travel differs at the two ends.  Going
    round a device instead is a detour a designer does not want.  No other
    pair is forced: whether one route can pass round the other depends on
    the devices."""
    out: set[frozenset[str]] = set()
    routes = scene.routes
    for i in range(len(routes)):
        for j in range(i + 1, len(routes)):
            if _must_cross(routes[i], routes[j]):
                out.add(frozenset((routes[i].name, routes[j].name)))
    return out


def _must_cross(a: Any, b: Any) -> bool:
    h = tuple(a.start_heading)
    if not h == tuple(a.end_heading) == tuple(b.start_heading) == tuple(b.end_heading):
        return False

    def along(p: Any) -> float:
        return float(h[0] * p[0] + h[1] * p[1])

    def left(p: Any) -> float:  # cross(heading, point)
        return float(h[0] * p[1] - h[1] * p[0])
    if max(along(a.start), along(b.start)) >= min(along(a.end), along(b.end)):
        return False
    return (left(a.start) - left(b.start)) * (left(a.end) - left(b.end)) < 0


def wrongness(scene: Scene, report: Report, forced: set[frozenset[str]] | None = None) -> Wrongness:
    """The `Wrongness` of a checked result; `forced`: forced_pairs(scene), computed when not given."""
    if forced is None:
        forced = forced_pairs(scene)
    crossed = _crossings_by_pair(report)
    spacing = intrusion = misfit = 0.0
    for f in report.findings:
        if f.kind == "obstacle":
            intrusion += f.amount
        elif f.kind == "spacing":
            spacing += max(0.0, scene.spacing - f.amount)
        elif f.kind == "clearance":
            spacing += max(0.0, scene.spacing / 2 - f.amount)
        elif f.kind == "short":
            misfit += max(0.0, 2 * scene.delta - f.amount) if "between two bends" in f.detail else \
                max(0.0, scene.delta - f.amount)
    # A forced pair that does not cross has gone round a device: as wrong as
    # a crossing too many.
    crossings = sum(abs(crossed.get(pair, 0) - 1) for pair in forced) + \
        sum(n for pair, n in crossed.items() if pair not in forced)
    return Wrongness(report.count("unrouted", "end", "heading", "diagonal", "nonfinite"), report.shared_track,
                     crossings, intrusion, spacing, misfit, float(sum(report.lengths)), int(sum(report.bends)))


def forced_crossings(scene: Scene, report: Report) -> list[bool]:
    """Per finding of the report: is it the one crossing of a pair whose ports force it?"""
    forced, crossings = forced_pairs(scene), _crossings_by_pair(report)
    return [f.kind == "crossing" and frozenset((f.route, f.other)) in forced
            and crossings[frozenset((f.route, f.other))] == 1 for f in report.findings]


def _crossings_by_pair(report: Report) -> dict[frozenset[str], int]:
    out: dict[frozenset[str], int] = {}
    for f in report.findings:
        if f.kind == "crossing":
            pair = frozenset((f.route, f.other))
            out[pair] = out.get(pair, 0) + 1
    return out


def finding_lines(scene: Scene, report: Report, marks: list[bool] | None = None) -> list[str]:
    """The report's findings as text; the one crossing of a pair whose ports force it is
    marked so (`marks`: forced_crossings(scene, report), computed when not given)."""
    if marks is None:
        marks = forced_crossings(scene, report)
    return [f"{f} (forced by the port order)" if forced else str(f) for f, forced in zip(report.findings, marks)]


@dataclass(frozen=True)
class Candidate:
    """A strategy with options of its own over the scene's, as `auto` tries it."""

    strategy: str
    options: tuple[tuple[str, Any], ...] = ()

    @property
    def label(self) -> str:
        """e.g. "rail-bridge" or "rail-bridge inflate_delta=false routing_order=given"."""
        opts = " ".join(f"{k}={str(v).lower() if isinstance(v, bool) else v}" for k, v in self.options)
        return f"{self.strategy} {opts}" if opts else self.strategy


@dataclass
class Attempt:
    """One candidate tried on a scene: clean, conflicts, failed, unavailable or skipped."""

    strategy: str
    status: str
    seconds: float = 0.0
    message: str = ""
    wrong: Wrongness | None = None
    cut: bool = False  # the time budget ended it early: its best result so far

    def describe(self) -> str:
        """One line for the summary: status, what is wrong, time."""
        if self.status in ("unavailable", "skipped"):
            return f"{self.strategy} ({self.status}{': ' + self.message if self.status == 'skipped' else ''})"
        parts = [self.status]
        if self.wrong is not None:
            parts.append(self.wrong.describe())
        parts.append(f"{self.seconds * 1e3:.1f} ms" + (", cut by the time budget" if self.cut else ""))
        return f"{self.strategy} ({'; '.join(parts)})"


@dataclass
class RouteResult:
    """The routes of a scene, the strategy that produced them, and the checker's report."""

    scene: Scene
    skeletons: list[np.ndarray | None]
    strategy: str | None
    report: Report
    seconds: float
    attempts: list[Attempt] = field(default_factory=list)
    info: dict[str, Any] = field(default_factory=dict)
    wrong: Wrongness | None = None
    budget_reached: bool = False  # auto stopped trying (or cut a candidate short) at its time budget

    @property
    def clean(self) -> bool:
        """True when every route is routed and the checker found nothing but
        one crossing for each pair of routes whose ports force it."""
        return self.wrong.clean if self.wrong is not None else self.report.clean


def _plain_bundle(scene: Scene) -> bool:
    """Several routes that all leave the same way and all arrive the same way."""
    return (len(scene.routes) > 1 and len({r.start_heading for r in scene.routes}) == 1
            and len({r.end_heading for r in scene.routes}) == 1)


def candidates(scene: Scene) -> list[Candidate]:
    """What `auto` tries on `scene`, by cost: fast, medium, then slow strategies.

    One route: single.  A plain bundle: river, backbone, single, rail-bridge
    in every lane order with and without the inflated radius, the negotiated
    router.  Other scenes: river (each bundle of the scene as a ribbon),
    single, the negotiated router.  Strategies registered beyond these join
    by their cost.  Variants that change an option the scene sets itself are
    left out.
    """
    if len(scene.routes) == 1:
        names = ["single"]
    elif _plain_bundle(scene):
        names = ["river", "backbone", "single", "rail-bridge", "negotiated"]
    else:
        names = ["river", "single", "negotiated"]
    if len(scene.routes) > 1:
        names[-1:-1] = [n for n in STRATEGIES if n not in ("river", "single", "backbone", "rail-bridge", "negotiated")]
    out: list[Candidate] = []
    for name in names:
        if name != "rail-bridge":
            out.append(Candidate(name))
            continue
        own = scene.options.get(name, {})
        for order in ("center-out", "outside-in", "given", "reverse"):
            for inflate in (True, False):
                variant = {"routing_order": order, "inflate_delta": inflate}
                if any(k in own and own[k] != v for k, v in variant.items()):
                    continue
                changed = tuple((k, v) for k, v in variant.items() if (k, v) not in
                                (("routing_order", "center-out"), ("inflate_delta", True)))
                out.append(Candidate(name, changed))
    rank = {"fast": 0, "medium": 1, "slow": 2}
    return sorted(out, key=lambda c: rank[STRATEGIES[c.strategy].cost])


@contextlib.contextmanager
def _time_budget(seconds: float | None) -> Iterator[Any]:
    """The native routers' deadline for the calls inside, when the engine has one."""
    budget = None
    if seconds is not None:
        try:
            budget = getattr(importlib.import_module("kelvane.engine"), "time_budget", None)
        except ImportError:
            budget = None
    if budget is None:
        yield None
        return
    with budget(max(seconds, 1e-3)) as b:
        yield b


def _run(candidate: Candidate, scene: Scene, forced: set[frozenset[str]], seconds: float | None
         ) -> tuple[Attempt, list[np.ndarray | None] | None, Report | None, dict]:
    name = candidate.strategy
    try:
        module = load_backend(name)
    except StrategyUnavailable as e:
        return Attempt(candidate.label, "unavailable", 0.0, str(e)), None, None, {}
    strategy = STRATEGIES[name]
    notes = [f"{candidate.label}: takes no {key} (the scene's {key} does not reach it)" for key in strategy.ignores
             if key == "spacing"]
    options = {**scene.options.get(name, {}), **dict(candidate.options)}
    if strategy.takes_budget and seconds is not None:
        options["time_budget"] = min(seconds, options.get("time_budget", seconds))
    # Timed from here: a module's first import is not routing.
    t0 = time.perf_counter()
    try:
        with _time_budget(seconds) as budget:
            skeletons, info = strategy.run(module, scene, options)
    except Exception as e:  # a router error is reported, never a traceback
        return Attempt(candidate.label, "failed", time.perf_counter() - t0, f"{type(e).__name__}: {e}"), \
            None, None, {}
    elapsed = time.perf_counter() - t0
    report = check_routes(scene, skeletons)
    wrong = wrongness(scene, report, forced)
    attempt = Attempt(candidate.label, "clean" if wrong.clean else "conflicts", elapsed, "; ".join(notes), wrong,
                      cut=bool(budget is not None and budget.reached))
    return attempt, skeletons, report, info


def route_scene(scene: Scene, strategy: str | None = None, time_budget: float | None = None) -> RouteResult:
    """Route `scene` with `strategy` (default: the scene's own, usually "auto").

    ``auto`` runs the `candidates` and keeps the best by `Wrongness`: every
    fast candidate, the medium ones unless the scene is a plain bundle that
    needs no crossing and has a clean result already, the slow ones while no result is clean, until
    `time_budget` seconds (default DEFAULT_TIME_BUDGET) have been spent; a
    candidate running at that moment comes back with its best result so far.
    Before a clean result a candidate gets at most half the time left (all
    of it when it is the last); after one, at most CLEAN_SHARE times the time
    spent so far (at least CLEAN_GRACE seconds).
    A named strategy runs alone, within `time_budget` (the same default).
    Router errors are caught and reported in ``attempts``; when no strategy
    produced routes, the result has ``strategy`` None and the report lists
    every route as unrouted.
    """
    name = strategy or scene.strategy
    auto = name == "auto"
    if time_budget is None:
        time_budget = DEFAULT_TIME_BUDGET
    chain = candidates(scene) if auto else [Candidate(name)]
    forced = forced_pairs(scene)
    ribbon = _plain_bundle(scene) and not forced  # a bundle that can run without crossings
    attempts: list[Attempt] = []
    best: tuple[Any, ...] | None = None
    spent = 0.0
    reached = False
    for c in chain:
        left = None if time_budget is None else time_budget - spent
        cost = STRATEGIES[c.strategy].cost
        if auto and best is not None and best[0].clean and (cost == "slow" or (cost == "medium" and ribbon)):
            attempts.append(Attempt(c.label, "skipped", message="a clean result is in hand"))
            continue
        if left is not None and left <= 0:
            attempts.append(Attempt(c.label, "skipped", message="the time budget is spent"))
            reached = True
            continue
        if auto and left is not None and best is not None and best[0].clean:
            left = min(left, max(CLEAN_GRACE, CLEAN_SHARE * spent))
        elif auto and left is not None and c is not chain[-1]:
            left = left / 2  # the candidates after it get a chance too
        tried, skeletons, report, info = _run(c, scene, forced, left)
        attempts.append(tried)
        spent += tried.seconds
        reached = reached or tried.cut
        if report is not None and (best is None or tried.wrong < best[0]):
            best = (tried.wrong, skeletons, report, c.label, info)
    if best is None:
        skeletons = [None] * len(scene.routes)
        report = check_routes(scene, skeletons)
        return RouteResult(scene, skeletons, None, report, spent, attempts, wrong=wrongness(scene, report, forced),
                           budget_reached=reached)
    wrong, skeletons, report, used, info = best
    return RouteResult(scene, skeletons, used, report, spent, attempts, info, wrong, reached)


# Columns of the summary table: key, title, alignment, meaning.
SUMMARY_COLUMNS = (
    ("scene", "scene", "<", "scene file"),
    ("strategy", "strategy", "<", "strategy that produced the routes"),
    ("routes", "routes", ">", "routed / all routes"),
    ("length", "length", ">", "total length of all routes"),
    ("bends", "bends", ">", "total number of bends"),
    ("crossings", "crossings", ">", "crossing or touching routes"),
    ("shared", "shared track", ">", "length of track shared by two routes"),
    ("obstacle", "obstacle", ">", "runs through an obstacle's interior"),
    ("spacing", "spacing", ">", "closer than the spacing to a route, or than spacing/2 to an obstacle"),
    ("other", "other", ">", "unrouted, wrong end point or heading, diagonal or too-short runs"),
    ("ms", "ms", ">", "time in the routers, milliseconds (all strategies tried; module imports not counted)"),
)


def summary_row(result: RouteResult, name: str = "") -> dict[str, Any]:
    """One row of the summary table (keys and meanings in SUMMARY_COLUMNS); route files carry it too."""
    rep = result.report
    routed = len(result.skeletons) - rep.count("unrouted")
    return {
        "scene": name or result.scene.source,
        "strategy": result.strategy or "-",
        "routes": f"{routed}/{len(result.skeletons)}",
        "length": round(sum(rep.lengths), 6),
        "bends": sum(rep.bends),
        "crossings": rep.count("crossing"),
        "shared": round(rep.shared_track, 6),
        "obstacle": rep.count("obstacle"),
        "spacing": rep.count("spacing", "clearance"),
        "other": rep.count("unrouted", "end", "heading", "nonfinite", "diagonal", "short"),
        "ms": round(result.seconds * 1e3, 3),
    }


def format_table(rows: Sequence[dict[str, Any]]) -> str:
    """The summary rows as an aligned text table."""
    def cell(v: Any) -> str:
        return f"{v:.6g}" if isinstance(v, float) else str(v)
    texts = [[cell(r.get(col[0], "")) for col in SUMMARY_COLUMNS] for r in rows]
    widths = [max([len(col[1])] + [len(t[i]) for t in texts]) for i, col in enumerate(SUMMARY_COLUMNS)]

    def line(cells: Sequence[str]) -> str:
        return "  ".join(c.ljust(w) if col[2] == "<" else c.rjust(w)
                         for c, w, col in zip(cells, widths, SUMMARY_COLUMNS)).rstrip()
    return "\n".join([line([col[1] for col in SUMMARY_COLUMNS])] + [line(t) for t in texts])
