"""Route one scene: pick the strategy, run it, check the result, summarise it."""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Any, Sequence

import numpy as np

from .check import Report, check_routes
from .scene import Scene
from .strategies import STRATEGIES, StrategyUnavailable, load_backend

__all__ = ["Attempt", "RouteResult", "route_scene", "auto_chain", "summary_row", "format_table", "SUMMARY_COLUMNS"]


@dataclass
class Attempt:
    """One strategy tried on a scene: clean, conflicts, failed or unavailable."""

    strategy: str
    status: str
    seconds: float = 0.0
    message: str = ""


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

    @property
    def clean(self) -> bool:
        """True when every route is routed and the checker found nothing."""
        return self.report.clean


def _plain_bundle(scene: Scene) -> bool:
    """Several routes that all leave the same way and all arrive the same way."""
    return (len(scene.routes) > 1 and len({r.start_heading for r in scene.routes}) == 1
            and len({r.end_heading for r in scene.routes}) == 1)


def auto_chain(scene: Scene) -> list[str]:
    """Strategies `auto` tries, in order, until one gives a clean result.

    A plain bundle goes to the backbone, then rail-bridge, then the negotiated
    router, and single routes last; any other scene to single routes, then the
    negotiated router.
    """
    if _plain_bundle(scene):
        return ["backbone", "rail-bridge", "negotiated", "single"]
    if len(scene.routes) == 1:
        return ["single"]
    return ["single", "negotiated"]


def _run(name: str, scene: Scene) -> tuple[Attempt, list[np.ndarray | None] | None, Report | None, dict]:
    try:
        module = load_backend(name)
    except StrategyUnavailable as e:
        return Attempt(name, "unavailable", 0.0, str(e)), None, None, {}
    # Timed from here: a module's first import (the bundle module loads jax,
    # about a second) is not routing.
    t0 = time.perf_counter()
    try:
        skeletons, info = STRATEGIES[name].run(module, scene, dict(scene.options.get(name, {})))
    except Exception as e:  # a router error is reported, never a traceback
        return Attempt(name, "failed", time.perf_counter() - t0, f"{type(e).__name__}: {e}"), None, None, {}
    seconds = time.perf_counter() - t0
    report = check_routes(scene, skeletons)
    status = "clean" if report.clean else "conflicts"
    return Attempt(name, status, seconds), skeletons, report, info


def route_scene(scene: Scene, strategy: str | None = None) -> RouteResult:
    """Route `scene` with `strategy` (default: the scene's own, usually "auto").

    ``auto`` runs the strategies of `auto_chain` until the checker finds a result
    clean, and keeps the best result (`Report.score`) otherwise; unavailable
    strategies are skipped.  A named strategy runs alone.  Router errors are
    caught and reported in ``attempts``; when no strategy produced routes, the
    result has ``strategy`` None and the report lists every route as unrouted.
    """
    name = strategy or scene.strategy
    chain = auto_chain(scene) if name == "auto" else [name]
    attempts: list[Attempt] = []
    best: tuple[Any, ...] | None = None

    def attempt(s: str) -> bool:
        nonlocal best
        tried, skeletons, report, info = _run(s, scene)
        attempts.append(tried)
        if report is None:
            return False
        if best is None or report.score() < best[1].score():
            best = (skeletons, report, s, info)
        return report.clean

    for s in chain:
        if attempt(s):
            break
    seconds = sum(a.seconds for a in attempts)  # routers only, not the checks between them
    if best is None:
        skeletons = [None] * len(scene.routes)
        return RouteResult(scene, skeletons, None, check_routes(scene, skeletons), seconds, attempts)
    skeletons, report, used, info = best
    return RouteResult(scene, skeletons, used, report, seconds, attempts, info)


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
