// Zones of the single-route router: crossing a pivot where that is allowed,
// and pivots' weights.
#include <cmath>

#include "check.hpp"
#include "route_request.hpp"
#include "kelvane/railbridge.hpp"

using namespace kelvane;

namespace {

// A route across the pivot (0,0)-(100,0): straight north at x, from y=-20 to 20.
RouteRequest across(double x, const Path& pivot, double crossing_cost) {
    RouteRequest q = request({x, -20}, {x, 20}, N, N, 2.0);
    q.route_spacing = 3.0;
    q.pivots = {pivot};
    q.crossing_cost = crossing_cost;
    return q;
}

}  // namespace

TEST(zones_crossing_allowed_only_on_a_straight_stretch_away_from_bends_and_ports) {
    // Port clearance 2r + s = 7, bend clearance max(2r, s) = 4.
    const Path straight{{0, 0}, {100, 0}}, bent{{0, 0}, {50, 0}, {50, 50}};
    struct Case {
        double x;
        const Path* pivot;
        double cost;
        int crossings, contacts;
        double spacing;
    };
    const Case cases[] = {
        {50, &straight, 10.0, 1, 0, 0.0},  // open stretch: a crossing
        {7, &straight, 10.0, 1, 0, 0.0},   // just at the port clearance
        {5, &straight, 10.0, 0, 1, 6.0},   // within the port stretch: a contact and the band
        {46, &bent, 10.0, 1, 0, 0.0},      // bend clearance kept
        {48, &bent, 10.0, 0, 1, 23.0},     // 2 from the bend: in the bands of both runs
        {50, &straight, -1.0, 0, 1, 6.0},  // no crossing cost: every crossing is a contact
    };
    for (const Case& c : cases) {
        const RouteInfo info = measure_rail_route(across(c.x, *c.pivot, c.cost), {{c.x, -20}, {c.x, 20}});
        CHECK(info.crossings == c.crossings);
        CHECK(info.pivot_contacts == c.contacts);
        CHECK_NEAR(info.spacing_overlap, c.spacing, 1e-9);
        CHECK(info.clean == (c.contacts == 0));
    }
}

TEST(zones_running_along_or_turning_inside_a_crossable_band_is_a_conflict) {
    RouteRequest q = across(50, {{0, 0}, {100, 0}}, 10.0);
    // Up into the band, along it for 20, on north: a spacing conflict.
    const RouteInfo turned = measure_rail_route(q, {{50, -20}, {50, 1}, {70, 1}, {70, 20}});
    CHECK(turned.spacing_overlap >= 20.0);
    CHECK(!turned.clean);
    // Alongside at exactly the spacing, then north across it at x = 70:
    // 3 from its own bend, nearer than the bend clearance (4), so a contact;
    // from 4 below, a crossing.
    q.end = {70, 20};
    for (double below : {3.0, 4.0}) {
        const RouteInfo beside = measure_rail_route(q, {{50, -20}, {50, -below}, {70, -below}, {70, 20}});
        CHECK(beside.crossings == (below == 4.0 ? 1 : 0));
        CHECK(beside.pivot_contacts == (below == 4.0 ? 0 : 1));
        CHECK_NEAR(beside.spacing_overlap, 0.0, 1e-9);
    }
    // Crossing 5 from its own start port (port clearance 2r + s = 7): a contact.
    RouteRequest from_near = across(50, {{0, 0}, {100, 0}}, 10.0);
    from_near.start = {50, -5};
    const RouteInfo near_port = measure_rail_route(from_near, {{50, -5}, {50, 20}});
    CHECK(near_port.crossings == 0 && near_port.pivot_contacts == 1);
}

