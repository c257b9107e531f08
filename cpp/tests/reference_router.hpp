// An exhaustive reference for the single-route router, written from the
// routing rules alone (it shares no code with the router): Dijkstra over
// every grid point of a bounded field, with the heading, the run since the
// last bend and whether the last bend's arc is clear in the state.
//
// Rules (what "clean" means):
//  * a segment stays out of the open interior of every obstacle grown by the
//    clearance (the clearance is waived for an obstacle whose grown box holds
//    the start or the end), of every exact obstacle and keep-out box, and off
//    the seam where two solid boxes (keep-outs, exact obstacles, obstacles
//    without clearance) abut from opposite sides;
//  * runs: at least rp at each port (unless the route is one straight run),
//    at least 2r between two bends;
//  * arcs: each bend is a quarter circle of radius r (min(r, rp) next to a
//    port) that keeps the clearance from every obstacle and stays out of
//    keep-outs and exact obstacles (checked here by dense sampling);
//  * cost = length + r per bend; the best clean cost is returned.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <queue>
#include <vector>

#include "kelvane/geometry.hpp"

namespace kelvane_test {

using kelvane::Box;
using kelvane::Point;

struct RefScene {
    Point start, end;         // on the grid
    int start_dir = 0, end_dir = 0;
    double r = 1.0, rp = 1.0;  // bend radius, port run
    std::vector<Box> obstacles;
    double margin = 0.0;       // clearance around obstacles
    std::vector<Box> exact, keep_outs;
    double grid = 1.0;
    double tol = 1e-9;  // contact tolerance (the router's: a thousandth of the grid step with dbu)
    bool arcs = true;
    double lo = -20, hi = 40;  // the field, both axes
};

class ReferenceRouter {
public:
    explicit ReferenceRouter(const RefScene& s) : s_(s) {
        for (const Box& b : s.obstacles) {
            Box g{b.x0 - s.margin, b.y0 - s.margin, b.x1 + s.margin, b.y1 + s.margin};
            const bool waived = holds(g, s.start) || holds(g, s.end);
            zones_.push_back({waived ? b : g, b, waived ? 0.0 : s.margin});
            if (waived || s.margin <= 0) solid_.push_back(b);
        }
        for (const auto* list : {&s.exact, &s.keep_outs})
            for (const Box& b : *list) {
                zones_.push_back({b, b, 0.0});
                solid_.push_back(b);
            }
        n_ = static_cast<int>(std::floor((s.hi - s.lo) / s.grid + 1e-9)) + 1;
        cap_ = static_cast<int>(std::ceil(std::max(2.0 * s.r, s.rp) / s.grid - 1e-9));
        const size_t cells = static_cast<size_t>(n_) * n_;
        step_cache_.assign(cells * 4, 2);
        arc_cache_.assign(cells * 16, 2);
    }

