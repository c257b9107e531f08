// Line lattices and the (node, heading) search.
#include <random>
#include <stdexcept>

#include "check.hpp"
#include "kelvane/lattice.hpp"
#include "kelvane/search.hpp"

using namespace kelvane;

namespace {

Lattice grid(std::vector<double> xs, std::vector<double> ys, std::vector<Box> boxes = {}, std::vector<Point> extra = {}) {
    return build_line_lattice(xs, ys, extra, ObstacleIndex(std::move(boxes), 0.0));
}

std::uint32_t id(const Lattice& L, double x, double y) { return static_cast<std::uint32_t>(L.find({x, y})); }

std::vector<Point> nodes_of(const Lattice& L, const std::vector<std::uint32_t>& ids) {
    std::vector<Point> out;
    for (auto i : ids) out.push_back(L.nodes[i]);
    return out;
}

// Runs a query and returns the node path to the selected end state.
std::vector<Point> route(const Lattice& L, SearchQuery q, SearchWorkspace& ws, double* score = nullptr) {
    ws.run(L, q);
    const std::uint32_t s = ws.select_end(static_cast<std::uint32_t>(q.end), q.end_dir, q.turn_pen);
    if (s == kNoState) return {};
    if (score) {
        const int h = ws.heading_of(s);
        const int et = q.end_dir == kNoDir || h == q.end_dir ? 0 : (h == opposite(q.end_dir) ? 2 : 1);
        *score = ws.dist(s) + et * q.turn_pen;
    }
    return nodes_of(L, ws.path_to(s));
}

SearchQuery query(const Lattice& L, Point a, Point b, int sd = kNoDir, int ed = kNoDir, double tp = 0.0) {
    SearchQuery q;
    q.start = id(L, a.x, a.y);
    q.end = L.find(b);
    q.start_dir = sd;
    q.end_dir = ed;
    q.turn_pen = tp;
    return q;
}

bool same(const std::vector<Point>& a, const std::vector<Point>& b) { return a == b; }

bool uses_edge(const std::vector<Point>& p, Point a, Point b) {
    for (size_t i = 1; i < p.size(); ++i)
        if ((p[i - 1] == a && p[i] == b) || (p[i - 1] == b && p[i] == a)) return true;
    return false;
}

// Does the path run straight through `n` along the x axis?
bool passes_straight_x(const std::vector<Point>& p, Point n) {
    for (size_t i = 1; i + 1 < p.size(); ++i)
        if (p[i] == n && p[i - 1].y == n.y && p[i + 1].y == n.y) return true;
    return false;
}

}  // namespace

TEST(line_lattice_nodes_edges_and_order) {
    // Unsorted lines with a repeat; one extra point on the y = 0 line between grid nodes.
    Lattice L = grid({2, 0, 1, 0}, {1, 0}, {}, {{0.5, 0}, {1, 1}});
    CHECK(L.size() == 7);  // 3 x 2 grid + (0.5, 0); (1, 1) is a grid node
    CHECK(L.nodes[0] == (Point{0, 0}) && L.nodes[2] == (Point{2, 0}) && L.nodes[3] == (Point{0, 1}));
    CHECK(L.nodes[6] == (Point{0.5, 0}));
    // find: grid nodes by line position, extra points through the index, -0.0 == 0.0.
    CHECK(L.find({2, 1}) == 5 && L.find({-0.0, 0}) == 0 && L.find({0.5, 0}) == 6);
    CHECK(L.find({0.5, 1}) == -1 && L.find({3, 0}) == -1 && L.find({1, -1}) == -1);
    CHECK(grid({0, 1}, {0, 1}).find({0.5, 0}) == -1);
    CHECK(L.num_edges == 8);  // row 0: 3 edges (split by the extra point), row 1: 2, columns: 3
    const std::uint32_t n = id(L, 1, 0);
    // West, east, then north (no south neighbour).
    CHECK(L.offsets[n + 1] - L.offsets[n] == 3);
    CHECK(L.nodes[L.neighbour[L.offsets[n]]] == (Point{0.5, 0}) && L.dir[L.offsets[n]] == W);
    CHECK(L.nodes[L.neighbour[L.offsets[n] + 1]] == (Point{2, 0}) && L.dir[L.offsets[n] + 1] == E);
    CHECK(L.nodes[L.neighbour[L.offsets[n] + 2]] == (Point{1, 1}) && L.dir[L.offsets[n] + 2] == N);
    CHECK_NEAR(L.length[L.offsets[n]], 0.5, 0);
    CHECK(L.lengths_at_least_manhattan && L.axis_parallel);
    CHECK_NEAR(L.extent, 3.0, 0);
    // Both directions of an edge share its id.
    CHECK(L.edge_between(id(L, 0, 0), id(L, 0.5, 0)) == L.edge_between(id(L, 0.5, 0), id(L, 0, 0)));
    CHECK(L.edge_between(id(L, 0, 0), id(L, 1, 0)) == -1);  // not neighbours any more
    // The extra point lies on no vertical line: no vertical edges.
    const std::uint32_t e = id(L, 0.5, 0);
    CHECK(L.offsets[e + 1] - L.offsets[e] == 2);
}

