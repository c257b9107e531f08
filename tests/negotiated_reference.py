"""The negotiation loop written out plainly over dicts, for comparison with the module.

It calls the module's own helpers through their module-level names (lattice, views,
port owners, search, repair, finalisation, polish) and keeps every penalty in plain
dicts rebuilt for each reroute, the way the loop is described; the module keeps them
in incrementally updated arrays instead.  Both must give the same result.
"""

import dataclasses

import numpy as np

from kelvane.manhattan_router import negotiated as n


def route_negotiated(scene, turn_bias="center", iters=20, overlap_pen=None, node_pen=None, hist_weight=None,
                     hist_decay=0.5, turn_pen=None, gauss_seidel=True, avoid_ports=True, relax_order=None,
                     cage_margin=None, cage_layers=None, port_clearance=None, route_to_port=True):
    d = scene.delta
    if node_pen is None:
        pc = scene.port_centers
        span = float(pc[:, :, 0].max() - pc[:, :, 0].min()) + float(pc[:, :, 1].max() - pc[:, :, 1].min())
        node_pen = 4.0 * span if 4.0 * span > 30.0 * d else 30.0 * d
    overlap_pen = 2.0 * node_pen if overlap_pen is None else overlap_pen
    hist_weight = 1.0 * d if hist_weight is None else hist_weight
    turn_pen = 1.0 * d if turn_pen is None else turn_pen

    H, V, adj, nodes, graphs = n.build_shared_lattice(scene, cage_margin=cage_margin, cage_layers=cage_layers)
    views = [n._shared_view(g, H, V, adj, nodes) for g in graphs]
    if route_to_port:
        views = [dataclasses.replace(v, end=v.end_port, end_approach_len=0.0) if v.end_port in adj else v
                 for v in views]
    B = len(views)
    port_owners = n._port_block_owners(scene, adj, port_clearance) if avoid_ports else {}

    def port_pen(r):
        return {e: n.BLOCK_PEN for e, owners in port_owners.items() if owners - {r}}

    paths = [n._route_pen(views[r], turn_bias, port_pen(r), turn_pen=turn_pen) for r in range(B)]
    edge_hist = {}
    order = list(range(B)) if relax_order is None else list(relax_order)
    hist_eps = 0.001 * d

    def occupancy(exclude=None):
        edge_use, chords = {}, {}
        for r, p in enumerate(paths):
            if p is None or r == exclude:
                continue
            for e in n._atomic_edges(p):
                edge_use.setdefault(e, set()).add(r)
            for k in range(1, len(p) - 1):
                a = n._DIR_IDX[n._OPP[n._direction(p[k - 1], p[k])]]
                b = n._DIR_IDX[n._direction(p[k], p[k + 1])]
                i0, i1 = sorted((a, b))
                if i0 != i1:
                    chords.setdefault(p[k], []).append((i0, i1))
        return edge_use, chords

    def penalty_for(r, edge_use):
        pen = dict(edge_hist)
        for e, owners in port_owners.items():
            if owners - {r}:
                pen[e] = pen.get(e, 0.0) + n.BLOCK_PEN
        for e, users in edge_use.items():
            if users - {r}:
                pen[e] = pen.get(e, 0.0) + overlap_pen * len(users - {r})
        return pen

    for _ in range(iters):
        changed = 0
        if hist_decay != 1.0:
            edge_hist = {e: h * hist_decay for e, h in edge_hist.items() if h * hist_decay > hist_eps}
        if gauss_seidel:
            for r in order:
                edge_use, chords = occupancy(exclude=r)
                ep = penalty_for(r, edge_use)
                p = n._route_pen(views[r], turn_bias, ep, node_chords=chords, cross_pen=node_pen, turn_pen=turn_pen)
                if p is None:
                    continue
                p = n._repair_self_intersections(views[r], p, turn_bias, ep, chords, node_pen, turn_pen=turn_pen)
                if p != paths[r]:
                    changed += 1
                paths[r] = p
        else:
            edge_use, chords = occupancy()
            new = list(paths)
            for r in range(B):
                p = n._route_pen(views[r], turn_bias, penalty_for(r, edge_use), node_chords=chords,
                                 cross_pen=node_pen, turn_pen=turn_pen)
                if p is None:
                    new[r] = paths[r]
                    continue
                if p != paths[r]:
                    changed += 1
                new[r] = p
            paths = new
        ov = 0
        for e, users in occupancy()[0].items():
            if len(users) > 1:
                ov += len(users) - 1
                edge_hist[e] = edge_hist.get(e, 0.0) + hist_weight * (len(users) - 1)
        if ov == 0 and changed == 0:
            break

    atomic = [list(p) if p is not None else None for p in paths]
    simple = [n._finalize_simple(list(p), v) if p is not None else None for p, v in zip(paths, views)]
    accepted = [[tuple(map(float, q)) for q in s] if s is not None else None for s in simple]
    real_obs = [(o.x_min, o.y_min, o.x_max, o.y_max) for o in graphs[0].obs_list] if graphs else []
    for r, v in enumerate(views):
        if accepted[r] is None:
            continue
        other_obs = list(v.obs_list)
        for r2, s in enumerate(accepted):
            if r2 == r or s is None:
                continue
            for (x1, y1), (x2, y2) in zip(s, s[1:]):
                if abs(y1 - y2) < 1e-9:
                    other_obs.append(n.Obstacle(min(x1, x2), y1 - 0.5, max(x1, x2), y1 + 0.5))
                else:
                    other_obs.append(n.Obstacle(x1 - 0.5, min(y1, y2), x1 + 0.5, max(y1, y2)))
        idx = n._ObstacleIndex(other_obs, scene.dbu)
        candidate = n._extend_short_segments(accepted[r], d, idx)
        if n._repair_score(candidate, r, accepted, real_obs) <= n._repair_score(accepted[r], r, accepted, real_obs):
            accepted[r] = [tuple(map(float, q)) for q in candidate]
    skels = [np.asarray(s, dtype=float) if s is not None else None for s in accepted]
    return skels, atomic


