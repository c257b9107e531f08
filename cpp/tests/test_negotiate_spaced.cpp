// Spacing- and bend-aware negotiation on small scenes with known answers.
#include <cmath>
#include <stdexcept>
#include <string>

#include "check.hpp"
#include "kelvane/spaced.hpp"

using namespace kelvane;
using spaced::SpacedRequest;

namespace {

SpacedRequest two_routes(Point s0, Point e0, Point s1, Point e1) {
    SpacedRequest q;
    q.starts = {s0, s1};
    q.ends = {e0, e1};
    q.start_tangents = {{1, 0}, {1, 0}};
    q.end_tangents = {{1, 0}, {1, 0}};
    q.delta = 5.0;
    q.route_spacing = 3.0;
    q.crossing_cost = 50.0;
    return q;
}

// Distance along `p` from its nearest bend or port to `x` (a point on p).
double clear_of_corners(const Path& p, Point x) {
    double best = 1e300;
    for (const Point& c : p) best = std::min(best, manhattan(c, x));
    return best;
}

// Where two paths cross at right angles (count and last point).
int crossing_points(const Path& a, const Path& b, Point* at) {
    int n = 0;
    for (size_t i = 1; i < a.size(); ++i)
        for (size_t j = 1; j < b.size(); ++j) {
            const bool ah = a[i - 1].y == a[i].y, bh = b[j - 1].y == b[j].y;
            if (ah == bh) continue;
            const Point h0 = ah ? a[i - 1] : b[j - 1], h1 = ah ? a[i] : b[j];
            const Point v0 = ah ? b[j - 1] : a[i - 1], v1 = ah ? b[j] : a[i];
            const Point x{v0.x, h0.y};
            if (x.x > std::min(h0.x, h1.x) && x.x < std::max(h0.x, h1.x) && x.y > std::min(v0.y, v1.y) &&
                x.y < std::max(v0.y, v1.y)) {
                ++n;
                *at = x;
            }
        }
    return n;
}

bool throws_naming(const SpacedRequest& q, const std::string& name) {
    try {
        spaced::negotiate_spaced(q);
    } catch (const std::invalid_argument& e) {
        return std::string(e.what()).find(name) != std::string::npos;
    }
    return false;
}

}  // namespace

TEST(negotiate_spaced_swapped_ports_cross_once_in_open_space) {
    // Ports in swapped order between two facing device boxes.
    SpacedRequest q = two_routes({0, 0}, {200, 20}, {0, 20}, {200, 0});
    q.obstacles = {{-30, -10, 0, 30}, {200, -10, 230, 30}};
    const spaced::SpacedResult r = spaced::negotiate_spaced(q);
    CHECK(r.clean());
    CHECK(r.conflicts == 0);
    CHECK(r.crossings == 1);
    CHECK(r.infos[0].crossings == 1 && r.infos[1].crossings == 1);
    Point x{};
    CHECK(crossing_points(r.routes[0], r.routes[1], &x) == 1);
    CHECK(clear_of_corners(r.routes[0], x) >= 2 * q.delta);
    CHECK(clear_of_corners(r.routes[1], x) >= 2 * q.delta);
}

TEST(negotiate_spaced_independent_routes_keep_apart_without_crossing) {
    // Alone, both would jog at the same place; laid after route 0, route 1
    // jogs first and neither crosses the other.
    SpacedRequest q = two_routes({0, 0}, {100, 20}, {0, 10}, {100, 30});
    q.obstacles = {{-30, -10, 0, 40}, {100, -10, 130, 40}};
    const spaced::SpacedResult r = spaced::negotiate_spaced(q);
    CHECK(r.clean());
    CHECK(r.crossings == 0);
    CHECK(r.best_pass == 0);
    CHECK_NEAR(r.length, 240.0, 1e-9);  // both still shortest
    for (const RouteInfo& info : r.infos) CHECK(info.clean && info.spacing_overlap == 0 && info.crossings == 0);
    CHECK(r.routes[1][1].x + 3.0 <= r.routes[0][1].x);
}

TEST(negotiate_spaced_crossing_or_detour_by_its_cost) {
    // Route 1 runs north across route 0; all four ports sit on device
    // boxes: no crossing means a detour round a device.
    SpacedRequest q = two_routes({0, 0}, {200, 0}, {150, -40}, {150, 40});
    q.start_tangents[1] = q.end_tangents[1] = {0, 1};
    q.obstacles = {{-30, -20, 0, 20}, {200, -20, 230, 20}, {130, -70, 170, -40}, {130, 40, 170, 70}};
    for (int big = 0; big < 2; ++big) {
        q.crossing_cost = big ? 2000.0 : 10.0;
        const spaced::SpacedResult r = spaced::negotiate_spaced(q);
        CHECK(r.clean());
        CHECK(r.crossings == (big ? 0u : 1u));
        if (big) CHECK(r.length > 280.0 + 100.0);  // round a device's far side
        else CHECK_NEAR(r.length, 280.0, 1e-9);    // both straight
    }
}

TEST(negotiate_spaced_refuses_bad_input_naming_it) {
    SpacedRequest q = two_routes({0, 0}, {100, 0}, {0, 10}, {100, 10});
    SpacedRequest rows = q;
    rows.ends.pop_back();
    CHECK(throws_naming(rows, "ends"));
    SpacedRequest tangent = q;
    tangent.start_tangents[1] = {1, 1};
    CHECK(throws_naming(tangent, "start_tangents[1]"));
    SpacedRequest cost = q;
    cost.crossing_cost = -1.0;
    CHECK(throws_naming(cost, "crossing_cost"));
    SpacedRequest shared = q;
    shared.ends[1] = shared.ends[0];
    CHECK(throws_naming(shared, "routes 0 and 1"));
    SpacedRequest passes = q;
    passes.max_passes = -1;
    CHECK(throws_naming(passes, "max_passes"));
}
