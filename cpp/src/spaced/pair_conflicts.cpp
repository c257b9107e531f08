#include "spaced/pair_conflicts.hpp"

#include <algorithm>
#include <tuple>

namespace kelvane::spaced {

bool SetScore::operator<(const SetScore& o) const {
    return std::tie(faults, detours, cost) < std::tie(o.faults, o.detours, o.cost);
}

bool ports_force_crossing(const SpacedRequest& req, std::size_t i, std::size_t j) {
    // Both leave one edge and arrive at a facing one ahead, all four ports
    // with one heading, in the reverse order across it.  (Lanes turning
    // round or a corner reverse or keep their order without crossing.)
    const int d = tangent_heading(req.start_tangents[i]);
    for (const Point& t : {req.start_tangents[j], req.end_tangents[i], req.end_tangents[j]})
        if (tangent_heading(t) != d) return false;
    const bool along_x = is_horizontal(d);
    const double ahead = along_x ? dir_dx(d) : dir_dy(d);
    auto along = [&](Point p) { return ahead * (along_x ? p.x : p.y); };
    auto across = [&](Point p) { return along_x ? p.y : p.x; };
    const Point si = req.starts[i], sj = req.starts[j], ei = req.ends[i], ej = req.ends[j];
    if (along(si) != along(sj) || along(ei) != along(ej) || along(ei) <= along(si)) return false;
    const double before = across(si) - across(sj), after = across(ei) - across(ej);
    return (before < 0 && after > 0) || (before > 0 && after < 0);
}

RouteRequest route_request(const SpacedRequest& req, std::size_t i) {
    RouteRequest r = port_to_port_request(req.starts[i], req.ends[i], req.start_tangents[i], req.end_tangents[i],
                                          req.delta);
    r.obstacles = req.obstacles;
    r.route_spacing = req.route_spacing;
    r.grid = req.grid;
    r.crossing_cost = req.crossing_cost;
    r.keep_runs = true;
    return r;
}

namespace {

Box bounds(const Path& p) {
    Box b{p[0].x, p[0].y, p[0].x, p[0].y};
    for (const Point& q : p) {
        b.x0 = std::min(b.x0, q.x); b.y0 = std::min(b.y0, q.y);
        b.x1 = std::max(b.x1, q.x); b.y1 = std::max(b.y1, q.y);
    }
    return b;
}

// Route i's path against route j's alone (no obstacles).
RouteInfo against(const SpacedRequest& req, std::size_t i, const Path& a, const Path& b) {
    RouteRequest r = route_request(req, i);
    r.obstacles.clear();
    r.pivots = {b};
    return measure_rail_route(r, a);
}

bool in_conflict(const RouteInfo& info) { return info.spacing_overlap > 0 || info.pivot_contacts > 0; }

}  // namespace

PairFinding measure_pair(const SpacedRequest& req, std::size_t i, const Path& a, std::size_t j, const Path& b) {
    if (a.size() < 2 || b.size() < 2) return {};
    PairFinding f;
    f.detour = ports_force_crossing(req, i, j);
    // Routes farther apart than the spacing (plus the tolerance) leave each other alone.
    const Box ba = bounds(a).inflated(req.route_spacing + 1e-6 * (1.0 + req.route_spacing));
    const Box bb = bounds(b);
    if (ba.x1 < bb.x0 || bb.x1 < ba.x0 || ba.y1 < bb.y0 || bb.y1 < ba.y0) return f;
    const RouteInfo ab = against(req, i, a, b), ba_info = against(req, j, b, a);
    const int crossings = std::max(ab.crossings, ba_info.crossings);
    f.repeated = crossings > 1;
    f.conflict = in_conflict(ab) || in_conflict(ba_info) || f.repeated;
    f.crossings = f.conflict ? 0 : crossings;
    f.detour = f.detour && !f.conflict && crossings == 0;
    return f;
}

std::size_t RouteSet::conflicts_of(std::size_t i) const {
    std::size_t c = 0;
    for (std::size_t j = 0; j < n(); ++j) c += j != i && pair(i, j).conflict;
    return c;
}

std::size_t RouteSet::repeats_of(std::size_t i) const {
    std::size_t c = 0;
    for (std::size_t j = 0; j < n(); ++j) c += j != i && pair(i, j).repeated;
    return c;
}

void RouteSet::update(const SpacedRequest& req, std::size_t i, std::size_t from) {
    own[i] = routes[i].size() >= 2 ? measure_rail_route(route_request(req, i), routes[i]) : RouteInfo{};
    for (std::size_t j = from; j < n(); ++j) {
        if (j == i) continue;
        const PairFinding f = measure_pair(req, i, routes[i], j, routes[j]);
        pairs[i * n() + j] = f;
        pairs[j * n() + i] = f;
    }
}

SetScore RouteSet::score(double crossing_cost) const {
    SetScore s;
    for (std::size_t i = 0; i < n(); ++i) {
        s.faults += !own[i].clean;
        s.length += own[i].length;
        for (std::size_t j = i + 1; j < n(); ++j) {
            s.faults += pair(i, j).conflict;
            s.detours += pair(i, j).detour;
            s.crossings += static_cast<std::size_t>(pair(i, j).crossings);
        }
    }
    s.cost = s.length + crossing_cost * static_cast<double>(s.crossings);
    return s;
}

RouteSet initial_set(const SpacedRequest& req, std::vector<Path> routes) {
    RouteSet set;
    const std::size_t n = routes.size();
    set.routes = std::move(routes);
    set.own.assign(n, RouteInfo{});
    set.pairs.assign(n * n, PairFinding{});
    for (std::size_t i = 0; i < n; ++i) set.update(req, i, i + 1);
    return set;
}

}  // namespace kelvane::spaced
