"""Single routes through ordered waypoints (route_waypoints_v2)."""


def _define(_native, _intact):
    global route_waypoints_v2

    def route_waypoints_v2(start, end, start_tangent, end_tangent, waypoints, delta, obstacles=None, pins=None,
                           turn_bias="center", sliding_bias=0.5, real_obstacles=None, route_skeletons=None,
                           route_spacing=3.0, route_pivots=(), bend_delta=None, dbu=None, arc_clearance=True):
        """Route from `start` to `end` through every waypoint, in order.

        Returns (skeleton, info) as graph.rail_bridge_v2 does.

        waypoints   sequence of points (x, y).
        pins        None, or one entry per waypoint: None / False leaves the heading
                    through that waypoint free (the router tries every heading and
                    keeps the best whole route); a tangent vector (axis-parallel,
                    non-zero) pins it: the route passes the waypoint travelling that
                    way.  Either way the route passes a waypoint straight, with a run
                    of at least the bend radius on both sides.
        All other parameters as for rail_bridge_v2.  Earlier legs are not treated as
        obstacles for later ones.

        info: the keys of rail_bridge_v2 totalled over the legs (clean and bends_ok
        only when every leg is), plus "headings" (the heading chosen at each
        waypoint, as direction ints E=0, N=1, W=2, S=3) and "legs" (one info dict per
        leg, start -> first waypoint -> ... -> end).
        """
        return _native.route_waypoints_v2(waypoints, pins, start, end, start_tangent, end_tangent, delta, obstacles,
                                          turn_bias, sliding_bias, real_obstacles, route_skeletons, route_spacing,
                                          route_pivots, bend_delta, dbu, arc_clearance)
