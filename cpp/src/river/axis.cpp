// The ribbon's axis and each lane's place on it.
#include <algorithm>
#include <cmath>
#include <utility>

#include "kelvane/bundle.hpp"
#include "river/steps.hpp"

namespace kelvane::river {

namespace {

// The axis with room for the whole ribbon may be this much (and four bends)
// dearer than the plain one.
constexpr double kAxisDetour = 0.02;

// Position of p across the heading t (positive to its left).
double across_of(Point p, Point t) { return (-t.y * p.x + t.x * p.y) / std::hypot(t.x, t.y); }

Point along(Point p, Point t, double d) {
    const double n = std::hypot(t.x, t.y);
    return {p.x + t.x / n * d, p.y + t.y / n * d};
}

// Do the two paths have the same runs in the same directions?
bool runs_alongside(const Path& a, const Path& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 1; k < a.size(); ++k)
        if (direction_of(a[k - 1], a[k]) != direction_of(b[k - 1], b[k])) return false;
    return true;
}

}  // namespace

Axis ribbon_axis(const RiverRequest& req, const std::vector<std::size_t>& order) {
    Axis axis;
    const std::size_t n = order.size(), mid_rank = n / 2, middle = order[mid_rank];
    const Point ts = req.start_tangents[middle], te = req.end_tangents[middle];
    // Lanes to either side of the middle lane, at the spacing: the larger
    // side's width is the room asked for on both.  The ribbon fans out of
    // its ports: the axis leaves them straight for that width and a bend
    // radius before any room is asked for (the devices holding the ports
    // would leave none otherwise).
    const double half = static_cast<double>(std::max(mid_rank, n - 1 - mid_rank)) * req.route_spacing;
    RouteRequest plain = lane_request(req, middle);
    plain.pivots = req.pivots;
    if (n > 1) {
        const Point s = along(plain.start, ts, half + req.delta), e = along(plain.end, te, -(half + req.delta));
        if (manhattan(s, e) > 1e-9) plain.start = s, plain.end = e;
    }
    RouteResult res = route_rail_bridge(plain);
    ++axis.searches;
    Path chosen = std::move(res.skeleton);
    if (n > 1) {
        RouteRequest wide = plain;
        wide.obstacle_margin = half + 0.5 * req.route_spacing;
        wide.route_spacing = half + req.route_spacing;
        RouteResult w = route_rail_bridge(wide);
        ++axis.searches;
        if (violation_score(w.info) == 0.0 &&
            lane_cost(w.info, req.delta) <= lane_cost(res.info, req.delta) * (1.0 + kAxisDetour) + 4.0 * req.delta) {
            chosen = std::move(w.skeleton);
            axis.whole = true;
        }
    }
    Path full{req.starts[middle]};
    full.insert(full.end(), chosen.begin(), chosen.end());
    full.push_back(req.ends[middle]);
    axis.path = simplify_path(full);

    axis.places.assign(req.starts.size(), Path{});
    for (std::size_t rank = 0; rank < n; ++rank) {
        const std::size_t lane = order[rank];
        const double so = across_of(req.starts[lane], ts) - across_of(req.starts[middle], ts);
        const double eo = across_of(req.ends[lane], te) - across_of(req.ends[middle], te);
        const double co = (static_cast<double>(rank) - static_cast<double>(mid_rank)) * req.route_spacing;
        Path place = simplify_path(bundle::offset_skeleton(axis.path, so, eo, co));
        if (runs_alongside(place, axis.path)) axis.places[lane] = std::move(place);
    }
    return axis;
}

}  // namespace kelvane::river
