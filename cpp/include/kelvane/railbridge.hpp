// The single-route router: shortest Manhattan route with bend-radius rules on
// a rail-bridge track lattice.
//
// Cost of a route = length + turn_cost per bend (+ a tiny turn-bias term).
// Rules, in order of priority:
//   1. stay out of obstacle interiors grown by `obstacle_margin` (the margin is
//      waived for an obstacle that holds the route's own port in its margin),
//      out of `exact_obstacles` and `keep_outs`, and out of the spacing bands
//      around earlier routes (`pivots`, half-width `route_spacing`, narrowed at
//      their port segments so that closely pitched ports can still leave);
//   2. straight runs: at least `port_radius` at each port and 2 * bend_radius
//      between two bends (room for both arcs).
// Rule 2 is relaxed step by step (2r -> r between bends, then no minimum) only
// when the stricter search cannot keep rule 1.  Rule 1 is never relaxed as a
// rule, but every zone is searched as a very expensive cost instead of a wall,
// so when no clean route exists the result is the route with the least
// intrusion, and RouteInfo says what was violated.
//
// The lattice is implicit (nodes are crossings of the track lines, never
// materialised) and sparse: a zone side's line reaches only along that side
// and on until it runs into another zone (a track graph), so far-away zones
// add no nodes where they cannot matter.  Edge penalties and the nodes of a
// line are computed on first use, and the A* search runs over (node, heading)
// states with straight-run "jumps" after every bend.  Memory grows with the
// lines and states visited, not with the product of the lines.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "kelvane/geometry.hpp"

