"""Process-wide controls of kelvane's native routers (time_budget), and the routers of the user layer
beyond the deliverable modules (route_river, negotiate_spaced, route_bundle): each documents itself."""


def _define(_native, _intact):
    global TimeBudget, time_budget, route_river, negotiate_spaced, route_bundle

    def described(keys, result):
        # A native road's (items, per-item infos, *values) as (items, info), the values under `keys`.
        items, infos, *values = result
        return items, {**dict(zip(keys, values)), "infos": infos}

    class TimeBudget:
        """A deadline for the native routing calls made on this thread while it is entered (time_budget)."""

        def __init__(self, seconds):
            self._seconds, self._scope, self._reached = _native.budget_seconds(seconds), None, False

        @property
        def seconds(self) -> float:
            """The budget given."""
            return self._seconds

        @property
        def reached(self) -> bool:
            """True when the deadline cut native work short (inside the block: so far)."""
            return self._scope.reached if self._scope else self._reached

        @property
        def active(self) -> bool:
            """True inside the with block."""
            return self._scope is not None

        def __enter__(self):
            if self._scope:
                raise ValueError("time_budget: this budget is in use already (make a new one)")
            self._reached, self._scope = False, _native.Scope(self._seconds)
            return self

        def __exit__(self, exc_type, exc_value, traceback):
            if self._scope:
                self._reached, self._scope = self._scope.reached, None

        def __repr__(self):
            return f"time_budget({self._seconds!r}, reached={self.reached})"

    def time_budget(seconds: "float") -> "TimeBudget":
        """A context manager bounding the time of native routing calls:

            with engine.time_budget(2.0) as budget:
                skels = negotiated.negotiate_routes(...)
            if budget.reached: ...  # the result is the best found in time

        Every native call made in the block on this thread (negotiated, bundle, graph and
        waypoint routers) stops its long work once `seconds` have passed since the block
        began and returns the best result it has: a negotiation its routes as they are
        and the best route order and cage size tried, a single route its least-bad route
        with info['budget_exhausted'], a lattice search no route.  Blocks nest (the inner
        deadline is never later than the outer one); a budget is for one block at a time.
        seconds: a number >= 0, inf for no limit.  Without a budget nothing changes.
        """
        return TimeBudget(seconds)

    def route_bundle(strategy, starts, ends, start_tangents, end_tangents, delta, obstacles=None, route_spacing=3.0, *,
                     dbu=None, turn_bias="center", sliding_bias=0.5, routing_order="center-out", inflate_delta=True,
                     backbone_clearance_factor=4.0, bundle_separation_factor=1.0, backbone_selection="median"):
        """Route a bundle with the bundle core: "backbone" or "rail-bridge".

        The routes of manhattan_router.bundle's bundle_backbone_v2 and bundle_rail_bridge_v2 with their
        default helpers (lanes ranked by a stable sort where start projections tie), for callers that must
        not import jax; options as those take them (routing_order and inflate_delta: "rail-bridge" only, the
        backbone_* and bundle_separation_factor options: "backbone" only).  Returns (lanes, info): one N x 2
        float array per lane; info holds "order" (rail-bridge: the routing order) and "infos" (per lane, the
        keys of graph.rail_bridge_v2's info; backbone: the backbone's info for every lane)."""
        ports = (starts, ends, start_tangents, end_tangents, delta, obstacles)
        if strategy == "rail-bridge":
            result = _native.bundle_rail_bridge(*ports, route_spacing, routing_order, turn_bias, sliding_bias, None,
                                                inflate_delta, dbu, True)
            if result is NotImplemented:
                raise ValueError(f"Unknown routing_order: {routing_order}")
            return result[0], {"order": result[2], "infos": result[1]}
        if strategy != "backbone":
            raise ValueError(f'strategy must be "backbone" or "rail-bridge", got "{strategy}"')
        if not isinstance(backbone_selection, (int, str)):
            backbone_selection = "median"
        result = _native.bundle_backbone(*ports, turn_bias, sliding_bias, backbone_clearance_factor,
                                         bundle_separation_factor, backbone_selection, route_spacing, None, dbu, None,
                                         True)
        if result is NotImplemented:
            raise IndexError("backbone_selection is not a route index")
        return result[0], {"order": [], "infos": [dict(result[-1]) for _ in result[0]]}

    def route_river(starts, ends, start_tangents, end_tangents, delta, obstacles=None, route_spacing=3.0, *,
                    keep_outs=None, pivots=None, dbu=None, turn_bias="center", sliding_bias=0.5, sides=None,
                    relay_rounds=2):
        """Lay a bundle as a planar ribbon: lanes one after another along its axis.

        Returns (lanes, info): one N x 2 float array of corner points per lane, from exactly its start to
        exactly its end, and a dict.

        starts, ends: B x 2 points; row i of each belongs to lane i.  start_tangents, end_tangents (B x 2) and
        delta (bend radius of every lane): as for graph.rail_bridge_v2.  obstacles: boxes kept clear by
        route_spacing / 2.  route_spacing: least centre-line distance between lanes.  keep_outs: boxes kept
        clear exactly.  pivots: routes already placed (polylines); every lane keeps route_spacing from them.
        dbu: grid step of every bend coordinate (None: none).  sides: laying sequences to try until one is
        clean, +1 from the left of the travel, -1 from the right, 0 from the middle out (None: from the inside
        of the bundle's turn, the middle out, the outside; the middle out first for a bundle that leaves and
        arrives heading the same way).  relay_rounds: rounds of laying the windows round unclean lanes again.

        info: "clean" (every lane clean), "unclean" (lanes that are not), "planar" (the port order lets the
        lanes run without crossing), "side" (the sequence kept, as in `sides`), "axis" (the route the lanes'
        places are offset from), "whole" (the axis has room for the whole ribbon), "groups" (groups of lanes
        through the gaps, each with an axis of its own; 1 when whole), "searches" (single-route searches run)
        and "infos" (per lane, the keys of graph.rail_bridge_v2's info, measured against every other lane)."""
        return described(("clean", "unclean", "planar", "side", "axis", "whole", "groups", "searches"),
                         _native.route_river(starts, ends, start_tangents, end_tangents, delta, obstacles,
                                             route_spacing, keep_outs, pivots, dbu, turn_bias, sliding_bias, sides,
                                             relay_rounds))

    def negotiate_spaced(starts, ends, start_tangents, end_tangents, delta, obstacles=None, route_spacing=3.0, *,
                         crossing_cost=None, dbu=None, time_budget=None, max_passes=8):
        """Route many routes at once, each keeping the spacing from every other one.

        Routes are first laid one after another in the order given, each against the ones laid before it as
        costly spacing bands; then up to max_passes passes lay the routes in conflict again first, against all
        the others (a route crossing another more than once is in conflict, and its crossings cost more each
        pass), until no conflict is left.  The best set seen comes back: fewest conflicts, then fewest
        detours, then least length with every crossing at crossing_cost.
        Returns (routes, info): the routes as route_river returns its lanes, and a dict.

        starts, ends, start_tangents, end_tangents, delta, obstacles, route_spacing, dbu: as for route_river
        (row i of each belongs to route i).  crossing_cost: length a crossing costs (None: 2 * delta, the
        least a detour round anything costs, so a forced crossing is taken in open space instead of a loop
        round a device).  Two routes may cross at right angles on straight stretches of both, at least
        max(2 * delta, route_spacing) from a bend and 2 * delta + route_spacing from a port of either; a route
        crosses rather than make a detour longer than crossing_cost.  A route whose ports force it across
        another (it leaves one device edge and arrives at another with the same headings, in reversed order:
        a forced pair) pays a quarter of it for every crossing.  time_budget: seconds (None: no limit but an
        enclosing engine.time_budget); when spent, the searches under way give their least-bad routes, no
        pass starts, and the best set so far comes back with info["timed_out"].

        info: "clean" (no conflict, every route clean), "conflicts" (pairs of routes closer than the spacing,
        touching, or crossing where crossing is not allowed), "crossings" (allowed crossings), "detours"
        (forced pairs that do not cross: one goes round a device), "unclean" (routes in a conflict or entering
        an obstacle's clearance or breaking a bend rule), "length" (total), "crossing_cost" (the one used),
        "passes" (negotiation passes run), "best_pass" (the pass whose set came back; 0: the first routing),
        "timed_out", "searches" (single-route searches run) and "infos" (per route, the keys of
        graph.rail_bridge_v2's info, measured against the obstacles and every other route, and "crossings":
        the routes it crosses where allowed)."""
        return described(("clean", "conflicts", "crossings", "detours", "unclean", "length", "crossing_cost",
                          "passes", "best_pass", "timed_out", "searches"),
                         _native.negotiate_spaced(starts, ends, start_tangents, end_tangents, delta, obstacles,
                                                  route_spacing, crossing_cost, dbu, time_budget, max_passes))
