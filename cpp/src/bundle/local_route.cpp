// One search on the obstacles near a route's ports, checked against all of
// them afterwards.
#include "bundle/steps.hpp"

namespace kelvane::bundle {

namespace {

std::vector<Box> select(const std::vector<Box>& boxes, const Box& window) {
    std::vector<Box> out;
    for (std::size_t i : boxes_touching(boxes, window)) out.push_back(boxes[i]);
    return out;
}

}  // namespace

RouteResult route_one_local(const RouteRequest& full, Point window_start, Point window_end, double margin_mult,
                            const ObstacleIndex& full_index, std::size_t* searches) {
    const Box window = end_point_window(window_start, window_end, margin_mult * full.bend_radius);
    RouteRequest local = full;
    local.obstacles = select(full.obstacles, window);
    local.exact_obstacles = select(full.exact_obstacles, window);
    local.keep_outs = select(full.keep_outs, window);
    RouteResult res = route_rail_bridge(local);
    if (searches) ++*searches;
    // The window may hide an obstacle the route then crosses: search once
    // more with everything (that result is taken as it is).
    if (path_blocked(res.skeleton, full_index)) {
        res = route_rail_bridge(full);
        if (searches) ++*searches;
    }
    return res;
}

}  // namespace kelvane::bundle
