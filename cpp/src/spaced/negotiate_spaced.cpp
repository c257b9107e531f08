// negotiate_spaced: every route alone, then passes that route the
// conflicting ones again against all others, the best set kept.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>
#include <tuple>

#include "kelvane/river.hpp"
#include "railbridge/zones.hpp"
#include "spaced/pair_conflicts.hpp"

namespace kelvane::spaced {

namespace {

// Weight of a pivot's spacing band in pass p (1-based): the present factor
// kPresentFirst * kPresentGrowth^(p - 1), times 1 + kHistoryStep for every
// earlier pass that ended with the pair in conflict, at most kMaxWeight (a
// band stays a soft zone, below the cost of entering an obstacle) and at
// least what two crossings cost (least_weight below).  The
// band of a route still to be routed again in the pass weighs kPending
// instead of the present factor: it is about to move.  Measured on the
// designer corpus (swaps, two bundles, independent routes): a first factor
// of 1e-4 (a band's edge about 1000 of length) settled the two-bundle
// scenes that 1e-7 and 1e-2 left crossing; pending bands at the present
// factor left the first rerouted routes a detour round the crowd.
constexpr double kPresentFirst = 1e-4, kPresentGrowth = 4.0, kHistoryStep = 1.0, kMaxWeight = 1.0,
                 kPending = 1e-7;

using Clock = std::chrono::steady_clock;

Path route_alone(const SpacedRequest& req, std::size_t i) { return route_rail_bridge(route_request(req, i)).skeleton; }

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
    const auto started = Clock::now();
    const bool timed = req.time_budget > 0;
    auto out_of_time = [&] {
        return timed && std::chrono::duration<double>(Clock::now() - started).count() > req.time_budget;
    };
    SpacedResult out;
    const std::size_t n = req.starts.size();
    if (n == 0) return out;

    std::vector<Path> alone(n);
    for (std::size_t i = 0; i < n; ++i) alone[i] = route_alone(req, i);
    out.searches = n;
    RouteSet set = initial_set(req, std::move(alone));
    RouteSet best = set;
    SetScore best_score = set.score();
    std::vector<double> history(n * n, 0.0);

    // Routes in a conflict are routed again, and routes crossing others
    // too (a detour may be cheaper than the crossings): passes go on while
    // a conflict is left or the last pass made the set better.
    auto needs_reroute = [&](std::size_t i) {
        return set.conflicts_of(i) > 0 || !set.own[i].clean || set.crossings_of(i) > 0;
    };
    // A conflict never costs less than two crossings (a band's edge costs
    // rail::kSoftFixed times its weight): cheap bands would turn crossings
    // into crossings at a bend.
    const double least_weight = 2.0 * req.crossing_cost / rail::kSoftFixed;
    SetScore now = best_score;
    bool improved = true;
    for (int pass = 1; pass <= req.max_passes && !out.timed_out; ++pass) {
        if (now.faults == 0 && (now.crossings == 0 || !improved)) break;
        out.passes = pass;
        const double present = kPresentFirst * std::pow(kPresentGrowth, pass - 1);
        // Most conflicted first; ties by index.
        std::vector<std::size_t> order(n);
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::vector<std::size_t> conflicts(n);
        for (std::size_t i = 0; i < n; ++i) conflicts[i] = set.conflicts_of(i) + !set.own[i].clean;
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return conflicts[a] > conflicts[b]; });
        // Routes still to be routed again in this pass are about to move:
        // their bands weigh little (kPending) until they have.
        std::vector<char> pending(n, 0);
        for (std::size_t i = 0; i < n; ++i) pending[i] = needs_reroute(i);
        for (std::size_t i : order) {
            // A route whose conflicts went with an earlier reroute stays.
            pending[i] = 0;
            if (!needs_reroute(i)) continue;
            if (out_of_time()) {
                out.timed_out = true;
                break;
            }
            RouteRequest r = route_request(req, i);
            for (std::size_t j = 0; j < n; ++j) {
                if (j == i || set.routes[j].size() < 2) continue;
                r.pivots.push_back(set.routes[j]);
                const double w = (pending[j] ? kPending : present) * (1.0 + history[i * n + j]);
                r.pivot_weights.push_back(std::min(kMaxWeight, std::max(w, least_weight)));
            }
            set.routes[i] = route_rail_bridge(r).skeleton;
            ++out.searches;
            set.update(req, i);
        }
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
                if (i != j && set.pair(i, j).conflict) history[i * n + j] += kHistoryStep;
        now = set.score();
        improved = now < best_score;
        if (improved) {
            best = set;
            best_score = now;
            out.best_pass = pass;
        }
    }

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
    out.length = best_score.length;
    return out;
}

}  // namespace kelvane::spaced
