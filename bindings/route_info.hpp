// Options and results shared by the single-route routers of the graph and
// waypoints modules: one parser for the request, one builder for `info`.
#pragma once

#include "convert.hpp"
#include "kelvane/railbridge.hpp"

namespace kelvane::py {

inline double to_unit_interval(nb::handle obj, const char* what) {
    const double v = to_finite(obj, what);
    if (v < 0 || v > 1) raise_value(std::string(what) + " must be in [0, 1]");
    return v;
}

// End points keep their exact value unless they are a grid point up to
// float32 rounding noise (ports handed over as float32 arrays).
inline Point settle_end_point(Point p, double grid) {
    if (grid <= 0) return p;
    auto settle = [&](double v) {
        const double s = snap_to_grid(v, grid);
        return std::fabs(s - v) <= 1e-6 * std::max(1.0, std::fabs(v)) ? s : v;
    };
    return {settle(p.x), settle(p.y)};
}

// Coordinates and lengths beyond +-1e12 layout units would overflow the
// sums the router forms (cages, bend offsets); no layout is that large.
inline void check_in_range(double v, const std::string& what) {
    if (std::fabs(v) > 1e12) raise_value(what + " must lie within +-1e12, got " + std::to_string(v));
}

inline void check_extent(const RouteRequest& req) {
    auto check = [](double v, const char* what) { check_in_range(v, what); };
    check(req.start.x, "start"); check(req.start.y, "start");
    check(req.end.x, "end"); check(req.end.y, "end");
    check(req.bend_radius, "delta");
    check(req.port_radius, "bend_delta");
    check(req.route_spacing, "route_spacing");
    for (const auto* list : {&req.obstacles, &req.exact_obstacles, &req.keep_outs})
        for (const Box& b : *list)
            for (double v : {b.x0, b.y0, b.x1, b.y1}) check(v, "obstacle and keep-out coordinates");
    for (const Path& p : req.pivots)
        for (const Point& q : p) { check(q.x, "route_pivots"); check(q.y, "route_pivots"); }
}

// The request common to rail_bridge_v2 and route_waypoints_v2.
inline RouteRequest to_route_request(nb::handle start, nb::handle end, nb::handle start_tangent, nb::handle end_tangent,
                                     nb::handle delta, nb::handle obstacles, nb::handle turn_bias, nb::handle sliding_bias,
                                     nb::handle real_obstacles, nb::handle route_skeletons, nb::handle route_spacing,
                                     nb::handle route_pivots, nb::handle bend_delta, nb::handle dbu) {
    RouteRequest req;
    req.grid = to_grid(dbu);
    req.start = settle_end_point(to_point(start, "start"), req.grid);
    req.end = settle_end_point(to_point(end, "end"), req.grid);
    req.start_dir = to_direction(start_tangent, "start_tangent");
    req.end_dir = to_direction(end_tangent, "end_tangent");
    req.bend_radius = to_length(delta, "delta");
    req.port_radius = bend_delta.is_none() ? req.bend_radius : to_length(bend_delta, "bend_delta");
    req.obstacles = to_boxes(obstacles, "obstacles");
    req.exact_obstacles = to_boxes(real_obstacles, "real_obstacles");
    req.keep_outs = to_boxes(route_skeletons, "route_skeletons");
    req.route_spacing = to_length(route_spacing, "route_spacing");
    req.obstacle_margin = 0.5 * req.route_spacing;
    req.pivots = to_paths(route_pivots, "route_pivots");
    req.sliding_bias = to_unit_interval(sliding_bias, "sliding_bias");
    req.turn_bias = to_turn_bias(turn_bias);
    check_extent(req);
    return req;
}

inline nb::dict info_dict(const RouteInfo& info) {
    nb::dict d;
    d["clean"] = info.clean;
    d["bends_ok"] = info.bends_ok;
    d["relax_level"] = info.relax_level;
    d["length"] = info.length;
    d["bends"] = info.bends;
    d["obstacle_overlap"] = info.obstacle_overlap;
    d["clearance_overlap"] = info.clearance_overlap;
    d["keep_out_overlap"] = info.keep_out_overlap;
    d["spacing_overlap"] = info.spacing_overlap;
    nb::list violations;
    if (info.obstacle_overlap > 0) violations.append("obstacle");
    if (info.clearance_overlap > 0) violations.append("clearance");
    if (info.keep_out_overlap > 0) violations.append("keep_out");
    if (info.spacing_overlap > 0) violations.append("spacing");
    if (!info.bends_ok) violations.append("bend_radius");
    d["violations"] = violations;
    d["lattice"] = nb::make_tuple(info.lattice_x, info.lattice_y);
    d["states_expanded"] = info.states_expanded;
    d["budget_exhausted"] = info.budget_exhausted;
    return d;
}

}  // namespace kelvane::py
