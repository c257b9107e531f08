// Routes measured against each other: which pairs conflict, which cross
// where crossing is allowed.
#pragma once

#include <cstddef>
#include <vector>

#include "kelvane/spaced.hpp"

namespace kelvane::spaced {

// Route i's search request without other routes: its ports, the bend
// radius at the ports and between bends, the obstacles, the crossing cost.
RouteRequest route_request(const SpacedRequest& req, std::size_t i);

// What two routes do to each other, seen from both: a conflict when either
// comes closer than the spacing to the other, touches it where crossing is
// not allowed, or crosses it more than once (`repeated`: going round is
// always possible then); otherwise the crossings.
//
// `detour`: the pair's ports force a crossing (both routes leave one device
// edge and arrive at a facing one ahead, all four ports with one heading, in
// the reverse order across it) and the routes do not cross, so one of them
// goes round a device instead.
struct PairFinding {
    bool conflict = false, repeated = false, detour = false;
    int crossings = 0;
};
// Do the ports of routes i and j force them to cross?
bool ports_force_crossing(const SpacedRequest& req, std::size_t i, std::size_t j);
PairFinding measure_pair(const SpacedRequest& req, std::size_t i, const Path& a, std::size_t j, const Path& b);

// The current routes and what is known of them.
struct RouteSet {
    std::vector<Path> routes;
    std::vector<RouteInfo> own;          // each against the obstacles only
    std::vector<PairFinding> pairs;      // n x n, symmetric (diagonal unused)
    std::size_t n() const { return routes.size(); }
    const PairFinding& pair(std::size_t i, std::size_t j) const { return pairs[i * n() + j]; }
    // Pairs in conflict with route i.
    std::size_t conflicts_of(std::size_t i) const;
    // Routes that route i crosses more than once.
    std::size_t repeats_of(std::size_t i) const;
    // Route i's own measure and its pairs with routes from `from` on, after it changed.
    void update(const SpacedRequest& req, std::size_t i, std::size_t from = 0);
    SetScore score(double crossing_cost) const;
};

RouteSet initial_set(const SpacedRequest& req, std::vector<Path> routes);

}  // namespace kelvane::spaced