def manhattan_length(skel):
    return float(np.sum(np.abs(np.diff(np.asarray(skel), axis=0))))


def count_turns(skel):
    s = np.asarray(skel, dtype=float)
    return sum(1 for i in range(1, len(s) - 1)
               if np.linalg.norm(s[i] - s[i - 1]) > 1e-9 and np.linalg.norm(s[i + 1] - s[i]) > 1e-9)


def best_over_orders(scene, orders, min_orders=2, **kw):
    best = None
    for i, o in enumerate(orders):
        if best is not None and i >= min_orders and best[0][0] == 0 and best[0][1] == 0:
            break
        skels, atomic = route_negotiated(scene, relax_order=o, **kw)
        cr, ov = n.count_crossings_atomic(atomic)
        ln = sum(manhattan_length(s) for s in skels if s is not None)
        turns = sum(count_turns(s) for s in skels if s is not None)
        unrouted = sum(1 for s in skels if s is None)
        key = (unrouted, cr + ov, cr, ov, turns, ln)
        if best is None or key < best[0]:
            best = (key, skels, atomic, o)
    return best


def route_negotiated_best(port_centers, port_tangents, delta, obstacles=None, *, n_orders=8, seed=0, dbu=None, **kw):
    scene = n._Scene(np.asarray(port_centers, dtype=float), np.asarray(port_tangents, dtype=float), float(delta),
                     [tuple(float(v) for v in o) for o in (obstacles or [])], dbu=dbu)
    B = scene.port_centers.shape[0]
    orders = n._orders_for(B, n_orders, seed)
    levels = kw.pop("cage_layers", None)
    layers = [levels] if levels is not None else n._cage_ladder(B)
    best = None
    for L in layers:
        cand = best_over_orders(scene, orders, cage_layers=L, **kw)
        if best is None or cand[0] < best[0]:
            best = cand
        if cand[0][0] == 0 and cand[0][1] == 0:
            break
    return best
