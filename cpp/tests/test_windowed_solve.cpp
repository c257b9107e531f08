// The single-route router as a whole (zones, lattice, search, windows).
#include <cmath>
#include <stdexcept>
#include <string>

#include "check.hpp"
#include "route_request.hpp"
#include "kelvane/railbridge.hpp"

using namespace kelvane;

namespace {

bool same(const Path& a, const Path& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::fabs(a[i].x - b[i].x) > 1e-9 || std::fabs(a[i].y - b[i].y) > 1e-9) return false;
    return true;
}

}  // namespace

TEST(router_straight_l_and_u) {
    CHECK(same(route_rail_bridge(request({0, 0}, {10, 0}, E, E)).skeleton, {{0, 0}, {10, 0}}));
    CHECK(same(route_rail_bridge(request({0, 0}, {10, 10}, E, N)).skeleton, {{0, 0}, {10, 0}, {10, 10}}));
    CHECK(same(route_rail_bridge(request({0, 0}, {0, 10}, E, W)).skeleton, {{0, 0}, {1, 0}, {1, 10}, {0, 10}}));
}

TEST(router_goes_round_an_obstacle_and_keeps_runs) {
    RouteRequest q = request({0, 0}, {20, 0}, E, E, 2.0);
    q.obstacles = {{8, -3, 12, 3}};
    RouteResult r = route_rail_bridge(q);
    CHECK(r.info.clean);
    CHECK_NEAR(r.info.length, 28.0, 1e-9);  // a jog needs 2r = 4: up to y = 4, not 3
    CHECK(r.info.bends == 4);
    for (size_t k = 1; k < r.skeleton.size(); ++k) {
        const double len = manhattan(r.skeleton[k - 1], r.skeleton[k]);
        const bool port = k == 1 || k + 1 == r.skeleton.size();
        CHECK(len >= (port ? 2.0 : 4.0) - 1e-9);
    }
}

TEST(router_relaxes_runs_before_entering_an_obstacle) {
    // Only 3 units between the port and the wall: a 2r = 4 jog cannot fit
    // before it, a relaxed one can.
    RouteRequest q = request({0, 0}, {30, 0}, E, E, 2.0);
    q.obstacles = {{3, -10, 5, 10}, {-10, 3.5, 3, 20}};
    RouteResult r = route_rail_bridge(q);
    CHECK(r.info.obstacle_overlap == 0.0);
    CHECK(r.info.keep_out_overlap == 0.0);
}

TEST(router_least_bad_when_boxed_in) {
    RouteRequest q = request({0, 0}, {30, 0}, E, E, 1.0);
    q.obstacles = {{-5, -5, 5, 5}};
    RouteResult r = route_rail_bridge(q);
    CHECK(!r.info.clean);
    CHECK_NEAR(r.info.obstacle_overlap, 5.0, 1e-9);
    CHECK(r.skeleton.front() == (Point{0, 0}));
    CHECK(r.skeleton.back() == (Point{30, 0}));
}

TEST(router_default_clearance_is_half_the_spacing) {
    RouteRequest q = request({0, 0}, {20, 0}, E, E, 1.0);
    q.obstacles = {{8, 1, 12, 5}};  // 1 above the straight line
    q.route_spacing = 1.0;          // clearance 0.5: the straight line stays clean
    CHECK(route_rail_bridge(q).skeleton.size() == 2);
    q.route_spacing = 3.0;          // clearance 1.5: it must dip below
    RouteResult r = route_rail_bridge(q);
    CHECK(r.info.clean && r.skeleton.size() > 2);
    q.obstacle_margin = 0.0;        // an explicit margin wins
    CHECK(route_rail_bridge(q).skeleton.size() == 2);
}

TEST(router_settles_float32_end_points_on_the_grid) {
    RouteRequest q = request({0.30000001192092896, 0}, {10, 0}, E, E, 1.0);
    q.grid = 0.1;
    const Path p = route_rail_bridge(q).skeleton;
    CHECK(p.front().x == 3 * 0.1);  // the grid point, not the float32 value
}

TEST(request_checks_name_the_field_and_write_numbers_as_python_does) {
    auto message = [](auto check) -> std::string {
        try {
            check();
        } catch (const std::invalid_argument& e) {
            return e.what();
        }
        return "";
    };
    auto grid = [&](double g, double largest) { return message([&] { check_grid(g, largest); }); };
    CHECK(grid(1e-20, 1e6).rfind("dbu 1e-20 is too small for coordinates up to 1000000.0:", 0) == 0);
    CHECK(grid(1e-20, 2000.5).find("up to 2000.5:") != std::string::npos);
    CHECK(grid(1e-20, 0.0001).find("up to 0.0001:") != std::string::npos);
    CHECK(grid(1e-30, 1.5e16).find("dbu 1e-30 is too small for coordinates up to 1.5e+16:") == 0);
    CHECK(grid(1e-3, 1e12).empty() && grid(0.0, 1e12).empty());
    RouteRequest far = request({0, 0}, {2e12, 0}, E, E);
    CHECK(message([&] { check_request(far); }).rfind("end must lie within +-1e12", 0) == 0);
    RouteRequest same = request({3, 4}, {3, 4}, E, E);
    CHECK(message([&] { check_request(same); }) == "start and end are the same point");
}
