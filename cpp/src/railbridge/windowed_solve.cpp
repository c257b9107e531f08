// The single-route router: zones, track lines and search put together, first
// in a window around the end points and widened until the route found is
// provably optimal or the window covers everything.
#include "kelvane/railbridge.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>

#include "kelvane/deadline.hpp"
#include "kelvane/tracks.hpp"
#include "railbridge/rail_search.hpp"
#include "railbridge/zones.hpp"

namespace kelvane {

using namespace rail;

namespace {

int index_of(const std::vector<double>& v, double x) {
    auto it = std::lower_bound(v.begin(), v.end(), x);
    if (it == v.end() || *it != x) throw std::invalid_argument("an end point is not on the grid of its track lines");
    return static_cast<int>(it - v.begin());
}

struct Measured {
    RouteResult result;
    RouteScore score;
    bool found = false;
    bool guided = false;  // found by the weighted search: not proved cheapest
};

// The work a request may do by default (units: states expanded, or
// kCrossingsPerUnit crossings examined): a base plus a share per box and per
// point of an earlier route, so that a call's time follows what it is given.
constexpr size_t kBaseBudget = 1'000'000, kBudgetPerBox = 20, kBudgetPerPivotPoint = 200;
// What the fallback (the lattice of the ports alone) may still spend.
constexpr size_t kFallbackBudget = 200'000;

// Paths followed with at least this weight per unit of length give track
// lines along their runs (lighter ones only break ties among the lines
// there are).
constexpr double kFollowLines = 1e-3;

// Windows whose lattice has more crossings than this are searched with the
// weighted order (kGuidedWeight): an exhaustive search there would expand
// every state cheaper than the optimum, millions of them on a chip-sized field.
constexpr double kExactCrossings = 16e6;
constexpr double kGuidedWeight = 1.3;
// A guided route is then searched again exactly piece by piece, a piece
// holding about this many of its bends.
constexpr int kPieceBends = 12;
constexpr int kPolishPasses = 4;
constexpr double kPolishGain = 1e-3;

// The first search for a zone-clean route expands this many states before
// the ends are checked for being shut in (kShutInProbe states from each);
// the least-bad route of a shut-in end is searched with kShutInBudget.
// Before it, kGlanceProbe units from the end tell whether the strict run
// rules leave the end any way in at all (a bundle lane's end between the
// keep-outs of its neighbours often has none: the strict search would
// otherwise cover everything reachable from the start to find that out).
constexpr size_t kFirstTry = 20'000, kShutInProbe = 5'000, kShutInBudget = 100'000, kGlanceProbe = 16;
constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Windows with at most this many boxes that arcs keep clear of give the
// first lattice the arc lines of every one.
constexpr std::size_t kFewArcBoxes = 8;

// Ports at most this many bend radii apart (Manhattan) make a tight loop.
constexpr double kLoopSpan = 4.0;

// Corner lines of a refinement lattice at most: one per line crossing a
// corner's quadrant, which for a large radius over dense lines would
// multiply the lattice (thousands of lines a side).  Small scenes stay
// far below it.
constexpr size_t kMaxCornerLines = 256;

// Refinement rounds round a route at most (each runs only while the
// previous one found a cheaper route).
constexpr int kRefineRounds = 3;
// A refinement round may expand as many states as the search that found
// the route (at least kRefineMin): on the dense lattices round a bundle's
// earlier lanes it cost up to ten times that search and found nothing.
constexpr size_t kRefineMin = 2000, kRefineShare = 1;

// Searches of a level for a route that does not meet itself, at most.
constexpr int kSelfContactSearches = 18;

// A ban for a contact between segments of `path`: runs along the axis of
// one of them, u (the later or the earlier), may not pass the place where
// they met (nor end there when u ends there), or (`whole`) touch any of the
// other segment v, so that the route goes round v instead of crossing it a
// little further on, or (`whole` and `across`, for runs crossing v) pass
// through v anywhere but still end on it (as the bend into the last run
// does when v is the run into the end).  v's corners are left out of
// `whole` (its neighbours start there, one of them along that axis) unless
// the contact is at one.
RunBan ban_at(const Path& path, std::pair<size_t, size_t> contact, bool later, bool whole, bool across, double eps) {
    const size_t u = later ? contact.second : contact.first, v = later ? contact.first : contact.second;
    const bool horizontal = is_horizontal(direction_of(path[u - 1], path[u]));
    const Point a = path[v - 1], b = path[v], p = path[u - 1], q = path[u];
    // Where they meet: the middle of what their boxes share.
    const Point at{0.5 * (std::max(std::min(a.x, b.x), std::min(p.x, q.x)) + std::min(std::max(a.x, b.x), std::max(p.x, q.x))),
                   0.5 * (std::max(std::min(a.y, b.y), std::min(p.y, q.y)) + std::min(std::max(a.y, b.y), std::max(p.y, q.y)))};
    const bool a_corner = v > 1, b_corner = v + 1 < path.size();
    if (!whole) return {at, at, horizontal, manhattan(at, p) > eps && manhattan(at, q) > eps};
    if ((a_corner && manhattan(at, a) <= eps) || (b_corner && manhattan(at, b) <= eps)) return {at, at, horizontal};
    // Off a corner by less than any two lattice lines are apart (1e-9 (1 + |c|)).
    auto inward = [](Point from, Point to) {
        auto toward = [](double f, double t) { return f + (t > f ? 1.0 : t < f ? -1.0 : 0.0) * 0.5e-9 * (1.0 + std::fabs(f)); };
        return Point{toward(from.x, to.x), toward(from.y, to.y)};
    };
    const Point from = a_corner ? inward(a, b) : a, to = b_corner ? inward(b, a) : b;
    return {from, to, horizontal, across};
}

// Routes of equal cost run midway in channels up to this wide, and keep
// hug_distance() from an obstacle elsewhere.
double channel_width(const RouteRequest& req) {
    const double margin = req.obstacle_margin >= 0 ? req.obstacle_margin : 0.5 * req.route_spacing;
    return 4.0 * req.bend_radius + 2.0 * margin;
}
double hug_distance(const RouteRequest& req) { return req.route_spacing; }

// One lattice and its search for a request.
struct Pass {
    // `within`: the search will be confined to these boxes.
    Pass(const RouteRequest& req, const ZoneSet& all, const TrackInputs& ti, const std::vector<Box>* within = nullptr)
        : tl(make_track_lines(ti)), lat(tl, all, channel_width(req), hug_distance(req), req.sliding_bias, within) {
        const int si = index_of(lat.xs(), req.start.x), sj = index_of(lat.ys(), req.start.y);
        const int ei = index_of(lat.xs(), req.end.x), ej = index_of(lat.ys(), req.end.y);
        scale = (lat.xs().back() - lat.xs().front()) + (lat.ys().back() - lat.ys().front());
        // Bends cost one bend radius; the tiny extra keeps "fewest bends" as
        // the tie-break when the radius is zero.
        turn_cost = (req.turn_cost >= 0 ? req.turn_cost : req.bend_radius) + 1e-7 * scale;
        search = std::make_unique<RailSearch>(lat, all, req, si, sj, ei, ej, turn_cost, scale, buffers());
    }
    // Searches under `rules` for a route cheaper than `bound`; charges the budget.
    bool run(const RunRules& rules, size_t* budget, Path* path, size_t* expanded, double bound) {
        search->begin(rules, bound);
        advance(budget, expanded);
        return search->route(path);
    }
    // Goes on with the search begun (or with another search on this
    // lattice); charges the budget.
    RailSearch::Stop advance(size_t* budget, size_t* expanded) { return advance(*search, budget, expanded); }
    RailSearch::Stop advance(RailSearch& on, size_t* budget, size_t* expanded) {
        const size_t work_before = lat.work();
        const RailSearch::Stop stop = on.advance(*budget, expanded);
        *budget -= std::min(*budget, *expanded + (lat.work() - work_before) / kCrossingsPerUnit);
        if (deadline::reached()) *budget = 0;  // past the time budget: the states are spent
        return stop;
    }
    TrackLines tl;
    RailLattice lat;
    double scale = 0.0, turn_cost = 0.0;
    std::unique_ptr<RailSearch> search;
};

// Is the end point (`from_end`) or the start shut in, so that no route
// below `bound` exists under `rules`?  A search from that end for such
// routes, of at most `probe` units, says yes when it runs out of states
// first (no answer: not shut in).  With the loosest rules and kSoftFixed: no zone-clean route
// at all.
bool shut_in(const RouteRequest& req, const ZoneSet& all, Pass& pass, const RunRules& rules, double bound,
             bool from_end, size_t* budget, size_t* expanded, size_t probe = kShutInProbe) {
    RouteRequest back = req;
    if (from_end) {
        std::swap(back.start, back.end);
        back.start_dir = opposite(req.end_dir);
        back.end_dir = opposite(req.start_dir);
    }
    // The track lines do not depend on which end a search starts from: the
    // probe runs on the pass's own lattice (and builds its lines for it).
    const RailLattice& lat = pass.lat;
    RailSearch search(pass.lat, all, back, index_of(lat.xs(), back.start.x), index_of(lat.ys(), back.start.y),
                      index_of(lat.xs(), back.end.x), index_of(lat.ys(), back.end.y), pass.turn_cost, pass.scale,
                      buffers(/*second=*/true));
    size_t slice = std::min(*budget, probe);
    const size_t given = slice;
    size_t n = 0;
    search.begin(rules, bound);
    const RailSearch::Stop stop = pass.advance(search, &slice, &n);
    *budget -= given - slice;
    *expanded += n;
    Path path;
    return stop == RailSearch::Stop::Done && !search.route(&path);
}

// The runs of the paths a route follows by more than a tie-break, as flat
// boxes: their lines let the route run on them.
std::vector<Box> follow_rails(const RouteRequest& req) {
    std::vector<Box> out;
    for (const Follow& f : req.follow) {
        if (f.weight < kFollowLines) continue;
        const Path p = simplify_path(f.path);
        for (size_t k = 1; k < p.size(); ++k)
            out.push_back({std::min(p[k - 1].x, p[k].x), std::min(p[k - 1].y, p[k].y), std::max(p[k - 1].x, p[k].x),
                           std::max(p[k - 1].y, p[k].y)});
    }
    return out;
}

// Zones of `subset` near `path`: within `reach` of one of its segments.
std::vector<std::size_t> corridor(const ZoneSet& all, const std::vector<std::size_t>& subset, const Path& path,
                                  double reach) {
    std::vector<char> near(all.zones().size(), 0);
    for (size_t k = 1; k < path.size(); ++k) {
        const Point a = path[k - 1], b = path[k];
        all.index().for_each_near(std::min(a.x, b.x) - reach, std::min(a.y, b.y) - reach, std::max(a.x, b.x) + reach,
                                  std::max(a.y, b.y) + reach, [&](std::size_t z) { near[z] = 1; });
    }
    std::vector<std::size_t> out;
    for (std::size_t z : subset)
        if (near[z]) out.push_back(z);
    return out;
}

// Searches the lattice whose lines come from the zones `subset` (indices
// into all.zones(): the zones near the window), relaxing the run rules level
// by level while the route enters an obstacle, a keep-out or an earlier
// route (a dip into clearance is better than a bend tighter than the
// radius); every candidate is measured against all zones and ranked by
// RouteScore.
//
// Each level searches twice.  The first lattice has the rails of every zone
// near the window.  The second is made of the zones along the route found
// only, with the lines a tighter route may need (2r run offsets of the
// route's own runs, and the arc lines where a bend hugging a corner keeps
// its arc clear), and looks there for a cheaper route.  Those lines would multiply
// the lattice if every zone gave them.  The second search runs only where the route may be the
// final answer (`final_window`, or the first route already certified below
// `certify`: a cheaper one is certified too).
Measured solve(const RouteRequest& req, const ZoneSet& all, const std::vector<std::size_t>& subset, size_t* budget,
               bool final_window, double certify, bool allow_guided) {
    const double r = req.bend_radius, rp = req.port_radius >= 0 ? req.port_radius : r;
    const double margin = req.obstacle_margin >= 0 ? req.obstacle_margin : 0.5 * req.route_spacing;
    auto rails_of = [&](const std::vector<std::size_t>& zones) {
        std::vector<Box> out = follow_rails(req);
        out.reserve(out.size() + zones.size());
        for (std::size_t k : zones)
            if (all.zones()[k].lines) out.push_back(all.zones()[k].box);
        return out;
    };
    const std::vector<Box> rails = rails_of(subset);
    TrackInputs base(req.start, req.end, req.start_dir, req.end_dir, r, &rails, req.sliding_bias, req.grid);
    base.port_radius = rp;
    // Among few boxes the first lattice has the arc lines of them all: the
    // cheapest route may pass a box on the other side from the route found
    // without them, where refinement (which stays near that route) does not
    // look.  Ports a few radii apart make the route a tight loop, whose runs
    // are mostly as short as the rules allow, each held by its neighbour, a
    // box side or a corner: the diagonal corner lines, and the side offsets
    // of the kFewArcBoxes boxes nearest the ports (of every box of a dense
    // window they would multiply the lattice), are in the first lattice then,
    // and refinement adds both round the route found.
    const bool loop = r > 0 && manhattan(req.start, req.end) <= kLoopSpan * r;
    std::vector<Box> loop_sides;
    if (loop) {
        std::vector<std::pair<double, std::size_t>> by_distance;
        for (std::size_t k = 0; k < rails.size(); ++k)
            by_distance.push_back({std::min(rails[k].distance_to(req.start), rails[k].distance_to(req.end)), k});
        const std::size_t keep = std::min(by_distance.size(), kFewArcBoxes);
        std::partial_sort(by_distance.begin(), by_distance.begin() + keep, by_distance.end());
        for (std::size_t n = 0; n < keep; ++n) loop_sides.push_back(rails[by_distance[n].second]);
        base.offset_sides = &loop_sides;
    }
    base.diagonals = loop;
    std::vector<ArcBox> arc_boxes_here;
    if (req.arc_clearance && r > 0) {
        for (std::size_t k : subset) {
            const Zone& z = all.zones()[k];
            if (z.arc_margin < 0) continue;
            if (arc_boxes_here.size() == kFewArcBoxes) {  // not few: none
                arc_boxes_here.clear();
                break;
            }
            arc_boxes_here.push_back({z.box, z.arc_margin});
        }
        if (!arc_boxes_here.empty()) {
            base.arc_boxes = &arc_boxes_here;
            base.arc_radius = r;
        }
    }
    Pass first(req, all, base);
    const double crossings = static_cast<double>(first.lat.xs().size()) * static_cast<double>(first.lat.ys().size());
    const bool guided = allow_guided && crossings > kExactCrossings;
    if (guided) first.search->set_weight(kGuidedWeight);

    const double arc = req.arc_clearance ? r : 0.0, port_arc = req.arc_clearance ? std::min(r, rp) : 0.0;
    const RunRules levels[3] = {{rp, 2.0 * r, rp, arc, port_arc}, {rp, r, rp, arc, port_arc}, {0.0, 0.0, 0.0, arc, port_arc}};
    Measured best;
    size_t total_expanded = 0;
    auto consider = [&](Path path, int level, double turn_cost) {
        RouteInfo info = measure_route(req, all, path);
        info.relax_level = level;
        const RouteScore score = score_of(info, info.length + turn_cost * info.bends + crossing_toll(req, info));
        if (best.found && !(score < best.score)) return score;
        best.found = true;
        best.score = score;
        best.result.skeleton = std::move(path);
        best.result.info = info;
        return score;
    };
    // Routes entering no hard zone are looked for first (costs below
    // kHardFixed; a zone-clean one, below kSoftFixed, comes first if any).
    // When there is none and an end is shut in, the search for the
    // least-bad route gets kShutInBudget only.
    size_t shut_in_budget = 0;
    size_t* use = budget;
    // Zone costs tell clean from unclean only where lengths stay far below
    // them (coordinates up to 1e5 or so); beyond, every search is unbounded.
    const bool clean_first = first.scale < 1e-2 * kSoftFixed;
    const double below_hard = clean_first ? kHardFixed : kInfinity;
    // Refines round a route found at `level` while that finds a cheaper one
    // (a second round takes the offsets of offsets, for a staircase of tight
    // runs); returns the last route found.
    auto refine_route = [&](Path guide, double bound, int level, size_t expanded, const std::vector<RunBan>* bans) {
        for (int round = 0; round < kRefineRounds && *use > 0 && r > 0; ++round) {
            const double reach = 2.0 * r + 2.0 * margin;
            const std::vector<std::size_t> near = corridor(all, subset, guide, reach);
            const std::vector<Box> near_rails = rails_of(near);
            // Nearest the guide's bends first: they keep their corner lines
            // when there are more than kMaxCornerLines.
            std::vector<std::pair<double, ArcBox>> by_distance;
            for (std::size_t k : near) {
                const Zone& z = all.zones()[k];
                if (z.arc_margin < 0) continue;
                double d = kInfinity;
                for (size_t b = 1; b + 1 < guide.size(); ++b) d = std::min(d, z.box.distance_to(guide[b]));
                by_distance.push_back({d, {z.box, z.arc_margin}});
            }
            std::stable_sort(by_distance.begin(), by_distance.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
            std::vector<ArcBox> arc_boxes;
            for (const auto& [d, a] : by_distance) arc_boxes.push_back(a);
            TrackInputs fine = base;
            fine.zones = &near_rails;
            fine.guide = &guide;
            fine.hug_reach = loop ? reach : 0.0;
            fine.diagonals = loop;
            if (req.arc_clearance) {
                fine.arc_boxes = &arc_boxes;
                fine.arc_radius = r;
                fine.max_corner_lines = kMaxCornerLines;
            }
            // A cheaper route found here is a local change: the search stays
            // within the corridor round the guide.
            std::vector<Box> region;
            for (size_t k = 1; k < guide.size(); ++k)
                region.push_back(Box{std::min(guide[k - 1].x, guide[k].x), std::min(guide[k - 1].y, guide[k].y),
                                     std::max(guide[k - 1].x, guide[k].x), std::max(guide[k - 1].y, guide[k].y)}
                                     .inflated(reach));
            Pass refine(req, all, fine, &region);
            refine.search->confine(&region);
            refine.search->ban(bans);
            Path better;
            size_t more = 0;
            size_t slice = std::min(*use, std::max(kRefineMin, kRefineShare * expanded));
            const size_t given = slice;
            const bool improved = refine.run(levels[level], &slice, &better, &more, bound - 1e-9 * (1.0 + bound));
            *use -= given - slice;
            total_expanded += more;
            if (!improved) break;
            bound = consider(better, level, refine.turn_cost).cost;
            guide = std::move(better);
        }
        return guide;
    };
    // A route meeting itself (ports close together make it loop) is searched
    // again with runs kept off where it met itself: along the axis of the
    // later of the two runs, then of the earlier one, each touching the
    // other run nowhere, then each only not passing that place, then (runs
    // that cross) each passing the other run nowhere.  Bans add up
    // along a branch; the cheapest branch still meeting itself is taken on
    // next (bans only make routes dearer), kSelfContactSearches searches at
    // most.  A route meeting itself nowhere ranks before it.
    auto avoid_self_contacts = [&](Path route, int level, bool refining, double bound) {
        struct Branch {
            std::vector<RunBan> bans;
            Path route;
            double cost;
            bool open;  // meets itself, not taken on yet
        };
        auto cost_of_route = [&](const Path& p) {
            return path_length(p) + first.turn_cost * static_cast<double>(p.size() - 2);
        };
        std::vector<Branch> branches{{{}, std::move(route), 0.0, true}};
        double self_free = kInfinity;  // the cheapest route found that meets itself nowhere
        int searches = 0;
        while (searches < kSelfContactSearches && *use > 0) {
            Branch* next = nullptr;
            for (Branch& b : branches)
                if (b.open && b.cost < self_free && (!next || b.cost < next->cost)) next = &b;
            if (!next) return;
            next->open = false;
            const Path from = next->route;
            const std::vector<RunBan> from_bans = next->bans;
            const std::pair<size_t, size_t> contact = self_contacts(from, all.eps()).front();
            const size_t u = contact.first, v = contact.second;
            const bool crossing = is_horizontal(direction_of(from[u - 1], from[u])) !=
                                  is_horizontal(direction_of(from[v - 1], from[v]));
            for (const int kind : {0, 1, 2, 3, 4, 5}) {
                if (kind >= 4 && !crossing) break;
                if (searches == kSelfContactSearches || *use == 0) return;
                ++searches;
                std::vector<RunBan> bans = from_bans;
                bans.push_back(ban_at(from, contact, kind % 2 == 0, kind < 2 || kind >= 4, kind >= 4, all.eps()));
                Path found;
                size_t expanded = 0;
                first.search->ban(&bans);
                const bool any = first.run(levels[level], use, &found, &expanded, bound);
                first.search->ban(nullptr);
                total_expanded += expanded;
                if (!any) continue;
                const double cost = consider(found, level, first.turn_cost).cost;
                if (refining) found = refine_route(std::move(found), cost, level, expanded, &bans);
                const bool meets = !self_contacts(found, all.eps()).empty();
                const double final_cost = cost_of_route(found);
                if (!meets) self_free = std::min(self_free, final_cost);
                branches.push_back({std::move(bans), std::move(found), final_cost, meets});
            }
        }
    };
    for (int level = 0; level < 3; ++level) {
        if (level > 0 && (req.keep_runs || (r <= 0 && rp <= 0))) break;
        Path path;
        bool found = false;
        size_t expanded = 0;
        bool searched = false;  // this level's search for routes below kHardFixed ran to its end
        if (level == 0 && clean_first && r > 0 &&
            shut_in(req, all, first, levels[0], kHardFixed, true, use, &total_expanded, kGlanceProbe)) {
            // The strict rules leave the end no way in: every route is a
            // least-bad one.
            shut_in_budget = std::min(*use, kShutInBudget);
            use = &shut_in_budget;
            continue;
        }
        if (level == 0 && clean_first) {
            // A long search pauses once to check that the end is not shut in.
            first.search->begin(levels[0], kHardFixed);
            size_t slice = std::min(*use, kFirstTry);
            const size_t given = slice;
            RailSearch::Stop stop = first.advance(&slice, &expanded);
            *use -= given - slice;
            total_expanded += expanded;
            bool end_checked = false, closed = false;
            if (stop == RailSearch::Stop::OutOfBudget && *use > 0) {
                end_checked = true;
                closed = shut_in(req, all, first, levels[2], kSoftFixed, true, use, &total_expanded);
                if (!closed) {
                    size_t more = 0;
                    stop = first.advance(use, &more);
                    expanded += more;
                    total_expanded += more;
                }
            }
            found = first.search->route(&path);
            if (!found && stop == RailSearch::Stop::Done) {
                closed = closed || shut_in(req, all, first, levels[2], kSoftFixed, false, use, &total_expanded) ||
                         (!end_checked && shut_in(req, all, first, levels[2], kSoftFixed, true, use, &total_expanded));
            }
            if (closed) {
                shut_in_budget = std::min(*use, kShutInBudget);
                use = &shut_in_budget;
            }
            searched = !closed && stop == RailSearch::Stop::Done;
        }
        // A looser level whose end is shut in by hard zones under its rules
        // has no route below kHardFixed: a short probe from the end says so.
        if (level == 1 && clean_first && !found && !searched && *use > 0 &&
            shut_in(req, all, first, levels[level], kHardFixed, true, use, &total_expanded))
            continue;
        if (!found && !searched && *use > 0) {
            // Before the loosest level, only routes entering no obstacle,
            // keep-out or earlier route: one entering them at a stricter
            // level is looked for below, only if no level avoids them.
            found = first.run(levels[level], use, &path, &expanded, level < 2 ? below_hard : kInfinity);
            total_expanded += expanded;
        }
        if (!found) {
            if (*use == 0) break;
            continue;
        }
        const RouteScore got = consider(path, level, first.turn_cost);
        // A guided route is improved piece by piece later (polish_pieces).
        const bool may_be_final = !guided && (final_window || (got.clean() && got.cost <= certify));
        // With no minimum runs left (the loosest level) the offset lines
        // have nothing to offer.
        const bool refining = may_be_final && level < 2;
        Path route = refining ? refine_route(std::move(path), got.cost, level, expanded, nullptr) : std::move(path);
        if (measure_route(req, all, route).self_contacts > 0)
            avoid_self_contacts(std::move(route), level, refining, level < 2 ? below_hard : kInfinity);
        if ((best.found && best.score.hard == 0 && best.score.contacts == 0) || *use == 0) break;
    }
    if (!(best.found && best.score.hard == 0) && *use > 0 && below_hard < kInfinity) {
        // Every level enters something hard: the strict rules may enter less.
        Path path;
        size_t expanded = 0;
        if (first.run(levels[0], use, &path, &expanded, kInfinity)) consider(path, 0, first.turn_cost);
        total_expanded += expanded;
    }
    if (use == &shut_in_budget) {
        // Charge what the least-bad search spent; its running out ends the request.
        const size_t spent = std::min(*budget, kShutInBudget) - shut_in_budget;
        *budget = shut_in_budget == 0 ? 0 : *budget - std::min(*budget, spent);
    }
    RouteInfo& info = best.result.info;
    info.lattice_x = first.lat.xs().size();
    info.lattice_y = first.lat.ys().size();
    info.states_expanded = total_expanded;
    info.clean = best.found && best.score.clean();
    best.guided = guided;
    return best;
}

// The box holding every zone of the request (empty flag when there is none).
bool zone_bounds(const RouteRequest& req, Box* out) {
    const double margin = req.obstacle_margin >= 0 ? req.obstacle_margin : 0.5 * req.route_spacing;
    bool any = false;
    auto take = [&](const Box& b) {
        if (!any) *out = b;
        out->x0 = std::min(out->x0, b.x0); out->y0 = std::min(out->y0, b.y0);
        out->x1 = std::max(out->x1, b.x1); out->y1 = std::max(out->y1, b.y1);
        any = true;
    };
    for (const Box& b : req.obstacles) take(b.inflated(margin));
    for (const auto* list : {&req.exact_obstacles, &req.keep_outs})
        for (const Box& b : *list) take(b);
    for (const Path& p : req.pivots)
        for (const Point& q : p) take(Box{q.x, q.y, q.x, q.y}.inflated(2.0 * req.route_spacing));
    return any;
}

// The work a request may do: about a microsecond a unit here.
size_t budget_for(const RouteRequest& req) {
    if (req.max_states > 0) return req.max_states;
    size_t pivot_points = 0;
    for (const Path& p : req.pivots) pivot_points += p.size();
    return kBaseBudget + kBudgetPerBox * (req.obstacles.size() + req.exact_obstacles.size() + req.keep_outs.size()) +
           kBudgetPerPivotPoint * pivot_points;
}

// Searches windows round the end points, widening them until the route is
// provably the cheapest, the window covers every zone, the window needs the
// guided search, or the budget runs out.
Measured search_windows(const RouteRequest& req, size_t* budget, bool allow_guided) {
    const double r = req.bend_radius;
    const double eps = contact_tolerance(req.grid);
    Box z;
    const bool any_zone = zone_bounds(req, &z);

    // Search a window around the end points first: only zones meeting it are
    // read into the lattice, which keeps it small.  A clean route found there
    // is optimal overall when no route leaving the window can be cheaper:
    // leaving the end points' box by m costs at least 2m extra length.
    const double bx0 = std::min(req.start.x, req.end.x), bx1 = std::max(req.start.x, req.end.x);
    const double by0 = std::min(req.start.y, req.end.y), by1 = std::max(req.start.y, req.end.y);
    const double direct = manhattan(req.start, req.end);
    const double pad = zone_reach(req);
    double m = std::max({4.0 * r + 2.0 * req.route_spacing, 0.2 * direct, 1e-6});
    size_t expanded = 0;
    Measured best;
    std::vector<std::size_t> subset;
    while (true) {
        const bool whole = !any_zone || (bx0 - m <= z.x0 && bx1 + m >= z.x1 && by0 - m <= z.y0 && by1 + m >= z.y1);
        const Box window{bx0 - m, by0 - m, bx1 + m, by1 + m};
        const Box region = window.inflated(pad);
        const ZoneSet near(req, eps, whole ? nullptr : &region);
        subset.clear();
        near.index().for_each_near(window.x0, window.y0, window.x1, window.y1, [&](std::size_t k) { subset.push_back(k); });
        std::sort(subset.begin(), subset.end());
        Measured got = solve(req, near, subset, budget, whole, direct + 2.0 * m, allow_guided);
        expanded += got.result.info.states_expanded;
        const bool certified = !got.guided && got.result.info.clean && got.score.cost <= direct + 2.0 * m;
        // A wider window would be searched the guided way too: nothing more
        // can be proved, the pieces are improved instead.
        const bool settled = got.guided && got.result.info.clean;
        if (got.found && (!best.found || certified || got.score < best.score)) best = std::move(got);
        if (whole || certified || settled || *budget == 0) break;
        m *= 2.5;
    }
    best.result.info.states_expanded = expanded;  // kept when nothing was found, too
    return best;
}

double bend_cost(const RouteRequest& req) { return req.turn_cost >= 0 ? req.turn_cost : req.bend_radius; }

double cost_of(const RouteRequest& req, const Path& p) {
    double length = 0.0;
    for (size_t k = 1; k < p.size(); ++k) length += manhattan(p[k - 1], p[k]);
    return length + bend_cost(req) * static_cast<double>(p.size() - 2);
}

// Searches a route found by the guided search again, piece by piece, each
// piece exactly: it is cut at the middle of runs at least 2r long (2 port
// radii next to the ports), about kPieceBends bends apart, and every piece
// keeps its end points and headings there.  A piece is replaced only by a
// clean, cheaper one, and the whole by a better-scored one.
bool polish_pieces(const RouteRequest& req, Measured* best, size_t* budget, int piece_bends, int first_bends) {
    const Path& route = best->result.skeleton;
    const double r = req.bend_radius, rp = req.port_radius >= 0 ? req.port_radius : r;
    const double cut_run = 2.0 * std::max(r, rp);
    // Cuts: (segment index, point) in route order.
    std::vector<std::pair<size_t, Point>> cuts;
    int bends = piece_bends - first_bends;
    for (size_t k = 1; k + 1 < route.size(); ++k) {
        ++bends;  // the bend at route[k]
        const Point a = route[k], b = route[k + 1];
        if (bends < piece_bends || k + 2 >= route.size() || manhattan(a, b) < cut_run) continue;
        const Point mid = settle_end_point({0.5 * (a.x + b.x), 0.5 * (a.y + b.y)}, req.grid);
        if (manhattan(a, mid) < 0.5 * cut_run || manhattan(mid, b) < 0.5 * cut_run) continue;
        cuts.push_back({k, mid});
        bends = 0;
    }
    if (cuts.empty()) return false;
    const double eps = contact_tolerance(req.grid);
    RouteRequest piece = req;
    piece.port_radius = std::max(r, rp);
    piece.is_piece = true;
    piece.route_start = req.start;
    piece.route_end = req.end;
    Path out{route.front()};
    size_t from_segment = 0;
    Point from = route.front();
    int from_dir = req.start_dir;
    size_t expanded = 0;
    for (size_t c = 0; c <= cuts.size(); ++c) {
        const bool last = c == cuts.size();
        const size_t to_segment = last ? route.size() - 1 : cuts[c].first;
        const Point to = last ? route.back() : cuts[c].second;
        const int to_dir = last ? req.end_dir : direction_of(route[to_segment], route[to_segment + 1]);
        // The guided route's own piece: from, its corners, to.
        Path own{from};
        for (size_t k = from_segment + 1; k <= to_segment; ++k) own.push_back(route[k]);
        own.push_back(to);
        piece.start = from;
        piece.end = to;
        piece.start_dir = from_dir;
        piece.end_dir = to_dir;
        piece.max_states = *budget;
        Measured got = *budget > 0 ? search_windows(piece, budget, false) : Measured{};
        expanded += got.result.info.states_expanded;
        // A clean piece replaces a dearer one, or one that is not clean.
        const RouteInfo own_info = measure_route(piece, eps, own);
        const bool take = got.found && got.result.info.clean &&
                          (cost_of(req, got.result.skeleton) + crossing_toll(req, got.result.info) <
                               cost_of(req, own) + crossing_toll(req, own_info) ||
                           !score_of(own_info, 0.0).clean());
        const Path& use = take ? got.result.skeleton : own;
        out.insert(out.end(), use.begin() + 1, use.end());
        from = to;
        from_dir = to_dir;
        from_segment = to_segment;
    }
    Path polished = simplify_path(out, 0.0);
    RouteInfo info = measure_route(req, eps, polished);
    const RouteScore score = score_of(info, cost_of(req, polished) + crossing_toll(req, info));
    best->result.info.states_expanded += expanded;
    const RouteInfo& was = best->result.info;
    if (!(score < score_of(was, cost_of(req, best->result.skeleton) + crossing_toll(req, was)))) return false;
    info.clean = score.clean();
    info.relax_level = best->result.info.relax_level;
    info.lattice_x = best->result.info.lattice_x;
    info.lattice_y = best->result.info.lattice_y;
    info.states_expanded = best->result.info.states_expanded;
    best->result.skeleton = std::move(polished);
    best->result.info = info;
    best->score = score;
    return true;
}

RouteResult route_settled(const RouteRequest& req) {
    size_t budget = budget_for(req);
    Measured best = search_windows(req, &budget, true);
    if (best.found && best.guided) {
        // Passes alternate the cuts by half a piece, so that every bend is
        // searched away from a cut at least once; they stop when a pass
        // gains less than kPolishGain.
        for (int pass = 0; pass < kPolishPasses && budget > 0; ++pass) {
            const double before = best.score.cost;
            const bool better = polish_pieces(req, &best, &budget, kPieceBends, pass % 2 ? kPieceBends / 2 : kPieceBends);
            if (pass > 0 && (!better || best.score.cost > before * (1.0 - kPolishGain))) break;
        }
    }
    const bool exhausted = budget == 0 && !(best.found && best.result.info.clean);
    size_t expanded = best.result.info.states_expanded;
    if (!best.found) {
        // The budget ran out before any route: the least-bad route on the
        // lattice of the ports alone (a handful of lines) still comes back.
        const ZoneSet all(req, contact_tolerance(req.grid));
        const deadline::Hold finish;  // a bounded search that must give a route, time budget or not
        size_t spare = kFallbackBudget;
        best = solve(req, all, {}, &spare, true, 0.0, false);
        expanded += best.result.info.states_expanded;
        if (!best.found) throw std::invalid_argument("no route exists on the track lattice");
    }
    best.result.info.states_expanded = expanded;
    best.result.info.budget_exhausted = exhausted;
    best.result.info.guided = best.guided;
    return best.result;
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
