// The rail lattice's walks against a plain scan of the nodes: lines with
// fixed stretches, so which nodes exist follows from the stretches alone.
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "route_request.hpp"
#include "railbridge/track_lattice.hpp"

using namespace kelvane;
using namespace kelvane::rail;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// 80 vertical and 60 horizontal lines one unit apart.  Every tenth vertical
// line runs everywhere, the others over a random stretch of at most 3
// units; the horizontal lines below y = 20 run everywhere, above it every
// tenth, the others over a stretch of at most 30.  A horizontal line running
// everywhere thus has a dozen nodes spread over 70 crossings (found by
// search along the line), a short vertical line down among the long
// horizontal ones has its nodes side by side (found through a direct index).
TrackLines lines(std::mt19937& rng) {
    TrackLines tl;
    auto add = [&](std::vector<double>& c, std::vector<std::pair<double, double>>& span, std::vector<char>& fixed,
                   int k, bool everywhere, int max_len, int other) {
        c.push_back(k);
        const int len = static_cast<int>(rng() % (max_len + 1)), lo = static_cast<int>(rng() % (other - len));
        span.push_back(everywhere ? std::make_pair(-kInf, kInf) : std::make_pair(double(lo), double(lo + len)));
        fixed.push_back(1);
    };
    for (int i = 0; i < 80; ++i) add(tl.xs, tl.x_span, tl.x_fixed, i, i % 10 == 0, 3, 60);
    for (int j = 0; j < 60; ++j) add(tl.ys, tl.y_span, tl.y_fixed, j, j < 20 || j % 10 == 0, 30, 80);
    return tl;
}

bool covers(const std::pair<double, double>& s, double c) { return s.first <= c && c <= s.second; }

}  // namespace

TEST(lattice_walks_match_a_scan_of_the_nodes) {
    std::mt19937 rng(5);
    const TrackLines tl = lines(rng);
    RouteRequest q = request({0, 0}, {79, 59}, E, E);
    const ZoneSet zones(q, 1e-9);
    RailLattice lat(tl, zones);
    // Nodes along the line through (i, j) heading d, as crossing indices.
    auto nodes = [&](int i, int j, int d) {
        std::vector<int> out;
        if (is_horizontal(d)) {
            for (int a = 0; a < lat.nx(); ++a)
                if (covers(tl.x_span[a], lat.y(j)) && covers(tl.y_span[j], lat.x(a))) out.push_back(a);
        } else {
            for (int a = 0; a < lat.ny(); ++a)
                if (covers(tl.y_span[a], lat.x(i)) && covers(tl.x_span[i], lat.y(a))) out.push_back(a);
        }
        return out;
    };
    int checked = 0, leaps = 0, bad = 0;
    for (int i = 0; i < lat.nx(); ++i)
        for (int j = 0; j < lat.ny(); ++j)
            for (int d : {E, N, W, S}) {
                const std::vector<int> at = nodes(i, j, d);
                const int here = is_horizontal(d) ? i : j;
                int k = -1;
                for (size_t p = 0; p < at.size(); ++p)
                    if (at[p] == here) k = static_cast<int>(p);
                bad += lat.position_of(i, j, d) != k;
                if (k < 0) continue;
                ++checked;
                const bool fwd = d == E || d == N;
                // One step on.
                RailLattice::Walk w = lat.walk(i, j, d);
                double len = 0, pen = 0;
                const int step = fwd ? k + 1 : k - 1;
                const bool has_next = step >= 0 && step < static_cast<int>(at.size());
                bad += w.next(&len, &pen) != has_next;
                if (has_next) bad += (is_horizontal(d) ? w.i : w.j) != at[step] || len != std::fabs(at[step] - here);
                // Leaps of every length up to past the line's end.
                for (double run : {0.0, 0.5, 1.0, 2.5, 7.0, 30.0, 200.0}) {
                    RailLattice::Walk v = lat.walk_from(i, j, d, k);
                    int want = -1;
                    for (int p = k; p >= 0 && p < static_cast<int>(at.size()); p += fwd ? 1 : -1)
                        if (std::fabs(at[p] - here) >= run && at[p] != here) {
                            want = p;
                            break;
                        }
                    const bool landed = v.leap(run, 1e-9, &len, &pen);
                    bad += landed != (want >= 0);
                    if (landed && want >= 0) {
                        ++leaps;
                        bad += v.position() != want || len != std::fabs(at[want] - here) || pen != 0.0;
                    }
                }
            }
    CHECK(bad == 0);
    CHECK(checked > 1200);  // nodes on lines of both kinds
    CHECK(leaps > 5000);
}

TEST(a_lattice_within_boxes_keeps_the_nodes_and_steps_inside_them) {
    std::mt19937 rng(7);
    const TrackLines tl = lines(rng);
    RouteRequest q = request({0, 0}, {79, 59}, E, E);
    const ZoneSet zones(q, 1e-9);
    const std::vector<Box> within{{5, 3, 30, 12}, {25, 3, 34, 50}};  // an L-shaped corridor
    RailLattice full(tl, zones), clipped(tl, zones, 0.0, 0.0, 0.5, &within);
    auto inside = [&](int i, int j) {
        for (const Box& b : within)
            if (b.contains_closed({full.x(i), full.y(j)}, 0.0)) return true;
        return false;
    };
    int same = 0, bad = 0, outside = 0;
    for (int i = 0; i < full.nx(); ++i)
        for (int j = 0; j < full.ny(); ++j)
            for (int d : {E, N, W, S}) {
                const bool node = full.position_of(i, j, d) >= 0;
                if (!inside(i, j)) {
                    // Beyond the outermost box a line crosses it has no nodes.
                    const bool beyond = is_horizontal(d) ? (full.x(i) < 5 || full.x(i) > 34 || full.y(j) > 50)
                                                         : (full.y(j) < 3 || full.y(j) > 50 || full.x(i) < 5);
                    if (beyond) outside += clipped.position_of(i, j, d) >= 0;
                    continue;
                }
                bad += node != (clipped.position_of(i, j, d) >= 0);
                if (!node) continue;
                RailLattice::Walk a = full.walk(i, j, d), b = clipped.walk(i, j, d);
                double la = 0, pa = 0, lb = 0, pb = 0;
                if (a.next(&la, &pa) && inside(a.i, a.j)) {
                    bad += !b.next(&lb, &pb) || b.i != a.i || b.j != a.j || la != lb || pa != pb;
                    ++same;
                }
            }
    CHECK(bad == 0);
    CHECK(outside == 0);
    CHECK(same > 150);  // steps on both kinds of line
}