TEST(line_lattice_blocked_segments_and_isolated_extras) {
    // Box interior covers the edge (1,1)-(2,1) only; the edge along its side stays.
    Lattice L = grid({0, 1, 2}, {0, 1, 2}, {{1.2, 0.5, 1.8, 1.5}}, {{5, 5}});
    CHECK(L.edge_between(id(L, 1, 1), id(L, 2, 1)) == -1);
    CHECK(L.edge_between(id(L, 1, 0), id(L, 2, 0)) >= 0);
    CHECK(L.edge_between(id(L, 1, 1), id(L, 1, 2)) >= 0);
    CHECK(L.num_edges == 11);
    const std::uint32_t x = id(L, 5, 5);
    CHECK(L.offsets[x + 1] == L.offsets[x]);  // lone extra point: no edges
    bool threw = false;
    try {
        grid({0, std::nan("")}, {0});
    } catch (const std::invalid_argument&) {
        threw = true;
    }
    CHECK(threw);
}

TEST(lattice_from_lists_keeps_order_and_flags) {
    // Triangle with one diagonal edge that is shorter than Manhattan.
    std::vector<Point> nodes{{0, 0}, {1, 0}, {1, 1}};
    std::vector<std::vector<std::pair<std::uint32_t, double>>> adj{{{2, 1.5}, {1, 1.0}}, {{0, 1.0}}, {{0, 1.5}}};
    Lattice L = build_lattice_from_lists(nodes, adj);
    CHECK(L.neighbour[0] == 2 && L.neighbour[1] == 1);
    CHECK(L.num_edges == 2);
    CHECK(L.edge_id[0] == L.edge_id[L.offsets[2]]);
    CHECK(!L.lengths_at_least_manhattan && !L.axis_parallel);
    CHECK(L.dir[0] == N);  // |dx| == |dy| counts as vertical
    bool dup = false, self = false, neg = false;
    try { build_lattice_from_lists({{0, 0}, {0, 0}}, {{}, {}}); } catch (const std::invalid_argument&) { dup = true; }
    try { build_lattice_from_lists({{0, 0}}, {{{0, 1.0}}}); } catch (const std::invalid_argument&) { self = true; }
    try { build_lattice_from_lists({{0, 0}, {1, 0}}, {{{1, -1.0}}, {}}); } catch (const std::invalid_argument&) { neg = true; }
    CHECK(dup && self && neg);
}

TEST(search_straight_and_l_paths) {
    Lattice L = grid({0, 1, 2, 3}, {0, 1, 2, 3});
    SearchWorkspace ws;
    double score = 0;
    auto p = route(L, query(L, {0, 0}, {3, 0}, E, E, 1.0), ws, &score);
    CHECK(same(p, {{0, 0}, {1, 0}, {2, 0}, {3, 0}}));
    CHECK_NEAR(score, 3.0, 1e-12);
    // Start east, end north: one bend, at the far corner.
    p = route(L, query(L, {0, 0}, {3, 3}, E, N, 1.0), ws, &score);
    CHECK(same(p, {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {3, 1}, {3, 2}, {3, 3}}));
    CHECK_NEAR(score, 7.0, 1e-12);
    // End at (0, 3) facing west: arriving north and paying the end turn (3 + 1 + 1)
    // beats the U-turn over x = 1 (5 + 2).
    p = route(L, query(L, {0, 0}, {0, 3}, E, W, 1.0), ws, &score);
    CHECK(same(p, {{0, 0}, {0, 1}, {0, 2}, {0, 3}}));
    CHECK_NEAR(score, 5.0, 1e-12);
    // End behind the start: turn north at once, then west along y = 2.
    p = route(L, query(L, {2, 0}, {0, 2}, E, W, 1.0), ws, &score);
    CHECK(same(p, {{2, 0}, {2, 1}, {2, 2}, {1, 2}, {0, 2}}));
    CHECK_NEAR(score, 6.0, 1e-12);
}

