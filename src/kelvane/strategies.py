"""The routing strategies a scene can be routed with, and how each back end is called.

Each strategy names the extension module it needs, the keyword options a scene
may pass to it, a runner ``run(module, scene, options) -> (skeletons, info)``,
how long it takes on a large scene (`cost`: what `auto` runs when) and the
scene settings it cannot take into account (`ignores`).  Modules are imported
only when a strategy runs, so a strategy whose module is not built reports
itself unavailable instead of breaking the others.
"""

from __future__ import annotations

import importlib
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable

import numpy as np

if TYPE_CHECKING:
    from .scene import Scene

__all__ = ["Strategy", "StrategyUnavailable", "STRATEGIES", "load_backend", "bundles"]

Skeletons = list[np.ndarray | None]


class StrategyUnavailable(RuntimeError):
    """The module behind a strategy cannot be imported."""


@dataclass(frozen=True)
class Strategy:
    """A routing strategy: its module, the options a scene may set, its runner."""

    name: str
    module: str
    options: tuple[str, ...]
    run: Callable[[Any, "Scene", dict[str, Any]], tuple[Skeletons, dict[str, Any]]]
    doc: str
    # How its time grows on large scenes: "fast" (one search per bundle or a
    # few per lane: milliseconds), "medium" (searches per route that grow
    # with the routes around them: up to seconds), "slow" (up to minutes).
    cost: str = "fast"
    ignores: tuple[str, ...] = ()   # scene settings the router has no parameter for
    takes_budget: bool = False      # the runner takes a "time_budget" option (seconds)


def _skeletons(raw: Any, n: int) -> Skeletons:
    out = [None if s is None else np.asarray(s, dtype=float).reshape(-1, 2) for s in raw]
    if len(out) != n:
        raise RuntimeError(f"the router returned {len(out)} routes for {n} ports")
    return out


def _run_single(graph: Any, scene: "Scene", opts: dict[str, Any]) -> tuple[Skeletons, dict[str, Any]]:
    # One route after the other; every route keeps the spacing from those before it.
    placed: list[np.ndarray] = []
    infos = []
    obstacles = list(scene.obstacles)
    for r in scene.routes:
        skel, info = graph.rail_bridge_v2(r.start, r.end, r.start_heading, r.end_heading, scene.delta, obstacles,
                                          route_spacing=scene.spacing, route_pivots=placed, dbu=scene.dbu, **opts)
        placed.append(np.asarray(skel, dtype=float))
        infos.append(info)
    return list(placed), {"infos": infos}


def bundles(scene: "Scene") -> list[list[int]]:
    """The scene's routes grouped into bundles: routes that leave the same way
    and arrive the same way with their starts and their ends near each other's
    (within three times the bundle's port pitch), in file order of their first
    route.  A route that belongs to no bundle is a bundle of its own."""
    n = len(scene.routes)
    parent = list(range(n))

    def root(i: int) -> int:
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    by_heading: dict[tuple, list[int]] = {}
    for i, r in enumerate(scene.routes):
        by_heading.setdefault((r.start_heading, r.end_heading), []).append(i)
    for group in by_heading.values():
        if len(group) < 2:
            continue
        starts = np.array([scene.routes[i].start for i in group], dtype=float)
        ends = np.array([scene.routes[i].end for i in group], dtype=float)
        d_start = np.abs(starts[:, None, :] - starts[None, :, :]).sum(axis=2)
        d_end = np.abs(ends[:, None, :] - ends[None, :, :]).sum(axis=2)
        np.fill_diagonal(d_start, np.inf)
        np.fill_diagonal(d_end, np.inf)
        pitch = float(np.median(np.maximum(d_start.min(axis=1), d_end.min(axis=1))))
        reach = 3.0 * max(pitch, scene.spacing)
        for a, b in zip(*np.nonzero((d_start <= reach) & (d_end <= reach))):
            parent[root(group[a])] = root(group[b])
    out: dict[int, list[int]] = {}
    for i in range(n):
        out.setdefault(root(i), []).append(i)
    return list(out.values())


def _run_river(engine: Any, scene: "Scene", opts: dict[str, Any]) -> tuple[Skeletons, dict[str, Any]]:
    # Each bundle as a river, the larger ones first; later bundles keep the
    # spacing from the routes laid before them.
    sp, ep, st, et = scene.port_arrays()
    skeletons: Skeletons = [None] * len(scene.routes)
    placed: list[np.ndarray] = []
    infos = []
    for group in sorted(bundles(scene), key=len, reverse=True):
        lanes, info = engine.route_river(sp[group], ep[group], st[group], et[group], scene.delta,
                                         list(scene.obstacles), scene.spacing, pivots=placed, dbu=scene.dbu, **opts)
        for i, lane in zip(group, lanes):
            skeletons[i] = np.asarray(lane, dtype=float)
        placed += [np.asarray(lane, dtype=float) for lane in lanes]
        infos.append({"routes": [scene.routes[i].name for i in group], "side": info["side"],
                      "whole": info["whole"], "unclean": info["unclean"], "searches": info["searches"]})
    return skeletons, {"bundles": infos}


