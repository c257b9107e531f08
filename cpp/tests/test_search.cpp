// The (node, heading) search on explicit lattices.
#include <cmath>
#include <limits>
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
    const std::uint32_t s = ws.select_end(static_cast<std::uint32_t>(q.end), q.end_dir);
    if (s == kNoState) return {};
    if (score) *score = ws.dist(s);
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
    // End at (0, 3) entered heading west: the route must leave east and come
    // back over x = 1 (5 + 2 turns); arriving north is no arrival.
    p = route(L, query(L, {0, 0}, {0, 3}, E, W, 1.0), ws, &score);
    CHECK(same(p, {{0, 0}, {1, 0}, {1, 1}, {1, 2}, {1, 3}, {0, 3}}));
    CHECK_NEAR(score, 7.0, 1e-12);
    // End behind the start: leave east first, then north and back west.
    p = route(L, query(L, {2, 0}, {0, 2}, E, W, 1.0), ws, &score);
    CHECK(same(p, {{2, 0}, {3, 0}, {3, 1}, {3, 2}, {2, 2}, {1, 2}, {0, 2}}));
    CHECK_NEAR(score, 8.0, 1e-12);
}

TEST(search_port_headings_are_rules) {
    Lattice line = grid({0, 1, 2}, {0});
    SearchWorkspace ws;
    // Heading east at (1, 0), the end to the west is unreachable: no reversal.
    CHECK(route(line, query(line, {1, 0}, {0, 0}, E, kNoDir, 1.0), ws).empty());
    // Without a heading the first move and the arrival are free.
    CHECK(same(route(line, query(line, {1, 0}, {0, 0}, kNoDir, kNoDir, 1.0), ws), {{1, 0}, {0, 0}}));
    // On a 2 x 2 square a route leaving (0, 0) east can only circle
    // counter-clockwise: it reaches (0, 1) heading west, never north.
    Lattice L = grid({0, 1}, {0, 1});
    CHECK(same(route(L, query(L, {0, 0}, {0, 1}, E, kNoDir, 1.0), ws), {{0, 0}, {1, 0}, {1, 1}, {0, 1}}));
    CHECK(route(L, query(L, {0, 0}, {0, 1}, E, N, 1.0), ws).empty());
    CHECK(same(route(L, query(L, {0, 0}, {0, 1}, N, N, 1.0), ws), {{0, 0}, {0, 1}}));
    // Start == end without heading: a one-node path at cost 0.
    double score = -1;
    auto p = route(L, query(L, {1, 0}, {1, 0}), ws, &score);
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

TEST(search_edge_penalty_blocked_passthrough_crossings_and_kisses) {
    Lattice L = grid({0, 1, 2, 3}, {0, 1});
    SearchWorkspace ws;
    SearchQuery q = query(L, {0, 0}, {3, 0}, E, E, 0.5);
    const std::vector<Point> straight{{0, 0}, {1, 0}, {2, 0}, {3, 0}};
    const std::vector<Point> detour{{0, 0}, {1, 0}, {1, 1}, {2, 1}, {2, 0}, {3, 0}};
    CHECK(same(route(L, q, ws), straight));
    // The only other way in heading east: over (1, 1)-(2, 1), length 5 and four turns.
    const double detour_cost = 5.0 + 4 * 0.5;
    double score = 0;
    SearchQuery qe = q;
    qe.edge_pen.push_back({static_cast<std::uint32_t>(L.edge_between(id(L, 1, 0), id(L, 2, 0))), 10.0});
    CHECK(same(route(L, qe, ws, &score), detour));
    CHECK_NEAR(score, detour_cost, 1e-12);
    qe.edge_pen[0].second = 3.9;  // below the detour's extra 4: straight on, paying it
    CHECK(same(route(L, qe, ws, &score), straight));
    CHECK_NEAR(score, 3.0 + 3.9, 1e-12);
    qe.edge_pen[0].second = std::numeric_limits<double>::infinity();  // closes the edge
    CHECK(same(route(L, qe, ws, &score), detour));
    // Banning the straight pass through (1, 0) heading east; the westward ban is another one.
    SearchQuery qb = q;
    qb.blocked_passthrough.push_back({id(L, 1, 0), E});
    CHECK(same(route(L, qb, ws), detour));
    qb.blocked_passthrough[0].second = W;
    CHECK(same(route(L, qb, ws), straight));
    // A vertical chord (S-N) at (1, 0): crossing it costs cross_pen per chord.
    SearchQuery qc = q;
    qc.cross_pen = 10.0;
    qc.node_chords.push_back({id(L, 1, 0), {1, 3}});
    CHECK(same(route(L, qc, ws), detour));  // the detour turns north there: shares side N
    qc.cross_pen = 1.0;
    CHECK(same(route(L, qc, ws, &score), straight));
    CHECK_NEAR(score, 4.0, 1e-12);
    qc.node_chords.push_back({id(L, 1, 0), {1, 3}});
    route(L, qc, ws, &score);
    CHECK_NEAR(score, 5.0, 1e-12);
    // A chord sharing a side (W, N) is no crossing.
    SearchQuery qs = q;
    qs.cross_pen = 100.0;
    qs.node_chords.push_back({id(L, 1, 0), {1, 2}});
    CHECK(same(route(L, qs, ws, &score), straight));
    CHECK_NEAR(score, 3.0, 1e-12);
    // A corner kiss: at (1, 1) the detour turns S -> E (sides {0, 3}); another
    // route turning there on the other two sides ({1, 2}) touches it.
    SearchQuery qk = qe;  // straight edge closed
    qk.cross_pen = 5.0;
    qk.node_chords.push_back({id(L, 1, 1), {1, 2}});
    route(L, qk, ws, &score);
    CHECK_NEAR(score, detour_cost + 5.0, 1e-12);
    qk.node_chords.back().second = {0, 1};  // shares side E: an overlap, priced by edges
    route(L, qk, ws, &score);
    CHECK_NEAR(score, detour_cost, 1e-12);
    // No crossing cost at the start or end node.
    SearchQuery qn = q;
    qn.cross_pen = 100.0;
    qn.node_chords.push_back({id(L, 0, 0), {1, 3}});
    qn.node_chords.push_back({id(L, 3, 0), {1, 3}});
    route(L, qn, ws, &score);
    CHECK_NEAR(score, 3.0, 1e-12);
}

TEST(search_turn_bias_places_the_bend) {
    // Z-route from (0,0) east to (4,1) east: the jog goes where the bias says.
    Lattice L = grid({0, 1, 2, 3, 4}, {0, 1});
    SearchWorkspace ws;
    // The route leaves and enters heading east, so the jog lies within x = 1..3.
    for (auto [pos, jog] : std::vector<std::pair<double, double>>{{0.0, 1.0}, {0.5, 2.0}, {1.0, 3.0}}) {
        SearchQuery q = query(L, {0, 0}, {4, 1}, E, E, 1.0);
        q.turn_bias = {true, pos};
        auto p = route(L, q, ws);
        bool has_jog = false;
        for (size_t i = 1; i < p.size(); ++i)
            if (p[i - 1].x == jog && p[i].x == jog) has_jog = true;
        CHECK(has_jog);
    }
}

// A* with its bounds and early stop must find the same best scores as an
// exhaustive plain Dijkstra (bounds switched off) on random penalised
// lattices, expanding no more states.  Coordinates and penalties are
// multiples of 1/64, so every sum is exact and no rounding reorders the heap.
TEST(search_astar_matches_exhaustive_dijkstra) {
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> raw(0.0, 1.0);
    auto u = [&](std::mt19937&) { return std::floor(raw(rng) * 64.0) / 64.0; };
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
        q.turn_pen = (trial % 5) * 1.25;  // up to 5: turns dominate lengths of about 1
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
    route(small, q, ws, &score);
    CHECK_NEAR(score, 101.0, 0);
    route(small, query(small, {0, 0}, {1, 0}, E, E), ws, &score);
    CHECK_NEAR(score, 1.0, 0);
    CHECK(ws.exact_for(small.find({1, 0}), E));
    CHECK(!ws.exact_for(small.find({1, 1}), E));
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

namespace {

// Random walls of other routes' chords, penalties and bans on a grid, in the
// table form the negotiated router hands over (or as lists).
struct Tables {
    std::vector<double> edge_cost;
    std::vector<std::int32_t> slot;
    std::vector<std::array<double, 6>> cost;
};

SearchQuery random_query(const Lattice& L, std::mt19937& rng, Tables& t, bool integers, bool as_tables) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    auto value = [&](double scale) { return integers ? std::floor(u(rng) * 4.0) * scale : u(rng) * scale * 3.7; };
    SearchQuery q;
    q.start = static_cast<std::uint32_t>(rng() % L.size());
    do q.end = static_cast<long>(rng() % L.size());
    while (q.end == static_cast<long>(q.start) && L.size() > 1);
    q.start_dir = rng() % 6 ? static_cast<int>(rng() % 4) : kNoDir;
    q.end_dir = rng() % 6 ? static_cast<int>(rng() % 4) : kNoDir;
    q.turn_pen = integers ? 1.0 : 0.7;
    q.cross_pen = 30.0;
    q.turn_bias.active = rng() % 2;
    t.edge_cost.assign(L.num_edges, 0.0);
    for (std::uint32_t e = 0; e < L.num_edges; ++e) {
        const double r = u(rng);
        if (r < 0.15) t.edge_cost[e] = value(20.0);       // an overlap or history
        else if (r < 0.17) t.edge_cost[e] = 1e6;          // a port square
        else if (r < 0.18) t.edge_cost[e] = std::numeric_limits<double>::infinity();
    }
    t.slot.assign(L.size(), -1);
    t.cost.clear();
    // Two walls: straight runs of chords across the grid, and a few turns.
    for (std::uint32_t n = 0; n < L.size(); ++n) {
        const Point p = L.nodes[n];
        const bool wall = p.x == L.xs[L.xs.size() / 2] || p.y == L.ys[L.ys.size() / 3];
        if (!wall && u(rng) > 0.05) continue;
        const int pair = wall ? (p.x == L.xs[L.xs.size() / 2] ? 4 : 1) : static_cast<int>(rng() % 6);
        std::array<double, 6> c{};
        c[5 - pair] = q.cross_pen * (1 + rng() % 2);
        t.slot[n] = static_cast<std::int32_t>(t.cost.size());
        t.cost.push_back(c);
        if (!as_tables) q.node_chords.push_back({n, {static_cast<std::uint8_t>(pair == 4 ? 1 : 0), static_cast<std::uint8_t>(pair == 4 ? 3 : 2)}});
    }
    for (std::uint32_t n = 0; n < L.size(); ++n)
        if (u(rng) < 0.03) q.blocked_passthrough.push_back({n, static_cast<std::uint8_t>(rng() % 4)});
    if (as_tables) {
        q.edge_cost = t.edge_cost.data();
        q.chord_slot = t.slot.data();
        q.chord_cost = t.cost.data();
    } else {
        for (std::uint32_t e = 0; e < L.num_edges; ++e)
            if (t.edge_cost[e] != 0.0) q.edge_pen.push_back({e, t.edge_cost[e]});
    }
    return q;
}

}  // namespace

// The capped search must find exactly the route of the plain search (same
// state, predecessors and cost), whatever route it is given as a first cap;
// many exact ties (integer costs) and rounding (arbitrary costs) both.
TEST(search_capped_finds_the_plain_route) {
    std::mt19937 rng(2024);
    SearchWorkspace plain, capped, other;
    int compared = 0, routed = 0;
    for (int trial = 0; trial < 400; ++trial) {
        std::vector<double> xs, ys;
        const int nx = 3 + trial % 11, ny = 3 + (trial / 11) % 9;
        for (int i = 0; i < nx; ++i) xs.push_back(i * 2.0 + (trial % 3 == 0 && i ? 0.25 * (i % 3) : 0.0));
        for (int j = 0; j < ny; ++j) ys.push_back(j * 2.0);
        std::vector<Box> boxes;
        if (trial % 4 == 0) boxes.push_back({xs[1] + 0.5, ys[1] + 0.5, xs[1] + 3.5, ys[1] + 3.5});
        const Lattice L = grid(xs, ys, boxes);
        Tables t;
        SearchQuery q = random_query(L, rng, t, trial % 2 == 0, trial % 3 != 0);
        plain.run(L, q);
        const std::uint32_t want = plain.select_end(static_cast<std::uint32_t>(q.end), q.end_dir);
        // First caps: none, the route itself, a route cheapest by length, a broken one.
        SearchQuery q_free = q;
        q_free.edge_cost = nullptr;
        q_free.chord_slot = nullptr;
        q_free.chord_cost = nullptr;
        q_free.edge_pen.clear();
        q_free.node_chords.clear();
        q_free.blocked_passthrough.clear();
        other.run(L, q_free);
        const std::uint32_t o = other.select_end(static_cast<std::uint32_t>(q.end), q.end_dir);
        const std::vector<std::uint32_t> by_length = o == kNoState ? std::vector<std::uint32_t>{} : other.path_to(o);
        std::vector<std::uint32_t> broken = by_length;
        if (broken.size() > 2) std::swap(broken[1], broken[2]);
        const std::vector<std::uint32_t> best = want == kNoState ? std::vector<std::uint32_t>{} : plain.path_to(want);
        // Rest bounds: none (the rest bound), the costs to go of the query
        // itself, those of a cheaper one (no bans, no walls), and those
        // made only as far as half the route's cost reaches.
        std::vector<double> exact, cheaper, part;
        other.cost_to_go(L, q, exact);
        other.cost_to_go(L, q_free, cheaper);
        const double half = want == kNoState ? 1.0 : 0.5 * plain.dist(want);
        const double stopped = other.cost_to_go(L, q, part, half);
        if (stopped < std::numeric_limits<double>::infinity()) CHECK(stopped > half);
        for (size_t i = 0; i < part.size(); ++i) CHECK(part[i] <= exact[i] + 1e-12 * (1.0 + exact[i]));
        if (want != kNoState && !q.turn_bias.active) {
            // Without the tie-break, the cost to go of the start is the route's cost.
            const double d = plain.dist(want);
            CHECK(std::fabs(exact[4 * L.size()] - d) <= 1e-9 * (1.0 + d));
        }
        if (want == kNoState) CHECK(exact[4 * L.size()] == std::numeric_limits<double>::infinity());
        using Route = std::vector<std::uint32_t>;
        for (const double* table : std::array<const double*, 4>{nullptr, exact.data(), cheaper.data(), part.data()})
            for (const Route* known : std::array<const Route*, 4>{nullptr, &best, &by_length, &broken}) {
                SearchQuery qc = q;
                qc.capped = true;
                qc.known_route = known;
                qc.rest_table = table;
                capped.run(L, qc);
                const std::uint32_t got = capped.select_end(static_cast<std::uint32_t>(q.end), q.end_dir);
                CHECK(got == want);
                if (got != want || want == kNoState) continue;
                CHECK(capped.path_to(got) == best);
                CHECK(capped.dist(got) == plain.dist(want));
                for (std::uint32_t s = want; s != kNoState; s = plain.prev(s)) CHECK(capped.prev(s) == plain.prev(s));
                ++compared;
            }
        if (want != kNoState) {
            ++routed;
            // The cost of a route, added up as the search adds it.
            CHECK(plain.route_cost(L, q, best) == plain.dist(want));
        }
    }
    CHECK(routed > 250);
    CHECK(compared == 16 * routed);
}

TEST(search_route_cost_of_routes_that_are_none) {
    Lattice L = grid({0, 1, 2, 3}, {0, 1, 2});
    SearchWorkspace ws;
    SearchQuery q = query(L, {0, 0}, {3, 0}, E, E, 1.0);
    q.blocked_passthrough.push_back({id(L, 2, 0), E});
    ws.run(L, q);
    auto ids = [&](std::vector<Point> pts) {
        std::vector<std::uint32_t> out;
        for (Point p : pts) out.push_back(id(L, p.x, p.y));
        return out;
    };
    const double inf = std::numeric_limits<double>::infinity();
    CHECK(ws.route_cost(L, q, ids({{0, 0}, {1, 0}, {1, 1}, {2, 1}, {2, 0}, {3, 0}})) == 5.0 + 4 * 1.0);
    CHECK(ws.route_cost(L, q, ids({{0, 0}, {1, 0}, {2, 0}, {3, 0}})) == inf);                // banned pass
    CHECK(ws.route_cost(L, q, ids({{0, 0}, {0, 1}, {1, 1}, {2, 1}, {3, 1}, {3, 0}})) == inf);  // leaves north
    CHECK(ws.route_cost(L, q, ids({{0, 0}, {1, 0}, {1, 1}, {2, 1}, {3, 1}, {3, 0}})) == inf);  // arrives south
    CHECK(ws.route_cost(L, q, ids({{0, 0}, {1, 0}, {0, 0}, {1, 0}})) == inf);                  // reversal, wrong end
    CHECK(ws.route_cost(L, q, ids({{0, 0}, {2, 0}, {3, 0}})) == inf);                          // no edge
    CHECK(ws.route_cost(L, q, ids({{1, 0}, {2, 0}, {3, 0}})) == inf);                          // wrong start
}

// Behind walls of other routes' chords the distance bound is far too low;
// the capped search still finds the plain route but enters far fewer states.
TEST(search_capped_enters_few_states_behind_walls) {
    std::vector<double> xs, ys;
    for (int i = 0; i < 40; ++i) xs.push_back(i);
    for (int j = 0; j < 30; ++j) ys.push_back(j);
    const Lattice L = grid(xs, ys);
    std::vector<double> edge_cost(L.num_edges, 0.0);
    std::vector<std::int32_t> slot(L.size(), -1);
    std::vector<std::array<double, 6>> cost;
    for (int wall : {10, 20, 30})  // three routes running north: crossing one costs 100, running along it 200
        for (int j = 0; j < 30; ++j) {
            slot[id(L, wall, j)] = static_cast<std::int32_t>(cost.size());
            std::array<double, 6> c{};
            c[side_pair_index(W, E)] = 100.0;
            cost.push_back(c);
            if (j) edge_cost[static_cast<std::uint32_t>(L.edge_between(id(L, wall, j - 1), id(L, wall, j)))] = 200.0;
        }
    SearchQuery q = query(L, {0, 15}, {39, 15}, E, E, 1.0);
    q.cross_pen = 100.0;
    q.edge_cost = edge_cost.data();
    q.chord_slot = slot.data();
    q.chord_cost = cost.data();
    SearchWorkspace plain, capped;
    plain.run(L, q);
    q.capped = true;
    capped.run(L, q);
    const std::uint32_t end = id(L, 39, 15) * 4 + E;
    CHECK(plain.dist(end) == 39.0 + 300.0 && capped.dist(end) == plain.dist(end));
    CHECK(capped.path_to(end) == plain.path_to(end));
    CHECK(plain.stats().expanded > 3000);  // everything short of the last wall
    CHECK(capped.stats().expanded < 100);  // the probe and the corridor of the route
}

// Ports that several routes share cost 1e6 on every edge within a unit of
// them, for every route: the rest bound charges half of such an edge to
// each end, so it misses about 1e6 at each port and the capped search still
// floods the lattice; the costs to go know the way in and out.
TEST(search_capped_with_costs_to_go_stays_on_the_route_between_blocked_ports) {
    std::vector<double> xs, ys;
    for (int i = 0; i < 40; ++i) xs.push_back(i);
    for (int j = 0; j < 30; ++j) ys.push_back(j);
    const Lattice L = grid(xs, ys);
    std::vector<double> edge_cost(L.num_edges, 0.0);
    for (std::uint32_t n = 0; n < L.size(); ++n)
        for (std::uint32_t k = L.offsets[n]; k < L.offsets[n + 1]; ++k)
            for (Point port : {Point{0, 15}, Point{39, 15}})
                if (manhattan(L.nodes[n], port) <= 1.0) edge_cost[L.edge_id[k]] = 1e6;
    SearchQuery q = query(L, {0, 15}, {39, 15}, E, E, 1.0);
    q.edge_cost = edge_cost.data();
    SearchWorkspace plain, capped, tables;
    plain.run(L, q);
    const std::uint32_t end = id(L, 39, 15) * 4 + E;
    CHECK(plain.dist(end) == 39.0 + 4e6);
    q.capped = true;
    capped.run(L, q);
    CHECK(capped.dist(end) == plain.dist(end) && capped.stats().expanded > 3000);
    std::vector<double> table;
    tables.cost_to_go(L, q, table);
    CHECK(table[4 * L.size()] == plain.dist(end));
    q.rest_table = table.data();
    capped.run(L, q);
    CHECK(capped.dist(end) == plain.dist(end) && capped.path_to(end) == plain.path_to(end));
    CHECK(capped.stats().expanded < 100);
}
