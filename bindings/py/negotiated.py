"""Negotiated-congestion router: every route of a scene at once on one shared lattice
(negotiate_routes; route_negotiated_best also gives the lattice paths and the order).

Every helper is called through its module-level name, looked up when the call
happens: replace one (e.g. negotiated._route_pen) to watch or change how it is
called.  While none is replaced a run stays in C++ without the GIL.
"""

import dataclasses
import itertools
import random
from dataclasses import dataclass
import numpy as np
from kelvane.manhattan_router.graph import (
    _DIR_IDX,
    _OPP,
    Obstacle,
    _build_rail_bridge_graph,
    _direction,
    _ekey,
    _extend_short_segments,
    _interleaved_pos,
    _ObstacleIndex,
    _reconstruct_path,
    _run_dijkstra,
    _segment_blocked,
    _select_end_state,
)

BLOCK_PEN = 1000000.0
_SNAP = 0.001


@dataclass
class _Scene:
    """Scene of a negotiated run: route_negotiated_best's arguments, port_centers and
    port_tangents as float arrays, obstacles as float tuples, dbu None snapping to _SNAP."""

    port_centers: "np.ndarray"
    port_tangents: "np.ndarray"
    delta: "float"
    obstacles: "list"
    dbu: "float" = None


def _define(_native, _intact):
    global _route_pen, _atomic_edges, _self_intersections, _repair_self_intersections, _seg_crosses
    global _repair_score, _finalize_simple, _per_route_graphs, build_shared_lattice, _shared_view
    global _port_block_owners, route_negotiated, count_crossings_atomic, _manhattan_length, _count_turns
    global _cage_ladder, _orders_for, _best_over_orders, route_negotiated_best, negotiate_routes

    # The module-level names each native road stands in for (everything its
    # Python body reaches, directly or further down).
    search = ("_run_dijkstra", "_select_end_state", "_reconstruct_path")
    lattice = ("_per_route_graphs", "_build_rail_bridge_graph", "_ObstacleIndex")
    run = (("build_shared_lattice", "_shared_view", "dataclasses", "_port_block_owners", "_route_pen",
            "_repair_self_intersections", "_self_intersections", "_atomic_edges", "_ekey", "_DIR_IDX", "_OPP",
            "_direction", "_finalize_simple", "Obstacle", "_extend_short_segments", "_repair_score", "_seg_crosses")
           + search + lattice)
    orders_search = ("route_negotiated", "count_crossings_atomic", "_interleaved_pos", "_manhattan_length",
                     "_count_turns") + run
    from math import factorial  # a name of the body's own, not of the module

    most_passes = most_orders = 10000  # beyond these a call would not finish in reasonable time

    def number(value, name):
        # float(value) by the host's rules; a TypeError naming the argument otherwise.
        try:
            return float(value)
        except (TypeError, ValueError, OverflowError):
            raise TypeError(f"{name} must be a number, got {type(value).__name__}") from None

    def sides(a, b):
        # The side of a by which a step a -> b leaves it, and the side of b by which it arrives.
        d = _direction(a, b)
        return _DIR_IDX[d], _DIR_IDX[_OPP[d]]

    def _route_pen(g, turn_bias, edge_pen, node_chords=None, cross_pen=0.0, blocked_passthrough=frozenset(),
                   turn_pen=0.0):
        """One route searched on its view g under the given penalties: the lattice path
        (list of nodes from g.start to g.end, leaving and arriving along the view's port
        headings) or None when the end cannot be reached."""
        dist, prev = _run_dijkstra(g, turn_bias, blocked_passthrough, edge_pen=edge_pen, node_chords=node_chords,
                                   cross_pen=cross_pen, turn_pen=turn_pen)
        best = _select_end_state(g, dist, turn_bias, turn_pen=turn_pen)
        return None if best is None else _reconstruct_path(prev, best, g.start)

    def _atomic_edges(path):
        """Edge keys _ekey(path[i], path[i + 1]) of a lattice path, one per step, in order."""
        return [_ekey(a, b) for a, b in zip(path, path[1:])]

    def _self_intersections(path):
        """Pass-through bans (node, side) where the path meets a node more than twice."""
        met, nodes = {}, [tuple(q) for q in path]  # node -> the sides the path uses there, once per step
        for a, b in zip(nodes, nodes[1:]):
            out, into = sides(a, b)
            met.setdefault(a, []).append(out)
            met.setdefault(b, []).append(into)
        return {(node, d) for node, used in met.items() if len(used) > 2 for d in set(used) if (d + 2) % 4 in used}

    def _repair_self_intersections(g, path, turn_bias, edge_pen, node_chords, cross_pen, max_tries=4, turn_pen=0.0):
        """Re-search a self-intersecting path with the accumulated bans of _self_intersections."""
        current, blocked = path, set()
        for _ in range(max_tries):
            bad = _self_intersections(current)
            if not bad:
                break
            blocked.update(bad)
            repaired = _route_pen(g, turn_bias, edge_pen, node_chords=node_chords, cross_pen=cross_pen,
                                  blocked_passthrough=frozenset(blocked), turn_pen=turn_pen)
            if repaired is None:
                break
            current = repaired
        return current

    def _seg_crosses(a1, a2, b1, b2, tol=1e-9):
        """Do the axis-parallel segments a1-a2 and b1-b2 cross (touching included)?"""
        a_flat, b_flat = abs(a1[1] - a2[1]) < tol, abs(b1[1] - b2[1]) < tol
        if a_flat == b_flat:
            return False
        (h1, h2), (v1, v2) = ((a1, a2), (b1, b2)) if a_flat else ((b1, b2), (a1, a2))
        return (min(h1[0], h2[0]) - tol < v1[0] < max(h1[0], h2[0]) + tol
                and min(v1[1], v2[1]) - tol < h1[1] < max(v1[1], v2[1]) + tol)

    def _repair_score(path, r, accepted, real_obs, tol=1e-9):
        """(crossings, intrusions) of route r's point path with the other paths and the boxes."""
        steps = list(zip(path, path[1:]))
        crossings = sum(1 for k, other in enumerate(accepted) if k != r and other is not None
                        for a1, a2 in steps for b1, b2 in zip(other, other[1:]) if _seg_crosses(a1, a2, b1, b2))
        intrusions = 0
        for (x1, y1), (x2, y2) in steps:
            for ox0, oy0, ox1, oy1 in real_obs:
                if abs(y1 - y2) < tol:
                    intrusions += oy0 < y1 < oy1 and max(x1, x2) > ox0 + tol and min(x1, x2) < ox1 - tol
                elif abs(x1 - x2) < tol:
                    intrusions += ox0 < x1 < ox1 and max(y1, y2) > oy0 + tol and min(y1, y2) < oy1 - tol
        return crossings, intrusions

    def _finalize_simple(path, g):
        """Corner points of a lattice path, ending at g.end_port; reversals stay."""
        full = [tuple(q) for q in path]
        if full[-1] != g.end_port:
            full.append(tuple(g.end_port))
        corners = [full[0]]
        for (bx, by), (cx, cy) in zip(full[1:-1], full[2:]):
            ax, ay = corners[-1]
            d1x, d1y, d2x, d2y = (round(v, 6) for v in (bx - ax, by - ay, cx - bx, cy - by))
            if d1x * d2y - d1y * d2x != 0 or not d1x * d2x + d1y * d2y > 0:
                corners.append((bx, by))
        return corners + [full[-1]]

    def _per_route_graphs(scene):
        """One _build_rail_bridge_graph per route (sliding_bias 0.5, no minimum segment length)."""
        obstacles = [tuple(float(v) for v in o) for o in scene.obstacles]
        pc, pt = scene.port_centers, scene.port_tangents
        return [_build_rail_bridge_graph(pc[r, 0], pc[r, 1], pt[r, 0], pt[r, 1], scene.delta, obstacles,
                                         sliding_bias=0.5, enforce_min_segment_length=False, dbu=scene.dbu)
                for r in range(pc.shape[0])]

    def build_shared_lattice(scene, cage_margin=None, behind=True, lane_mids=True, cage_layers=None,
                             cage_step=None):
        """The shared lattice of a scene: (H, V, adj, nodes, graphs).

        H, V: the ascending y and x values of the lines: every route graph's lines,
        cage_layers (default max(routes, 2)) lines behind every port (delta, then cage_step,
        default 2 * delta, apart), a mid-line in every gap wider than 2 * delta and cage
        rings from cage_margin (default 3 * delta) outside the ports and obstacles, snapped
        to dbu or _SNAP.  adj: read-only mapping node -> [(neighbour, length), ...] without
        the edges _ObstacleIndex blocks; nodes: its keys (crossings row by row, then the
        port points off them).  graphs: _per_route_graphs(scene).
        """
        routes = _native.scene_routes(scene)
        graphs = _per_route_graphs(scene)
        if routes == 0:
            raise ValueError("build_shared_lattice: the scene has no routes")
        blocked = None if _intact(("_ObstacleIndex",)) else _ObstacleIndex(graphs[0].obs_list, scene.dbu).blocked
        h = [y for g in graphs for y in g.h_lines]
        v = [x for g in graphs for x in g.v_lines]
        lattice = _native.build_shared_lattice(scene, h, v, graphs[0].obs_list, cage_margin, behind, lane_mids,
                                               cage_layers, cage_step, _SNAP, blocked)
        return (*lattice, graphs)

    def _shared_view(g, H, V, adj, nodes):
        """A copy of route graph g on the shared lattice, its ends moved to the nearest nodes."""
        def on_lattice(p):
            return p if p in adj else min(nodes, key=lambda q: abs(q[0] - p[0]) + abs(q[1] - p[1]))

        return dataclasses.replace(g, adj=adj, h_lines=H, v_lines=V, h_bridges=list(g.h_bridges),
                                   v_bridges=list(g.v_bridges), start=on_lattice(g.start), end=on_lattice(g.end),
                                   end_port=on_lattice(g.end_port))

    def _port_block_owners(scene, adj, port_clearance=None):
        """{edge key: set of routes} for the lattice edges (in adj's order) touching a square
        of half-width port_clearance (default delta / 2) round a route's port."""
        return _native.port_block_owners(scene, adj, port_clearance)

    def route_negotiated(scene, turn_bias="center", iters=20, overlap_pen=None, node_pen=None, hist_weight=None,
                         hist_decay=0.5, turn_pen=None, gauss_seidel=True, avoid_ports=True, relax_order=None,
                         cage_margin=None, cage_layers=None, port_clearance=None, route_to_port=True):
        """Route every route of a scene on one shared lattice by negotiated congestion.

        Each route is first searched alone; then up to `iters` (at most 10000) passes
        reroute the routes in relax_order (or all at once with gauss_seidel false) against
        edge penalties (history, BLOCK_PEN near other routes' ports, overlap_pen per other
        user) and node_pen per crossing, until a pass shares no edge and changes no route.
        Defaults: node_pen max(4 * span, 30 * delta), overlap_pen 2 * node_pen, hist_weight
        and turn_pen delta.
        Returns (skels, atomic): per route an N x 2 array of corner points (short segments
        lengthened where that adds no crossing or intrusion) and the lattice path, or None.
        """
        iters = range(iters).stop
        if iters > most_passes:
            raise ValueError(f"iters: at most {most_passes} passes, got {iters!r}")
        # The values the loop uses itself are checked here; those it hands on, where they are used.
        hist_decay = number(hist_decay, "hist_decay")
        overlap_pen, hist_weight = (None if v is None else number(v, name)
                                    for v, name in ((overlap_pen, "overlap_pen"), (hist_weight, "hist_weight")))
        if overlap_pen is None and node_pen is not None:
            node_pen = number(node_pen, "node_pen")
        # The native road (the order search over this one order) answers NotImplemented for a
        # value not in plain form, or one the step using it would refuse: the loop below then
        # raises where it gets there.
        if _intact(run):
            done = _native.best(scene, [relax_order], None, 2, dict(
                turn_bias=turn_bias, iters=iters, overlap_pen=overlap_pen, node_pen=node_pen, hist_weight=hist_weight,
                hist_decay=hist_decay, turn_pen=turn_pen, gauss_seidel=gauss_seidel, avoid_ports=avoid_ports,
                cage_margin=cage_margin, cage_layers=cage_layers, port_clearance=port_clearance,
                route_to_port=route_to_port), BLOCK_PEN, _SNAP)
            if done is not NotImplemented:
                return done[1:3]
        H, V, adj, nodes, graphs = build_shared_lattice(scene, cage_margin=cage_margin, cage_layers=cage_layers)
        d = float(scene.delta)
        if node_pen is None:
            pc = np.asarray(scene.port_centers, dtype=float)
            span = float(pc[:, :, 0].max() - pc[:, :, 0].min()) + float(pc[:, :, 1].max() - pc[:, :, 1].min())
            node_pen = max(4.0 * span, 30.0 * d)
        overlap_pen = 2.0 * node_pen if overlap_pen is None else overlap_pen
        hist_weight = d if hist_weight is None else hist_weight
        turn_pen = d if turn_pen is None else turn_pen
        views = [_shared_view(g, H, V, adj, nodes) for g in graphs]
        if route_to_port:
            views = [dataclasses.replace(v, end=v.end_port, end_approach_len=0.0) if v.end_port in adj else v
                     for v in views]
        B = len(views)
        port_owners = _port_block_owners(scene, adj, port_clearance) if avoid_ports else {}
        edge_hist = {}
        order = list(range(B)) if relax_order is None else list(relax_order)
        hist_eps = 0.001 * d
        paths, edges, turns = [None] * B, [[]] * B, [[]] * B  # per route: its path, its edges, its turns

        def settle(r, p):
            paths[r], edges[r], turns[r] = p, [] if p is None else _atomic_edges(p), []
            for k in range(1, len(p) - 1) if p is not None else ():
                a, b = sides(p[k - 1], p[k])[1], sides(p[k], p[k + 1])[0]
                if a != b:
                    turns[r].append((p[k], (min(a, b), max(a, b))))

        def occupancy(exclude=None):
            # edge -> the routes using it; node -> the turns (pairs of sides) the other routes make there
            use, chords = {}, {}
            for r in range(B):
                for e in edges[r]:
                    use.setdefault(e, set()).add(r)
                for node, chord in turns[r] if r != exclude else ():
                    chords.setdefault(node, []).append(chord)
            return use, chords

        def penalty_for(r, use):
            # History, other routes' port squares, and the other routes' use.
            pen = dict(edge_hist)
            for e, owners in port_owners.items():
                if owners - {r}:
                    pen[e] = pen.get(e, 0.0) + BLOCK_PEN
            for e, users in use.items():
                others = len(users) - (r in users)
                if others:
                    pen[e] = pen.get(e, 0.0) + overlap_pen * others
            return pen

        for r in range(B):
            settle(r, _route_pen(views[r], turn_bias, penalty_for(r, {}), turn_pen=turn_pen))
        for _ in range(iters):
            changed = 0
            if hist_decay != 1.0:
                edge_hist = {e: h * hist_decay for e, h in edge_hist.items() if h * hist_decay > hist_eps}
            if gauss_seidel:
                for r in order:
                    use, chords = occupancy(r)
                    pen = penalty_for(r, use)
                    p = _route_pen(views[r], turn_bias, pen, node_chords=chords, cross_pen=node_pen, turn_pen=turn_pen)
                    if p is None:
                        continue
                    p = _repair_self_intersections(views[r], p, turn_bias, pen, chords, node_pen, turn_pen=turn_pen)
                    if p != paths[r]:
                        changed += 1
                        settle(r, p)
            else:
                use, chords = occupancy()
                new = list(paths)
                for r in range(B):
                    p = _route_pen(views[r], turn_bias, penalty_for(r, use), node_chords=chords,
                                   cross_pen=node_pen, turn_pen=turn_pen)
                    if p is not None and p != paths[r]:
                        changed += 1
                        new[r] = p
                for r in range(B):
                    if new[r] is not paths[r]:
                        settle(r, new[r])
            shared = 0
            for e, users in occupancy()[0].items():
                if len(users) > 1:
                    shared += len(users) - 1
                    edge_hist[e] = edge_hist.get(e, 0.0) + hist_weight * (len(users) - 1)
            if shared == 0 and changed == 0:
                break

        atomic = [list(p) if p is not None else None for p in paths]
        simple = [_finalize_simple(list(p), v) if p is not None else None for p, v in zip(paths, views)]
        accepted = [[tuple(map(float, q)) for q in s] if s is not None else None for s in simple]
        real_obs = [(o.x_min, o.y_min, o.x_max, o.y_max) for o in graphs[0].obs_list]
        # Polish: lengthen short segments where that adds no crossing with the other
        # routes (as thin obstacles) and no obstacle intrusion.
        for r, v in enumerate(views):
            if accepted[r] is None:
                continue
            other_obs = list(v.obs_list) + [
                Obstacle(min(x1, x2), y1 - 0.5, max(x1, x2), y1 + 0.5) if abs(y1 - y2) < 1e-9
                else Obstacle(x1 - 0.5, min(y1, y2), x1 + 0.5, max(y1, y2))
                for r2, s in enumerate(accepted) if r2 != r and s is not None for (x1, y1), (x2, y2) in zip(s, s[1:])]
            candidate = _extend_short_segments(accepted[r], d, _ObstacleIndex(other_obs, scene.dbu))
            if _repair_score(candidate, r, accepted, real_obs) <= _repair_score(accepted[r], r, accepted, real_obs):
                accepted[r] = [tuple(map(float, q)) for q in candidate]
        skels = [np.asarray(s, dtype=float) if s is not None else None for s in accepted]
        return skels, atomic

    def count_crossings_atomic(atomic_paths):
        """(crossings, overlaps) over all pairs of lattice paths: interleaved sides at a node, shared edges."""
        at_node, on_edge = {}, {}  # node -> {route: sides it uses there}; edge key -> routes on it
        for r, p in enumerate(atomic_paths):
            nodes = [] if p is None else [tuple(q) for q in p]
            for a, b in zip(nodes, nodes[1:]):
                out, into = sides(a, b)
                at_node.setdefault(a, {}).setdefault(r, set()).add(out)
                at_node.setdefault(b, {}).setdefault(r, set()).add(into)
                on_edge.setdefault(_ekey(a, b), set()).add(r)
        overlaps = sum(len(users) * (len(users) - 1) // 2 for users in on_edge.values())
        crossings = 0
        for routes in at_node.values():  # each route's two lowest sides there, as a chord
            chords = [sorted(used)[:2] for used in routes.values() if len(used) > 1]
            crossings += sum(1 for a, b in itertools.combinations(chords, 2) if _interleaved_pos(*a, *b))
        return crossings, overlaps

    def _manhattan_length(skel):
        """Sum of |dx| + |dy| over the steps of a skeleton (numpy's sum), as a float."""
        return float(np.sum(np.abs(np.diff(np.asarray(skel), axis=0))))

    def _count_turns(skel):
        """Interior points whose incoming and outgoing segments are both longer than 1e-9."""
        s = np.asarray(skel, dtype=float)
        return sum(1 for i in range(1, len(s) - 1)
                   if np.linalg.norm(s[i] - s[i - 1]) > 1e-9 and np.linalg.norm(s[i + 1] - s[i]) > 1e-9)

    def _cage_ladder(B):
        """Cage-layer counts to try: sorted distinct 2, max(2, (B + 1) // 2), max(2, B)."""
        return sorted({2, max(2, (B + 1) // 2), max(2, B)})

    def _orders_for(B, n_orders, seed):
        """Route orders to try: all permutations for B <= 4 or when n_orders exceeds B!;
        else the identity and distinct random.Random(seed) shuffles, n_orders in all.
        ValueError when more than 10000 orders would be tried."""
        base = list(range(B))
        if B <= 4:
            return [list(o) for o in itertools.permutations(base)]
        every = factorial(B)
        if min(n_orders, every) > most_orders:
            raise ValueError(f"n_orders: at most {most_orders} route orders are tried ({B} routes have {every}), "
                             f"got {n_orders!r}")
        if n_orders > every:
            return [list(o) for o in itertools.permutations(base)]
        rng, orders, seen = random.Random(seed), [base], {tuple(base)}
        while len(orders) < n_orders:
            o = list(base)
            rng.shuffle(o)
            if tuple(o) not in seen:
                seen.add(tuple(o))
                orders.append(o)
        return orders

    def _best_over_orders(scene, orders, min_orders=2, **kw):
        """route_negotiated(scene, relax_order=o, **kw) for each order o until min_orders were
        tried and the best is complete and clean: (key, skels, atomic, order) of the least
        key, or None for no orders."""
        if _intact(orders_search):
            done = _native.best(scene, orders, None, min_orders, kw, BLOCK_PEN, _SNAP)
            if done is not NotImplemented:
                return done
        best = None
        for i, o in enumerate(orders):
            if best is not None and i >= number(min_orders, "min_orders") and best[0][0] == 0 and best[0][1] == 0:
                break
            skels, atomic = route_negotiated(scene, relax_order=o, **kw)
            crossings, overlaps = count_crossings_atomic(atomic)
            length = sum(_manhattan_length(s) for s in skels if s is not None)
            turns = sum(_count_turns(s) for s in skels if s is not None)
            unrouted = sum(1 for s in skels if s is None)
            key = (unrouted, crossings + overlaps, crossings, overlaps, turns, length)
            if best is None or key < best[0]:
                best = (key, skels, atomic, o)
        return best

    def route_negotiated_best(port_centers, port_tangents, delta, obstacles=None, *, n_orders=8, seed=0, dbu=None,
                              **kw):
        """Best negotiated routing over route orders (_orders_for) and cage sizes
        (_cage_ladder, or only kw['cage_layers']): (skels, atomic, order).

        port_centers, port_tangents: (B, 2, 2) array-likes, [r, 0] start and [r, 1] end
        of route r; tangents are headings of travel.  delta: the route pitch (> 0).
        obstacles: (x_min, y_min, x_max, y_max) boxes or None.  Other keywords go to
        route_negotiated (min_orders to _best_over_orders).  No routes: ([], [], []); a
        ValueError names a bad argument.
        """
        boxes = [tuple(float(v) for v in o) for o in obstacles] if _native.has_boxes(obstacles) else []
        scene = _Scene(np.asarray(port_centers, dtype=float), np.asarray(port_tangents, dtype=float), float(delta),
                       boxes, dbu=dbu)
        B = scene.port_centers.shape[0]
        if B == 0:
            return [], [], []
        _native.scene_routes(scene)  # the checks, before any helper sees the scene
        orders = _orders_for(B, n_orders, seed)
        levels = kw.pop("cage_layers", None)
        levels = [levels] if levels is not None else list(_cage_ladder(B))
        if _intact(("_best_over_orders",) + orders_search):
            route_kw = dict(kw)
            done = _native.best(scene, orders, levels, route_kw.pop("min_orders", 2), route_kw, BLOCK_PEN, _SNAP)
            if done is not NotImplemented:
                return done[1:]
        best = None
        for L in levels:
            candidate = _best_over_orders(scene, orders, cage_layers=L, **kw)
            if candidate is None:
                raise ValueError("no route order was tried")
            if best is None or candidate[0] < best[0]:
                best = candidate
            if candidate[0][0] == 0 and candidate[0][1] == 0:
                break
        if best is None:
            raise ValueError("no cage-layer count was tried")
        return best[1], best[2], best[3]

    def negotiate_routes(port_centers, port_tangents, delta, obstacles=None, **kw):
        """Route all routes of a scene at once; returns the skeletons of
        route_negotiated_best (per route an N x 2 array of corner points, or None).
        """
        skels, atomic, order = route_negotiated_best(port_centers, port_tangents, delta, obstacles, **kw)
        return skels
