// Routes through waypoints.
#include <algorithm>

#include "check.hpp"
#include "route_request.hpp"
#include "kelvane/waypoints.hpp"

using namespace kelvane;

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
