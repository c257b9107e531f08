// The river router: a bundle laid as a planar ribbon, lane after lane from
// one side, each lane with the ordinary bend radius and clear of the lanes
// before it by the spacing.
//
//   ports --> planar order (starts across the mean start heading) --> the
//   ribbon's axis (the middle lane's route, with room for the whole ribbon
//   where it has it) and each lane's place on it (the axis offset by the
//   lane's rank); without room for the whole ribbon, groups of consecutive
//   lanes each with room along an axis of their own, through the gaps that
//   hold them --> lanes laid one after another, from the inside of the
//   bundle's turn or from the middle out: each keeps the spacing from the
//   lanes laid and from the port stubs of those still to come, and prefers
//   its place and its neighbour's side; where an obstacle lies in the
//   ribbon's way the lanes pass it on either side, nearest their places
//   --> windows round the lanes that came back unclean laid again in the
//   other order --> the other sequences while none is clean; the best kept.
//   Ports in crossed order (not planar) get one sequence and no more: no
//   laying can make those lanes clean.
//
// Bend fit is a rule of every lane search: a run between two bends is at
// least 2 * delta, a run at a port at least delta (loosened only for a lane
// that cannot be routed clean, which then reports it).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "kelvane/geometry.hpp"
#include "kelvane/railbridge.hpp"

namespace kelvane::river {

struct RiverRequest {
    // Row i of each belongs to lane i; tangents are headings of travel (the
    // end tangent points into the end port), axis-parallel and non-zero.
    std::vector<Point> starts, ends, start_tangents, end_tangents;
    double delta = 0.0;               // bend radius of every lane
    double route_spacing = 3.0;       // least centre-line distance between lanes
    std::vector<Box> obstacles;       // kept clear with route_spacing / 2
    std::vector<Box> keep_outs;       // kept clear exactly
    std::vector<Path> pivots;         // routes already placed: kept route_spacing from
    double grid = 0.0;                // dbu; 0 = none
    TurnBias turn_bias;
    double sliding_bias = 0.5;
    // Laying sequences to try, in turn, until one is clean: +1 from the
    // left of the travel, -1 from the right, 0 from the middle out.  Empty:
    // laying_sides().
    std::vector<int> sides;
    int relay_rounds = 2;             // rounds of laying windows round unclean lanes again
};

struct RiverResult {
    std::vector<Path> lanes;          // by lane index
    std::vector<RouteInfo> infos;     // each lane measured against every other one
    std::size_t unclean = 0;          // lanes whose info is not clean
    bool planar = true;               // the port order lets the lanes run without crossing
    int side = 0;                     // the sequence kept (as in RiverRequest::sides)
    Path axis;                        // the route the lanes' places are offset from
    bool whole = false;               // the axis has room for the whole ribbon
    std::size_t groups = 1;           // groups of lanes with an axis each (split between gaps)
    std::size_t searches = 0;         // single-route searches run
    bool clean() const { return unclean == 0; }
};

// Throws std::invalid_argument (naming the field) for rows of unequal
// length, non-finite values, a negative delta or spacing, or a tangent that
// is zero or not axis-parallel.
void check_request(const RiverRequest& req);

RiverResult route_river(const RiverRequest& req);

}  // namespace kelvane::river
