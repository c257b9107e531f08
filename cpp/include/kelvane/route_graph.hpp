// The per-route search graph: the track lines of one route and, when asked
// for, the explicit lattice over them.
//
// Track lines (tracks.hpp): both end points, the port lines in front of each
// port, every obstacle side grown by bend_radius / 2, a cage ring and bridge
// lines at `sliding_bias` across gaps wider than 2 * bend_radius.  With
// enforce_min_segment_length, lines closer than the bend radius to a kept
// line are dropped (end-point lines stay), so bends on the lattice are at
// least one radius apart.  The lattice joins neighbouring crossings along a
// line unless the obstacle index blocks the segment (obstacles.hpp).
//
// The search targets the approach node: the crossing nearest to one bend
// radius before the end port along the end heading; end_approach_len is its
// distance to the port.  The negotiated router reuses only the lines (it
// joins the lines of every route into one shared lattice), so building the
// per-route lattice is optional.
#pragma once

#include <memory>
#include <vector>

#include "kelvane/geometry.hpp"
#include "kelvane/lattice.hpp"
#include "kelvane/tracks.hpp"

namespace kelvane {

struct RouteGraphRequest {
    Point start, end;
    int start_dir = E, end_dir = E;  // headings of travel at the start and into the end
    double bend_radius = 0.0;
    std::vector<Box> obstacles;
    double sliding_bias = 0.5;
    bool enforce_min_segment_length = true;
    double grid = 0.0;  // dbu; 0 = none
    bool with_lattice = true;
};

struct RouteGraph {
    Point start, end, end_port;  // end is the approach node
    double end_approach_len = 0.0;
    int start_dir = E, end_dir = E;
    TrackLines lines;
    std::shared_ptr<const Lattice> lattice;  // null unless with_lattice
};

// Coordinates within +-1e12, a grid step that resolves them and end points
// apart on the grid, as check_request(RouteRequest) checks them.
void check_request(const RouteGraphRequest& req);

// Throws std::invalid_argument for start == end (after settling on the
// grid) and for a lattice above kMaxLatticeNodes (lattice.hpp).
RouteGraph build_route_graph(const RouteGraphRequest& req);

}  // namespace kelvane
