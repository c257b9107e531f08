// Track lines of a single route: the horizontal and vertical lines a route
// may run on.  They keep the shortest, fewest-bend routes of the open plane:
//   * port lines: through both end points; at the port run p, at 2p and at
//     p +- 2r in front of each port (first and last bends, and the 2r jogs
//     off them); 2r to either side of each port line (the shortest jog);
//   * rails: every side of every zone (obstacles already grown by their
//     clearance, keep-out boxes, spacing bands around earlier routes), along
//     the side's own stretch;
//   * run offsets: 2r and 4r to either side of every run of a `guide`
//     route (a route bending twice off a run comes back parallel to it 2r
//     away), across the guide's extent only;
//   * side offsets: 2r beyond a zone side, away from its box (a route
//     hugging the side comes back parallel to it there), for the zone
//     sides facing a run of the guide closely, and for chosen boxes;
//   * arc lines: where a bend hugging a box corner sits when its arc just
//     keeps clear: one bend radius outside each side, and, for every line
//     passing the corner closer than that, the line across it at which the
//     arc touches the corner's clearance circle; when asked for, the
//     diagonal ones, where the bend sits when nothing else holds its runs;
//   * a cage ring two bend radii outside everything, to go round it all;
//   * bridges: one line in every gap between neighbouring lines wider than
//     two bend radii, at `sliding_bias` across the gap (0.5 = midway), so a
//     route can jog in the middle of a channel instead of hugging one side;
//     a bridge spans the stretch its two neighbours share.
// With a grid every line except those through the end points is put on the
// grid, moved away from what it keeps its distance from (a zone side
// outward, a port line forward), so that it keeps its rule.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "kelvane/geometry.hpp"

namespace kelvane {

// A box a bend's arc keeps clear of, by `margin` (0: only out of its interior).
struct ArcBox {
    Box box;
    double margin = 0.0;
};

struct TrackInputs {
    TrackInputs() = default;
    TrackInputs(Point s, Point e, int sd, int ed, double r, const std::vector<Box>* z, double bias, double dbu)
        : start(s), end(e), start_dir(sd), end_dir(ed), bend_radius(r), zones(z), sliding_bias(bias), grid(dbu) {}

    Point start, end;
    int start_dir = E, end_dir = E;  // travel directions at the start and into the end
    double bend_radius = 0.0;         // r: jogs, cage, bridges
    double port_radius = -1.0;        // straight run at the ports; < 0: r
    const std::vector<Box>* zones = nullptr;
    const Path* guide = nullptr;  // a route whose runs get run offsets
    const std::vector<ArcBox>* arc_boxes = nullptr;  // boxes bend arcs keep clear of
    double arc_radius = 0.0;                         // bend radius of those arcs; 0: no arc lines
    // Corner lines of arc_boxes, taken box by box in their order, stop once
    // this many are made (a large radius over dense lines makes one per
    // line crossing a corner's quadrant).
    std::size_t max_corner_lines = static_cast<std::size_t>(-1);
    // Also the diagonal corner lines of arc_boxes (where a bend hugging a
    // corner sits when nothing else holds its runs).
    bool diagonals = false;
    // Side offsets, lines 2r beyond a zone side away from its box (a route
    // hugging that side that bends twice comes back parallel to it 2r out):
    // for every side of these boxes, and for every zone side that faces a
    // run of the guide from at most hug_reach (> 0).
    const std::vector<Box>* offset_sides = nullptr;
    double hug_reach = 0.0;
    double sliding_bias = 0.5;
    double grid = 0.0;            // dbu, 0 = none
    bool cage = true;
    double min_line_gap = 0.0;    // > 0: drop lines closer than this to a kept line (end-point lines stay)
};

struct TrackLines {
    std::vector<double> xs, ys;                // ascending, distinct
    std::vector<double> x_bridges, y_bridges;  // the bridge lines among them
    // Per line, the stretch along it where it is needed (y range of a
    // vertical line, x range of a horizontal one): the extent of the sides
    // it runs along; (-inf, inf) for lines needed everywhere (ports, jogs,
    // cage, bridges between two of them).
    std::vector<std::pair<double, double>> x_span, y_span;
    // Per line: its stretch is final (else the lattice grows a bounded
    // stretch on until it runs into a zone).
    std::vector<char> x_fixed, y_fixed;
};

TrackLines make_track_lines(const TrackInputs& in);

}  // namespace kelvane
