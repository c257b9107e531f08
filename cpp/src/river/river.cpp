// route_river: the ribbon laid from the better side.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>

#include "river/lay.hpp"

namespace kelvane::river {

namespace {

// +1 when the ends lie to the left of the mean start heading (the inside
// of the bundle's turn is its left side), -1 otherwise.
int inner_side(const RiverRequest& req) {
    Point h{0.0, 0.0}, shift{0.0, 0.0};
    for (std::size_t i = 0; i < req.starts.size(); ++i) {
        const Point t = req.start_tangents[i];
        const double n = std::hypot(t.x, t.y);
        h.x += t.x / n;
        h.y += t.y / n;
        shift.x += req.ends[i].x - req.starts[i].x;
        shift.y += req.ends[i].y - req.starts[i].y;
    }
    return -h.y * shift.x + h.x * shift.y >= 0 ? 1 : -1;
}

// How much the bundle turns from its mean start heading to its mean end
// heading: 0 (straight on, a jog at most), 1 (a corner) or 2 (a U-turn).
int quarter_turns(const RiverRequest& req) {
    Point s{0.0, 0.0}, e{0.0, 0.0};
    for (std::size_t i = 0; i < req.starts.size(); ++i) {
        s.x += req.start_tangents[i].x / std::hypot(req.start_tangents[i].x, req.start_tangents[i].y);
        s.y += req.start_tangents[i].y / std::hypot(req.start_tangents[i].x, req.start_tangents[i].y);
        e.x += req.end_tangents[i].x / std::hypot(req.end_tangents[i].x, req.end_tangents[i].y);
        e.y += req.end_tangents[i].y / std::hypot(req.end_tangents[i].x, req.end_tangents[i].y);
    }
    const double dot = s.x * e.x + s.y * e.y, norm = std::hypot(s.x, s.y) * std::hypot(e.x, e.y) + 1e-12;
    const double c = dot / norm;
    return c > 0.5 ? 0 : (c < -0.5 ? 2 : 1);
}

struct Attempt {
    Laid laid;
    Ribbon ribbon;
    int side = 0;
};

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

Attempt lay_side(const RiverRequest& req, const std::vector<std::size_t>& order, const Axis& axis, int side) {
    Attempt a;
    a.side = side;
    a.laid.lanes.assign(req.starts.size(), Path{});
    a.laid.infos.assign(req.starts.size(), RouteInfo{});
    const std::vector<std::size_t> seq = laying_sequence(order.size(), side);
    lay_sequence(req, order, seq, axis, req.pivots, a.laid);
    measure_all(req, a.laid, req.pivots);
    relay_unclean(req, order, axis, a.laid, req.pivots);
    a.ribbon = ribbon_of(req, a.laid);
    return a;
}

}  // namespace

RiverResult route_river(const RiverRequest& req) {
    check_request(req);
    RiverResult out;
    out.planar = is_planar(req);
    if (req.starts.empty()) return out;
    const std::vector<std::size_t> order = planar_order(req);
    const Axis axis = ribbon_axis(req, order, req.pivots);
    // A bundle that turns one way is laid from the inside of its turn
    // first; one that goes straight on (a jog bends both ways) from the
    // middle outwards first.  The others follow while no side is clean.
    const int inner = inner_side(req);
    const std::vector<int> sides = quarter_turns(req) == 0 ? std::vector<int>{0, inner, -inner}
                                                           : std::vector<int>{inner, 0, -inner};
    std::optional<Attempt> best;
    std::size_t searches = axis.searches;
    for (int side : sides) {
        if (best && (best->ribbon.unclean == 0 || req.starts.size() < 2)) break;
        Attempt a = lay_side(req, order, axis, side);
        searches += a.laid.searches;
        if (!best || a.ribbon < best->ribbon) best = std::move(a);
    }
    out.lanes = std::move(best->laid.lanes);
    out.infos = std::move(best->laid.infos);
    out.unclean = best->ribbon.unclean;
    out.side = best->side;
    out.groups = axis.whole ? 1 : 0;
    out.searches = searches;
    return out;
}

}  // namespace kelvane::river
