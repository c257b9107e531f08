// The single-route router: zones, track lines and search put together, first
// in a window around the end points and widened until the route found is
// provably optimal or the window covers everything.
#include "kelvane/railbridge.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "kelvane/tracks.hpp"
#include "railbridge/rail_search.hpp"
#include "railbridge/zones.hpp"

namespace kelvane {

using namespace rail;

namespace {

int index_of(const std::vector<double>& v, double x) {
    auto it = std::lower_bound(v.begin(), v.end(), x);
    if (it == v.end() || *it != x) throw std::logic_error("end point is not on a track line");
    return static_cast<int>(it - v.begin());
}

struct Measured {
    RouteResult result;
    double violation = std::numeric_limits<double>::infinity();
    double cost = 0.0;  // length + turn cost per bend
};

// Searches the lattice made from `zones` (a subset of all zones), relaxing the
// run rules level by level while the route is not clean; every candidate is
// measured against all zones.
Measured solve(const RouteRequest& req, const ZoneSet& all, std::vector<Zone> zones, double eps, size_t* budget) {
    const double r = req.bend_radius, rp = req.port_radius >= 0 ? req.port_radius : r;
    std::vector<Box> zone_boxes;
    zone_boxes.reserve(zones.size());
    for (const Zone& z : zones) zone_boxes.push_back(z.box);
    TrackInputs ti(req.start, req.end, req.start_dir, req.end_dir, r, &zone_boxes, req.sliding_bias, req.grid);
    ti.port_radius = rp;
    TrackLines tl = make_track_lines(ti);

    RailLattice lat(tl, std::move(zones), eps);
    const int si = index_of(lat.xs(), req.start.x), sj = index_of(lat.ys(), req.start.y);
    const int ei = index_of(lat.xs(), req.end.x), ej = index_of(lat.ys(), req.end.y);
    const double scale = (lat.xs().back() - lat.xs().front()) + (lat.ys().back() - lat.ys().front());
    // Bends cost one bend radius; the tiny extra keeps "fewest bends" as the
    // tie-break when the radius is zero.
    const double turn_cost = (req.turn_cost >= 0 ? req.turn_cost : r) + 1e-7 * scale;
    RailSearch search(lat, req, si, sj, ei, ej, turn_cost, scale);

    const RunRules levels[3] = {{rp, 2.0 * r, rp}, {rp, r, rp}, {0.0, 0.0, 0.0}};
    Measured best;
    size_t total_expanded = 0;
    for (int level = 0; level < 3; ++level) {
        if (level > 0 && r <= 0 && rp <= 0) break;
        Path path;
        size_t expanded = 0;
        const bool found = search.run(levels[level], *budget, &path, &expanded);
        total_expanded += expanded;
        *budget -= std::min(*budget, expanded);
        if (!found) continue;
        double violation = 0.0;
        RouteInfo info = all.measure(path, eps, &violation);
        info.relax_level = level;
        if (violation < best.violation) {
            best.violation = violation;
            best.result.skeleton = std::move(path);
            best.result.info = info;
        }
        if (violation == 0.0 || *budget == 0) break;
    }
    RouteInfo& info = best.result.info;
    info.lattice_x = lat.xs().size();
    info.lattice_y = lat.ys().size();
    info.states_expanded = total_expanded;
    if (std::isfinite(best.violation)) {
        info.length = path_length(best.result.skeleton);
        info.bends = static_cast<int>(best.result.skeleton.size()) - 2;
        info.bends_ok = runs_ok(best.result.skeleton, rp, r, 1e-9 * (1.0 + scale));
        info.clean = best.violation == 0.0 && info.bends_ok;
        best.cost = info.length + turn_cost * info.bends;
    }
    return best;
}

RouteResult route_settled(const RouteRequest& req) {
    const double r = req.bend_radius;
    const double eps = contact_tolerance(req.grid);
    const ZoneSet all = make_zone_set(req, eps);

    // Search a window around the end points first: only zones meeting it give
    // track lines, which keeps the lattice small.  A clean route found there
    // is optimal overall when no route leaving the window can be cheaper:
    // leaving the end points' box by m costs at least 2m extra length.
    double zx0 = std::min(req.start.x, req.end.x), zx1 = std::max(req.start.x, req.end.x);
    double zy0 = std::min(req.start.y, req.end.y), zy1 = std::max(req.start.y, req.end.y);
    const double bx0 = zx0, bx1 = zx1, by0 = zy0, by1 = zy1;
    for (const Zone& z : all.zones) {
        zx0 = std::min(zx0, z.box.x0); zx1 = std::max(zx1, z.box.x1);
        zy0 = std::min(zy0, z.box.y0); zy1 = std::max(zy1, z.box.y1);
    }
    const double direct = manhattan(req.start, req.end);
    double m = std::max({4.0 * r + 2.0 * req.route_spacing, 0.2 * direct, 1e-6});
    size_t expanded = 0, budget = req.max_states;
    Measured best;
    auto better = [](const Measured& a, const Measured& b) {
        return a.violation < b.violation || (a.violation == b.violation && a.cost < b.cost);
    };
    while (true) {
        const bool whole = bx0 - m <= zx0 && bx1 + m >= zx1 && by0 - m <= zy0 && by1 + m >= zy1;
        std::vector<Zone> subset;
        if (whole) {
            subset = all.zones;
        } else {
            for (const Zone& z : all.zones)
                if (z.box.x1 >= bx0 - m && z.box.x0 <= bx1 + m && z.box.y1 >= by0 - m && z.box.y0 <= by1 + m)
                    subset.push_back(z);
        }
        Measured got = solve(req, all, std::move(subset), eps, &budget);
        expanded += got.result.info.states_expanded;
        const bool certified = got.result.info.clean && got.cost <= direct + 2.0 * m;
        if (std::isfinite(got.violation) && (!std::isfinite(best.violation) || certified || better(got, best)))
            best = std::move(got);
        if (whole || certified || budget == 0) {
            if (!std::isfinite(best.violation))
                throw std::invalid_argument(budget == 0 ? "route search budget exhausted before any route was found"
                                                        : "no route exists on the track lattice");
            best.result.info.states_expanded = expanded;
            best.result.info.budget_exhausted = budget == 0 && !certified;
            return best.result;
        }
        m *= 2.5;
    }
}

}  // namespace

RouteResult route_rail_bridge(const RouteRequest& req) {
    const Point s = settle_end_point(req.start, req.grid), e = settle_end_point(req.end, req.grid);
    if (s == e) throw std::invalid_argument("start and end are the same point");
    if (s == req.start && e == req.end) return route_settled(req);
    RouteRequest settled = req;
    settled.start = s;
    settled.end = e;
    return route_settled(settled);
}

}  // namespace kelvane
