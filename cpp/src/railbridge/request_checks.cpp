// The checks of a caller's request (railbridge.hpp: check_request).
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "kelvane/railbridge.hpp"
#include "kelvane/repr.hpp"
#include "kelvane/route_graph.hpp"

namespace kelvane {

void check_in_range(double v, const std::string& what) {
    if (std::fabs(v) > 1e12) throw std::invalid_argument(what + " must lie within +-1e12, got " + std::to_string(v));
}

void check_grid(double grid, double largest) {
    if (grid > 0 && largest / grid > 1e15)
        throw std::invalid_argument("dbu " + float_repr(grid) + " is too small for coordinates up to " +
                                    float_repr(largest) + ": a grid step must be at least 1e-15 of the largest coordinate");
}

void check_request(const RouteRequest& req) {
    double largest = 0.0;
    auto check = [&](double v, const char* what) {
        check_in_range(v, what);
        largest = std::max(largest, std::fabs(v));
    };
    for (double v : {req.start.x, req.start.y}) check(v, "start");
    for (double v : {req.end.x, req.end.y}) check(v, "end");
    check(req.bend_radius, "delta");
    check(req.port_radius, "bend_delta");
    check(req.route_spacing, "route_spacing");
    for (const auto* list : {&req.obstacles, &req.exact_obstacles, &req.keep_outs})
        for (const Box& b : *list)
            for (double v : {b.x0, b.y0, b.x1, b.y1}) check(v, "obstacle and keep-out coordinates");
    for (const Path& p : req.pivots)
        for (const Point& q : p) for (double v : {q.x, q.y}) check(v, "route_pivots");
    check_grid(req.grid, largest);
    if (settle_end_point(req.start, req.grid) == settle_end_point(req.end, req.grid))
        throw std::invalid_argument("start and end are the same point");
}

void check_request(const RouteGraphRequest& req) {
    double largest = std::max({std::fabs(req.start.x), std::fabs(req.start.y), std::fabs(req.end.x),
                               std::fabs(req.end.y), req.bend_radius});
    for (const Box& b : req.obstacles)
        largest = std::max({largest, std::fabs(b.x0), std::fabs(b.y0), std::fabs(b.x1), std::fabs(b.y1)});
    check_in_range(largest, "coordinates");
    check_grid(req.grid, largest);
    if (settle_end_point(req.start, req.grid) == settle_end_point(req.end, req.grid))
        throw std::invalid_argument("start and end are the same point");
}

}  // namespace kelvane
