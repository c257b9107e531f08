// Routes through ordered waypoints: one rail-bridge route per leg, the
// waypoint headings chosen jointly by dynamic programming.
//
// A route passes every waypoint straight, with a run of at least the bend
// radius on both sides (like leaving and entering a port).  A pinned waypoint
// fixes that heading; a free one lets the router pick the heading that gives
// the best whole route (every heading is tried, legs are scored by rule
// violations first, then length + bend cost).
#pragma once

#include <vector>

#include "kelvane/railbridge.hpp"

namespace kelvane {

struct WaypointRequest {
    RouteRequest route;            // start, end, headings and all options; legs reuse it
    std::vector<Point> waypoints;  // in order
    std::vector<int> pins;         // per waypoint: a heading (E, N, W, S) or -1 = free; empty: all free
};

struct WaypointResult {
    Path skeleton;
    RouteInfo info;                 // totals over the legs
    std::vector<int> headings;      // heading chosen at each waypoint
    std::vector<RouteInfo> legs;    // per leg, start -> first waypoint -> ... -> end
};

// Throws std::invalid_argument for a waypoint beyond +-1e12 and when two
// consecutive points coincide.
WaypointResult route_waypoints(const WaypointRequest& req);

}  // namespace kelvane