TEST(search_never_reverses_and_honours_start_heading) {
    Lattice L = grid({0, 1, 2}, {0});
    SearchWorkspace ws;
    // Heading east at (1, 0), the end to the west is unreachable on a single line.
    auto p = route(L, query(L, {1, 0}, {0, 0}, E, kNoDir, 1.0), ws);
    CHECK(p.empty());
    // Without a heading the first move is free.
    p = route(L, query(L, {1, 0}, {0, 0}, kNoDir, kNoDir, 1.0), ws);
    CHECK(same(p, {{1, 0}, {0, 0}}));
    // Start == end without heading: a one-node path at cost 0.
    double score = -1;
    p = route(L, query(L, {1, 0}, {1, 0}), ws, &score);
    CHECK(same(p, {{1, 0}}) && score == 0.0);
}

TEST(search_turn_pen_prefers_fewer_bends) {
    // A 3 x 3 grid: every monotone route from (0,0) to (2,2) has length 4.
    Lattice L = grid({0, 1, 2}, {0, 1, 2});
    SearchWorkspace ws;
    double score = 0;
    auto p = route(L, query(L, {0, 0}, {2, 2}, kNoDir, kNoDir, 5.0), ws, &score);
    CHECK(p.size() == 5);
    CHECK_NEAR(score, 4.0 + 5.0, 1e-12);  // one bend only
    const bool one_bend = same(p, {{0, 0}, {1, 0}, {2, 0}, {2, 1}, {2, 2}}) || same(p, {{0, 0}, {0, 1}, {0, 2}, {1, 2}, {2, 2}});
    CHECK(one_bend);
}

TEST(search_edge_penalty_blocked_passthrough_and_crossings) {
    Lattice L = grid({0, 1, 2}, {0, 1});
    SearchWorkspace ws;
    SearchQuery q = query(L, {0, 0}, {2, 0}, E, E, 0.5);
    const std::vector<Point> straight{{0, 0}, {1, 0}, {2, 0}};
    CHECK(same(route(L, q, ws), straight));
    // Every detour over y = 1 has length 4, three bends and arrives heading
    // south (perpendicular to the end heading): 4 + 3 * 0.5 + 0.5.
    const double detour = 6.0;
    double score = 0;
    SearchQuery qe = q;
    qe.edge_pen.push_back({static_cast<std::uint32_t>(L.edge_between(id(L, 1, 0), id(L, 2, 0))), 10.0});
    auto p = route(L, qe, ws, &score);
    CHECK_NEAR(score, detour, 1e-12);
    CHECK(!uses_edge(p, {1, 0}, {2, 0}) && p.back() == (Point{2, 0}));
    qe.edge_pen[0].second = 3.9;  // below the detour's extra 4: straight on, paying it
    CHECK(same(route(L, qe, ws, &score), straight));
    CHECK_NEAR(score, 2.0 + 3.9, 1e-12);
    qe.edge_pen[0].second = std::numeric_limits<double>::infinity();  // closes the edge
    route(L, qe, ws, &score);
    CHECK_NEAR(score, detour, 1e-12);
    // Banning the straight pass through (1, 0) heading east.
    SearchQuery qb = q;
    qb.blocked_passthrough.push_back({id(L, 1, 0), E});
    p = route(L, qb, ws, &score);
    CHECK_NEAR(score, detour, 1e-12);
    CHECK(!passes_straight_x(p, {1, 0}));
    // The ban is per heading: banning the westward pass changes nothing here.
    qb.blocked_passthrough[0].second = W;
    CHECK(same(route(L, qb, ws), straight));
    // A vertical chord (E-W route crosses S-N) at (1, 0): cross_pen 10 detours, 1 crosses.
    SearchQuery qc = q;
    qc.cross_pen = 10.0;
    qc.node_chords.push_back({id(L, 1, 0), {1, 3}});
    p = route(L, qc, ws, &score);
    CHECK_NEAR(score, detour, 1e-12);
    CHECK(!passes_straight_x(p, {1, 0}));
    qc.cross_pen = 1.0;
    CHECK(same(route(L, qc, ws, &score), straight));
    CHECK_NEAR(score, 3.0, 1e-12);
    qc.node_chords.push_back({id(L, 1, 0), {1, 3}});  // two chords cost twice
    route(L, qc, ws, &score);
    CHECK_NEAR(score, 4.0, 1e-12);
    // A chord sharing a side (W, N) never crosses.
    SearchQuery qs = q;
    qs.cross_pen = 100.0;
    qs.node_chords.push_back({id(L, 1, 0), {1, 2}});
    CHECK(same(route(L, qs, ws, &score), straight));
    CHECK_NEAR(score, 2.0, 1e-12);
    // No crossing cost at the start or end node.
    SearchQuery qn = q;
    qn.cross_pen = 100.0;
    qn.node_chords.push_back({id(L, 0, 0), {1, 3}});
    qn.node_chords.push_back({id(L, 2, 0), {1, 3}});
    route(L, qn, ws, &score);
    CHECK_NEAR(score, 2.0, 1e-12);
}

