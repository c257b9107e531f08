// Module kelvane.manhattan_router.waypoints: single routes through ordered
// waypoints, with the guarantees of graph.rail_bridge_v2 on every leg.
#include <nanobind/stl/string.h>

#include "deadline_link.hpp"
#include "pyfunc.hpp"
#include "route_info.hpp"
#include "kelvane/waypoints.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace kelvane;
using namespace kelvane::py;

namespace {

const char* kDoc = R"(Route from `start` to `end` through every waypoint, in order.

Returns (skeleton, info) like graph.rail_bridge_v2: an N x 2 float array of
corner points from exactly `start` to exactly `end`, passing through every
waypoint, and a dict.

waypoints   sequence of points (x, y), visited in order.
pins        None, or one entry per waypoint: None / False leaves the heading
            through that waypoint free (the router tries every heading and
            keeps the best whole route); a tangent vector (axis-parallel,
            non-zero) pins it: the route passes the waypoint travelling that
            way.  Either way the route passes a waypoint straight, with a run
            of at least the bend radius on both sides.
All other parameters mean what they mean for rail_bridge_v2 (end_tangent is
the heading of travel into the end port).  Earlier legs are not treated as
obstacles for later ones.

info: the keys of rail_bridge_v2 totalled over the legs (clean and bends_ok
only when every leg is), plus "headings" (the heading chosen at each
waypoint, as direction ints E=0, N=1, W=2, S=3) and "legs" (one info dict per
leg, start -> first waypoint -> ... -> end).)";

}  // namespace

NB_MODULE(waypoints, m) {
    kelvane::py::share_engine_deadline();  // time budgets set in kelvane.engine reach this module
    m.doc() = "Single routes through ordered waypoints (route_waypoints_v2).";
    def_function(
        m, "route_waypoints_v2",
        "(start, end, start_tangent, end_tangent, waypoints, delta, obstacles=None, pins=None, turn_bias='center', "
        "sliding_bias=0.5, real_obstacles=None, route_skeletons=None, route_spacing=3.0, route_pivots=(), "
        "bend_delta=None, dbu=None, arc_clearance=True)",
        kDoc,
        nb::cpp_function(
        [](nb::handle start, nb::handle end, nb::handle start_tangent, nb::handle end_tangent, nb::handle waypoints,
           nb::handle delta, nb::handle obstacles, nb::handle pins, nb::handle turn_bias, nb::handle sliding_bias,
           nb::handle real_obstacles, nb::handle route_skeletons, nb::handle route_spacing, nb::handle route_pivots,
           nb::handle bend_delta, nb::handle dbu, nb::handle arc_clearance) {
            WaypointRequest req;
            req.route = to_route_request(start, end, start_tangent, end_tangent, delta, obstacles, turn_bias,
                                         sliding_bias, real_obstacles, route_skeletons, route_spacing, route_pivots,
                                         bend_delta, dbu, arc_clearance);
            read_waypoints(req, waypoints, pins);
            WaypointResult res;
            {
                nb::gil_scoped_release release;
                res = route_waypoints(req);
            }
            return nb::make_tuple(path_to_array(res.skeleton), waypoint_info_dict(res));
        },
        "start"_a.none(), "end"_a.none(), "start_tangent"_a.none(), "end_tangent"_a.none(), "waypoints"_a.none(), "delta"_a.none(), "obstacles"_a.none() = nb::none(),
        "pins"_a.none() = nb::none(), "turn_bias"_a.none() = "center", "sliding_bias"_a.none() = 0.5, "real_obstacles"_a.none() = nb::none(),
        "route_skeletons"_a.none() = nb::none(), "route_spacing"_a.none() = 3.0, "route_pivots"_a.none() = nb::tuple(),
        "bend_delta"_a.none() = nb::none(), "dbu"_a.none() = nb::none(),
        "arc_clearance"_a.none() = true));
}
