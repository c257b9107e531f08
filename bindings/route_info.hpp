// Options and results shared by the single-route routers of the graph and
// waypoints modules: one parser for the request, one builder for `info`.
#pragma once

#include <nanobind/stl/pair.h>
#include <nanobind/stl/vector.h>

#include "convert.hpp"
#include "kelvane/route_info_fields.hpp"
#include "kelvane/waypoints.hpp"

namespace kelvane::py {

// The ends, headings and bend radius as both the route and the per-route
// graph requests read them, in the order of their arguments.
template <class Request>
void read_route_ends(Request& req, nb::handle start, nb::handle end, nb::handle start_tangent, nb::handle end_tangent,
                     nb::handle delta, nb::handle dbu) {
    req.grid = to_grid(dbu);
    req.start = to_point(start, "start");
    req.end = to_point(end, "end");
    req.start_dir = to_direction(start_tangent, "start_tangent");
    req.end_dir = to_direction(end_tangent, "end_tangent");
    req.bend_radius = to_length(delta, "delta");
}

// The request common to rail_bridge_v2 and route_waypoints_v2: a[first:] holds
// their arguments from start to arc_clearance, waypoints and pins left out.
inline RouteRequest to_route_request(const nb::args& a, size_t first) {
    if (a.size() != first + 15) raise_type("route request: 15 arguments expected");
    auto at = [&](size_t k) { return nb::handle(PyTuple_GET_ITEM(a.ptr(), static_cast<Py_ssize_t>(first + k))); };
    RouteRequest req;
    read_route_ends(req, at(0), at(1), at(2), at(3), at(4), at(13));
    req.port_radius = at(12).is_none() ? req.bend_radius : to_length(at(12), "bend_delta");
    req.obstacles = to_boxes(at(5), "obstacles");
    req.exact_obstacles = to_boxes(at(8), "real_obstacles");
    req.keep_outs = to_boxes(at(9), "route_skeletons");
    req.route_spacing = to_length(at(10), "route_spacing");
    req.pivots = to_paths(at(11), "route_pivots");
    req.sliding_bias = to_unit_interval(at(7), "sliding_bias");
    req.turn_bias = to_turn_bias(at(6));
    req.arc_clearance = to_flag(at(14), "arc_clearance");
    check_request(req);
    return req;
}

inline nb::dict info_dict(const RouteInfo& info) {
    nb::dict d;
    visit_info_fields(info, [&](const char* key, const auto& value) { d[key] = nb::cast(value); });
    return d;
}

// The waypoints and pins of route_waypoints_v2: `waypoints` a sequence of
// points (None: none), `pins` None or one entry per waypoint, None / False
// for a free heading or a tangent.
inline void read_waypoints(WaypointRequest& req, nb::handle waypoints, nb::handle pins) {
    if (!waypoints.is_none()) req.waypoints = to_path(waypoints, "waypoints");
    const Py_ssize_t n = static_cast<Py_ssize_t>(req.waypoints.size());
    if (pins.is_none()) return;  // every heading free
    if (length_of(pins, "pins") != n) raise_value("pins must have one entry per waypoint");
    for (Py_ssize_t k = 0; k < n; ++k) {
        nb::object p = item_of(pins, k);
        const std::string what = "pins[" + std::to_string(k) + "]";
        if (p.is_none() || p.ptr() == Py_False) req.pins.push_back(-1);
        else if (p.ptr() == Py_True) raise_value(what + " must be None/False (free) or a heading vector");
        else req.pins.push_back(to_direction(p, what.c_str()));
    }
}

// info of route_waypoints_v2: the rail_bridge_v2 keys totalled over the legs,
// "headings" and "legs".
inline nb::dict waypoint_info_dict(const WaypointResult& res) {
    nb::dict info = info_dict(res.info);
    nb::list legs;
    for (const RouteInfo& leg : res.legs) legs.append(info_dict(leg));
    info["headings"] = nb::cast(res.headings);
    info["legs"] = legs;
    return info;
}

}  // namespace kelvane::py