    // Best clean cost, or -1 when no clean route exists in the field;
    // `route` (when given) receives the corner points of one such route.
    double best_cost(kelvane::Path* route = nullptr) const {
        const int si = idx(s_.start.x), sj = idx(s_.start.y), ei = idx(s_.end.x), ej = idx(s_.end.y);
        // State: cell, heading, run since the last bend (capped), phase (0: no
        // bend yet, 1: bent), and whether the last bend's arc is clear as an
        // inner bend (bit 0) and as the last bend (bit 1).
        const size_t runs = static_cast<size_t>(cap_) + 1;
        const size_t nstates = static_cast<size_t>(n_) * n_ * 4 * runs * 2 * 4;
        std::vector<double> dist(nstates, std::numeric_limits<double>::infinity());
        constexpr size_t kNone = static_cast<size_t>(-1);
        std::vector<size_t> parent(route ? nstates : 0, kNone);
        auto id = [&](int i, int j, int d, int run, int phase, int arc) {
            return ((((static_cast<size_t>(j) * n_ + i) * 4 + d) * runs + run) * 2 + phase) * 4 + arc;
        };
        using Item = std::pair<double, size_t>;
        std::priority_queue<Item, std::vector<Item>, std::greater<Item>> pq;
        // A* with the Manhattan distance to the end: a lower bound on any cost.
        auto bound = [&](int i, int j) { return (std::abs(i - ei) + std::abs(j - ej)) * s_.grid; };
        const size_t s0 = id(si, sj, s_.start_dir, 0, 0, 3);
        dist[s0] = 0;
        pq.push({bound(si, sj), s0});
        double best = std::numeric_limits<double>::infinity();
        size_t best_state = kNone;
        while (!pq.empty()) {
            auto [f, st] = pq.top();
            pq.pop();
            if (f >= best) break;
            size_t rest = st;
            const int arc = static_cast<int>(rest % 4); rest /= 4;
            const int phase = static_cast<int>(rest % 2); rest /= 2;
            const int run = static_cast<int>(rest % runs); rest /= runs;
            const int d = static_cast<int>(rest % 4); rest /= 4;
            const int i = static_cast<int>(rest % n_), j = static_cast<int>(rest / n_);
            const double c = dist[st];
            if (f != c + bound(i, j)) continue;  // superseded
            const double run_len = run * s_.grid;
            if (i == ei && j == ej && d == s_.end_dir && run > 0 &&
                (phase == 0 || (run_len >= s_.rp - 1e-9 && (arc & 2))) && c < best) {
                best = c;
                best_state = st;
            }
            auto relax = [&](size_t t, double nc) {
                if (nc < dist[t]) {
                    dist[t] = nc;
                    if (route) parent[t] = st;
                    rest = t / (4 * 2 * runs * 4);
                    pq.push({nc + bound(static_cast<int>(rest % n_), static_cast<int>(rest / n_)), t});
                }
            };
            // Straight on.
            const int ni = i + static_cast<int>(kelvane::dir_dx(d)), nj = j + static_cast<int>(kelvane::dir_dy(d));
            if (ni >= 0 && nj >= 0 && ni < n_ && nj < n_ && step_free(i, j, ni, nj))
                relax(id(ni, nj, d, std::min(run + 1, cap_), phase, arc), c + s_.grid);
            // Bend here: the run into it must be long enough, and the
            // previous bend (if any) becomes an inner one.
            const double need = phase == 0 ? s_.rp : 2.0 * s_.r;
            if (run == 0 || run_len < need - 1e-9 || (phase == 1 && !(arc & 1))) continue;
            for (int nd : {kelvane::turn_left(d), kelvane::turn_right(d)}) {
                const bool ok_inner = !s_.arcs || bend_arc_clear(i, j, d, nd, phase == 0);
                const bool ok_last = !s_.arcs || bend_arc_clear(i, j, d, nd, true);
                if (!ok_inner && !ok_last) continue;
                relax(id(i, j, nd, 0, 1, (ok_inner ? 1 : 0) | (ok_last ? 2 : 0)), c + s_.r);
            }
        }
        if (route && best_state != kNone) {
            kelvane::Path cells;
            for (size_t t = best_state; t != kNone; t = parent[t]) {
                const size_t cell = t / (4 * 2 * runs * 4);
                cells.push_back({x(static_cast<int>(cell % n_)), y(static_cast<int>(cell / n_))});
            }
            std::reverse(cells.begin(), cells.end());
            *route = kelvane::simplify_path(cells, 0.0);
        }
        return std::isfinite(best) ? best : -1.0;
    }

    // Does a finished path keep every rule?  (Used to check a router's
    // result independently: zones, seams, runs and arcs.)
    bool path_clean(const kelvane::Path& p) const {
        if (p.size() < 2) return false;
        const double tol = 1e-9;
        for (size_t k = 1; k < p.size(); ++k) {
            if (!segment_free(p[k - 1], p[k])) return false;
            const double len = kelvane::manhattan(p[k - 1], p[k]);
            if (p.size() > 2) {
                const bool port = k == 1 || k + 1 == p.size();
                if (len < (port ? s_.rp : 2.0 * s_.r) - tol) return false;
            }
        }
        if (!s_.arcs) return true;
        for (size_t k = 1; k + 1 < p.size(); ++k) {
            const int d = kelvane::direction_of(p[k - 1], p[k]), nd = kelvane::direction_of(p[k], p[k + 1]);
            const bool by_port = k == 1 || k + 2 == p.size();
            if (!arc_clear(p[k], d, nd, by_port ? std::min(s_.r, s_.rp) : s_.r)) return false;
        }
        return true;
    }

private:
    struct Zone {
        Box box;   // what a segment may not enter (the grown box, or the obstacle when waived)
        Box real;  // the obstacle itself
        double m;  // clearance an arc keeps from `real`
    };

    static bool holds(const Box& b, Point p) { return p.x >= b.x0 && p.x <= b.x1 && p.y >= b.y0 && p.y <= b.y1; }
    int idx(double v) const { return static_cast<int>(std::lround((v - s_.lo) / s_.grid)); }
    double x(int i) const { return s_.lo + i * s_.grid; }
    double y(int j) const { return s_.lo + j * s_.grid; }

