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
// comes closer than the spacing to the other or touches it where crossing
// is not allowed; otherwise the crossings.
struct PairFinding {
    bool conflict = false;
    int crossings = 0;
};
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
    // Allowed crossings of route i.
    std::size_t crossings_of(std::size_t i) const;
    // Route i's own measure and its pairs with routes from `from` on, after it changed.
    void update(const SpacedRequest& req, std::size_t i, std::size_t from = 0);
    SetScore score() const;
};

RouteSet initial_set(const SpacedRequest& req, std::vector<Path> routes);

}  // namespace kelvane::spaced
