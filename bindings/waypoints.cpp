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

// args: waypoints, pins, then the arguments of rail_bridge_v2.
nb::tuple route_waypoints_py(const nb::args& args) {
    WaypointRequest req;
    req.route = to_route_request(args, 2);
    read_waypoints(req, args[0], args[1]);
    const WaypointResult res = without_gil([&] { return route_waypoints(req); });
    return nb::make_tuple(path_to_array(res.skeleton), waypoint_info_dict(res));
}

}  // namespace

#include "waypoints_body.inc"

NB_MODULE(waypoints, m) {
    share_engine_deadline();  // time budgets set in kelvane.engine reach this module
    nb::module_ native = native_namespace("kelvane.manhattan_router.waypoints._native");
    native.def("route_waypoints_v2", &route_waypoints_py);
    run_module_body(m, kWaypointsBody, native);
}
