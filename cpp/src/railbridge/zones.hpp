// Zones of one single-route request: what the route must keep out of, and
// how much entering each costs.
//
//  * obstacles grown by the clearance (waived for an obstacle holding one of
//    the route's own ports in its margin), exact obstacles and keep-out
//    boxes: hard zones;
//  * spacing bands around earlier routes (`pivots`): softer zones, still far
//    costlier than any detour.
// Every zone is searched as a cost, not as a wall, so that the least-bad
// route exists when no clean one does; ZoneSet::measure reports what a route
// entered.
#pragma once

#include <vector>

#include "kelvane/obstacles.hpp"
#include "kelvane/railbridge.hpp"

namespace kelvane::rail {

// Zone weights: entering a zone costs `fixed` per lattice edge plus
// `per_unit` per unit of length inside.  Obstacles and keep-outs outweigh
// spacing bands; all of them outweigh any detour in a sane layout.
constexpr double kHardFixed = 1e9, kHardPerUnit = 1e6;
constexpr double kSpacingFixed = 1e7, kSpacingPerUnit = 1e4;

struct Zone {
    Box box;
    double fixed, per_unit;
};

// All zones of a request and the box lists used to report what a route entered.
struct ZoneSet {
    std::vector<Zone> zones;
    std::vector<Box> grown, real, bands;
    const std::vector<Box>* keep_outs = nullptr;

    // What `path` entered; *violation receives violation_score of it.
    RouteInfo measure(const Path& path, double eps, double* violation) const;
};

// The zones of `req` (clearance: req.obstacle_margin, or route_spacing / 2).
ZoneSet make_zone_set(const RouteRequest& req, double eps);

// Length of `path` inside the open interiors of `boxes` or along seams
// between abutting boxes.
double overlap_length(const Path& path, const std::vector<Box>& boxes, double eps);

// Straight-run rule: port runs >= port_radius, runs between bends >= 2r.
bool runs_ok(const Path& p, double port_radius, double r, double tol);

// Spacing bands (boxes) around one earlier route, appended to *out.
void add_spacing_bands(const Path& pivot, double spacing, double bend_radius, Point own_start, Point own_end,
                       std::vector<Box>* out);

}  // namespace kelvane::rail
