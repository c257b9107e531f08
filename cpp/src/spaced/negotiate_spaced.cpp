// negotiate_spaced: routes laid one after another, then passes that lay
// the routes in trouble again first, the best set kept.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <tuple>

#include "kelvane/deadline.hpp"
#include "kelvane/river.hpp"
#include "railbridge/zones.hpp"
#include "spaced/pair_conflicts.hpp"

namespace kelvane::spaced {

namespace {

// Every other route is a pivot at its full weight: entering its band costs
// what any spacing conflict costs, so a route keeps clear whenever it can.
// Measured on the designer corpus (swaps, two bundles, independent routes):
// laying routes one after another against full bands, in the order given,
// leaves far fewer conflicts than routing each alone and then raising band
// weights pass by pass (which pushed the last routes round a device).
constexpr double kFullWeight = 1.0;
// Routes still to be laid again in a pass are about to move: their bands
// only break ties (and keep a route off their ports where it can).
constexpr double kPending = 1e-7;
// A route that crossed another more than once is laid again with its
// crossing cost this many times higher (each time): crossing a route twice
// is never needed, going round it is.  At most what entering a band costs
// (a thousand passes would overflow it, and no route would be found).
constexpr double kRepeatCostGrowth = 4.0;
constexpr double kMostCrossingCost = rail::kSoftFixed * kFullWeight;
// A route whose ports force it across others (one device edge to another in
// reversed order) crosses at this many times less than crossing_cost from
// the start: those crossings are no choice, and at the full price a route
// crossing tens of others loops round a device instead.  Measured on
// reversed banks of 32: all 496 crossings in the first routing at 4 (and at
// 20), loops round both devices at 1.
constexpr double kForcedCostDrop = 4.0;
}  // namespace

void check_request(const SpacedRequest& req) {
    // The port rows, delta, spacing and grid are checked as a bundle's are.
    river::RiverRequest rows;
    rows.starts = req.starts;
    rows.ends = req.ends;
    rows.start_tangents = req.start_tangents;
    rows.end_tangents = req.end_tangents;
    rows.delta = req.delta;
    rows.route_spacing = req.route_spacing;
    rows.grid = req.grid;
    river::check_request(rows);
    if (!std::isfinite(req.crossing_cost) || req.crossing_cost < 0)
        throw std::invalid_argument("crossing_cost must be finite and >= 0");
    if (std::isnan(req.time_budget)) throw std::invalid_argument("time_budget must be a number of seconds");
    if (req.max_passes < 0) throw std::invalid_argument("max_passes must be >= 0");
    // Two routes cannot share a port point.
    std::vector<std::pair<Point, std::size_t>> ports;
    for (std::size_t i = 0; i < req.starts.size(); ++i) {
        ports.push_back({req.starts[i], i});
        ports.push_back({req.ends[i], i});
    }
    std::sort(ports.begin(), ports.end(), [](const auto& a, const auto& b) {
        return std::tie(a.first.x, a.first.y, a.second) < std::tie(b.first.x, b.first.y, b.second);
    });
    for (std::size_t k = 1; k < ports.size(); ++k)
        if (ports[k].first == ports[k - 1].first && ports[k].second != ports[k - 1].second)
            throw std::invalid_argument("starts/ends: routes " + std::to_string(ports[k - 1].second) + " and " +
                                        std::to_string(ports[k].second) + " share a port point");
}

SpacedResult negotiate_spaced(const SpacedRequest& req) {
    check_request(req);
    // The request's own budget, never later than one the caller set: past
    // it every search gives its least-bad route at once, and no pass starts.
    const deadline::Scope budget(req.time_budget > 0 ? req.time_budget : std::numeric_limits<double>::infinity());
    SpacedResult out;
    const std::size_t n = req.starts.size();
    if (n == 0) return out;

    // Route i's search against the others: settled routes at full weight,
    // routes about to be laid (again) at kPending, unlaid ones not at all.
    std::vector<double> crossing_cost(n, req.crossing_cost);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            if (j != i && ports_force_crossing(req, i, j)) {
                crossing_cost[i] /= kForcedCostDrop;
                break;
            }
    auto lay = [&](std::size_t i, const std::vector<Path>& routes, const std::vector<char>& pending) {
        RouteRequest r = route_request(req, i);
        r.crossing_cost = crossing_cost[i];
        for (std::size_t j = 0; j < n; ++j) {
            if (j == i || routes[j].size() < 2) continue;
            r.pivots.push_back(routes[j]);
            r.pivot_weights.push_back(pending[j] ? kPending : kFullWeight);
        }
        ++out.searches;
        try {
            return route_rail_bridge(r).skeleton;
        } catch (const std::invalid_argument&) {
            // Shut in by the others' bands and crossings: the route as it
            // would go alone, its conflicts measured and mended like any.
            r.pivots.clear();
            r.pivot_weights.clear();
            ++out.searches;
            return route_rail_bridge(r).skeleton;
        }
    };

    // First routing: each route against the ones laid before it, in the
    // order given (a bundle's lanes in port order) and, unless that leaves
    // nothing to mend, in the reverse order; the better set goes on.
    // Measured on reversed banks of 32 through 100 obstacles: either order
    // can be the one that leaves no conflict.
    const std::vector<char> none(n, 0);
    std::vector<std::size_t> priority(n);
    std::iota(priority.begin(), priority.end(), std::size_t{0});
    auto first_routing = [&](const std::vector<std::size_t>& order) {
        std::vector<Path> routes(n);
        for (std::size_t i : order) routes[i] = lay(i, routes, none);
        return initial_set(req, std::move(routes));
    };
    RouteSet set = first_routing(priority);
    SetScore best_score = set.score(req.crossing_cost);
    if ((best_score.faults > 0 || best_score.detours > 0) && n > 1 && !deadline::reached()) {
        const std::vector<std::size_t> reversed(priority.rbegin(), priority.rend());
        RouteSet other = first_routing(reversed);
        const SetScore other_score = other.score(req.crossing_cost);
        if (other_score < best_score) {
            set = std::move(other);
            best_score = other_score;
            priority = reversed;
        }
    }
    RouteSet best = set;

    // Passes: the routes in a conflict (or unclean on their own) are taken
    // up and laid again one after another, before the others, against every
    // other route.
    for (int pass = 1; pass <= req.max_passes && best_score.faults > 0 && !deadline::reached(); ++pass) {
        out.passes = pass;
        std::vector<char> taken(n, 0);
        bool dearer = false;
        for (std::size_t i = 0; i < n; ++i) {
            taken[i] = set.conflicts_of(i) > 0 || !set.own[i].clean;
            if (set.repeats_of(i) > 0 && crossing_cost[i] < kMostCrossingCost) {
                crossing_cost[i] = std::min(kMostCrossingCost, crossing_cost[i] * kRepeatCostGrowth);
                dearer = true;
            }
        }
        // Taken routes first, in the reverse of their last order: the one
        // laid last had the fewest ways left.
        const auto rest =
            std::stable_partition(priority.begin(), priority.end(), [&](std::size_t i) { return taken[i] != 0; });
        std::reverse(priority.begin(), rest);
        std::vector<char> pending = taken;
        bool moved = false;
        for (std::size_t i : priority) {
            if (!taken[i] || deadline::reached()) break;
            pending[i] = 0;
            // A new route with more conflicts than the old one had is not
            // taken: measured on reversed banks of 32 through 100 obstacles,
            // taking it set off a cascade (4 conflicting pairs, then 29, then
            // every route laid again each pass, seconds a pass).
            const std::size_t before = set.conflicts_of(i) + !set.own[i].clean;
            Path old = set.routes[i];
            set.routes[i] = lay(i, set.routes, pending);
            set.update(req, i);
            if (set.conflicts_of(i) + !set.own[i].clean > before) {
                set.routes[i] = std::move(old);
                set.update(req, i);
            } else if (!(set.routes[i] == old)) {
                moved = true;
            }
        }
        const SetScore now = set.score(req.crossing_cost);
        if (now < best_score) {
            best = set;
            best_score = now;
            out.best_pass = pass;
        }
        if (!moved && !dearer) break;  // the next pass would lay the same routes the same way
    }

    out.timed_out = budget.reached();
    out.routes = best.routes;
    out.infos.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        RouteRequest r = route_request(req, i);
        for (std::size_t j = 0; j < n; ++j)
            if (j != i) r.pivots.push_back(best.routes[j]);
        out.infos[i] = measure_rail_route(r, best.routes[i]);
        out.unclean += !best.own[i].clean || best.conflicts_of(i) > 0;
    }
    out.conflicts = best_score.faults;
    for (std::size_t i = 0; i < n; ++i) out.conflicts -= !best.own[i].clean;
    out.crossings = best_score.crossings;
    out.detours = best_score.detours;
    out.length = best_score.length;
    return out;
}

}  // namespace kelvane::spaced
