// The search over route orders and cage sizes.
#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <string>

#include "kelvane/deadline.hpp"
#include "negotiated/steps.hpp"

namespace kelvane::negotiated {

std::vector<long> cage_ladder(long routes) {
    const long half = (routes + 1) >= 0 ? (routes + 1) / 2 : -((-(routes + 1) + 1) / 2);  // floor division
    std::vector<long> v{2, std::max(2L, half), std::max(2L, routes)};
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

Orders all_orders(long routes) {
    if (routes > 10)
        throw std::invalid_argument("listing every order of more than 10 routes (" + std::to_string(routes) +
                                    "! orders) is refused");
    std::vector<long> o(static_cast<size_t>(std::max(0L, routes)));
    std::iota(o.begin(), o.end(), 0L);
    Orders out;
    do out.push_back(o);
    while (std::next_permutation(o.begin(), o.end()));
    return out;
}

std::optional<Candidate> best_over_orders(const Scene& scene, const Orders& orders, double min_orders,
                                          const NegotiationOptions& opts, RunStats& stats, Workspace& ws) {
    std::optional<Candidate> best;
    for (size_t i = 0; i < orders.size(); ++i) {
        if (best && static_cast<double>(i) >= min_orders && best->key.clean()) break;
        if (best && deadline::reached()) break;  // past the time budget: the best order so far
        NegotiationOptions o = opts;
        o.relax_order = orders[i];
        Candidate c;
        c.outcome = route_negotiated(scene, o, stats, ws);
        c.order = i;
        const CrossCount cc = count_crossings(c.outcome.atomic);
        const std::vector<MaybePath>& skels = c.outcome.skels;
        std::vector<double> lengths;
        double turns = 0.0, unrouted = 0.0;
        for (size_t r = 0; r < skels.size(); ++r)
            if (skels[r]) lengths.push_back(manhattan_length(*skels[r]));
        for (size_t r = 0; r < skels.size(); ++r)
            if (skels[r]) turns += static_cast<double>(count_turns(*skels[r]));
        for (const MaybePath& s : skels)
            if (!s) unrouted += 1.0;
        const double cr = static_cast<double>(cc.crossings), ov = static_cast<double>(cc.overlaps);
        c.key.v = {unrouted, cr + ov, cr, ov, turns, host_sum(lengths, opts.compensated_sum)};
        c.key.length_is_int = lengths.empty();
        if (!best || c.key < best->key) best = std::move(c);
    }
    return best;
}

Candidate route_negotiated_best(const Scene& scene, const Orders& orders, const std::vector<long>& levels,
                                double min_orders, const NegotiationOptions& opts, RunStats& stats) {
    if (scene.size() == 0) return Candidate{};
    Workspace ws;
    std::optional<Candidate> best;
    for (size_t i = 0; i < levels.size(); ++i) {
        if (best && deadline::reached()) break;  // past the time budget: the best level so far
        ws.forget_setup();
        NegotiationOptions o = opts;
        o.cage_layers = levels[i];
        ++stats.levels;
        std::optional<Candidate> cand = best_over_orders(scene, orders, min_orders, o, stats, ws);
        if (!cand) throw std::invalid_argument("no route order was tried");
        const bool clean = cand->key.clean();
        if (!best || cand->key < best->key) best = std::move(cand);
        if (clean) break;
    }
    if (!best) throw std::invalid_argument("no cage-layer count was tried");
    return std::move(*best);
}

}  // namespace kelvane::negotiated
