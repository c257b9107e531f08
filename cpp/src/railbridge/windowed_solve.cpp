// The single-route router: zones, track lines and search put together, first
// in a window around the end points and widened until the route found is
// provably optimal or the window covers everything.
#include "kelvane/railbridge.hpp"

#include <algorithm>
#include <array>
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

// The router's tuning, in one place.  Work is counted in units: a state
// expanded, or kCrossingsPerUnit lattice crossings examined (about a
// microsecond a unit here).
struct SolvePolicy {
    // The work a request may do by default: a base plus a share per box and
    // per point of an earlier route, so that a call's time follows what it
    // is given.
    size_t base_budget = 1'000'000, budget_per_box = 20, budget_per_pivot_point = 200;
    // What the fallback (the lattice of the ports alone) may still spend.
    size_t fallback_budget = 200'000;

    // Paths followed with at least this weight per unit of length give track
    // lines along their runs (lighter ones only break ties among the lines
    // there are).
    double follow_lines = 1e-3;

    // Windows whose lattice has more crossings than this are searched with
    // the weighted order (f = g + guided_weight h): an exhaustive search
    // there would expand every state cheaper than the optimum, millions of
    // them on a chip-sized field.
    double exact_crossings = 16e6, guided_weight = 1.3;
    // A guided route is then searched again exactly piece by piece, a piece
    // holding about piece_bends of its bends, in at most polish_passes
    // passes, stopping when a pass gains less than polish_gain.
    int piece_bends = 12, polish_passes = 4;
    double polish_gain = 1e-3;

    // The first search for a zone-clean route expands first_try states
    // before the ends are checked for being shut in (shut_in_probe states
    // from each); the least-bad route of a shut-in end is searched with
    // least_bad_budget.  Before it, glance_probe units from the end tell
    // whether the strict run rules leave the end any way in at all (a bundle
    // lane's end between the keep-outs of its neighbours often has none: the
    // strict search would otherwise cover everything reachable from the
    // start to find that out).
    size_t first_try = 20'000, shut_in_probe = 5'000, least_bad_budget = 100'000, glance_probe = 16;

    // Windows with at most this many boxes that arcs keep clear of give the
    // first lattice the arc lines of every one; a tight loop's first lattice
    // gets the side offsets of this many boxes nearest the ports.
    size_t few_arc_boxes = 8;
    // Ports at most this many bend radii apart (Manhattan) make a tight loop.
    double loop_span = 4.0;

    // Corner lines of a refinement lattice at most: one per line crossing a
    // corner's quadrant, which for a large radius over dense lines would
    // multiply the lattice (thousands of lines a side).  Small scenes stay
    // far below it.
    size_t max_corner_lines = 256;
    // Refinement rounds round a route at most (each runs only while the
    // previous one found a cheaper route).  A round may expand refine_share
    // times the states of the search that found the route (at least
    // refine_min): on the dense lattices round a bundle's earlier lanes it
    // cost up to ten times that search and found nothing.
    int refine_rounds = 3;
    size_t refine_min = 2000, refine_share = 1;

