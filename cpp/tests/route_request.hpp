// A single-route request for the core tests: ports, headings, bend radius,
// and no clearance unless a test asks for it.
#pragma once

#include "kelvane/railbridge.hpp"

inline kelvane::RouteRequest request(kelvane::Point s, kelvane::Point e, int sd, int ed, double r = 1.0) {
    kelvane::RouteRequest q;
    q.start = s;
    q.end = e;
    q.start_dir = sd;
    q.end_dir = ed;
    q.bend_radius = r;
    q.route_spacing = 0.0;
    return q;
}