def _run_negotiated(mod: Any, scene: "Scene", opts: dict[str, Any]) -> tuple[Skeletons, dict[str, Any]]:
    sp, ep, st, et = scene.port_arrays()
    centers, tangents = np.stack([sp, ep], axis=1), np.stack([st, et], axis=1)
    skels = mod.negotiate_routes(centers, tangents, scene.delta, list(scene.obstacles), dbu=scene.dbu, **opts)
    return _skeletons(skels, len(scene.routes)), {}


def _run_spaced(engine: Any, scene: "Scene", opts: dict[str, Any]) -> tuple[Skeletons, dict[str, Any]]:
    sp, ep, st, et = scene.port_arrays()
    skels, info = engine.negotiate_spaced(sp, ep, st, et, scene.delta, list(scene.obstacles),
                                          route_spacing=scene.spacing, dbu=scene.dbu, **opts)
    return _skeletons(skels, len(scene.routes)), dict(info)


def _bundle_core_runner(strategy: str) -> Callable[[Any, "Scene", dict[str, Any]], tuple[Skeletons, dict[str, Any]]]:
    # The bundle module's strategies through engine.route_bundle: the same
    # core with the default helpers, without importing jax.
    def run(engine: Any, scene: "Scene", opts: dict[str, Any]) -> tuple[Skeletons, dict[str, Any]]:
        sp, ep, st, et = scene.port_arrays()
        skels, info = engine.route_bundle(strategy, sp, ep, st, et, scene.delta, list(scene.obstacles),
                                          scene.spacing, dbu=scene.dbu, **opts)
        return _skeletons(skels, len(scene.routes)), {"order": info["order"]} if info["order"] else {}
    return run


STRATEGIES: dict[str, Strategy] = {s.name: s for s in (
    Strategy("river", "kelvane.engine", ("turn_bias", "sliding_bias", "sides", "relay_rounds"), _run_river,
             "each bundle as a planar ribbon, lane after lane along its axis (engine.route_river); "
             "the larger bundles first, each clear of the routes before it"),
    Strategy("single", "kelvane.manhattan_router.graph", ("turn_bias", "sliding_bias"), _run_single,
             "each route on its own (rail_bridge_v2), in file order, clear of the earlier ones", cost="medium"),
    Strategy("negotiated", "kelvane.manhattan_router.negotiated",
             ("turn_bias", "iters", "overlap_pen", "node_pen", "hist_weight", "hist_decay", "turn_pen", "gauss_seidel",
              "avoid_ports", "cage_margin", "cage_layers", "port_clearance", "route_to_port", "n_orders", "seed",
              "min_orders"),
             _run_negotiated, "all routes at once on a shared lattice (negotiate_routes)", cost="slow",
             ignores=("spacing",)),
    Strategy("backbone", "kelvane.engine",
             ("turn_bias", "sliding_bias", "backbone_clearance_factor", "bundle_separation_factor",
              "backbone_selection"),
             _bundle_core_runner("backbone"),
             "lanes offset from one routed backbone (the bundle core of bundle_backbone_v2, via engine.route_bundle)",
             # One search, but with the whole bundle's bend radius: ports a few such
             # radii apart make the router loop and search again (up to a second).
             cost="medium"),
    Strategy("rail-bridge", "kelvane.engine",
             ("routing_order", "turn_bias", "sliding_bias", "inflate_delta"),
             _bundle_core_runner("rail-bridge"),
             "bundle lanes one by one (the bundle core of bundle_rail_bridge_v2, via engine.route_bundle)", cost="slow"),
    Strategy("spaced", "kelvane.engine", ("crossing_cost", "max_passes"), _run_spaced,
             "routes negotiated to keep the spacing, crossing where a detour costs more (negotiate_spaced)",
             cost="medium", takes_budget=True),
)}


def load_backend(name: str) -> Any:
    """Import the module behind strategy `name`; `StrategyUnavailable` says why it cannot be."""
    module = STRATEGIES[name].module
    try:
        return importlib.import_module(module)
    except ImportError as e:
        missing = getattr(e, "name", None)
        why = "is not built" if missing == module else f"cannot be imported ({e})"
        raise StrategyUnavailable(f"strategy {name!r} is not available: module {module} {why}") from None
