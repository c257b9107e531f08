// Module kelvane.manhattan_router.waypoints: single routes through ordered
// waypoints, with the guarantees of graph.rail_bridge_v2 on every leg.  The
// Python face is bindings/py/waypoints.py (module_body.hpp).
#include "deadline_link.hpp"
#include "module_body.hpp"
#include "route_info.hpp"
#include "kelvane/waypoints.hpp"

namespace nb = nanobind;
using namespace kelvane;
using namespace kelvane::py;

namespace {

nb::tuple route_waypoints_py(nb::handle start, nb::handle end, nb::handle start_tangent, nb::handle end_tangent,
                             nb::handle waypoints, nb::handle delta, nb::handle obstacles, nb::handle pins,
                             nb::handle turn_bias, nb::handle sliding_bias, nb::handle real_obstacles,
                             nb::handle route_skeletons, nb::handle route_spacing, nb::handle route_pivots,
                             nb::handle bend_delta, nb::handle dbu, nb::handle arc_clearance) {
    WaypointRequest req;
    req.route = to_route_request(start, end, start_tangent, end_tangent, delta, obstacles, turn_bias, sliding_bias,
                                 real_obstacles, route_skeletons, route_spacing, route_pivots, bend_delta, dbu,
                                 arc_clearance);
    read_waypoints(req, waypoints, pins);
    WaypointResult res;
    {
        nb::gil_scoped_release release;
        res = route_waypoints(req);
    }
    return nb::make_tuple(path_to_array(res.skeleton), waypoint_info_dict(res));
}

}  // namespace

#include "waypoints_body.inc"

NB_MODULE(waypoints, m) {
    share_engine_deadline();  // time budgets set in kelvane.engine reach this module
    nb::module_ native = native_namespace("kelvane.manhattan_router.waypoints._native");
    def_native(native, "route_waypoints_v2", &route_waypoints_py);
    run_module_body(m, kWaypointsBody, native);
}