namespace kelvane {

// A path a route prefers to run close to: its runs pay `weight` per unit
// of length in proportion to their distance from the nearest parallel run
// of `path` beside them, the full rate at `reach` or farther (and where
// none lies beside them).  A weight of 1e-4 only breaks near-ties; larger
// weights trade length for closeness.
struct Follow {
    Path path;
    double reach = 0.0;
    double weight = 1e-4;
};

struct RouteRequest {
    Point start, end;
    int start_dir = E;              // heading when leaving the start
    int end_dir = E;                // heading when entering the end
    double bend_radius = 0.0;       // room between bends: 2 * bend_radius
    double port_radius = -1.0;      // straight run at each port; < 0: bend_radius
    double turn_cost = -1.0;        // < 0: bend_radius
    std::vector<Box> obstacles;     // kept clear with obstacle_margin
    double obstacle_margin = -1.0;  // clearance; < 0: route_spacing / 2
    std::vector<Box> exact_obstacles;  // kept clear with no margin
    std::vector<Box> keep_outs;
    std::vector<Path> pivots;       // earlier routes to keep route_spacing from
    double route_spacing = 3.0;
    double sliding_bias = 0.5;
    TurnBias turn_bias;
    double grid = 0.0;              // dbu; 0 = none
    bool arc_clearance = true;      // keep every bend's arc clear (false: corners only)
    // A route touching or crossing itself is not clean (true: not checked,
    // for comparisons with searches that do not know that rule).
    bool allow_self_contact = false;
    // Work allowed in all (states expanded, lattice crossings examined / 64),
    // over every window and level; 0: 1e6 + 20 per box + 200 per point of
    // route_pivots.  Then the least-bad route found so far comes back.
    std::size_t max_states = 0;
    // Set when this request is one piece of a longer route: that route's
    // ports, which the zone rules go by (an obstacle's clearance waived round
    // a port, spacing bands cut short next to one) instead of start and end.
    bool is_piece = false;
    Point route_start, route_end;
    // Paths to run close to (a river's previous lane, a lane's place in its
    // ribbon): see Follow.
    std::vector<Follow> follow;
    // Weight of each pivot's spacing band (row k for pivots[k]): entering it
    // costs that many times the usual (a negotiation's present congestion
    // times the pair's history).  Empty: 1 for every pivot.
    std::vector<double> pivot_weights;
    // >= 0: a route crossing a pivot at right angles on a straight stretch
    // of it, at least crossing_clearance() from the pivot's bends and
    // 2 * bend_radius + route_spacing from its ports, pays this length once (however the lattice cuts the band) instead of
    // the band's cost, and RouteInfo::crossings counts it apart from
    // contacts.  Running along a pivot, turning inside its band, or crossing
    // it nearer a bend or a port stays a spacing conflict.  < 0: every
    // crossing is a contact.
    double crossing_cost = -1.0;
    // The run rules are never relaxed: a route that cannot keep out of
    // every zone under them comes back entering the least (a negotiation
    // moves the others instead).
    bool keep_runs = false;
    double crossing_clearance() const { return std::max(2.0 * bend_radius, route_spacing); }
    Point own_start() const { return is_piece ? route_start : start; }
    Point own_end() const { return is_piece ? route_end : end; }
};

struct RouteInfo {
    bool clean = false;          // no zone entered and all straight-run rules met
    bool bends_ok = false;       // port runs >= port radius and runs between bends >= 2r
    int relax_level = 0;         // 0 full rules, 1 runs between bends >= r, 2 no run rule
    double length = 0.0;
    int bends = 0;
    double obstacle_overlap = 0.0;   // length inside obstacle interiors
    double clearance_overlap = 0.0;  // length inside an obstacle's margin only
    double keep_out_overlap = 0.0;
    double spacing_overlap = 0.0;    // length closer than route_spacing to an earlier route
    int pivot_contacts = 0;          // earlier routes this one touches or crosses
    int crossings = 0;               // crossings of earlier routes where crossing is allowed (crossing_cost)
    int self_contacts = 0;           // pairs of its own segments, not neighbours, that touch or cross
    int arc_obstacle = 0;            // bends whose arc enters an obstacle or keep-out box
    int arc_clearance = 0;           // bends whose arc dips into a clearance or spacing band only
    std::size_t lattice_x = 0, lattice_y = 0;
    std::size_t states_expanded = 0;
    bool budget_exhausted = false;   // stopped by max_states: the best route found so far
    bool guided = false;             // window too large for an exhaustive search: the best route found
};

struct RouteResult {
    Path skeleton;
    RouteInfo info;
};

// Weighted length of the zones a route entered (0 for a clean one): obstacle,
// clearance and keep-out intrusions outweigh spacing ones.  The router ranks
// its candidates by it; the waypoint router ranks legs by it.
double violation_score(const RouteInfo& info);

// The kinds of rule a route breaks, in this order: "obstacle", "clearance",
// "keep_out", "spacing" (a band entered or an earlier route touched),
// "bend_radius", "arc", "self_crossing".
std::vector<const char*> violations(const RouteInfo& info);

// What `path` enters and which run rules it keeps, measured against every
// zone of `req` (as RouteResult::info would say of it).
RouteInfo measure_rail_route(const RouteRequest& req, const Path& path);

// A request from port to port, tangents being headings of travel (the end
// tangent points into the end port), with the bend radius delta in the bends
// and at the ports; every other field at its default.
RouteRequest port_to_port_request(Point start, Point end, Point start_tangent, Point end_tangent, double delta);

// End points are settled on the grid first (settle_end_point).  Throws
// std::invalid_argument for an unroutable request (start == end).
RouteResult route_rail_bridge(const RouteRequest& req);

// What a caller's request is checked for before it is searched, throwing
// std::invalid_argument that names the field as the Python entries call it:
// coordinates and lengths within +-1e12 layout units (beyond, the sums the
// router forms overflow), a grid step that resolves the largest of them (at
// least 1e-15 of it, so grid points stay exact doubles), and end points that
// stay apart once settled on the grid.
void check_in_range(double v, const std::string& what);
void check_grid(double grid, double largest);
void check_request(const RouteRequest& req);

}  // namespace kelvane
