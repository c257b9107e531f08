// Per-route views and port owners of the negotiated router.
#include "check.hpp"
#include "negotiated/steps.hpp"

using namespace kelvane;
using namespace kelvane::negotiated;

TEST(view_snaps_ends_to_the_first_nearest_node) {
    const Lattice L = build_line_lattice({0, 9.5, 10.5}, {0, 1}, {}, ObstacleIndex({}, 0.0));
    RouteLines g;
    g.start = {0, 0};
    g.end = {9, 0};
    g.end_port = {10, 0};  // 0.5 from (9.5, 0) and (10.5, 0): the lower id wins
    g.start_dir = E;
    g.end_dir = E;
    const RouteView v = shared_view(g, L);
    CHECK(v.start == L.find({0, 0}) && v.end == L.find({9.5, 0}) && v.end_port_node == L.find({9.5, 0}));
    CHECK(v.end_port == (Point{9.5, 0}) && v.start_dir == E);
}

TEST(port_owners_in_adjacency_order) {
    const Lattice L = build_line_lattice({0, 3, 6, 9}, {-1, 5}, {}, ObstacleIndex({}, 0.0));
    Scene s;
    s.ports = {{Point{0, 5}, Point{3, 5}}, {Point{6, 5}, Point{9, 5}}, {Point{1.5, 0}, Point{7.5, 0}}};
    s.tangents.assign(3, {Point{1, 0}, Point{1, 0}});
    s.delta = 2.0;
    const PortOwners po = port_block_owners(s, L, 1.0);
    // Row y = -1 first: (0,-1)-(3,-1) touches route 2's start square, (3,-1)-(6,-1) nothing.
    CHECK(po.edges.size() >= 3 && po.ends[0] == (std::array<std::uint32_t, 2>{0, 1}));
    CHECK(po.offsets[1] - po.offsets[0] == 1 && po.routes[po.offsets[0]] == 2);
    for (size_t i = 0; i < po.edges.size(); ++i) CHECK(!(po.ends[i][0] == 1 && po.ends[i][1] == 2));
    // (3,5)-(6,5) joins route 0's end and route 1's start: owners {0, 1}.
    const long e = L.edge_between(static_cast<std::uint32_t>(L.find({3, 5})), static_cast<std::uint32_t>(L.find({6, 5})));
    bool found = false;
    for (size_t i = 0; i < po.edges.size(); ++i)
        if (static_cast<long>(po.edges[i]) == e) {
            found = po.offsets[i + 1] - po.offsets[i] == 2 && po.routes[po.offsets[i]] == 0 && po.routes[po.offsets[i] + 1] == 1;
        }
    CHECK(found);
}
