#include "railbridge/rail_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kelvane/deadline.hpp"

namespace kelvane::rail {

SearchBuffers& buffers(bool second) {
    thread_local SearchBuffers first_set, second_set;
    return second ? second_set : first_set;
}

void RailSearch::begin(const RunRules& rules, double bound) {
    rules_ = rules;
    B_.map.reset(static_cast<std::uint64_t>(L_.nx()) * L_.ny() * 4);
    B_.labels.clear();
    B_.heap.clear();
    best_cost_ = bound;
    best_parent_ = -2;
    // Every route's last run covers the end_run before the end (unless it
    // leaves the start along the end line: that one may be shorter).  When
    // a zone lies there, A* would otherwise expand every state cheaper than
    // entering it before looking at any route through it.
    end_toll_ = 0.0;
    end_stretch_.clear();
    const bool end_horizontal = is_horizontal(req_.end_dir);
    if (rules.end_run > 0 && (end_horizontal ? sj_ != ej_ : si_ != ei_)) {
        RailLattice::Walk w = L_.walk(ei_, ej_, opposite(req_.end_dir));
        double run = 0.0, pen = 0.0, len = 0.0, step_pen = 0.0;
        end_stretch_.push_back({end_horizontal ? ei_ : ej_, 0.0});
        while (w.next(&len, &step_pen) && run + len <= rules.end_run + tol_) {
            run += len;
            pen += step_pen;
            end_stretch_.push_back({end_horizontal ? w.i : w.j, pen});
        }
        if (pen >= kSoftFixed) end_toll_ = pen;
        else end_stretch_.clear();
    }
    // Leaving the start along its tangent; a route with no bend at all
    // needs no minimum run.
    jump(si_, sj_, req_.start_dir, -1, rules_.port_run, 0.0, -1, /*end_run=*/0.0, nullptr);
}

RailSearch::Stop RailSearch::advance(size_t budget, size_t* expanded) {
    size_t pops = 0;
    const size_t work_before = L_.work();
    Stop stop = Stop::Done;
    deadline::Check past;
    while (!B_.heap.empty()) {
        // Lattice work counts towards the budget as the search goes; the
        // time budget ends it as running out of states does.
        if (pops + (L_.work() - work_before) / kCrossingsPerUnit >= budget || past()) {
            stop = Stop::OutOfBudget;
            break;
        }
        if (B_.heap.top().f >= best_cost_) break;
        const HeapItem top = B_.heap.pop();
        const Label lab = B_.labels[top.id];
        if (top.g > lab.g) continue;  // stale entry
        ++pops;
        expand(top.id, lab);
    }
    *expanded = pops;
    return stop;
}

bool RailSearch::route(Path* out) const {
    if (best_parent_ == -2) return false;
    // Corner points: start, every label node along the parent chain, end.
    std::vector<Point> rev{end_point()};
    for (std::int64_t l = best_parent_; l >= 0; l = B_.labels[l].parent) {
        const std::uint64_t node = B_.labels[l].state >> 2;
        const int i = static_cast<int>(node % L_.nx()), j = static_cast<int>(node / L_.nx());
        rev.push_back({L_.x(i), L_.y(j)});
    }
    rev.push_back(start_point());
    std::reverse(rev.begin(), rev.end());
    *out = simplify_path(rev, 0.0);
    return true;
}

bool RailSearch::run(const RunRules& rules, size_t budget, Path* out, size_t* expanded, double bound) {
    begin(rules, bound);
    advance(budget, expanded);
    return route(out);
}

double RailSearch::heuristic(int i, int j, int d) const {
    const double vx = L_.x(ei_) - L_.x(i), vy = L_.y(ej_) - L_.y(j);
    const double h = std::fabs(vx) + std::fabs(vy) + T_ * turns_to_arrive(vx, vy, d, req_.end_dir);
    return end_toll_ > 0 ? h + end_toll(i, j, d) : h;
}

bool RailSearch::banned(int i, int j, int d, int ti, int tj) const {
    const bool horizontal = is_horizontal(d);
    const double x0 = std::min(L_.x(i), L_.x(ti)), x1 = std::max(L_.x(i), L_.x(ti));
    const double y0 = std::min(L_.y(j), L_.y(tj)), y1 = std::max(L_.y(j), L_.y(tj));
    // Exactly: a ban's ends are set off the lattice lines it must not reach.
    for (const RunBan& b : *bans_) {
        if (b.horizontal != horizontal) continue;
        if (b.through ? (horizontal ? std::min(b.a.y, b.b.y) <= y0 && y0 <= std::max(b.a.y, b.b.y) && x0 < b.a.x && b.a.x < x1
                                    : std::min(b.a.x, b.b.x) <= x0 && x0 <= std::max(b.a.x, b.b.x) && y0 < b.a.y && b.a.y < y1)
                      : std::max(x0, std::min(b.a.x, b.b.x)) <= std::min(x1, std::max(b.a.x, b.b.x)) &&
                            std::max(y0, std::min(b.a.y, b.b.y)) <= std::min(y1, std::max(b.a.y, b.b.y)))
            return true;
    }
    return false;
}

double RailSearch::end_toll(int i, int j, int d) const {
    const bool end_horizontal = is_horizontal(req_.end_dir);
    if (d == req_.end_dir && (end_horizontal ? j == ej_ : i == ei_)) {
        const int c = end_horizontal ? i : j;
        for (const auto& [k, rest] : end_stretch_)
            if (k == c) return rest;
    }
    return end_toll_;
}

void RailSearch::relax(int i, int j, int d, double g, std::int64_t parent, int position) {
    if (region_) {
        const Point p{L_.x(i), L_.y(j)};
        bool inside = false;
        for (const Box& b : *region_)
            if (b.contains_closed(p, 0.0)) {
                inside = true;
                break;
            }
        if (!inside) return;
    }
    SearchBuffers& B = B_;
    bool inserted = false;
    const std::uint32_t fresh = static_cast<std::uint32_t>(B.labels.size());
    const std::uint32_t slot = B.map.find_or_insert(state_id(i, j, d), fresh, B.labels, &inserted);
    if (inserted) {
        B.labels.push_back({g, state_id(i, j, d), parent, position});
    } else {
        if (g >= B.labels[slot].g) return;
        B.labels[slot].g = g;
        B.labels[slot].parent = parent;
    }
    const double h = heuristic(i, j, d);
    if (g + h >= best_cost_) return;  // h is a lower bound whatever the weight
    B.heap.push({g + weight_ * h, g, slot});
}

void RailSearch::finish(double cost, std::int64_t parent) {
    if (cost < best_cost_) {
        best_cost_ = cost;
        best_parent_ = parent;
    }
}

// Turn (or start) at (i, j) into heading d and run straight for at least
// `min_run`; the state where that run first reaches `min_run` is relaxed.
// Reaching the end on the way, heading along the end tangent after at
// least `end_run`, finishes the route.
double RailSearch::last_bend_extra(const Bend* bend, int d) const {
    if (!bend || bend->first || rules_.port_arc_radius == rules_.arc_radius || rules_.arc_radius <= 0) return 0.0;
    return zones_.arc_cost(bend->at, bend->from, d, rules_.port_arc_radius) - bend->charged;
}

void RailSearch::jump(int i, int j, int d, int position, double min_run, double g0, std::int64_t parent,
                      double end_run, const Bend* bend) {
    RailLattice::Walk w = L_.walk_from(i, j, d, position);
    const RailLattice::Walk from = w;
    double run = 0.0, pen = 0.0;
    const bool landed = w.leap(min_run - tol_, tol_, &run, &pen);
    // The end, when the run passes it (up to where it lands) heading along
    // the end tangent after at least end_run.
    double to_end = 0.0, end_pen = 0.0;
    if (d == req_.end_dir && (is_horizontal(d) ? j == ej_ : i == ei_) &&
        from.ahead(is_horizontal(d) ? ei_ : ej_, &to_end, &end_pen) && to_end >= end_run - tol_ &&
        (!landed || to_end <= run) && !(bans_ && banned(i, j, d, ei_, ej_)))
        finish(g0 + to_end + end_pen + last_bend_extra(bend, d), parent);
    // A longer run holds whatever this one holds.
    if (landed && !(bans_ && banned(i, j, d, w.i, w.j))) relax(w.i, w.j, d, g0 + run + pen, parent, w.position());
}

void RailSearch::expand(std::uint32_t li, const Label& lab) {
    const std::uint64_t node = lab.state >> 2;
    const int d = static_cast<int>(lab.state & 3);
    const int i = static_cast<int>(node % L_.nx()), j = static_cast<int>(node / L_.nx());
    // Straight on.
    double len = 0.0, pen = 0.0;
    RailLattice::Walk w = L_.walk_from(i, j, d, lab.position);
    const int &ni = w.i, &nj = w.j;
    if (w.next(&len, &pen) && !(bans_ && banned(i, j, d, ni, nj))) {
        const double g = lab.g + len + pen;
        if (ni == ei_ && nj == ej_ && d == req_.end_dir) finish(g, li);
        relax(ni, nj, d, g, lab.parent, w.position());
    }
    // Bend left or right here.  The arc of the first bend (and of the last,
    // known only when the run after it reaches the end) is the smaller one
    // next to a port.
    const Point at{L_.x(i), L_.y(j)};
    const double bend = T_ + turn_bias_cost(req_.turn_bias, at, start_point(), end_point(), scale_);
    const bool first = lab.parent < 0;
    const double radius = first ? rules_.port_arc_radius : rules_.arc_radius;
    double arcs[2] = {0.0, 0.0};
    if (radius > 0) zones_.arc_costs(at, d, radius, &arcs[0], &arcs[1]);
    double near_crossing[2];
    zones_.crossing_bend_costs(at, d, &near_crossing[0], &near_crossing[1]);
    arcs[0] += near_crossing[0];
    arcs[1] += near_crossing[1];
    // Both bends leave along the same crossing line: find the node on it once.
    const int across = L_.position_of(i, j, turn_left(d));
    for (int side = 0; side < 2; ++side) {
        const int nd = side == 0 ? turn_left(d) : turn_right(d);
        const Bend b{at, d, arcs[side], first};
        jump(i, j, nd, across, rules_.inner_run, lab.g + bend + arcs[side], li, rules_.end_run, &b);
    }
}

}  // namespace kelvane::rail
