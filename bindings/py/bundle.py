"""Bundle router: a group of routes between matched start and end ports, as parallel lanes.

Port vectors reach the single-route searches as float32 arrays, so a route ends at its
port as float32 holds it.  Tangents are headings of travel: a start tangent points away
from its port, an end tangent into it.

The strategies reach every helper here, and rail_bridge_v2, _ObstacleIndex and
_extend_short_segments, through this module's namespace when they are called: replacing
one (to watch or change it) takes effect at once.  While none is replaced a whole bundle
is routed natively with the GIL released."""

import jax.numpy as jnp
import numpy as np
from kelvane.manhattan_router.graph import Obstacle, _extend_short_segments, _ObstacleIndex, rail_bridge_v2

_BBOX_MIN_OBSTACLES = 40
_BBOX_MARGIN_MULT = 6.0


def _define(_native, _intact):
    global _obs_bounds, _filter_to_bbox, _hits_real_obstacle, _route_one_local, _offset_skeleton
    global bundle_backbone_v2, _offset_backbone, _compute_bundle_order, _skeleton_to_obstacles
    global _inflate_obstacle_bboxes, bundle_rail_bridge_v2

    # What each native road assumes is still the module's own.
    backbone_names = ("_inflate_obstacle_bboxes", "_offset_backbone", "_offset_skeleton", "_ObstacleIndex",
                      "_extend_short_segments", "Obstacle")
    rail_names = ("_compute_bundle_order", "_ObstacleIndex", "_skeleton_to_obstacles", "_BBOX_MIN_OBSTACLES",
                  "_route_one_local", "_BBOX_MARGIN_MULT", "_filter_to_bbox", "_obs_bounds", "Obstacle",
                  "rail_bridge_v2", "_hits_real_obstacle")

    def f32(value):
        return jnp.array(value, dtype=jnp.float32)

    def across(sp, st):
        # The starts' projections across the mean start direction, and their argsort.
        avg_tan = np.mean(st, axis=0)
        avg_tan = avg_tan / (np.linalg.norm(avg_tan) + 1e-12)
        start_proj = np.asarray(sp) @ np.array([-avg_tan[1], avg_tan[0]])
        return start_proj, np.argsort(start_proj)

    def natively(road, *args):
        # A native road on the ports as given, else on numpy's ranking of the starts (float32 ports, nearly tied
        # starts): (projections, argsort, smallest start pitch or None, float32 projections).  NotImplemented
        # when it takes neither, or numpy refuses the ports (the Python lines then raise its error).
        result = road(*args, False)
        if result is NotImplemented:
            try:
                proj, order = across(np.asarray(args[0]), np.asarray(args[2]))
                pitch = float(np.min(np.diff(np.sort(proj)))) if len(proj) > 1 else None
            except Exception:
                return result
            result = road(*args, (proj.tolist(), order.tolist(), pitch, proj.dtype == np.float32))
        return result

    def seg_dir_sign(a, b):
        dx, dy = b[0] - a[0], b[1] - a[1]
        if abs(dx) > abs(dy):
            return 0, 1 if dx > 0 else -1
        return 1, 1 if dy > 0 else -1

    def own_waypoint_router(f):
        # The waypoints module's own function is compiled from its embedded body; a replacement elsewhere.
        code = getattr(f, "__code__", None)
        return code is not None and (code.co_filename, code.co_name) == (
            "<kelvane.manhattan_router.waypoints>", "route_waypoints_v2")

    def described(lanes, offsets, median_idx, scale_connect, bundle_envelope, backbone, backbone_info):
        return lanes, {"backbone": backbone, "offsets": offsets, "median_idx": int(median_idx),
                       "scale_connect": scale_connect, "route_skeleton_envelope": float(bundle_envelope),
                       "backbone_info": backbone_info}

    def _obs_bounds(o):
        """Bounds (x_min, y_min, x_max, y_max) of an Obstacle or a sequence, values as they are."""
        if isinstance(o, Obstacle):
            return (o.x_min, o.y_min, o.x_max, o.y_max)
        return (o[0], o[1], o[2], o[3])

    def _filter_to_bbox(obs, x0, y0, x1, y1):
        """A new list of the obstacles of `obs` that touch or overlap the closed box, in order."""
        out = []
        for o in obs:
            ox0, oy0, ox1, oy1 = _obs_bounds(o)
            if ox1 < x0 or ox0 > x1 or oy1 < y0 or oy0 > y1:
                continue
            out.append(o)
        return out

    def _hits_real_obstacle(skel, full_idx):
        """True as soon as a segment of `skel` (N x 2 array) is blocked in `full_idx` (queried in order)."""
        if skel is None or len(skel) < 2:
            return False
        for i in range(len(skel) - 1):
            if full_idx.blocked(skel[i, 0], skel[i, 1], skel[i + 1, 0], skel[i + 1, 1]):
                return True
        return False

    def _route_one_local(s_pos, e_pos, s_tan, e_tan, delta_eff, base_obstacles, keep_out, full_idx, *, turn_bias,
                         sliding_bias, route_spacing, route_pivots=(), bend_delta=None, dbu=None):
        """One route searched on the obstacles near its ports; returns (skeleton array, info).

        The obstacles and keep-outs that touch the box around s_pos and e_pos grown by _BBOX_MARGIN_MULT * delta_eff
        are handed to rail_bridge_v2 (as positional obstacles and as real_obstacles, keep-outs as route_skeletons).
        If the route found is blocked in `full_idx` (something outside the box was in the way) it is searched once
        more with the full lists and that result is returned as it is, blocked or not.  route_pivots is never
        filtered.
        """
        def _route(net_obs, net_keep):
            skeleton, info = rail_bridge_v2(f32(s_pos), f32(e_pos), f32(s_tan), f32(e_tan), delta_eff, net_obs,
                                            turn_bias=turn_bias, sliding_bias=sliding_bias, real_obstacles=net_obs,
                                            route_skeletons=net_keep, route_spacing=route_spacing,
                                            route_pivots=route_pivots, bend_delta=bend_delta, dbu=dbu)
            return np.asarray(skeleton), info

        sx, sy = float(s_pos[0]), float(s_pos[1])
        ex, ey = float(e_pos[0]), float(e_pos[1])
        margin = _BBOX_MARGIN_MULT * delta_eff
        x0, y0 = min(sx, ex) - margin, min(sy, ey) - margin
        x1, y1 = max(sx, ex) + margin, max(sy, ey) + margin
        net_obs = _filter_to_bbox(base_obstacles, x0, y0, x1, y1)
        net_keep = _filter_to_bbox(keep_out, x0, y0, x1, y1)
        skeleton, info = _route(net_obs, net_keep)
        if _hits_real_obstacle(skeleton, full_idx):
            skeleton, info = _route(base_obstacles, keep_out)
        return skeleton, info

    def _offset_skeleton(backbone, start_offset, end_offset=None, pitch_transition="even", scale_connect=1.0,
                         connect_offset=None, flipped_segs=None):
        """One lane from a backbone: a new N x 2 float array.

        The first segment is shifted sideways by start_offset, the last by end_offset (None: start_offset), every
        inner segment by connect_offset (None: start_offset * scale_connect); positive is to the left of travel,
        inner segments in flipped_segs (any container) go to the other side.  Corners sit where the shifted segments
        meet, so an axis-parallel backbone gives an axis-parallel lane: two segments get one corner joining their
        offsets, a straight backbone whose offsets differ a jog at mid-length moved back by the connect offset for a
        lane moving left, forward for one moving right (neighbouring lanes jog one pitch apart), within the middle
        80%.  Zero-length steps and straight-through points are merged first, lane points that are not right-angle
        corners dropped.  Fewer than two points, or both offsets below 1e-9: a copy of the backbone.
        pitch_transition has no effect.

        Not guaranteed: diagonal segments or reversals give no axis-parallel lane; lanes of offsets larger than the
        segments around them fold back (_offset_backbone flips such segments).
        """
        pts = np.asarray(backbone, dtype=float)
        if end_offset is None:
            end_offset = start_offset
        if len(pts) < 2 or (abs(start_offset) < 1e-9 and abs(end_offset) < 1e-9):
            return pts.copy()
        if connect_offset is None:
            connect_offset = start_offset * scale_connect
        flipped = [] if flipped_segs is None else [k in flipped_segs for k in range(len(pts) - 1)]
        return _native.offset_skeleton(pts, start_offset, end_offset, connect_offset, flipped)

    def bundle_backbone_v2(start_positions, end_positions, start_tangents, end_tangents, delta, obstacles,
                           turn_bias="center", sliding_bias=0.5, pitch_transition="even", route_width=0.5,
                           backbone_clearance_factor=4.0, bundle_separation_factor=1.0, backbone_selection="median",
                           route_spacing=3.0, route_skeletons=None, dbu=None, waypoints=None):
        """Route a bundle as lanes offset from one routed backbone.

        Returns (skeletons, info): one N x 2 lane array per route in route index order, and a dict: "backbone"
        and "backbone_info" (the routed backbone and its info), "offsets" ((d_start, d_end) per route),
        "median_idx" (int), "scale_connect", "route_skeleton_envelope" (float).

        The backbone route is picked across the mean start direction: backbone_selection an int (that route),
        "first" / "last" (lowest / highest start projection), anything else the middle one (the upper middle for an
        even count; projection ties in numpy's argsort order).  It is searched alone (rail_bridge_v2, or
        route_waypoints_v2 through `waypoints`, a sequence of (position, pin) pairs) with a bend radius grown by the
        lanes on its wider side (delta + n_side * route_spacing; when the bundle turns without a U-turn also by the
        largest port offset and backbone_clearance_factor * delta) and the keep-outs in route_skeletons grown by the
        bundle's half-width.  _offset_backbone then shifts it sideways into every lane, bundle_separation_factor *
        route_spacing apart between the end segments.  dbu reaches the waypoint search and the lane polish, not the
        plain backbone search.  pitch_transition and route_width have no effect.

        Guaranteed: every lane is axis-parallel and starts and ends at its own ports whenever the port lies on the
        line of the lane's end segment (ports lined up across the bundle, or staggered along it by less than that
        segment); lanes keep the order of the ports across the bundle, with the inner segments one pitch apart.  One
        search whatever the number of lanes.
        Not guaranteed: lanes can meet obstacles and keep-outs that the backbone passes closer than its lane's
        offset; the short-segment polish knows only the obstacles, so where lanes fan in from a wider port pitch at
        a corner it can slide one lane onto its neighbour; lanes of crossing port orders cross.
        """
        use_waypoints = bool(waypoints)
        if use_waypoints:
            waypoints = list(waypoints)  # read once: the native road may hand the same entries to the Python lines
            from kelvane.manhattan_router.waypoints import route_waypoints_v2
        if _intact(backbone_names) and (own_waypoint_router(route_waypoints_v2) if use_waypoints
                                        else _intact(("rail_bridge_v2",))):
            result = natively(_native.bundle_backbone, start_positions, end_positions, start_tangents, end_tangents,
                              delta, obstacles, turn_bias, sliding_bias, backbone_clearance_factor,
                              bundle_separation_factor, backbone_selection, route_spacing, route_skeletons, dbu,
                              waypoints if use_waypoints else None)
            if result is not NotImplemented:
                return described(*result)
        sp, ep = np.asarray(start_positions), np.asarray(end_positions)
        st, et = np.asarray(start_tangents), np.asarray(end_tangents)
        B = len(sp)
        if B == 0:
            raise IndexError("start_positions has no rows: a bundle needs at least one route")
        start_proj, sorted_idx = across(sp, st)
        if isinstance(backbone_selection, int):
            median_idx = backbone_selection
        elif backbone_selection == "first":
            median_idx = sorted_idx[0]
        elif backbone_selection == "last":
            median_idx = sorted_idx[-1]
        else:
            median_idx = sorted_idx[B // 2]
        median = int(median_idx)
        median_s_offset = start_proj[median]
        list(sorted_idx).index(median)  # ValueError for a route outside the bundle
        n_side, widened, max_offset, scale_connect, envelope = _native.backbone_plan(
            sp, ep, st, et, start_proj.tolist(), sorted_idx.tolist(), median, delta,
            backbone_clearance_factor, bundle_separation_factor, route_spacing)
        connect_pitch = bundle_separation_factor * route_spacing
        side_run = n_side * route_spacing
        if widened:
            delta_eff = max_offset + backbone_clearance_factor * delta + side_run
        else:
            delta_eff = delta + side_run
        inflated = _inflate_obstacle_bboxes(route_skeletons, envelope)
        ends = (f32(sp[median]), f32(ep[median]), f32(st[median]), f32(et[median]))
        if use_waypoints:
            positions, pins = [], []
            for position, pin in waypoints:
                positions.append(position)
                pins.append(pin)
            backbone, backbone_info = route_waypoints_v2(
                *ends, positions, delta_eff, obstacles, pins=pins, turn_bias=turn_bias, sliding_bias=sliding_bias,
                route_skeletons=inflated, route_spacing=route_spacing, dbu=dbu)
        else:
            backbone, backbone_info = rail_bridge_v2(*ends, delta_eff, obstacles, turn_bias=turn_bias,
                                                     sliding_bias=sliding_bias, route_skeletons=inflated,
                                                     route_spacing=route_spacing)
        return _offset_backbone(np.asarray(backbone), backbone_info, sp, ep, st, et, B, median_idx, start_proj,
                                median_s_offset, connect_pitch, scale_connect, delta, obstacles, dbu, envelope)

    def _offset_backbone(backbone, backbone_info, sp, ep, st, et, B, median_idx, start_proj, median_s_offset,
                         connect_pitch, scale_connect, delta, obstacles, dbu, bundle_envelope):
        """All lanes of a bundle from its routed backbone; returns (skeletons, info).

        Each route's start offset is its start projection minus median_s_offset, its end offset its end port's
        position along the backbone's last-segment normal minus the backbone route's; inner segments are
        connect_pitch apart in start order (the backbone's lane at 0), and those a lane's offsets would run
        backwards are shifted to the other side.  Each lane comes from _offset_skeleton, has its ends moved onto its
        ports (when sp holds the start ports) and goes through _extend_short_segments(lane, delta,
        _ObstacleIndex([Obstacle(*o) for o in obstacles], dbu)).  st and et are not used.  info as for
        bundle_backbone_v2, "backbone", "scale_connect" and "backbone_info" as given.
        """
        last_dx, last_dy = backbone[-1][0] - backbone[-2][0], backbone[-1][1] - backbone[-2][1]
        if abs(last_dx) > abs(last_dy):
            bb_end_perp = np.array([0.0, 1.0]) if last_dx > 0 else np.array([0.0, -1.0])
        else:
            bb_end_perp = np.array([-1.0, 0.0]) if last_dy > 0 else np.array([1.0, 0.0])
        median = int(median_idx)
        end_proj = ep @ bb_end_perp
        median_e_offset = end_proj[median]
        d_start = [float(start_proj[i] - median_s_offset) for i in range(B)]
        d_end = [float(end_proj[i] - median_e_offset) for i in range(B)]
        lane_order = sorted(range(B), key=lambda i: d_start[i])
        bb_lane = lane_order.index(median)
        connect = [0.0] * B
        for lane, idx in enumerate(lane_order):
            connect[idx] = (lane - bb_lane) * connect_pitch
        n_bb_segs = len(backbone) - 1
        flipped = []
        for i in range(B):
            trial = _offset_skeleton(backbone, d_start[i], d_end[i], scale_connect=scale_connect,
                                     connect_offset=connect[i])
            segs = set()
            if len(trial) - 1 == n_bb_segs:
                for s in range(1, n_bb_segs - 1):
                    bb_ax, bb_sg = seg_dir_sign(backbone[s], backbone[s + 1])
                    tr_ax, tr_sg = seg_dir_sign(trial[s], trial[s + 1])
                    if bb_ax == tr_ax and bb_sg != tr_sg:
                        segs.add(s)
            flipped.append(segs or None)
        obs_idx = _ObstacleIndex([Obstacle(*o) for o in obstacles], dbu)
        skeletons = []
        for i in range(B):
            lane = _offset_skeleton(backbone, d_start[i], d_end[i], scale_connect=scale_connect,
                                    connect_offset=connect[i], flipped_segs=flipped[i])
            skeletons.append(_extend_short_segments(_native.snapped_to_ports(lane, sp, ep, i), delta, obs_idx))
        return described(skeletons, list(zip(d_start, d_end)), median_idx, scale_connect, bundle_envelope,
                         backbone, backbone_info)

    def _compute_bundle_order(start_positions, start_tangents, routing_order):
        """Order in which the routes of a bundle are routed: a list of route indices.

        "given" 0 .. B-1 and "reverse" B-1 .. 0 (plain ints); "outside-in" (the outermost pair first, then inwards)
        and "center-out" (the middle route, then alternately one step up and one down, up first) walk the routes
        ranked by start projection across the mean start direction, ties in numpy's argsort order (numpy index
        scalars).  One route: [0] whatever the value.  Anything else: ValueError "Unknown routing_order: <value>".
        """
        B = len(start_positions)
        if B == 1:
            return [0]
        if routing_order == "given" or routing_order == "reverse":
            return _native.lane_order(B, routing_order)
        sorted_idx = across(start_positions, start_tangents)[1]
        if routing_order == "outside-in" or routing_order == "center-out":
            return [sorted_idx[p] for p in _native.lane_order(B, routing_order)]
        raise ValueError(f"Unknown routing_order: {routing_order}")

    def _skeleton_to_obstacles(skeleton, spacing, port_pitch=None):
        """Keep-out boxes around a routed skeleton: one (x_min, y_min, x_max, y_max) per segment.

        Half-width `spacing`; the first and last segment use min(spacing, 0.8 * port_pitch) when a port_pitch above
        1e-9 is given.  Boxes reach their half-width past every inner corner and never past the end points.  A
        segment that is not horizontal is treated as vertical at the x of its first point.
        """
        pts = np.asarray(skeleton, dtype=float)
        if len(pts) < 2:
            return []
        return _native.skeleton_to_obstacles(pts, spacing, port_pitch)

    def _inflate_obstacle_bboxes(obstacles, margin):
        """The obstacles grown by `margin` on all sides: a new list of plain 4-tuples.

        Empty input gives []; a margin of at most 1e-9 a plain copy of the list (records stay records).
        """
        if not _native.has_boxes(obstacles):
            return []
        if margin <= 1e-9:
            return list(obstacles)
        out = []
        for o in obstacles:
            if isinstance(o, Obstacle):
                x0, y0, x1, y1 = o.x_min, o.y_min, o.x_max, o.y_max
            else:
                x0, y0, x1, y1 = o
            out.append((x0 - margin, y0 - margin, x1 + margin, y1 + margin))
        return out

    def bundle_rail_bridge_v2(start_positions, end_positions, start_tangents, end_tangents, delta, obstacles,
                              route_spacing=3.0, routing_order="center-out", turn_bias="center", sliding_bias=0.5,
                              route_width=0.5, route_clearance=2.0, route_skeletons=None, inflate_delta=True,
                              dbu=None):
        """Route a bundle one route after another; returns (skeletons, info).

        Routes are taken in the order of _compute_bundle_order(routing_order).  Each one is searched with
        rail_bridge_v2 against the obstacles (with clearance route_spacing / 2 and exactly), the keep-outs in
        route_skeletons, the _skeleton_to_obstacles boxes of every route placed before it (port_pitch: the smallest
        start port pitch) and the spacing to their polylines.  With inflate_delta the k-th route routed gets the
        bend radius delta + (B - 1 - k) * route_spacing (delta at its ports), so the routes routed first, on the
        inside, leave room for the later ones.  With more than _BBOX_MIN_OBSTACLES obstacles each search is a
        _route_one_local.  skeletons[i] and info["infos"][i] belong to route i; info["order"] is the routing order.
        route_width and route_clearance have no effect.

        Guaranteed: every route starts and ends at its ports (as float32 holds them), leaves and arrives along its
        tangents and is axis-parallel; when a route can keep every rule given the routes placed before it, it does:
        it enters no obstacle or keep-out and keeps route_spacing from them.  One search per route (two when a
        windowed search ran into an obstacle).
        Not guaranteed: routing is greedy, a route is never revisited, so an early route can take the room a later
        one needs (a U-turn routed center-out leaves the inner lanes no room; route it inner lane first, and without
        inflate_delta, which gives the first route the largest radius); a route that cannot keep every rule comes
        back as the search's least-bad route and its info says what it violates.
        """
        if _intact(rail_names):
            result = natively(_native.bundle_rail_bridge, start_positions, end_positions, start_tangents,
                              end_tangents, delta, obstacles, route_spacing, routing_order, turn_bias, sliding_bias,
                              route_skeletons, inflate_delta, dbu)
            if result is not NotImplemented:
                skeletons, infos, order = result
                if len(order) > 1 and routing_order in ("outside-in", "center-out"):
                    order = list(np.array(order))  # numpy index scalars, as from the argsort
                return skeletons, {"order": order, "infos": infos}
        sp, ep = np.asarray(start_positions), np.asarray(end_positions)
        st, et = np.asarray(start_tangents), np.asarray(end_tangents)
        B = len(sp)
        if B == 0:
            raise IndexError("start_positions has no rows: a bundle needs at least one route")
        order = _compute_bundle_order(sp, st, routing_order)
        base = list(obstacles)
        port_pitch = float(np.min(np.diff(np.sort(across(sp, st)[0])))) if B > 1 else route_spacing
        skeletons, infos = [None] * B, [None] * B
        route_obstacles = list(route_skeletons) if _native.has_boxes(route_skeletons) else []
        route_polys = []
        use_bbox = len(base) > _BBOX_MIN_OBSTACLES
        full_idx = _ObstacleIndex(base, dbu) if use_bbox else None
        for k, idx in enumerate(order):
            delta_eff = delta + (B - 1 - k) * route_spacing if inflate_delta else delta
            if use_bbox:
                skeleton, info = _route_one_local(sp[idx], ep[idx], st[idx], et[idx], delta_eff, base,
                                                  route_obstacles, full_idx, turn_bias=turn_bias,
                                                  sliding_bias=sliding_bias, route_spacing=route_spacing,
                                                  route_pivots=route_polys, bend_delta=delta, dbu=dbu)
            else:
                skeleton, info = rail_bridge_v2(f32(sp[idx]), f32(ep[idx]), f32(st[idx]), f32(et[idx]), delta_eff,
                                                base, turn_bias=turn_bias, sliding_bias=sliding_bias,
                                                real_obstacles=base, route_skeletons=route_obstacles,
                                                route_spacing=route_spacing, route_pivots=route_polys,
                                                bend_delta=delta, dbu=dbu)
                skeleton = np.asarray(skeleton)
            skeletons[idx] = skeleton
            infos[idx] = info
            route_obstacles.extend(_skeleton_to_obstacles(skeleton, route_spacing, port_pitch=port_pitch))
            route_polys.append(np.asarray(skeleton, dtype=float))
        return skeletons, {"order": order, "infos": infos}
