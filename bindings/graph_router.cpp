// The native roads of rail_bridge_v2 (the single-route router) and
// _build_rail_bridge_graph (the fields of a per-route search graph over a
// native lattice); their Python faces are in bindings/py/graph.py.
#include "graph_types.hpp"
#include "route_info.hpp"
#include "kelvane/railbridge.hpp"
#include "kelvane/route_graph.hpp"

namespace kelvane::py {

nb::tuple rail_bridge_py(nb::handle start, nb::handle end, nb::handle start_tangent, nb::handle end_tangent,
                         nb::handle delta, nb::handle obstacles, nb::handle turn_bias, nb::handle sliding_bias,
                         nb::handle real_obstacles, nb::handle route_skeletons, nb::handle route_spacing,
                         nb::handle route_pivots, nb::handle bend_delta, nb::handle dbu, nb::handle arc_clearance) {
    RouteRequest req = to_route_request(start, end, start_tangent, end_tangent, delta, obstacles, turn_bias,
                                        sliding_bias, real_obstacles, route_skeletons, route_spacing, route_pivots,
                                        bend_delta, dbu, arc_clearance);
    RouteResult res;
    {
        nb::gil_scoped_release release;
        res = route_rail_bridge(req);
    }
    return nb::make_tuple(path_to_array(res.skeleton), info_dict(res.info));
}

// The fields of RailBridgeGraph but the last (dbu, as given).
nb::tuple build_graph_py(nb::handle start, nb::handle end, nb::handle start_tangent, nb::handle end_tangent,
                         nb::handle delta, nb::handle obstacles, nb::handle sliding_bias, bool enforce_min_segment_length,
                         nb::handle dbu) {
    RouteGraphRequest req;
    req.grid = to_grid(dbu);
    req.start = to_point(start, "start");
    req.end = to_point(end, "end");
    req.start_dir = to_direction(start_tangent, "start_tangent");
    req.end_dir = to_direction(end_tangent, "end_tangent");
    req.bend_radius = to_length(delta, "delta");
    req.obstacles = to_boxes(obstacles, "obstacles");
    req.sliding_bias = to_unit_interval(sliding_bias, "sliding_bias");
    req.enforce_min_segment_length = enforce_min_segment_length;
    check_request(req);
    RouteGraph rg;
    {
        nb::gil_scoped_release release;
        rg = build_route_graph(req);
    }
    nb::list obs_list;
    for (const Box& b : req.obstacles) obs_list.append(nb::cast(PyObstacle{b}));
    return nb::make_tuple(point_tuple(rg.start), point_tuple(rg.end), point_tuple(rg.end_port), rg.end_approach_len,
                          lattice_adjacency(rg.lattice), float_list(rg.lines.ys), float_list(rg.lines.xs),
                          float_list(rg.lines.y_bridges), float_list(rg.lines.x_bridges), obs_list, rg.start_dir,
                          rg.end_dir, req.bend_radius);
}

}  // namespace kelvane::py
