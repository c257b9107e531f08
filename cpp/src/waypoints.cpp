#include "kelvane/waypoints.hpp"

#include <limits>
#include <stdexcept>

#include "railbridge/zones.hpp"

namespace kelvane {

namespace {

using rail::RouteScore;

// Legs are ranked like the router ranks routes; the scores of consecutive
// legs add up component by component.
RouteScore leg_score(const RouteResult& r, double turn_cost) {
    return rail::score_of(r.info, r.info.length + turn_cost * r.info.bends);
}

}  // namespace

WaypointResult route_waypoints(const WaypointRequest& req) {
    for (size_t k = 0; k < req.waypoints.size(); ++k)
        for (double v : {req.waypoints[k].x, req.waypoints[k].y})
            check_in_range(v, "waypoints[" + std::to_string(k) + "]");
    if (!req.pins.empty() && req.pins.size() != req.waypoints.size())
        throw std::invalid_argument("pins must match waypoints in length");
    const double grid = req.route.grid;
    std::vector<Point> pts{settle_end_point(req.route.start, grid)};
    for (const Point& w : req.waypoints) pts.push_back(settle_end_point(w, grid));
    pts.push_back(settle_end_point(req.route.end, grid));
    for (size_t k = 1; k < pts.size(); ++k)
        if (pts[k] == pts[k - 1]) throw std::invalid_argument("consecutive route points coincide (waypoint " + std::to_string(k) + ")");

    // Allowed headings per point.
    std::vector<std::vector<int>> options(pts.size());
    options.front() = {req.route.start_dir};
    options.back() = {req.route.end_dir};
    for (size_t w = 0; w < req.waypoints.size(); ++w) {
        if (!req.pins.empty() && req.pins[w] >= 0) options[w + 1] = {req.pins[w]};
        else options[w + 1] = {E, N, W, S};
    }
    const double turn_cost = req.route.turn_cost >= 0 ? req.route.turn_cost : req.route.bend_radius;

    // best[k][a]: best score of a route from the start to point k arriving with options[k][a].
    const size_t n = pts.size();
    std::vector<std::vector<RouteScore>> best(n);
    std::vector<std::vector<bool>> reached(n);
    std::vector<std::vector<int>> from(n);
    std::vector<std::vector<std::vector<RouteResult>>> legs(n);  // legs[k][a][b]: point k-1 option a -> point k option b
    best[0] = {RouteScore{}};
    reached[0] = {true};
    from[0] = {-1};
    for (size_t k = 1; k < n; ++k) {
        best[k].assign(options[k].size(), RouteScore{});
        reached[k].assign(options[k].size(), false);
        from[k].assign(options[k].size(), -1);
        legs[k].resize(options[k - 1].size());
        for (size_t a = 0; a < options[k - 1].size(); ++a) {
            legs[k][a].resize(options[k].size());
            if (!reached[k - 1][a]) continue;
            for (size_t b = 0; b < options[k].size(); ++b) {
                RouteRequest leg = req.route;
                leg.start = pts[k - 1];
                leg.end = pts[k];
                leg.start_dir = options[k - 1][a];
                leg.end_dir = options[k][b];
                legs[k][a][b] = route_rail_bridge(leg);
                RouteScore s = best[k - 1][a];
                s += leg_score(legs[k][a][b], turn_cost);
                if (!reached[k][b] || s < best[k][b]) {
                    best[k][b] = s;
                    reached[k][b] = true;
                    from[k][b] = static_cast<int>(a);
                }
            }
        }
    }
    // Walk back the choices.
    std::vector<int> choice(n, 0);
    for (size_t k = n - 1; k > 0; --k) choice[k - 1] = from[k][choice[k]];
    WaypointResult out;
    out.info.clean = true;
    out.info.bends_ok = true;
    for (size_t k = 1; k < n; ++k) {
        const RouteResult& leg = legs[k][choice[k - 1]][choice[k]];
        out.legs.push_back(leg.info);
        Path::const_iterator first = leg.skeleton.begin();
        if (!out.skeleton.empty()) ++first;  // the waypoint is already there
        out.skeleton.insert(out.skeleton.end(), first, leg.skeleton.end());
        RouteInfo& t = out.info;
        t.clean = t.clean && leg.info.clean;
        t.bends_ok = t.bends_ok && leg.info.bends_ok;
        t.budget_exhausted = t.budget_exhausted || leg.info.budget_exhausted;
        t.guided = t.guided || leg.info.guided;
        t.relax_level = std::max(t.relax_level, leg.info.relax_level);
        t.obstacle_overlap += leg.info.obstacle_overlap;
        t.clearance_overlap += leg.info.clearance_overlap;
        t.keep_out_overlap += leg.info.keep_out_overlap;
        t.pivot_contacts += leg.info.pivot_contacts;
        t.self_contacts += leg.info.self_contacts;
        t.arc_obstacle += leg.info.arc_obstacle;
        t.arc_clearance += leg.info.arc_clearance;
        t.spacing_overlap += leg.info.spacing_overlap;
        t.lattice_x = std::max(t.lattice_x, leg.info.lattice_x);
        t.lattice_y = std::max(t.lattice_y, leg.info.lattice_y);
    }
    for (size_t k = 1; k + 1 < n; ++k) out.headings.push_back(options[k][choice[k]]);
    size_t expanded = 0;
    for (size_t k = 1; k < n; ++k)
        for (auto& row : legs[k])
            for (auto& r : row) expanded += r.info.states_expanded;
    out.info.states_expanded = expanded;
    // Passing straight through a waypoint leaves a collinear point: drop it.
    out.skeleton = simplify_path(out.skeleton, 0.0);
    out.info.length = path_length(out.skeleton);
    out.info.bends = out.skeleton.size() > 2 ? static_cast<int>(out.skeleton.size()) - 2 : 0;
    return out;
}

}  // namespace kelvane
