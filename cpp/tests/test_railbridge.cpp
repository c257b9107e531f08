#include "check.hpp"
#include "kelvane/railbridge.hpp"
#include "kelvane/tracks.hpp"
#include "kelvane/waypoints.hpp"

using namespace kelvane;

namespace {

RouteRequest request(Point s, Point e, int sd, int ed, double r = 1.0) {
    RouteRequest q;
    q.start = s;
    q.end = e;
    q.start_dir = sd;
    q.end_dir = ed;
    q.bend_radius = r;
    return q;
}

bool same(const Path& a, const Path& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::fabs(a[i].x - b[i].x) > 1e-9 || std::fabs(a[i].y - b[i].y) > 1e-9) return false;
    return true;
}

}  // namespace

TEST(track_lines_hold_ports_approaches_sides_and_bridges) {
    std::vector<Box> zones{{4, -1, 6, 1}};
    TrackInputs in;
    in.start = {0, 0};
    in.end = {20, 0};
    in.bend_radius = 1.0;
    in.zones = &zones;
    TrackLines t = make_track_lines(in);
    // Ports 0 and 20, bend lines 1 and 19 with jogs 2r off them, sides 4 and 6, cage.
    for (double x : {0.0, 1.0, 3.0, -1.0, 4.0, 6.0, 17.0, 19.0, 21.0, 20.0, -3.0, 23.0}) {
        bool found = false;
        for (double v : t.xs) found = found || std::fabs(v - x) < 1e-12;
        CHECK(found);
    }
    // Only the gap 6..17 is wider than 2r: one bridge, midway.
    CHECK(t.x_bridges.size() == 1 && std::fabs(t.x_bridges[0] - 11.5) < 1e-12);
}

TEST(track_lines_snap_to_the_grid_but_keep_end_points) {
    TrackInputs in;
    in.start = {0.3, 0.0};
    in.end = {10.0, 5.2};
    in.bend_radius = 1.26;
    in.grid = 0.5;
    TrackLines t = make_track_lines(in);
    for (double v : t.xs) CHECK(v == 0.3 || std::fabs(v / 0.5 - std::nearbyint(v / 0.5)) < 1e-9);
    for (double v : t.ys) CHECK(v == 5.2 || std::fabs(v / 0.5 - std::nearbyint(v / 0.5)) < 1e-9);
}

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

TEST(router_waypoints_pass_in_order) {
    WaypointRequest w;
    w.route = request({0, 0}, {100, 0}, E, E, 5.0);
    w.waypoints = {{50, 30}};
    w.pins = {S};
    WaypointResult r = route_waypoints(w);
    CHECK(r.headings.size() == 1 && r.headings[0] == S);
    CHECK(r.info.clean);
    bool on = false;
    for (size_t k = 1; k < r.skeleton.size(); ++k) {
        const Point a = r.skeleton[k - 1], b = r.skeleton[k];
        on = on || (a.x == 50 && b.x == 50 && std::min(a.y, b.y) <= 30 && std::max(a.y, b.y) >= 30 && b.y < a.y);
    }
    CHECK(on);
}
