#include "railbridge/rail_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kelvane::rail {

SearchBuffers& buffers() {
    thread_local SearchBuffers b;
    return b;
}

bool RailSearch::run(const RunRules& rules, size_t budget, Path* out, size_t* expanded) {
    rules_ = rules;
    SearchBuffers& B = buffers();
    B.map.reset(static_cast<std::uint64_t>(L_.nx()) * L_.ny() * 4);
    B.labels.clear();
    B.heap.clear();
    best_cost_ = std::numeric_limits<double>::infinity();
    best_parent_ = -2;
    size_t pops = 0;
    // Leaving the start along its tangent; a route with no bend at all
    // needs no minimum run.
    jump(si_, sj_, req_.start_dir, rules_.port_run, 0.0, -1, /*end_run=*/0.0);
    while (!B.heap.empty()) {
        const HeapItem top = B.heap.pop();
        if (top.f >= best_cost_) break;
        const Label lab = B.labels[top.id];
        if (top.g > lab.g) continue;  // stale entry
        if (++pops > budget) break;
        expand(top.id, lab);
    }
    *expanded = pops;
    if (best_parent_ == -2) return false;
    // Corner points: start, every label node along the parent chain, end.
    std::vector<Point> rev{end_point()};
    for (std::int64_t l = best_parent_; l >= 0; l = B.labels[l].parent) {
        const std::uint64_t node = B.labels[l].state >> 2;
        const int i = static_cast<int>(node % L_.nx()), j = static_cast<int>(node / L_.nx());
        rev.push_back({L_.x(i), L_.y(j)});
    }
    rev.push_back(start_point());
    std::reverse(rev.begin(), rev.end());
    *out = simplify_path(rev, 0.0);
    return true;
}

double RailSearch::heuristic(int i, int j, int d) const {
    const double vx = L_.x(ei_) - L_.x(i), vy = L_.y(ej_) - L_.y(j);
    return std::fabs(vx) + std::fabs(vy) + T_ * turns_to_arrive(vx, vy, d, req_.end_dir);
}

void RailSearch::relax(int i, int j, int d, double g, std::int64_t parent) {
    SearchBuffers& B = buffers();
    bool inserted = false;
    const std::uint32_t fresh = static_cast<std::uint32_t>(B.labels.size());
    const std::uint32_t slot = B.map.find_or_insert(state_id(i, j, d), fresh, B.labels, &inserted);
    if (inserted) {
        B.labels.push_back({g, state_id(i, j, d), parent});
    } else {
        if (g >= B.labels[slot].g) return;
        B.labels[slot].g = g;
        B.labels[slot].parent = parent;
    }
    const double f = g + heuristic(i, j, d);
    if (f >= best_cost_) return;
    B.heap.push({f, g, slot});
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
void RailSearch::jump(int i, int j, int d, double min_run, double g0, std::int64_t parent, double end_run) {
    double acc = 0.0, pen = 0.0, len = 0.0, p = 0.0;
    int ci = i, cj = j;
    while (L_.step(ci, cj, d, &len, &p)) {
        acc += len;
        pen += p;
        if (ci == ei_ && cj == ej_ && d == req_.end_dir && acc >= end_run - tol_) finish(g0 + acc + pen, parent);
        if (acc >= min_run - tol_ && acc > tol_) {
            relax(ci, cj, d, g0 + acc + pen, parent);
            return;
        }
    }
}

void RailSearch::expand(std::uint32_t li, const Label& lab) {
    const std::uint64_t node = lab.state >> 2;
    const int d = static_cast<int>(lab.state & 3);
    const int i = static_cast<int>(node % L_.nx()), j = static_cast<int>(node / L_.nx());
    // Straight on.
    int ni = i, nj = j;
    double len = 0.0, pen = 0.0;
    if (L_.step(ni, nj, d, &len, &pen)) {
        const double g = lab.g + len + pen;
        if (ni == ei_ && nj == ej_ && d == req_.end_dir) finish(g, li);
        relax(ni, nj, d, g, lab.parent);
    }
    // Bend left or right here.
    const double bend = T_ + turn_bias_cost(req_.turn_bias, {L_.x(i), L_.y(j)}, start_point(), end_point(), scale_);
    for (int nd : {turn_left(d), turn_right(d)}) jump(i, j, nd, rules_.inner_run, lab.g + bend, li, rules_.end_run);
}

}  // namespace kelvane::rail
