// Spacing- and bend-aware negotiation: routes that are not one bundle,
// each kept the scene's spacing from every other one, crossing only where
// a crossing is allowed and cheaper than a detour.
//
//   routes laid one after another, in the order given, each against the
//   ones laid before it (their spacing bands at full weight)
//   --> passes: the routes in a conflict (or unclean on their own) are laid
//       again first, against every other route; a route crossing another
//       more than once is in conflict and its crossings get dearer
//   --> until no conflict is left, the pass limit or the time budget (the
//       request's own or kelvane/deadline.hpp's); the best set seen comes
//       back.
//
// A conflict is a pair of routes closer than the spacing somewhere (running
// along each other, touching, or crossing at a bend or within a port run of
// either).  A crossing at right angles on straight stretches of both, clear
// of their bends and ports (RouteRequest::crossing_cost), is allowed and
// costs `crossing_cost` of length; a quarter of it for a route whose ports
// force it across another (one device edge to another in reversed order).
// Every route keeps the bend rules of the single-route router: runs between
// bends >= 2 delta, port runs >= delta.
#pragma once

#include <cstddef>
#include <vector>

#include "kelvane/geometry.hpp"
#include "kelvane/railbridge.hpp"

namespace kelvane::spaced {

struct SpacedRequest {
    // Row i of each belongs to route i; tangents are headings of travel (the
    // end tangent points into the end port), axis-parallel and non-zero.
    std::vector<Point> starts, ends, start_tangents, end_tangents;
    double delta = 0.0;            // bend radius of every route
    double route_spacing = 3.0;    // least centre-line distance between routes
    double crossing_cost = 0.0;    // length a crossing costs (>= 0)
    std::vector<Box> obstacles;    // kept clear with route_spacing / 2
    double grid = 0.0;             // dbu; 0 = none
    double time_budget = 0.0;      // seconds; <= 0: none (the best set so far comes back when it runs out)
    int max_passes = 8;            // negotiation passes after the first routing
};

// How good a set of routes is: conflicting pairs and routes unclean on
// their own (obstacles, bend rules), then pairs whose ports force a
// crossing that do not cross (one goes round a device), then length with
// every crossing at
// crossing_cost (the price each route's search puts on it: ranking
// crossings first would take a detour round a device over a forced
// crossing).
struct SetScore {
    std::size_t faults = 0, detours = 0, crossings = 0;
    double length = 0.0, cost = 0.0;
    bool operator<(const SetScore& o) const;
};

struct SpacedResult {
    std::vector<Path> routes;         // by route index
    std::vector<RouteInfo> infos;     // each measured against the obstacles and every other route
    std::size_t conflicts = 0;        // pairs of routes in spacing conflict
    std::size_t crossings = 0;        // allowed crossings
    std::size_t detours = 0;          // pairs whose ports force a crossing that do not cross
    std::size_t unclean = 0;          // routes in a conflict or unclean on their own
    double length = 0.0;
    int passes = 0;                   // negotiation passes run
    int best_pass = 0;                // the pass whose set came back (0: the first routing)
    bool timed_out = false;           // the time budget ran out first
    std::size_t searches = 0;         // single-route searches run
    bool clean() const { return unclean == 0; }
};

// Throws std::invalid_argument, naming the argument, for rows of unequal
// length, non-finite values, a negative delta, spacing or crossing cost, a
// tangent that is zero or not axis-parallel, max_passes < 0, two routes
// sharing a port point, or a route whose start is its end.
void check_request(const SpacedRequest& req);

SpacedResult negotiate_spaced(const SpacedRequest& req);

}  // namespace kelvane::spaced
