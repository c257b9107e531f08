// A lane's request and how lanes and ribbons are ranked.
#include "river/steps.hpp"

namespace kelvane::river {

RouteRequest lane_request(const RiverRequest& req, std::size_t lane) {
    RouteRequest r = port_to_port_request(req.starts[lane], req.ends[lane], req.start_tangents[lane],
                                          req.end_tangents[lane], req.delta);
    r.obstacles = req.obstacles;
    r.keep_outs = req.keep_outs;
    r.route_spacing = req.route_spacing;
    r.sliding_bias = req.sliding_bias;
    r.turn_bias = req.turn_bias;
    r.grid = req.grid;
    return r;
}

double lane_cost(const RouteInfo& info, double delta) { return info.length + delta * info.bends; }

LaneScore score_lane(const RouteInfo& info, double delta) {
    return {violation_score(info) + (info.bends_ok ? 0.0 : 1e5), lane_cost(info, delta)};
}

void Ribbon::add(const RouteInfo& info, double delta) {
    const LaneScore s = score_lane(info, delta);
    unclean += !info.clean;
    violation += s.violation;
    cost += s.cost;
}

bool Ribbon::operator<(const Ribbon& o) const {
    return std::tie(unclean, violation, cost) < std::tie(o.unclean, o.violation, o.cost);
}

}  // namespace kelvane::river