TEST(search_turn_bias_places_the_bend) {
    // Z-route from (0,0) east to (4,1) east: the jog goes where the bias says.
    Lattice L = grid({0, 1, 2, 3, 4}, {0, 1});
    SearchWorkspace ws;
    for (auto [pos, jog] : std::vector<std::pair<double, double>>{{0.0, 0.0}, {0.5, 2.0}, {1.0, 4.0}}) {
        SearchQuery q = query(L, {0, 0}, {4, 1}, E, E, 1.0);
        q.turn_bias = {true, pos};
        auto p = route(L, q, ws);
        bool has_jog = false;
        for (size_t i = 1; i < p.size(); ++i)
            if (p[i - 1].x == jog && p[i].x == jog) has_jog = true;
        CHECK(has_jog);
    }
}

// The turn bound equals the fewest turns found by brute force on a grid
// roomy enough to hold every shortest-turn route (targets within 2 of the
// start, grid out to 5).
TEST(turn_bound_matches_brute_force) {
    const int R = 5, side = 2 * R + 1;
    auto at = [&](int x, int y, int h) { return ((y + R) * side + (x + R)) * 4 + h; };
    for (int d = 0; d < 4; ++d) {
        // 0-1 BFS over (cell, heading), cost = turns.
        std::vector<int> turns(side * side * 4, 1 << 20);
        std::vector<std::array<int, 3>> dq, next;
        turns[at(0, 0, d)] = 0;
        dq.push_back({0, 0, d});
        for (int level = 0; !dq.empty(); ++level) {
            for (size_t i = 0; i < dq.size(); ++i) {  // dq grows with same-level moves
                const auto [x, y, h] = dq[i];
                if (turns[at(x, y, h)] != level) continue;
                for (int h2 = 0; h2 < 4; ++h2) {
                    if (h2 == opposite(h)) continue;
                    const int nx = x + static_cast<int>(dir_dx(h2)), ny = y + static_cast<int>(dir_dy(h2));
                    if (nx < -R || nx > R || ny < -R || ny > R) continue;
                    const int c = level + (h2 != h);
                    if (c < turns[at(nx, ny, h2)]) {
                        turns[at(nx, ny, h2)] = c;
                        (c == level ? dq : next).push_back({nx, ny, h2});
                    }
                }
            }
            dq.swap(next);
            next.clear();
        }
        for (int e = kNoDir; e < 4; ++e)
            for (int tx = -2; tx <= 2; ++tx)
                for (int ty = -2; ty <= 2; ++ty) {
                    int want = 1 << 20;
                    for (int a = 0; a < 4; ++a) {
                        const int v = e == kNoDir || a == e ? 0 : (a == opposite(e) ? 2 : 1);
                        want = std::min(want, turns[at(tx, ty, a)] + v);
                    }
                    const int got = turns_to_go(tx, ty, d, e);
                    if (got != want) {
                        std::printf("    heading %d end_dir %d target (%d, %d): bound %d, brute force %d\n", d, e, tx, ty,
                                    got, want);
                        CHECK(got == want);
                    }
                }
    }
}

