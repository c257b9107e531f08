// Laying lanes one after another, measuring them against each other, and
// laying windows round the unclean ones again.
#include <algorithm>
#include <cmath>
#include <utility>

#include "kelvane/deadline.hpp"
#include "river/steps.hpp"

namespace kelvane::river {

namespace {

// A lane pays this much per unit of length away from its place (the full
// rate kPlaceReach spacings off it or more): enough to keep the ribbon's
// shape and to come back to its place after passing an obstacle, not
// enough to keep to a place that runs through one.
constexpr double kPlaceWeight = 0.2, kPlaceReach = 4.0;
// And this much away from its neighbour laid already (kBesideReach
// spacings or more): lanes run together, on the same side of what they
// pass, unless that costs more than a tenth of their length.
constexpr double kBesideWeight = 0.1, kBesideReach = 8.0;
// States a lane search may expand: a lane that needs more is not clean,
// and its window is laid again later.
constexpr std::size_t kLaneBudget = 25'000;
// Windows round an unclean lane: this many lanes to either side.
constexpr std::size_t kWindows[] = {1, 3, 6};
// Laying windows again may take this many searches per lane of the bundle.
constexpr std::size_t kRelayShare = 3;
// A window's lanes may change the standing of this many lanes beyond it.
constexpr std::size_t kMeasureMargin = 2;

// The straight run a lane needs at each of its ports, kept free for a lane
// not laid yet: from the start along its heading, and into the end.
Path start_stub(const RiverRequest& req, std::size_t lane) {
    const Point p = req.starts[lane], t = req.start_tangents[lane];
    const double n = std::hypot(t.x, t.y);
    return {p, {p.x + t.x / n * req.delta, p.y + t.y / n * req.delta}};
}
Path end_stub(const RiverRequest& req, std::size_t lane) {
    const Point p = req.ends[lane], t = req.end_tangents[lane];
    const double n = std::hypot(t.x, t.y);
    return {{p.x - t.x / n * req.delta, p.y - t.y / n * req.delta}, p};
}

// Lane `lane` with every other laid lane and req.pivots to keep the spacing from.
RouteRequest among_laid(const RiverRequest& req, const Laid& laid, std::size_t lane) {
    RouteRequest r = lane_request(req, lane);
    r.pivots = req.pivots;
    for (std::size_t i = 0; i < laid.lanes.size(); ++i)
        if (i != lane && laid.lanes[i].size() >= 2) r.pivots.push_back(laid.lanes[i]);
    return r;
}

}  // namespace

void lay_sequence(const RiverRequest& req, const std::vector<std::size_t>& order, const std::vector<std::size_t>& seq,
                  const Axis& axis, Laid& laid) {
    for (std::size_t k = 0; k < seq.size(); ++k) {
        const std::size_t lane = order[seq[k]];
        RouteRequest r = among_laid(req, laid, lane);
        r.max_states = kLaneBudget;
        for (std::size_t j = k + 1; j < seq.size(); ++j) {
            r.pivots.push_back(start_stub(req, order[seq[j]]));
            r.pivots.push_back(end_stub(req, order[seq[j]]));
        }
        if (!axis.places[lane].empty())
            r.follow.push_back({axis.places[lane], kPlaceReach * req.route_spacing, kPlaceWeight});
        // Beside the neighbour of its group laid most recently.
        for (std::size_t j = k; j-- > 0;) {
            if ((seq[j] + 1 == seq[k] || seq[k] + 1 == seq[j]) && axis.group[order[seq[j]]] == axis.group[lane]) {
                r.follow.push_back({laid.lanes[order[seq[j]]], kBesideReach * req.route_spacing, kBesideWeight});
                break;
            }
        }
        RouteResult res = route_rail_bridge(r);
        ++laid.searches;
        laid.lanes[lane] = std::move(res.skeleton);
        laid.infos[lane] = res.info;
    }
}

void measure_lanes(const RiverRequest& req, Laid& laid, const std::vector<std::size_t>& lanes) {
    for (std::size_t i : lanes) {
        if (laid.lanes[i].size() < 2) continue;
        const RouteInfo was = laid.infos[i];
        laid.infos[i] = measure_rail_route(among_laid(req, laid, i), laid.lanes[i]);
        laid.infos[i].relax_level = was.relax_level;
        laid.infos[i].states_expanded = was.states_expanded;
    }
}

void measure_all(const RiverRequest& req, Laid& laid) {
    std::vector<std::size_t> all(laid.lanes.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    measure_lanes(req, laid, all);
}

void relay_unclean(const RiverRequest& req, const std::vector<std::size_t>& order, const std::vector<std::size_t>& seq,
                   const Axis& axis, Laid& laid) {
    const std::size_t n = order.size();
    std::vector<std::size_t> when(n);  // position in order -> its step in seq
    for (std::size_t k = 0; k < seq.size(); ++k) when[seq[k]] = k;
    std::size_t spent = 0;
    const std::size_t allowance = kRelayShare * n + 8;
    for (int round = 0; round < req.relay_rounds && spent < allowance; ++round) {
        bool changed = false;
        for (std::size_t p = 0; p < n && spent < allowance && !deadline::reached(); ++p) {
            if (laid.infos[order[p]].clean) continue;
            std::vector<std::pair<std::size_t, std::size_t>> windows;
            for (std::size_t w : kWindows) windows.push_back({p >= w ? p - w : 0, std::min(n - 1, p + w)});
            std::size_t lo = p, hi = p;
            for (std::size_t q = 0; q < n; ++q)
                if (when[q] >= when[p]) lo = std::min(lo, q), hi = std::max(hi, q);
            windows.push_back({lo, hi});
            for (const auto& [wlo, whi] : windows) {
                if (spent >= allowance) break;
                std::vector<std::size_t> again;  // the window, in the reverse of the order laid
                for (std::size_t k = seq.size(); k-- > 0;)
                    if (seq[k] >= wlo && seq[k] <= whi) again.push_back(seq[k]);
                Laid trial = laid;
                for (std::size_t q : again) trial.lanes[order[q]].clear();
                lay_sequence(req, order, again, axis, trial);
                spent += again.size();
                laid.searches = trial.searches;
                // The window's lanes and the next ones out on either side
                // are the lanes whose standing it can change.
                std::vector<std::size_t> near;
                for (std::size_t q = wlo >= kMeasureMargin ? wlo - kMeasureMargin : 0;
                     q <= std::min(n - 1, whi + kMeasureMargin); ++q)
                    near.push_back(order[q]);
                measure_lanes(req, trial, near);
                Ribbon before, after;
                for (std::size_t lane : near) {
                    before.add(laid.infos[lane], req.delta);
                    after.add(trial.infos[lane], req.delta);
                }
                if (after < before) {
                    laid = std::move(trial);
                    changed = true;
                }
                if (laid.infos[order[p]].clean) break;
            }
        }
        if (!changed) break;
    }
    measure_all(req, laid);
}

Ribbon ribbon_of(const RiverRequest& req, const Laid& laid) {
    Ribbon rb;
    for (const RouteInfo& info : laid.infos) rb.add(info, req.delta);
    return rb;
}

}  // namespace kelvane::river
