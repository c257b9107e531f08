#include "kelvane/route_graph.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include "kelvane/obstacles.hpp"

namespace kelvane {

namespace {

double nearest_line(const std::vector<double>& lines, double v) {
    double best = lines.front();
    for (double c : lines)
        if (std::fabs(c - v) < std::fabs(best - v)) best = c;
    return best;
}

}  // namespace

RouteGraph build_route_graph(const RouteGraphRequest& req) {
    RouteGraph g;
    g.start = settle_end_point(req.start, req.grid);
    g.end_port = settle_end_point(req.end, req.grid);
    g.start_dir = req.start_dir;
    g.end_dir = req.end_dir;
    if (g.start == g.end_port) throw std::invalid_argument("start and end are the same point");
    const double r = req.bend_radius;

    std::vector<Box> zones;
    zones.reserve(req.obstacles.size());
    for (const Box& b : req.obstacles) zones.push_back(b.inflated(0.5 * r));
    TrackInputs ti(g.start, g.end_port, req.start_dir, req.end_dir, r, &zones, req.sliding_bias, req.grid);
    ti.min_line_gap = req.enforce_min_segment_length ? r : 0.0;
    g.lines = make_track_lines(ti);

    g.end = g.end_port;
    if (r > 0) {
        if (is_horizontal(req.end_dir)) g.end.x = nearest_line(g.lines.xs, g.end_port.x - dir_dx(req.end_dir) * r);
        else g.end.y = nearest_line(g.lines.ys, g.end_port.y - dir_dy(req.end_dir) * r);
    }
    g.end_approach_len = manhattan(g.end, g.end_port);

    if (req.with_lattice)
        g.lattice = std::make_shared<const Lattice>(
            build_line_lattice(g.lines.xs, g.lines.ys, {}, ObstacleIndex(req.obstacles, req.grid)));
    return g;
}

}  // namespace kelvane
