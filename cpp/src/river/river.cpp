// route_river: the ribbon laid in the sequences the bundle's shape
// suggests, the best kept.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>

#include "kelvane/deadline.hpp"
#include "river/steps.hpp"

namespace kelvane::river {

namespace {

Point unit(Point t) {
    const double n = std::hypot(t.x, t.y);
    return {t.x / n, t.y / n};
}

// +1 when the ends lie to the left of the mean start heading (the inside
// of the bundle's turn is its left side), -1 otherwise.
int inner_side(const RiverRequest& req) {
    Point h{0.0, 0.0}, shift{0.0, 0.0};
    for (std::size_t i = 0; i < req.starts.size(); ++i) {
        const Point t = unit(req.start_tangents[i]);
        h.x += t.x;
        h.y += t.y;
        shift.x += req.ends[i].x - req.starts[i].x;
        shift.y += req.ends[i].y - req.starts[i].y;
    }
    return -h.y * shift.x + h.x * shift.y >= 0 ? 1 : -1;
}

// Does the bundle leave and arrive heading the same way (a jog at most)?
bool straight_on(const RiverRequest& req) {
    Point s{0.0, 0.0}, e{0.0, 0.0};
    for (std::size_t i = 0; i < req.starts.size(); ++i) {
        const Point a = unit(req.start_tangents[i]), b = unit(req.end_tangents[i]);
        s.x += a.x; s.y += a.y;
        e.x += b.x; e.y += b.y;
    }
    return s.x * e.x + s.y * e.y > 0.5 * std::hypot(s.x, s.y) * std::hypot(e.x, e.y);
}

// Positions in `order` in the sequence a side lays them: from the right
// (-1), from the left (+1), or from the middle outwards, alternately (0).
std::vector<std::size_t> laying_sequence(std::size_t n, int side) {
    std::vector<std::size_t> seq;
    if (side == 0) {
        const std::size_t mid = n / 2;
        seq.push_back(mid);
        for (std::size_t d = 1; seq.size() < n; ++d) {
            if (mid + d < n) seq.push_back(mid + d);
            if (d <= mid) seq.push_back(mid - d);
        }
        return seq;
    }
    seq.resize(n);
    std::iota(seq.begin(), seq.end(), std::size_t{0});  // rightmost first
    if (side > 0) std::reverse(seq.begin(), seq.end());
    return seq;
}

struct Attempt {
    Laid laid;
    Ribbon ribbon;
    int side = 0;
};

Attempt lay_side(const RiverRequest& req, const std::vector<std::size_t>& order, const Axis& axis, int side,
                 bool relay) {
    Attempt a;
    a.side = side;
    a.laid.lanes.assign(req.starts.size(), Path{});
    a.laid.infos.assign(req.starts.size(), RouteInfo{});
    const std::vector<std::size_t> seq = laying_sequence(order.size(), side);
    lay_sequence(req, order, seq, axis, a.laid);
    measure_all(req, a.laid);
    if (relay) relay_unclean(req, order, seq, axis, a.laid);
    a.ribbon = ribbon_of(req, a.laid);
    return a;
}

}  // namespace

std::vector<int> laying_sides(const RiverRequest& req) {
    if (!req.sides.empty()) return req.sides;
    // A bundle that turns one way is laid from the inside of its turn
    // first; one that goes straight on (a jog bends both ways) from the
    // middle outwards.
    const int inner = inner_side(req);
    if (straight_on(req)) return {0, inner, -inner};
    return {inner, 0, -inner};
}

RiverResult route_river(const RiverRequest& req) {
    check_request(req);
    RiverResult out;
    out.planar = is_planar(req);
    if (req.starts.empty()) return out;
    const std::vector<std::size_t> order = planar_order(req);
    const std::vector<int> sides = laying_sides(req);
    const int first = sides.front() != 0 ? sides.front() : inner_side(req);
    Axis axis = ribbon_axis(req, order, first, false);
    std::optional<Attempt> best;
    std::size_t searches = axis.searches;
    // Ports in crossed order: no sequence can lay the lanes clean, so one
    // is laid, as well as it goes, and no more.
    for (int side : sides) {
        if (best && (best->ribbon.unclean == 0 || !out.planar || deadline::reached())) break;
        Attempt a = lay_side(req, order, axis, side, out.planar);
        searches += a.laid.searches;
        if (!best || a.ribbon < best->ribbon) best = std::move(a);
    }
    if (best->ribbon.unclean > 0 && out.planar && !axis.whole && order.size() >= 4 && !deadline::reached()) {
        // No room for the ribbon as one, and lanes passing what is in its
        // way one by one left some unclean: groups through the gaps.
        Axis groups = ribbon_axis(req, order, first, true);
        searches += groups.searches;
        Attempt a = lay_side(req, order, groups, sides.front(), true);
        searches += a.laid.searches;
        if (a.ribbon < best->ribbon) {
            best = std::move(a);
            axis = std::move(groups);
        }
    }
    out.lanes = std::move(best->laid.lanes);
    out.infos = std::move(best->laid.infos);
    out.unclean = best->ribbon.unclean;
    out.side = best->side;
    out.axis = axis.path;
    out.whole = axis.whole;
    out.groups = axis.groups;
    out.searches = searches;
    return out;
}

}  // namespace kelvane::river