    // Memoised per cell and heading.
    bool step_free(int i, int j, int ni, int nj) const {
        const int d = kelvane::direction_of({x(i), y(j)}, {x(ni), y(nj)});
        std::uint8_t& c = step_cache_[(static_cast<size_t>(j) * n_ + i) * 4 + d];
        if (c == 2) c = segment_free({x(i), y(j)}, {x(ni), y(nj)}) ? 1 : 0;
        return c == 1;
    }

    // Memoised per cell, heading pair and radius (r or min(r, rp)).
    bool bend_arc_clear(int i, int j, int d, int nd, bool by_port) const {
        const int left = nd == kelvane::turn_left(d) ? 1 : 0;
        std::uint8_t& c = arc_cache_[((static_cast<size_t>(j) * n_ + i) * 4 + d) * 4 + left * 2 + (by_port ? 1 : 0)];
        if (c == 2) c = arc_clear({x(i), y(j)}, d, nd, by_port ? std::min(s_.r, s_.rp) : s_.r) ? 1 : 0;
        return c == 1;
    }

    // Open interiors of the zones, and seams between solid boxes.
    bool segment_free(Point a, Point b) const {
        const double eps = s_.tol;
        const bool horizontal = a.y == b.y;
        const double c = horizontal ? a.y : a.x;
        const double s0 = horizontal ? std::min(a.x, b.x) : std::min(a.y, b.y);
        const double s1 = horizontal ? std::max(a.x, b.x) : std::max(a.y, b.y);
        for (const Zone& z : zones_) {
            const double p0 = horizontal ? z.box.y0 : z.box.x0, p1 = horizontal ? z.box.y1 : z.box.x1;
            const double q0 = horizontal ? z.box.x0 : z.box.y0, q1 = horizontal ? z.box.x1 : z.box.y1;
            if (c > p0 + eps && c < p1 - eps && std::min(s1, q1) - std::max(s0, q0) > eps) return false;
        }
        // Seams: sample the segment finely; a point with solid boxes on both sides is inside the wall.
        const int samples = 64;
        for (int k = 0; k < samples; ++k) {
            const double t = s0 + (s1 - s0) * (k + 0.5) / samples;
            bool below = false, above = false;
            for (const Box& sb : solid_) {
                const double p0 = horizontal ? sb.y0 : sb.x0, p1 = horizontal ? sb.y1 : sb.x1;
                const double q0 = horizontal ? sb.x0 : sb.y0, q1 = horizontal ? sb.x1 : sb.y1;
                if (t <= q0 || t >= q1 || p1 - p0 <= eps) continue;
                if (std::fabs(p1 - c) <= eps) below = true;
                if (std::fabs(p0 - c) <= eps) above = true;
            }
            if (below && above) return false;
        }
        return true;
    }

    // The quarter arc of a bend at `at` from heading d to nd, sampled.
    bool arc_clear(Point at, int d, int nd, double rho) const {
        if (rho <= 0) return true;
        const double ox = at.x - rho * kelvane::dir_dx(d) + rho * kelvane::dir_dx(nd);
        const double oy = at.y - rho * kelvane::dir_dy(d) + rho * kelvane::dir_dy(nd);
        const double sx = at.x > ox ? 1.0 : -1.0, sy = at.y > oy ? 1.0 : -1.0;
        const int samples = 512;
        for (int k = 0; k <= samples; ++k) {
            const double t = 0.5 * M_PI * k / samples;
            const double px = ox + sx * rho * std::cos(t), py = oy + sy * rho * std::sin(t);
            for (const Zone& z : zones_) {
                const Box& b = z.real;
                if (z.m > 0) {
                    const double dx = std::max({b.x0 - px, 0.0, px - b.x1}), dy = std::max({b.y0 - py, 0.0, py - b.y1});
                    if (std::hypot(dx, dy) < z.m - s_.tol) return false;
                } else if (px > b.x0 + s_.tol && px < b.x1 - s_.tol && py > b.y0 + s_.tol && py < b.y1 - s_.tol) {
                    return false;
                }
            }
        }
        return true;
    }

    RefScene s_;
    std::vector<Zone> zones_;
    std::vector<Box> solid_;
    int n_ = 0, cap_ = 0;
    mutable std::vector<std::uint8_t> step_cache_, arc_cache_;  // 2: not computed yet
};

}  // namespace kelvane_test
