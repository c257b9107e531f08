"""Process-wide controls of kelvane's native routers, and the routers of the
user layer beyond the deliverable modules.

time_budget(seconds): a context manager that bounds the time of every native routing
call made in its block on this thread (see its documentation).
route_river(...): a bundle laid as a planar ribbon.
negotiate_spaced(...): many routes negotiated to keep the spacing, crossing where a
detour costs more.
route_bundle(...): the bundle module's strategies, for callers that must not import jax."""


def _define(_native, _intact):
    global time_budget, route_bundle

    def time_budget(seconds: "float") -> "TimeBudget":
        """A context manager bounding the time of native routing calls:

            with engine.time_budget(2.0) as budget:
                skels = negotiated.negotiate_routes(...)
            if budget.reached: ...  # the result is the best found in time

        Every native call made in the block on this thread (negotiated, bundle, graph and
        waypoint routers) stops its long work once `seconds` have passed since the block
        began and returns the best result it has: a negotiation its routes as they are
        and the best route order and cage size tried, a single route its least-bad route
        with info['budget_exhausted'], a lattice search no route.  budget.reached tells
        whether that happened.  Blocks nest (the inner deadline is never later than the
        outer one); a budget is for one block at a time.  seconds: a number >= 0, inf for
        no limit.  Without a budget nothing changes.
        """
        return TimeBudget(seconds)

    def route_bundle(strategy, starts, ends, start_tangents, end_tangents, delta, obstacles=None, route_spacing=3.0, *,
                     dbu=None, turn_bias="center", sliding_bias=0.5, routing_order="center-out", inflate_delta=True,
                     backbone_clearance_factor=4.0, bundle_separation_factor=1.0, backbone_selection="median"):
        """Route a bundle with the bundle core: "backbone" or "rail-bridge".

        The same routes as manhattan_router.bundle's bundle_backbone_v2 and
        bundle_rail_bridge_v2 with their default helpers (lanes ranked by a stable
        sort where start projections tie), for callers that must not import jax.

        Returns (lanes, info): one N x 2 float array per lane; info holds "order"
        (rail-bridge: the routing order) and "infos" (per lane, the keys of
        graph.rail_bridge_v2's info; backbone: the backbone's info for every lane).

        Options as the deliverable functions take them; routing_order and
        inflate_delta are read by "rail-bridge" only, the backbone_* and
        bundle_separation_factor options by "backbone" only.
        """
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
