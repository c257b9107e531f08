// The rail-bridge strategy: routes one after another, each kept clear of the
// ones placed before it by keep-out boxes and the spacing to their polylines.
#include <cmath>
#include <stdexcept>
#include <string>

#include "bundle/steps.hpp"
#include "kelvane/arguments.hpp"

namespace kelvane::bundle {

namespace {

// One coordinate through float32.  Through a volatile: GCC 12's SLP
// vectorizer at -O3 folds the two double -> float -> double conversions of a
// Point into nothing (the ports then reached the lane searches unrounded).
double through_float32(double v) {
    volatile float f = static_cast<float>(v);
    return f;
}

// A point as float32 holds it: the precision in which the module's Python
// call form hands a lane search its port vectors.
Point round_to_float32(Point p) { return {through_float32(p.x), through_float32(p.y)}; }

}  // namespace

void BundlePorts::check_rows() const {
    const std::size_t n = starts.size();
    if (n == 0) throw std::out_of_range("starts has no rows: a bundle needs at least one route");
    if (ends.size() != n || start_tangents.size() != n || end_tangents.size() != n)
        throw std::invalid_argument("starts, ends, start_tangents and end_tangents must have the same number of rows");
}

double rail_lane_radius(const RailBundleRequest& req, std::size_t k) {
    if (!req.inflate_delta) return req.delta;
    const double remaining = static_cast<double>(req.ports.starts.size()) - 1.0 - static_cast<double>(k);
    return req.delta + remaining * req.route_spacing;
}

RouteRequest port_request(const BundlePorts& ports, std::size_t idx, double route_spacing, double sliding_bias,
                          const TurnBias& turn_bias) {
    RouteRequest r;
    r.start = round_to_float32(ports.starts.at(idx));
    r.end = round_to_float32(ports.ends.at(idx));
    r.start_dir = tangent_heading(round_to_float32(ports.start_tangents.at(idx)));
    r.end_dir = tangent_heading(round_to_float32(ports.end_tangents.at(idx)));
    r.route_spacing = route_spacing;
    r.sliding_bias = sliding_bias;
    r.turn_bias = turn_bias;
    return r;
}

RouteRequest rail_lane_request(const RailBundleRequest& req, std::size_t k) {
    RouteRequest r = port_request(req.ports, req.order.at(k), req.route_spacing, req.sliding_bias, req.turn_bias);
    r.bend_radius = rail_lane_radius(req, k);
    r.port_radius = req.delta;
    r.obstacles = req.obstacles;
    r.exact_obstacles = req.obstacles;
    r.keep_outs = req.keep_outs;
    r.grid = req.grid;
    return r;
}

void check_lane_request(const RouteRequest& r, const BundlePorts& ports, std::size_t idx) {
    for (auto [p, what] : {std::pair{r.start, "start"}, std::pair{r.end, "end"}}) {
        for (auto [v, axis] : {std::pair{p.x, "[0]"}, std::pair{p.y, "[1]"}})
            if (!std::isfinite(v))
                throw std::invalid_argument(std::string(what) + axis + " must be finite, got " + std::to_string(v));
    }
    tangent_direction(round_to_float32(ports.start_tangents.at(idx)), "start_tangent");
    tangent_direction(round_to_float32(ports.end_tangents.at(idx)), "end_tangent");
    check_request(r);
}

RailBundleResult route_rail_bundle(const RailBundleRequest& req) {
    for (std::size_t k = 0; k < req.order.size(); ++k)
        check_lane_request(rail_lane_request(req, k), req.ports, req.order[k]);
    const std::size_t count = req.ports.starts.size();
    RailBundleResult out;
    out.lanes.resize(count);
    out.infos.resize(count);
    std::vector<Box> keep_outs = req.keep_outs;
    std::vector<Path> placed;
    ObstacleIndex full_index;
    if (req.local_search) full_index = ObstacleIndex(req.obstacles, req.grid);
    const std::optional<double> pitch = req.port_pitch;
    for (std::size_t k = 0; k < req.order.size(); ++k) {
        RouteRequest r = rail_lane_request(req, k);
        r.keep_outs = keep_outs;
        r.pivots = placed;
        RouteResult res;
        if (req.local_search) {
            res = route_one_local(r, req.ports.starts[req.order[k]], req.ports.ends[req.order[k]],
                                  req.local_margin_mult, full_index, &out.searches);
        } else {
            res = route_rail_bridge(r);
            ++out.searches;
        }
        const std::vector<Box> boxes = skeleton_keep_outs(res.skeleton, req.route_spacing, pitch);
        keep_outs.insert(keep_outs.end(), boxes.begin(), boxes.end());
        placed.push_back(res.skeleton);
        out.lanes[req.order[k]] = std::move(res.skeleton);
        out.infos[req.order[k]] = res.info;
    }
    return out;
}

}  // namespace kelvane::bundle
