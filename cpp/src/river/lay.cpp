// Laying a river: the axis, lanes one after another from one side, then
// windows round the unclean lanes laid again from the other side.
#include "river/lay.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "kelvane/bundle.hpp"

namespace kelvane::river {

namespace {

// A lane pays this much per unit of length away from its place on the axis
// (the full rate kPlaceReach spacings off it or more): enough to come back
// to its place after passing an obstacle, not enough to keep to a place
// that runs through one.
constexpr double kPlaceWeight = 0.05, kPlaceReach = 4.0;
// The axis with room for the whole ribbon may be this much (and four bends)
// dearer than the plain route of the middle lane.
constexpr double kAxisDetour = 0.02;
// Lanes prefer to run beside the lane laid before them within this many
// spacings (a near-tie preference only).
constexpr double kBesideReach = 8.0, kBesideWeight = 1e-4;
// States a lane search may expand: a lane that needs more is not clean,
// and its window is laid again later.
constexpr std::size_t kLaneBudget = 150'000;
// Windows round an unclean lane: this many lanes to either side, then more.
constexpr std::size_t kWindows[] = {1, 3, 6};

// The straight run a lane needs at each of its ports, kept free for a lane
// not routed yet: from the start along its heading, and into the end.
Path start_stub(const RiverRequest& req, std::size_t lane) {
    const Point p = req.starts[lane], t = req.start_tangents[lane];
    const double n = std::hypot(t.x, t.y);
    return {p, {p.x + t.x / n * req.delta, p.y + t.y / n * req.delta}};
}
Path end_stub(const RiverRequest& req, std::size_t lane) {
    const Point p = req.ends[lane], t = req.end_tangents[lane];
    const double n = std::hypot(t.x, t.y);
    return {{p.x - t.x / n * req.delta, p.y - t.y / n * req.delta}, p};
}

// Position of p across the heading t (positive to its left).
double across_of(Point p, Point t) {
    const double n = std::hypot(t.x, t.y);
    return (-t.y * p.x + t.x * p.y) / n;
}

double cost_of(const RouteInfo& info, double delta) { return info.length + delta * info.bends; }

}  // namespace

RouteRequest lane_request(const RiverRequest& req, std::size_t lane) {
    RouteRequest r;
    r.start = req.starts[lane];
    r.end = req.ends[lane];
    r.start_dir = direction_of({0.0, 0.0}, req.start_tangents[lane]);
    r.end_dir = direction_of({0.0, 0.0}, req.end_tangents[lane]);
    r.bend_radius = req.delta;
    r.port_radius = req.delta;
    r.obstacles = req.obstacles;
    r.keep_outs = req.keep_outs;
    r.route_spacing = req.route_spacing;
    r.sliding_bias = req.sliding_bias;
    r.turn_bias = req.turn_bias;
    r.grid = req.grid;
    return r;
}

LaneScore score_lane(const RouteInfo& info, double delta) {
    return {violation_score(info) + (info.bends_ok ? 0.0 : 1e5), cost_of(info, delta)};
}

void Ribbon::add(const LaneScore& s, bool clean) {
    unclean += !clean;
    violation += s.violation;
    cost += s.cost;
}

bool Ribbon::operator<(const Ribbon& o) const {
    if (unclean != o.unclean) return unclean < o.unclean;
    if (violation != o.violation) return violation < o.violation;
    return cost < o.cost;
}

Axis ribbon_axis(const RiverRequest& req, const std::vector<std::size_t>& order, const std::vector<Path>& fixed) {
    Axis axis;
    const std::size_t n = order.size(), mid_rank = n / 2, middle = order[mid_rank];
    RouteRequest plain = lane_request(req, middle);
    plain.pivots = fixed;
    RouteResult res = route_rail_bridge(plain);
    ++axis.searches;
    axis.path = std::move(res.skeleton);
    if (n > 1) {
        const double half = 0.5 * static_cast<double>(n - 1) * req.route_spacing;
        RouteRequest wide = plain;
        wide.obstacle_margin = half + 0.5 * req.route_spacing;
        wide.route_spacing = half + req.route_spacing;
        RouteResult w = route_rail_bridge(wide);
        ++axis.searches;
        const double plain_cost = cost_of(res.info, req.delta);
        if (violation_score(w.info) == 0.0 &&
            cost_of(w.info, req.delta) <= plain_cost * (1.0 + kAxisDetour) + 4.0 * req.delta) {
            axis.path = std::move(w.skeleton);
            axis.whole = true;
        }
    }
    const Point ts = req.start_tangents[middle], te = req.end_tangents[middle];
    axis.places.assign(req.starts.size(), Path{});
    for (std::size_t rank = 0; rank < n; ++rank) {
        const std::size_t lane = order[rank];
        const double so = across_of(req.starts[lane], ts) - across_of(req.starts[middle], ts);
        const double eo = across_of(req.ends[lane], te) - across_of(req.ends[middle], te);
        const double co = (static_cast<double>(rank) - static_cast<double>(mid_rank)) * req.route_spacing;
        axis.places[lane] = bundle::offset_skeleton(axis.path, so, eo, co);
    }
    return axis;
}

void lay_sequence(const RiverRequest& req, const std::vector<std::size_t>& order, const std::vector<std::size_t>& seq,
                  const Axis& axis, const std::vector<Path>& fixed, Laid& laid) {
    for (std::size_t k = 0; k < seq.size(); ++k) {
        const std::size_t lane = order[seq[k]];
        RouteRequest r = lane_request(req, lane);
        r.max_states = kLaneBudget;
        r.pivots = fixed;
        for (std::size_t i = 0; i < laid.lanes.size(); ++i)
            if (i != lane && laid.lanes[i].size() >= 2) r.pivots.push_back(laid.lanes[i]);
        for (std::size_t j = k + 1; j < seq.size(); ++j) {
            r.pivots.push_back(start_stub(req, order[seq[j]]));
            r.pivots.push_back(end_stub(req, order[seq[j]]));
        }
        r.follow.push_back({axis.places[lane], kPlaceReach * req.route_spacing, kPlaceWeight});
        // Beside the neighbour laid already (the one laid later of the two).
        const std::size_t p = seq[k];
        const Path* beside = nullptr;
        for (std::size_t j = k; j-- > 0 && !beside;)
            if (seq[j] + 1 == p || p + 1 == seq[j]) beside = &laid.lanes[order[seq[j]]];
        if (beside) r.follow.push_back({*beside, kBesideReach * req.route_spacing, kBesideWeight});
        auto t0 = std::chrono::steady_clock::now();
        RouteResult res = route_rail_bridge(r);
        if (std::getenv("RIVER_TRACE")) std::fprintf(stderr, "lane %zu (k=%zu/%zu) clean %d relax %d states %zu ms %.1f bends %d\n", lane, k, seq.size(), res.info.clean, res.info.relax_level, res.info.states_expanded, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count(), res.info.bends);
        ++laid.searches;
        laid.lanes[lane] = std::move(res.skeleton);
        laid.infos[lane] = res.info;
    }
}

void measure_all(const RiverRequest& req, Laid& laid, const std::vector<Path>& fixed) {
    for (std::size_t i = 0; i < laid.lanes.size(); ++i) {
        if (laid.lanes[i].size() < 2) continue;
        RouteRequest r = lane_request(req, i);
        r.pivots = fixed;
        for (std::size_t j = 0; j < laid.lanes.size(); ++j)
            if (j != i && laid.lanes[j].size() >= 2) r.pivots.push_back(laid.lanes[j]);
        const RouteInfo was = laid.infos[i];
        laid.infos[i] = measure_rail_route(r, laid.lanes[i]);
        laid.infos[i].relax_level = was.relax_level;
        laid.infos[i].states_expanded = was.states_expanded;
    }
}

void relay_unclean(const RiverRequest& req, const std::vector<std::size_t>& order, const Axis& axis, Laid& laid,
                   const std::vector<Path>& fixed) {
    const std::size_t n = order.size();
    for (int round = 0; round < req.reroute_rounds; ++round) {
        bool changed = false;
        for (std::size_t p = 0; p < n; ++p) {
            if (laid.infos[order[p]].clean) continue;
            for (std::size_t w : kWindows) {
                const std::size_t lo = p >= w ? p - w : 0, hi = std::min(n - 1, p + w);
                // The window laid from the other end: its last lane first.
                std::vector<std::size_t> seq;
                for (std::size_t q = hi + 1; q-- > lo;) seq.push_back(q);
                Laid trial = laid;
                for (std::size_t q : seq) trial.lanes[order[q]].clear();
                lay_sequence(req, order, seq, axis, fixed, trial);
                laid.searches = trial.searches;
                measure_all(req, trial, fixed);
                Ribbon before, after;
                for (std::size_t q = lo; q <= hi; ++q) {
                    before.add(score_lane(laid.infos[order[q]], req.delta), laid.infos[order[q]].clean);
                    after.add(score_lane(trial.infos[order[q]], req.delta), trial.infos[order[q]].clean);
                }
                if (after < before && ribbon_of(req, trial).unclean <= ribbon_of(req, laid).unclean) {
                    laid = std::move(trial);
                    changed = true;
                }
                if (laid.infos[order[p]].clean) break;
                if (lo == 0 && hi == n - 1) break;
            }
        }
        if (!changed) break;
    }
}

Ribbon ribbon_of(const RiverRequest& req, const Laid& laid) {
    Ribbon rb;
    for (const RouteInfo& info : laid.infos) rb.add(score_lane(info, req.delta), info.clean);
    return rb;
}

}  // namespace kelvane::river