TEST(zones_a_route_keeps_its_own_bends_and_ports_clear_of_its_crossings) {
    // North from (50, -20) to (70, 20) across the pivot y = 0: the jog sits
    // at least the bend clearance (4) from the pivot, and the crossing is
    // one clean crossing.
    RouteRequest q = across(50, {{0, 0}, {100, 0}}, 10.0);
    q.end = {70, 20};
    const RouteResult r = route_rail_bridge(q);
    CHECK(r.info.clean && r.info.crossings == 1);
    CHECK(r.skeleton.size() == 4);
    for (const Point& p : r.skeleton) CHECK(std::fabs(p.y) >= 4.0 - 1e-9);
    // From (50, -5) north: the pivot lies 5 from the start port, within the
    // port clearance (7), so the route does not go straight: it crosses
    // (once, cleanly) at least 7 from its port and 4 from its bends.
    q.start = {50, -5};
    q.end = {50, 30};
    const RouteResult off = route_rail_bridge(q);
    CHECK(off.info.clean && off.info.crossings == 1);
    CHECK(off.skeleton.size() > 2);
    for (size_t k = 1; k < off.skeleton.size(); ++k) {
        const Point a = off.skeleton[k - 1], b = off.skeleton[k];
        if (a.x != b.x || std::min(a.y, b.y) >= 0 || std::max(a.y, b.y) <= 0) continue;
        const Point x{a.x, 0.0};
        CHECK(manhattan(x, q.start) >= 7.0 - 1e-9);
        for (const Point& c : off.skeleton) CHECK(manhattan(x, c) >= 4.0 - 1e-9);
    }
}

TEST(zones_a_crossing_is_taken_when_cheaper_than_the_detour) {
    // Route north across a pivot whose ends sit in device boxes: the detour
    // goes round the device at the pivot's nearer end.
    const Path pivot{{0, 0}, {100, 0}};
    RouteRequest q = across(80, pivot, 1e6);
    q.obstacles = {{-30, -10, 0, 10}, {100, -10, 130, 10}};
    const RouteResult detour = route_rail_bridge(q);
    CHECK(detour.info.clean);
    CHECK(detour.info.crossings == 0);
    const double extra = detour.info.length + 2.0 * detour.info.bends - 40.0;  // turn cost r = 2 a bend
    CHECK(extra > 50.0);
    for (double margin : {-1.0, 1.0}) {
        q.crossing_cost = extra + margin;
        const RouteResult r = route_rail_bridge(q);
        CHECK(r.info.clean);
        CHECK(r.info.crossings == (margin < 0 ? 1 : 0));
        CHECK_NEAR(r.info.length, margin < 0 ? 40.0 : detour.info.length, 1e-9);
    }
}

TEST(zones_pivot_weights_pick_the_band_to_enter) {
    // An obstacle on the straight line; above and below it a channel
    // filled by one pivot's band each.  The route enters the lighter one.
    RouteRequest q = request({0, 0}, {100, 0}, E, E, 2.0);
    q.route_spacing = 3.0;
    // Clearance 1.5: the channels are 14.5 <= |y| <= 17.5, inside the bands 12 < |y| < 18.
    q.obstacles = {{30, -13, 70, 13}, {-200, 19, 300, 400}, {-200, -400, 300, -19}};
    q.pivots = {{{-150, 15}, {250, 15}}, {{-150, -15}, {250, -15}}};
    const RouteResult plain = route_rail_bridge(q);
    for (int lighter = 0; lighter < 2; ++lighter) {
        q.pivot_weights = {lighter == 0 ? 1e-6 : 2e-6, lighter == 0 ? 2e-6 : 1e-6};
        const RouteResult r = route_rail_bridge(q);
        double top = -1e9, bottom = 1e9;
        for (const Point& p : r.skeleton) {
            top = std::max(top, p.y);
            bottom = std::min(bottom, p.y);
        }
        CHECK(lighter == 0 ? top > 10 : bottom < -10);
        CHECK(r.info.spacing_overlap > 0);
    }
    // Weights of 1 are the default.
    q.pivot_weights = {1.0, 1.0};
    const RouteResult ones = route_rail_bridge(q);
    CHECK(ones.skeleton == plain.skeleton);
}
