// Line lattices and lattices from adjacency lists.
#include <stdexcept>

#include "check.hpp"
#include "kelvane/lattice.hpp"

using namespace kelvane;

namespace {

Lattice grid(std::vector<double> xs, std::vector<double> ys, std::vector<Box> boxes = {}, std::vector<Point> extra = {}) {
    return build_line_lattice(xs, ys, extra, ObstacleIndex(std::move(boxes), 0.0));
}

std::uint32_t id(const Lattice& L, double x, double y) { return static_cast<std::uint32_t>(L.find({x, y})); }

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
    CHECK_NEAR(L.edge_length(n, L.offsets[n]), 0.5, 0);
    CHECK(L.length.empty());  // line lattices do not store lengths
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

TEST(line_lattice_refuses_huge_sizes_before_allocating) {
    std::vector<double> xs(3000), ys(3000);
    for (int i = 0; i < 3000; ++i) xs[i] = ys[i] = i;
    bool threw = false;
    try {
        grid(xs, ys);
    } catch (const std::invalid_argument&) {
        threw = true;
    }
    CHECK(threw);
}
