// The scene check and the shared lattice of the negotiated router.
#include <cmath>
#include <stdexcept>

#include "check.hpp"
#include "kelvane/negotiate.hpp"

using namespace kelvane;
using namespace kelvane::negotiated;

namespace {

Scene one_route(Point a, Point b, double dbu = 0.0) {
    Scene s;
    s.ports = {{a, b}};
    s.tangents = {{Point{1, 0}, Point{1, 0}}};
    s.delta = 1.0;
    s.dbu = dbu;
    return s;
}

template <class F>
bool throws(F f) {
    try {
        f();
    } catch (const std::invalid_argument&) {
        return true;
    }
    return false;
}

SharedLattice lattice(const Scene& s, std::vector<double> h, std::vector<double> v, LatticeOptions o = {}) {
    RouteLines g;
    g.h_lines = std::move(h);
    g.v_lines = std::move(v);
    return build_shared_lattice(s, {g}, o, [](Point, Point) { return false; });
}

}  // namespace

TEST(scene_check_names_the_bad_value) {
    Scene s = one_route({0, 0}, {10, 0});
    CHECK(!throws([&] { check_scene(s); }));
    Scene bad = s;
    bad.tangents[0][1] = {0, 0};
    CHECK(throws([&] { check_scene(bad); }));
    bad = s;
    bad.delta = 0;
    CHECK(throws([&] { check_scene(bad); }));
    bad = s;
    bad.ports[0][0].x = std::nan("");
    CHECK(throws([&] { check_scene(bad); }));
    bad = s;
    bad.ports[0][1] = bad.ports[0][0];
    CHECK(throws([&] { check_scene(bad); }));
}

TEST(shared_lattice_snaps_ties_to_even_and_puts_off_grid_ports_last) {
    LatticeOptions o;
    o.behind = o.lane_mids = false;
    o.cage_layers = 0;
    const SharedLattice L = lattice(one_route({0, 0.5}, {10, 0.5}, 1.0), {2.5, 3.5, -0.4}, {0, 10}, o);
    CHECK((L.H == std::vector<double>{0, 2, 4}));  // -0.4 -> +0, 2.5 -> 2, 3.5 -> 4
    CHECK(!std::signbit(L.H[0]));
    const Lattice& G = *L.lattice;
    // 2 x 3 crossings, then the ports (0, 0) and (10, 0)... snapped to (0, 0) / (10, 0): on the grid.
    CHECK(G.size() == 6 && G.find({10, 4}) == 5);
    const SharedLattice M = lattice(one_route({0, 0.25}, {10, 0.25}), {2, 3}, {0, 10}, o);
    CHECK(M.lattice->size() == 6 && M.lattice->nodes[4] == (Point{0, 0.25}) && M.lattice->nodes[5] == (Point{10, 0.25}));
    CHECK(M.lattice->memory_bytes() < 100 * 6 + sizeof(Lattice) + 200);
}

TEST(shared_lattice_lines_behind_ports_mid_lines_and_cage) {
    LatticeOptions o;
    o.cage_layers = 2;
    const SharedLattice L = lattice(one_route({0, 0}, {10, 0}), {0}, {0, 10}, o);
    // Behind the start: -1, -3; behind the end (entered heading +x): 9, 7; a mid-line
    // in 0..7 (gap 7 > 2); cage rings 3 and 5 outside.
    CHECK((L.V == std::vector<double>{-5, -3, -1, 0, 3.5, 7, 9, 10, 13, 15}));
    CHECK((L.H == std::vector<double>{-5, -3, 0, 3, 5}));
    CHECK(throws([&] { build_shared_lattice(Scene{}, {}, o, [](Point, Point) { return false; }); }));
}