    // Searches of a level for a route that does not meet itself, at most.
    int self_contact_searches = 18;
};
constexpr SolvePolicy kPolicy{};

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Work left to a request or to a part of one, in work units.  A part is
// taken with part() and its use charged back with settle().
class Budget {
public:
    explicit Budget(size_t units) : given_(units), left_(units) {}
    size_t left() const { return left_; }
    bool spent() const { return left_ == 0; }
    size_t used() const { return given_ - left_; }
    void charge(size_t units) { left_ -= std::min(left_, units); }
    void end() { left_ = 0; }
    // At most `cap` units of what is left.
    Budget part(size_t cap) const { return Budget(std::min(left_, cap)); }
    void settle(const Budget& part) { charge(part.used()); }

private:
    size_t given_, left_;
};

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
double channel_width(const RouteRequest& req) { return 4.0 * req.bend_radius + 2.0 * clearance(req); }
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
    bool run(const RunRules& rules, Budget& budget, Path* path, size_t* expanded, double bound) {
        search->begin(rules, bound);
        advance(budget, expanded);
        return search->route(path);
    }
    // Goes on with the search begun (or with another search on this
    // lattice); charges the budget.
    RailSearch::Stop advance(Budget& budget, size_t* expanded) { return advance(*search, budget, expanded); }
    RailSearch::Stop advance(RailSearch& on, Budget& budget, size_t* expanded) {
        const size_t work_before = lat.work();
        const RailSearch::Stop stop = on.advance(budget.left(), expanded);
        budget.charge(*expanded + (lat.work() - work_before) / kCrossingsPerUnit);
        if (deadline::reached()) budget.end();  // past the time budget: the states are spent
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
// first (no answer: not shut in).  With the loosest rules and kSoftFixed: no
// zone-clean route at all.
bool shut_in(const RouteRequest& req, const ZoneSet& all, Pass& pass, const RunRules& rules, double bound,
             bool from_end, Budget& budget, size_t* expanded, size_t probe) {
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
    Budget slice = budget.part(probe);
    size_t n = 0;
    search.begin(rules, bound);
    const RailSearch::Stop stop = pass.advance(search, slice, &n);
    budget.settle(slice);
    *expanded += n;
    Path path;
    return stop == RailSearch::Stop::Done && !search.route(&path);
}

// The runs of the paths a route follows by more than a tie-break, as flat
// boxes: their lines let the route run on them.
std::vector<Box> follow_rails(const RouteRequest& req) {
    std::vector<Box> out;
    for (const Follow& f : req.follow) {
        if (f.weight < kPolicy.follow_lines) continue;
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

// The run rules of the relaxation levels, strictest first: runs between
// bends of at least 2r, then r, then of any length (a dip into clearance is
// better than a bend tighter than the radius).
std::array<RunRules, 3> relaxation_levels(const RouteRequest& req) {
    const double r = req.bend_radius, rp = req.port_radius >= 0 ? req.port_radius : r;
    const double arc = req.arc_clearance ? r : 0.0, port_arc = req.arc_clearance ? std::min(r, rp) : 0.0;
    return {{{rp, 2.0 * r, rp, arc, port_arc}, {rp, r, rp, arc, port_arc}, {0.0, 0.0, 0.0, arc, port_arc}}};
}

// One window's search (solve, below): the first lattice, the relaxation
// levels, refinement, routes that meet themselves, and the least-bad route
// measured so far.
class WindowSolver {
public:
    WindowSolver(const RouteRequest& req, const ZoneSet& all, const std::vector<std::size_t>& subset, Budget& budget,
                 bool allow_guided)
        : req_(req), all_(all), subset_(subset), r_(req.bend_radius),
          rp_(req.port_radius >= 0 ? req.port_radius : r_),
          loop_(r_ > 0 && manhattan(req.start, req.end) <= kPolicy.loop_span * r_), rails_(rails_of(subset)),
          base_(first_inputs()), first_(req, all, base_), levels_(relaxation_levels(req)), budget_(budget),
          work_(budget.part(budget.left())) {
        const double crossings = static_cast<double>(first_.lat.xs().size()) * static_cast<double>(first_.lat.ys().size());
        guided_ = allow_guided && crossings > kPolicy.exact_crossings;
        if (guided_) first_.search->set_weight(kPolicy.guided_weight);
        // Zone costs tell clean from unclean only where lengths stay far
        // below them (coordinates up to 1e5 or so); beyond, every search is
        // unbounded.
        clean_first_ = first_.scale < 1e-2 * kSoftFixed;
        below_hard_ = clean_first_ ? kHardFixed : kInfinity;
    }

    // Routes entering no hard zone are looked for first (costs below
    // kHardFixed; a zone-clean one, below kSoftFixed, comes first if any),
    // level by level while the route enters an obstacle, a keep-out or an
    // earlier route; then, if every level enters something hard, the least
    // hard route.  `final_window` and `certify`: see take().
    Measured run(bool final_window, double certify) {
        for (int level = 0; level < 3; ++level) {
            if (level > 0 && (req_.keep_runs || (r_ <= 0 && rp_ <= 0))) break;
            if (!search_level(level, final_window, certify)) break;
        }
        if (!(best_.found && best_.score.hard == 0) && !work_.spent() && below_hard_ < kInfinity) {
            // Every level enters something hard: the strict rules may enter less.
            Path path;
            size_t expanded = 0;
            if (first_.run(levels_[0], work_, &path, &expanded, kInfinity)) keep_least_bad(path, 0, first_.turn_cost);
            total_expanded_ += expanded;
        }
        budget_.settle(work_);
        if (least_bad_ && work_.spent()) budget_.end();  // the least-bad search running out ends the request
        RouteInfo& info = best_.result.info;
        info.lattice_x = first_.lat.xs().size();
        info.lattice_y = first_.lat.ys().size();
        info.states_expanded = total_expanded_;
        info.clean = best_.found && best_.score.clean();
        best_.guided = guided_;
        return std::move(best_);
    }

private:
    // The boxes whose sides give track lines: the zones `zones` that have
    // them, and the runs of the paths followed.
    std::vector<Box> rails_of(const std::vector<std::size_t>& zones) const {
        std::vector<Box> out = follow_rails(req_);
        out.reserve(out.size() + zones.size());
        for (std::size_t k : zones)
            if (all_.zones()[k].lines) out.push_back(all_.zones()[k].box);
        return out;
    }

    // The first lattice's lines: the rails of every zone near the window.
    // Among few boxes it has the arc lines of them all: the cheapest route
    // may pass a box on the other side from the route found without them,
    // where refinement (which stays near that route) does not look.  Ports a
    // few radii apart make the route a tight loop, whose runs are mostly as
    // short as the rules allow, each held by its neighbour, a box side or a
    // corner: the diagonal corner lines, and the side offsets of the
    // few_arc_boxes boxes nearest the ports (of every box of a dense window
    // they would multiply the lattice), are in the first lattice then, and
    // refinement adds both round the route found.
    TrackInputs first_inputs() {
        TrackInputs base(req_.start, req_.end, req_.start_dir, req_.end_dir, r_, &rails_, req_.sliding_bias, req_.grid);
        base.port_radius = rp_;
        if (loop_) {
            std::vector<std::pair<double, std::size_t>> by_distance;
            for (std::size_t k = 0; k < rails_.size(); ++k)
                by_distance.push_back({std::min(rails_[k].distance_to(req_.start), rails_[k].distance_to(req_.end)), k});
            const std::size_t keep = std::min(by_distance.size(), kPolicy.few_arc_boxes);
            std::partial_sort(by_distance.begin(), by_distance.begin() + keep, by_distance.end());
            for (std::size_t n = 0; n < keep; ++n) loop_sides_.push_back(rails_[by_distance[n].second]);
            base.offset_sides = &loop_sides_;
        }
        base.diagonals = loop_;
        if (req_.arc_clearance && r_ > 0) {
            for (std::size_t k : subset_) {
                const Zone& z = all_.zones()[k];
                if (z.arc_margin < 0) continue;
                if (arc_boxes_.size() == kPolicy.few_arc_boxes) {  // not few: none
                    arc_boxes_.clear();
                    break;
                }
                arc_boxes_.push_back({z.box, z.arc_margin});
            }
            if (!arc_boxes_.empty()) {
                base.arc_boxes = &arc_boxes_;
                base.arc_radius = r_;
            }
        }
        return base;
    }

    // Before the loosest level, searches look only below one hard zone.
    double level_bound(int level) const { return level < 2 ? below_hard_ : kInfinity; }

    // One relaxation level's search; false when no looser level is to be
    // searched (a route entering nothing hard and touching nothing, or the
    // work spent).
    bool search_level(int level, bool final_window, double certify) {
        Path path;
        size_t expanded = 0;
        bool found = false, searched = false;  // searched: the search below kHardFixed ran to its end
        if (level == 0 && clean_first_ && r_ > 0 && probe_shut_in(levels_[0], kHardFixed, true, kPolicy.glance_probe)) {
            // The strict rules leave the end no way in: every route is a
            // least-bad one.
            narrow_to_least_bad();
            return true;
        }
        if (level == 0 && clean_first_) found = first_clean_search(&path, &expanded, &searched);
        // A looser level whose end is shut in by hard zones under its rules
        // has no route below kHardFixed: a short probe from the end says so.
        if (level == 1 && clean_first_ && !work_.spent() &&
            probe_shut_in(levels_[1], kHardFixed, true, kPolicy.shut_in_probe))
            return true;
        if (!found && !searched && !work_.spent()) {
            // Before the loosest level, only routes entering no obstacle,
            // keep-out or earlier route: one entering them at a stricter
            // level is looked for below, only if no level avoids them.
            found = first_.run(levels_[level], work_, &path, &expanded, level_bound(level));
            total_expanded_ += expanded;
        }
        if (!found) return !work_.spent();
        take(std::move(path), level, expanded, final_window, certify);
        return !(best_.found && best_.score.hard == 0 && best_.score.contacts == 0) && !work_.spent();
    }

    // Keeps `path` if it ranks before the best route so far (RouteScore);
    // returns its score.
    RouteScore keep_least_bad(Path path, int level, double turn_cost) {
        RouteInfo info = measure_route(req_, all_, path);
        info.relax_level = level;
        const RouteScore score = score_of(info, info.length + turn_cost * info.bends + crossing_toll(req_, info));
        if (best_.found && !(score < best_.score)) return score;
        best_.found = true;
        best_.score = score;
        best_.result.skeleton = std::move(path);
        best_.result.info = info;
        return score;
    }

    bool probe_shut_in(const RunRules& rules, double bound, bool from_end, size_t probe) {
        return shut_in(req_, all_, first_, rules, bound, from_end, work_, &total_expanded_, probe);
    }

    // No zone-clean route: the search for the least-bad one gets
    // least_bad_budget of what is left.
    void narrow_to_least_bad() {
        if (least_bad_) return;
        budget_.settle(work_);
        work_ = budget_.part(kPolicy.least_bad_budget);
        least_bad_ = true;
    }

    // The strict level's search for a zone-clean route: a long one pauses
    // once to check that the end is not shut in, and a search that finds
    // nothing checks both ends.  A shut-in end narrows the budget to the
    // least-bad route's.
    bool first_clean_search(Path* path, size_t* expanded, bool* searched) {
        first_.search->begin(levels_[0], kHardFixed);
        Budget slice = work_.part(kPolicy.first_try);
        RailSearch::Stop stop = first_.advance(slice, expanded);
        work_.settle(slice);
        total_expanded_ += *expanded;
        bool end_checked = false, closed = false;
        if (stop == RailSearch::Stop::OutOfBudget && !work_.spent()) {
            end_checked = true;
            closed = probe_shut_in(levels_[2], kSoftFixed, true, kPolicy.shut_in_probe);
            if (!closed) {
                size_t more = 0;
                stop = first_.advance(work_, &more);
                *expanded += more;
                total_expanded_ += more;
            }
        }
        const bool found = first_.search->route(path);
        if (!found && stop == RailSearch::Stop::Done) {
            closed = closed || probe_shut_in(levels_[2], kSoftFixed, false, kPolicy.shut_in_probe) ||
                     (!end_checked && probe_shut_in(levels_[2], kSoftFixed, true, kPolicy.shut_in_probe));
        }
        if (closed) narrow_to_least_bad();
        *searched = !closed && stop == RailSearch::Stop::Done;
        return found;
    }

    // A route found at `level` (with `expanded` states): kept if best,
    // refined where it may be the final answer (`final_window`, or the route
    // already certified below `certify`: a cheaper one is certified too; a
    // guided route is improved piece by piece later, polish_pieces), and
    // searched again if it meets itself.
    void take(Path path, int level, size_t expanded, bool final_window, double certify) {
        const RouteScore got = keep_least_bad(path, level, first_.turn_cost);
        const bool may_be_final = !guided_ && (final_window || (got.clean() && got.cost <= certify));
        // With no minimum runs left (the loosest level) the offset lines
        // have nothing to offer.
        const bool refining = may_be_final && level < 2;
        Path route = refining ? refine(std::move(path), got.cost, level, expanded, nullptr) : std::move(path);
        if (measure_route(req_, all_, route).self_contacts > 0)
            avoid_self_contacts(std::move(route), level, refining, level_bound(level));
    }

    // The lattice of one refinement round round `guide`: the zones along it
    // only, with the lines a tighter route may need (2r run offsets of the
    // guide's runs, and the arc lines where a bend hugging a corner keeps its
    // arc clear, nearest the guide's bends first: they keep their corner
    // lines when there are more than max_corner_lines; for a tight loop also
    // 2r beyond the zone sides its runs pass closely, and the diagonal corner
    // lines).  Those lines would multiply the lattice if every zone gave them.
    struct Refinement {
        std::vector<Box> rails, region;
        std::vector<ArcBox> arc_boxes;
        TrackInputs inputs;
    };
    void refinement_lattice(const Path& guide, Refinement* out) const {
        const double reach = 2.0 * r_ + 2.0 * clearance(req_);
        const std::vector<std::size_t> near = corridor(all_, subset_, guide, reach);
        out->rails = rails_of(near);
        std::vector<std::pair<double, ArcBox>> by_distance;
        for (std::size_t k : near) {
            const Zone& z = all_.zones()[k];
            if (z.arc_margin < 0) continue;
            double d = kInfinity;
            for (size_t b = 1; b + 1 < guide.size(); ++b) d = std::min(d, z.box.distance_to(guide[b]));
            by_distance.push_back({d, {z.box, z.arc_margin}});
        }
        std::stable_sort(by_distance.begin(), by_distance.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [d, a] : by_distance) out->arc_boxes.push_back(a);
        TrackInputs& fine = out->inputs;
        fine = base_;
        fine.zones = &out->rails;
        fine.guide = &guide;
        fine.hug_reach = loop_ ? reach : 0.0;
        fine.diagonals = loop_;
        if (req_.arc_clearance) {
            fine.arc_boxes = &out->arc_boxes;
            fine.arc_radius = r_;
            fine.max_corner_lines = kPolicy.max_corner_lines;
        }
        // A cheaper route found here is a local change: the search stays
        // within the corridor round the guide.
        for (size_t k = 1; k < guide.size(); ++k)
            out->region.push_back(Box{std::min(guide[k - 1].x, guide[k].x), std::min(guide[k - 1].y, guide[k].y),
                                      std::max(guide[k - 1].x, guide[k].x), std::max(guide[k - 1].y, guide[k].y)}
                                      .inflated(reach));
    }

    // Refines round a route found at `level` (cost `bound`, `expanded`
    // states) while that finds a cheaper one (a second round takes the
    // offsets of offsets, for a staircase of tight runs); returns the last
    // route found.
    Path refine(Path guide, double bound, int level, size_t expanded, const std::vector<RunBan>* bans) {
        for (int round = 0; round < kPolicy.refine_rounds && !work_.spent() && r_ > 0; ++round) {
            Refinement fine;
            refinement_lattice(guide, &fine);
            Pass refined(req_, all_, fine.inputs, &fine.region);
            refined.search->confine(&fine.region);
            refined.search->ban(bans);
            Path better;
            size_t more = 0;
            Budget slice = work_.part(std::max(kPolicy.refine_min, kPolicy.refine_share * expanded));
            const bool improved =
                refined.run(levels_[level], slice, &better, &more, bound - 1e-9 * (1.0 + bound));
            work_.settle(slice);
            total_expanded_ += more;
            if (!improved) break;
            bound = keep_least_bad(better, level, refined.turn_cost).cost;
            guide = std::move(better);
        }
        return guide;
    }

    // A route meeting itself (ports close together make it loop) is searched
    // again with runs kept off where it met itself: along the axis of the
    // later of the two runs, then of the earlier one, each touching the
    // other run nowhere, then each only not passing that place, then (runs
    // that cross) each passing the other run nowhere.  Bans add up along a
    // branch; the cheapest branch still meeting itself is taken on next
    // (bans only make routes dearer), self_contact_searches searches at
    // most.  A route meeting itself nowhere ranks before it.
    void avoid_self_contacts(Path route, int level, bool refining, double bound) {
        struct Branch {
            std::vector<RunBan> bans;
            Path route;
            double cost;
            bool open;  // meets itself, not taken on yet
        };
        auto cost_of_route = [&](const Path& p) {
            return path_length(p) + first_.turn_cost * static_cast<double>(p.size() - 2);
        };
        std::vector<Branch> branches{{{}, std::move(route), 0.0, true}};
        double self_free = kInfinity;  // the cheapest route found that meets itself nowhere
        int searches = 0;
        while (searches < kPolicy.self_contact_searches && !work_.spent()) {
            Branch* next = nullptr;
            for (Branch& b : branches)
                if (b.open && b.cost < self_free && (!next || b.cost < next->cost)) next = &b;
            if (!next) return;
            next->open = false;
            const Path from = next->route;
            const std::vector<RunBan> from_bans = next->bans;
            const std::pair<size_t, size_t> contact = self_contacts(from, all_.eps()).front();
            const size_t u = contact.first, v = contact.second;
            const bool crossing = is_horizontal(direction_of(from[u - 1], from[u])) !=
                                  is_horizontal(direction_of(from[v - 1], from[v]));
            for (const int kind : {0, 1, 2, 3, 4, 5}) {
                if (kind >= 4 && !crossing) break;
                if (searches == kPolicy.self_contact_searches || work_.spent()) return;
                ++searches;
                std::vector<RunBan> bans = from_bans;
                bans.push_back(ban_at(from, contact, kind % 2 == 0, kind < 2 || kind >= 4, kind >= 4, all_.eps()));
                Path found;
                size_t expanded = 0;
                first_.search->ban(&bans);
                const bool any = first_.run(levels_[level], work_, &found, &expanded, bound);
                first_.search->ban(nullptr);
                total_expanded_ += expanded;
                if (!any) continue;
                const double cost = keep_least_bad(found, level, first_.turn_cost).cost;
                if (refining) found = refine(std::move(found), cost, level, expanded, &bans);
                const bool meets = !self_contacts(found, all_.eps()).empty();
                const double final_cost = cost_of_route(found);
                if (!meets) self_free = std::min(self_free, final_cost);
                branches.push_back({std::move(bans), std::move(found), final_cost, meets});
            }
        }
    }

    const RouteRequest& req_;
    const ZoneSet& all_;
    const std::vector<std::size_t>& subset_;  // indices into all_.zones(): the zones near the window
    const double r_, rp_;
    const bool loop_;  // ports close enough to make a tight loop
    const std::vector<Box> rails_;
    std::vector<Box> loop_sides_;
    std::vector<ArcBox> arc_boxes_;
    const TrackInputs base_;
    Pass first_;
    const std::array<RunRules, 3> levels_;
    Budget& budget_;
    Budget work_;             // what this window may still spend: budget_'s, or the least-bad route's part
    bool least_bad_ = false;  // work_ is the least-bad route's part
    bool guided_ = false, clean_first_ = false;
    double below_hard_ = kInfinity;
    Measured best_;
    size_t total_expanded_ = 0;
};

// Searches the lattice whose lines come from the zones `subset` (indices
// into all.zones(): the zones near the window), relaxing the run rules level
// by level while the route enters an obstacle, a keep-out or an earlier
// route; every candidate is measured against all zones and ranked by
// RouteScore.
//
// Each level searches twice.  The first lattice has the rails of every zone
// near the window.  The second (refinement) is made of the zones along the
// route found only, with the lines a tighter route may need, and looks there
// for a cheaper route; it runs only where the route may be the final answer
// (`final_window`, or the first route already certified below `certify`).
Measured solve(const RouteRequest& req, const ZoneSet& all, const std::vector<std::size_t>& subset, Budget& budget,
               bool final_window, double certify, bool allow_guided) {
    return WindowSolver(req, all, subset, budget, allow_guided).run(final_window, certify);
}

// The box holding every zone of the request (empty flag when there is none).
bool zone_bounds(const RouteRequest& req, Box* out) {
    const double margin = clearance(req);
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
    return kPolicy.base_budget +
           kPolicy.budget_per_box * (req.obstacles.size() + req.exact_obstacles.size() + req.keep_outs.size()) +
           kPolicy.budget_per_pivot_point * pivot_points;
}

// Searches windows round the end points, widening them until the route is
// provably the cheapest, the window covers every zone, the window needs the
// guided search, or the budget runs out.
Measured search_windows(const RouteRequest& req, Budget& budget, bool allow_guided) {
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
        if (whole || certified || settled || budget.spent()) break;
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
// radii next to the ports), about piece_bends bends apart, and every piece
// keeps its end points and headings there.  A piece is replaced only by a
// clean, cheaper one, and the whole by a better-scored one.
bool polish_pieces(const RouteRequest& req, Measured* best, Budget& budget, int piece_bends, int first_bends) {
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
        piece.max_states = budget.left();
        Measured got = !budget.spent() ? search_windows(piece, budget, false) : Measured{};
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
    Budget budget(budget_for(req));
    Measured best = search_windows(req, budget, true);
    if (best.found && best.guided) {
        // Passes alternate the cuts by half a piece, so that every bend is
        // searched away from a cut at least once; they stop when a pass
        // gains less than polish_gain.
        for (int pass = 0; pass < kPolicy.polish_passes && !budget.spent(); ++pass) {
            const double before = best.score.cost;
            const int piece = kPolicy.piece_bends;
            const bool better = polish_pieces(req, &best, budget, piece, pass % 2 ? piece / 2 : piece);
            if (pass > 0 && (!better || best.score.cost > before * (1.0 - kPolicy.polish_gain))) break;
        }
    }
    const bool exhausted = budget.spent() && !(best.found && best.result.info.clean);
    size_t expanded = best.result.info.states_expanded;
    if (!best.found) {
        // The budget ran out before any route: the least-bad route on the
        // lattice of the ports alone (a handful of lines) still comes back.
        const ZoneSet all(req, contact_tolerance(req.grid));
        const deadline::Hold finish;  // a bounded search that must give a route, time budget or not
        Budget spare(kPolicy.fallback_budget);
        best = solve(req, all, {}, spare, true, 0.0, false);
        expanded += best.result.info.states_expanded;
        if (!best.found) throw std::invalid_argument("no route exists on the track lattice");
    }
    best.result.info.states_expanded = expanded;
    best.result.info.budget_exhausted = exhausted;
    best.result.info.guided = best.guided;
    return best.result;
}
}  // namespace

RouteRequest port_to_port_request(Point start, Point end, Point start_tangent, Point end_tangent, double delta) {
    RouteRequest r;
    r.start = start;
    r.end = end;
    r.start_dir = tangent_heading(start_tangent);
    r.end_dir = tangent_heading(end_tangent);
    r.bend_radius = delta;
    r.port_radius = delta;
    return r;
}

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