// A* with its bounds and early stop must find the same best scores as an
// exhaustive plain Dijkstra (bounds switched off) on random penalised lattices.
TEST(search_astar_matches_exhaustive_dijkstra) {
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    SearchWorkspace a, b;
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<double> xs, ys;
        const int nx = 2 + trial % 7, ny = 2 + (trial / 7) % 6;
        for (int i = 0; i < nx; ++i) xs.push_back(i * 1.0 + (i ? u(rng) : 0.0));
        for (int j = 0; j < ny; ++j) ys.push_back(j * 1.5 + (j ? u(rng) : 0.0));
        std::vector<Box> boxes;
        if (trial % 3 == 0) boxes.push_back({xs[0] + 0.3, ys[0] + 0.3, xs[0] + 1.6, ys[0] + 2.0});
        Lattice L = grid(xs, ys, boxes);
        Lattice plain = L;
        plain.lengths_at_least_manhattan = false;
        plain.axis_parallel = false;
        SearchQuery q;
        q.start = static_cast<std::uint32_t>(rng() % L.size());
        q.end = static_cast<long>(rng() % L.size());
        q.start_dir = static_cast<int>(rng() % 5) - 1;
        q.end_dir = static_cast<int>(rng() % 5) - 1;
        q.turn_pen = (trial % 5) * 1.3;  // up to 5.2: turns dominate lengths of about 1
        q.cross_pen = 2.0;
        for (std::uint32_t e = 0; e < L.num_edges; ++e)
            if (u(rng) < 0.2) q.edge_pen.push_back({e, 3.0 * u(rng)});
        for (std::uint32_t n = 0; n < L.size(); ++n)
            if (u(rng) < 0.2) q.node_chords.push_back({n, {static_cast<std::uint8_t>(rng() % 2), static_cast<std::uint8_t>(2 + rng() % 2)}});
        for (std::uint32_t n = 0; n < L.size(); ++n)
            if (u(rng) < 0.1) q.blocked_passthrough.push_back({n, static_cast<std::uint8_t>(rng() % 4)});
        SearchQuery qp = q;
        qp.stop_early = false;
        double sa = -1, sb = -1;
        auto pa = route(L, q, a, &sa);
        auto pb = route(plain, qp, b, &sb);
        CHECK(pa.empty() == pb.empty());
        if (!pa.empty() && !pb.empty()) CHECK_NEAR(sa, sb, 1e-9);
        CHECK(a.stats().expanded <= b.stats().expanded);
    }
}

TEST(search_workspace_reuse_across_lattices) {
    SearchWorkspace ws;
    Lattice big = grid({0, 1, 2, 3, 4, 5}, {0, 1, 2, 3, 4, 5});
    Lattice small = grid({0, 1}, {0, 1});
    route(big, query(big, {0, 0}, {5, 5}), ws);
    auto p = route(small, query(small, {0, 0}, {1, 1}, E, N, 1.0), ws);
    CHECK(same(p, {{0, 0}, {1, 0}, {1, 1}}));
    CHECK(ws.stats().reached <= 9);  // only the small lattice's states
    // Stale penalties from an earlier query do not leak into the next one.
    SearchQuery q = query(small, {0, 0}, {1, 0}, E, E);
    q.edge_pen.push_back({static_cast<std::uint32_t>(small.edge_between(0, 1)), 100.0});
    double score = 0;
    auto d = route(small, q, ws, &score);
    CHECK(same(d, {{0, 0}, {0, 1}, {1, 1}, {1, 0}}));
    CHECK_NEAR(score, 3.0, 0);
    route(small, query(small, {0, 0}, {1, 0}, E, E), ws, &score);
    CHECK_NEAR(score, 1.0, 0);
    CHECK(ws.exact_for(small.find({1, 0}), E, 0.0));
}

TEST(search_rejects_bad_queries) {
    Lattice L = grid({0, 1}, {0});
    SearchWorkspace ws;
    auto throws = [&](SearchQuery q) {
        try {
            ws.run(L, q);
        } catch (const std::invalid_argument&) {
            return true;
        }
        return false;
    };
    SearchQuery q = query(L, {0, 0}, {1, 0});
    SearchQuery bad = q;
    bad.start = 7;
    CHECK(throws(bad));
    bad = q;
    bad.turn_pen = -1;
    CHECK(throws(bad));
    bad = q;
    bad.edge_pen.push_back({0, -2.0});
    CHECK(throws(bad));
    bad = q;
    bad.node_chords.push_back({0, {1, 7}});
    bad.cross_pen = 1;
    CHECK(throws(bad));
    CHECK(!throws(q));
}
