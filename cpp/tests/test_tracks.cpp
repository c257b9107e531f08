// Track lines of a single route.
#include <cmath>

#include "check.hpp"
#include "kelvane/tracks.hpp"

using namespace kelvane;

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


// Each line crossing a corner's quadrant gives one corner line: a large
// radius over many boxes makes thousands, unless capped; the cap keeps the
// boxes in their order (the first box's lines stay).
TEST(corner_lines_stop_at_the_cap_box_by_box) {
    std::vector<Box> zones;
    std::vector<ArcBox> arcs;
    for (int k = 0; k < 60; ++k) {
        const Box b{k * 7.0, (k % 5) * 9.0, k * 7.0 + 3.0, (k % 5) * 9.0 + 3.0};
        zones.push_back(b);
        arcs.push_back({b, 0.5});
    }
    TrackInputs in;
    in.start = {-20, -20};
    in.end = {440, 60};
    in.bend_radius = 40.0;
    in.zones = &zones;
    in.arc_boxes = &arcs;
    in.arc_radius = 40.0;
    auto lines = [&](size_t cap) {
        in.max_corner_lines = cap;
        const TrackLines t = make_track_lines(in);
        return t.xs.size() + t.ys.size();
    };
    const size_t none = lines(0), one_box = lines(1), all = lines(static_cast<size_t>(-1));
    CHECK(all > none + 1000);
    CHECK(one_box > none && one_box < none + 200);
    const size_t some = lines(500);
    CHECK(some > one_box && some <= none + 500 + 100);  // the box that passes the cap ends it
}
