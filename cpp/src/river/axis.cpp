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

namespace {

// The axis of the group of lanes order[lo .. hi) and their places, keeping
// the spacing from `pivots` (routes placed, and the places of groups laid
// out before).  `whole`: the group has room as one ribbon.
struct GroupAxis {
    Path path;
    bool whole = false;
    std::size_t searches = 0;
};

GroupAxis group_axis(const RiverRequest& req, const std::vector<std::size_t>& order, std::size_t lo, std::size_t hi,
                     const std::vector<Path>& pivots) {
    GroupAxis axis;
    const std::size_t n = hi - lo, mid_rank = lo + n / 2, middle = order[mid_rank];
    const Point ts = req.start_tangents[middle], te = req.end_tangents[middle];
    // Lanes to either side of the middle lane, at the spacing: the larger
    // side's width is the room asked for on both.  The ribbon fans out of
    // its ports: the axis leaves them straight for that width and a bend
    // radius before any room is asked for (the devices holding the ports
    // would leave none otherwise).
    const double half = static_cast<double>(std::max(mid_rank - lo, hi - 1 - mid_rank)) * req.route_spacing;
    RouteRequest plain = lane_request(req, middle);
    plain.pivots = pivots;
    if (n > 1) {
        const Point s = along(plain.start, ts, half + req.delta), e = along(plain.end, te, -(half + req.delta));
        if (manhattan(s, e) > 1e-9) plain.start = s, plain.end = e;
    }
    RouteResult res = route_rail_bridge(plain);
    ++axis.searches;
    Path chosen = std::move(res.skeleton);
    axis.whole = n == 1;
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
    return axis;
}

// The places of the lanes order[lo .. hi) offset from the group's axis.
void place_group(const RiverRequest& req, const std::vector<std::size_t>& order, std::size_t lo, std::size_t hi,
                 const Path& axis, Axis& out) {
    const std::size_t mid_rank = lo + (hi - lo) / 2, middle = order[mid_rank];
    const Point ts = req.start_tangents[middle], te = req.end_tangents[middle];
    for (std::size_t rank = lo; rank < hi; ++rank) {
        const std::size_t lane = order[rank];
        const double so = across_of(req.starts[lane], ts) - across_of(req.starts[middle], ts);
        const double eo = across_of(req.ends[lane], te) - across_of(req.ends[middle], te);
        const double co = (static_cast<double>(rank) - static_cast<double>(mid_rank)) * req.route_spacing;
        Path place = simplify_path(bundle::offset_skeleton(axis, so, eo, co));
        if (runs_alongside(place, axis)) out.places[lane] = std::move(place);
        out.group[lane] = out.groups;
    }
    ++out.groups;
}

// Splits order[lo .. hi) into halves until each has room as one ribbon
// (or is one lane), the half on the `first` side (+1: the higher ranks,
// the left) placed first; the places of each group join the pivots of
// the groups after it.
void split_groups(const RiverRequest& req, const std::vector<std::size_t>& order, std::size_t lo, std::size_t hi,
                  int first, std::vector<Path>& pivots, Axis& out) {
    GroupAxis g = group_axis(req, order, lo, hi, pivots);
    out.searches += g.searches;
    if (g.whole) {
        place_group(req, order, lo, hi, g.path, out);
        for (std::size_t rank = lo; rank < hi; ++rank)
            pivots.push_back(out.places[order[rank]].empty() ? g.path : out.places[order[rank]]);
        return;
    }
    const std::size_t mid = lo + (hi - lo) / 2;
    if (first > 0) {
        split_groups(req, order, mid, hi, first, pivots, out);
        split_groups(req, order, lo, mid, first, pivots, out);
    } else {
        split_groups(req, order, lo, mid, first, pivots, out);
        split_groups(req, order, mid, hi, first, pivots, out);
    }
}

}  // namespace

Axis ribbon_axis(const RiverRequest& req, const std::vector<std::size_t>& order, int first, bool split) {
    Axis axis;
    const std::size_t n = order.size();
    axis.places.assign(req.starts.size(), Path{});
    axis.group.assign(req.starts.size(), 0);
    GroupAxis all = group_axis(req, order, 0, n, req.pivots);
    axis.searches = all.searches;
    axis.path = all.path;
    axis.whole = all.whole;
    if (all.whole || !split || n < 4) {
        place_group(req, order, 0, n, all.path, axis);
        return axis;
    }
    // No room for the whole ribbon along one route: groups of consecutive
    // lanes, each with room along its own axis, through the gaps.
    std::vector<Path> pivots = req.pivots;
    const std::size_t mid = n / 2;
    if (first > 0) {
        split_groups(req, order, mid, n, first, pivots, axis);
        split_groups(req, order, 0, mid, first, pivots, axis);
    } else {
        split_groups(req, order, 0, mid, first, pivots, axis);
        split_groups(req, order, mid, n, first, pivots, axis);
    }
    return axis;
}

}  // namespace kelvane::river
