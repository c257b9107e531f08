// The river router end to end: ribbons that stay planar, clean and short.
#include <cmath>
#include <stdexcept>

#include "check.hpp"
#include "river/steps.hpp"

using namespace kelvane;
using namespace kelvane::river;

namespace {

constexpr Point kEast{1, 0}, kNorth{0, 1}, kWest{-1, 0};

RiverRequest bundle(std::size_t n) {
    RiverRequest r;
    r.delta = 5.0;
    r.route_spacing = 3.0;
    r.starts.resize(n);
    r.ends.resize(n);
    r.start_tangents.assign(n, kEast);
    r.end_tangents.assign(n, kEast);
    return r;
}

// Every lane joins its ports, is clean against all the others, and the
// result says so.
bool all_clean(const RiverRequest& req, const RiverResult& res) {
    if (!res.clean() || res.lanes.size() != req.starts.size()) return false;
    for (std::size_t i = 0; i < res.lanes.size(); ++i) {
        const Path& p = res.lanes[i];
        if (p.size() < 2 || p.front() != req.starts[i] || p.back() != req.ends[i]) return false;
        RouteRequest r;
        r.start = req.starts[i];
        r.end = req.ends[i];
        r.start_dir = tangent_heading(req.start_tangents[i]);
        r.end_dir = tangent_heading(req.end_tangents[i]);
        r.bend_radius = r.port_radius = req.delta;
        r.obstacles = req.obstacles;
        r.route_spacing = req.route_spacing;
        for (std::size_t j = 0; j < res.lanes.size(); ++j)
            if (j != i) r.pivots.push_back(res.lanes[j]);
        if (!measure_rail_route(r, p).clean || !res.infos[i].clean) return false;
    }
    return true;
}

}  // namespace

TEST(planar_order_runs_from_the_right_of_the_travel_and_sees_swapped_ends) {
    // A left turn: the top start (leftmost when heading east) ends leftmost.
    RiverRequest r = bundle(3);
    for (int k = 0; k < 3; ++k) {
        r.starts[k] = {0, 5.0 * k};
        r.ends[k] = {60.0 - 5.0 * k, 60};
        r.end_tangents[k] = kNorth;
    }
    CHECK((planar_order(r) == std::vector<std::size_t>{0, 1, 2}));
    CHECK(is_planar(r));
    std::swap(r.ends[0], r.ends[2]);
    CHECK(!is_planar(r));
}

TEST(bad_requests_are_refused_naming_the_field) {
    auto refused = [](RiverRequest r, const std::string& what) {
        try {
            check_request(r);
        } catch (const std::invalid_argument& e) {
            return std::string(e.what()).find(what) != std::string::npos;
        }
        return false;
    };
    RiverRequest r = bundle(2);
    r.starts = {{0, 0}, {0, 5}};
    r.ends = {{50, 0}, {50, 5}};
    RiverRequest rows = r;
    rows.ends.pop_back();
    CHECK(refused(rows, "ends: expected 2 rows"));
    RiverRequest oblique = r;
    oblique.start_tangents[1] = {1, 1};
    CHECK(refused(oblique, "start_tangents[1]"));
    RiverRequest nan = r;
    nan.starts[0].x = std::nan("");
    CHECK(refused(nan, "starts[0] is not finite"));
    RiverRequest sides = r;
    sides.sides = {2};
    CHECK(refused(sides, "sides"));
    RiverRequest same = r;
    same.ends[1] = same.starts[1];
    CHECK(refused(same, "lane 1"));
}

TEST(a_corner_bundle_is_a_ribbon_of_one_bend_a_lane_at_the_least_length) {
    RiverRequest r = bundle(4);
    for (int k = 0; k < 4; ++k) {
        r.starts[k] = {0, 4.0 * k};
        r.ends[k] = {100.0 - 4.0 * k, 100};
        r.end_tangents[k] = kNorth;
    }
    const RiverResult res = route_river(r);
    CHECK(all_clean(r, res));
    for (int k = 0; k < 4; ++k) {
        CHECK(res.lanes[k].size() == 3);  // one bend
        CHECK_NEAR(path_length(res.lanes[k]), manhattan(r.starts[k], r.ends[k]), 1e-9);
    }
}

TEST(a_loopback_round_a_short_device_keeps_every_lane_on_one_side_of_it) {
    // 64 lanes leave a device's right edge and come back to it, the inner
    // ones nearest its middle.  Laid alone against the lanes inside them,
    // the outer lanes would go round the back of the device (shorter for
    // them), and the lanes after them could then neither follow in front
    // nor pass inside.  The ribbon keeps its lanes together: all clean.
    const std::size_t n = 64;
    RiverRequest r = bundle(n);
    for (std::size_t k = 0; k < n; ++k) {
        r.starts[k] = {0, -4.0 * static_cast<double>(k)};
        r.ends[k] = {0, 17.0 + 4.0 * static_cast<double>(k)};
        r.end_tangents[k] = kWest;
    }
    r.obstacles = {{-28, -266, 0, 283}};
    const RiverResult res = route_river(r);
    CHECK(all_clean(r, res));
}

TEST(a_ribbon_splits_round_a_box_in_its_way_and_stays_in_order) {
    // Six lanes straight across, a box in the middle of their way: some
    // lanes pass above it and some below, each keeping its order.
    RiverRequest r = bundle(6);
    for (int k = 0; k < 6; ++k) {
        r.starts[k] = {0, 4.0 * k};
        r.ends[k] = {200, 4.0 * k};
    }
    r.obstacles = {{90, 6, 110, 14}};
    const RiverResult res = route_river(r);
    CHECK(all_clean(r, res));
    int above = 0, below = 0;
    for (const Path& p : res.lanes) {
        double at_box = 0;
        for (std::size_t i = 1; i < p.size(); ++i)
            if (std::min(p[i - 1].x, p[i].x) <= 100 && std::max(p[i - 1].x, p[i].x) >= 100) at_box = p[i].y;
        (at_box > 10 ? above : below)++;
    }
    CHECK(above > 0 && below > 0);
    // In order across the box too: lane k below lane k + 1.
    for (int k = 0; k + 1 < 6; ++k) CHECK(res.lanes[k][res.lanes[k].size() / 2].y < res.lanes[k + 1][res.lanes[k + 1].size() / 2].y);
}
