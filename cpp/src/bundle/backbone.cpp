// The backbone strategy: one routed backbone, every lane an offset of it.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "bundle/steps.hpp"

namespace kelvane::bundle {

namespace {

double dot(Point a, Point b) { return a.x * b.x + a.y * b.y; }

}  // namespace

BackboneChoice backbone_choice(std::string_view name) {
    if (name == "first") return BackboneChoice::First;
    if (name == "last") return BackboneChoice::Last;
    return BackboneChoice::Median;
}

BackbonePlan plan_backbone(const BackboneBundleRequest& req) {
    const BundlePorts& ports = req.ports;
    const std::size_t count = ports.starts.size();
    if (req.start_proj.size() != count || req.ranking.size() != count)
        throw std::invalid_argument("one start projection and rank per route are needed");
    if (ports.ends.size() < count) throw std::out_of_range("fewer end ports than start ports");
    if (count == 0) throw std::out_of_range("a bundle needs at least one route");
    BackbonePlan plan;
    switch (req.choice) {
        case BackboneChoice::Index:
            if (req.index < 0 || static_cast<std::size_t>(req.index) >= count)
                throw std::out_of_range("backbone_selection is not a route of the bundle");
            plan.median = static_cast<std::size_t>(req.index);
            break;
        case BackboneChoice::First: plan.median = req.ranking.front(); break;
        case BackboneChoice::Last: plan.median = req.ranking.back(); break;
        case BackboneChoice::Median: plan.median = req.ranking[count / 2]; break;
    }
    const std::size_t m = plan.median;
    plan.median_s_offset = req.start_proj[m];

    double max_s = 0.0, max_e = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        max_s = std::max(max_s, std::fabs(req.start_proj[i] - plan.median_s_offset));
        max_e = std::max(max_e, std::max(std::fabs(ports.ends[i].x - ports.ends[m].x),
                                         std::fabs(ports.ends[i].y - ports.ends[m].y)));
    }
    plan.max_offset = std::max(max_s, max_e);

    const Point avg_s = mean_direction(ports.start_tangents);
    const Point avg_e = mean_direction(ports.end_tangents);
    const Point s2e{ports.ends[m].x - ports.starts[m].x, ports.ends[m].y - ports.starts[m].y};
    const bool end_in_front = dot(s2e, avg_s) > 0;
    const bool start_in_front = dot({-s2e.x, -s2e.y}, avg_e) > 0;
    const bool needs_uturn = end_in_front && start_in_front;
    const bool same_direction = dot(avg_s, avg_e) > 0.5;

    plan.connect_pitch = req.bundle_separation_factor * req.route_spacing;
    std::vector<double> rel(count);
    for (std::size_t i = 0; i < count; ++i) rel[i] = req.start_proj[i] - plan.median_s_offset;
    const double min_adj_pitch = smallest_gap(rel, 1.0);
    plan.scale_connect = min_adj_pitch > 1e-9 ? std::min(1.0, plan.connect_pitch / min_adj_pitch) : 1.0;

    plan.bb_lane = static_cast<std::size_t>(std::find(req.ranking.begin(), req.ranking.end(), m) - req.ranking.begin());
    plan.n_side = std::max(plan.bb_lane, count - 1 - plan.bb_lane);
    const double side = static_cast<double>(plan.n_side);
    plan.envelope = std::max(side * plan.connect_pitch, plan.max_offset);
    plan.widened = !same_direction && !needs_uturn;
    if (plan.widened)
        plan.delta_eff = plan.max_offset + req.backbone_clearance_factor * req.delta + side * req.route_spacing;
    else
        plan.delta_eff = req.delta + side * req.route_spacing;
    return plan;
}

RouteRequest backbone_request(const BackboneBundleRequest& req, const BackbonePlan& plan) {
    RouteRequest r = port_request(req.ports, plan.median, req.route_spacing, req.sliding_bias, req.turn_bias);
    r.bend_radius = plan.delta_eff;
    r.port_radius = plan.delta_eff;
    r.obstacles = req.obstacles;
    r.keep_outs = inflate_boxes(req.keep_outs, plan.envelope);
    if (req.use_waypoints) r.grid = req.grid;
    return r;
}

BackboneBundleResult route_backbone_bundle(const BackboneBundleRequest& req) {
    BackboneBundleResult out;
    out.plan = plan_backbone(req);
    const BackbonePlan& plan = out.plan;
    if (!(plan.delta_eff >= 0)) throw std::invalid_argument("delta must be >= 0");
    RouteRequest search = backbone_request(req, plan);
    check_lane_request(search, req.ports, plan.median);
    if (req.use_waypoints) {
        WaypointRequest w;
        w.route = std::move(search);
        w.waypoints = req.waypoints;
        w.pins = req.pins;
        out.backbone = route_waypoints(w);
    } else {
        RouteResult r = route_rail_bridge(search);
        out.backbone.skeleton = std::move(r.skeleton);
        out.backbone.info = r.info;
    }
    OffsetBackboneRequest o;
    o.backbone = out.backbone.skeleton;
    o.starts = req.ports.starts;
    o.ends = req.ports.ends;
    o.count = req.ports.starts.size();
    o.median = plan.median;
    o.start_proj = req.start_proj;
    o.median_s_offset = plan.median_s_offset;
    o.float32_offsets = req.float32_offsets;
    o.connect_pitch = plan.connect_pitch;
    o.delta = req.delta;
    o.obstacles = req.obstacles;
    o.grid = req.grid;
    out.lanes = offset_backbone(o);
    return out;
}

}  // namespace kelvane::bundle
