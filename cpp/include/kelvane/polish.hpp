// Lengthening of too-short segments of a finished axis-parallel route.
//
// A route bends with radius `delta`, so it needs a straight run of at least
// `delta` at each port (its first and last segment) and at least `2 * delta`
// on every inner segment (room for the two bends at its ends).  Routers that
// work on track lines sometimes leave shorter runs.  This pass lengthens them
// where that is possible by sliding a perpendicular neighbour segment
// parallel to itself, never moving the end points and never running a
// changed segment through an obstacle.
#pragma once

#include <cstddef>
#include <functional>

#include "kelvane/geometry.hpp"

namespace kelvane {

// Obstacle test used by the pass: true when the segment p-q may not be used.
using SegmentBlocked = std::function<bool(Point, Point)>;

// Shortest allowed length of segment k of a polyline with n segments:
// `delta` for the first and the last segment, `2 * delta` for inner ones.
// A single segment (n == 1) has no minimum (0).
double min_segment_length(std::size_t k, std::size_t n, double delta);

// Which neighbour of a short segment k is slid to lengthen it.
enum class Shift {
    Forward,   // segment k+1 moves along segment k's direction
    Backward,  // segment k-1 moves against segment k's direction
};

// Lengthens segment k of `path` (already simplified: no zero-length steps,
// no collinear interior points) to its minimum by sliding one neighbour.
//
// Forward moves the points k+1 and k+2 by `need` along segment k's
// direction; segment k+2, parallel to k, gets shorter or longer by `need`.
// Backward moves the points k-1 and k by `need` against segment k's
// direction, changing segment k-2 the same way.  The move is refused (path
// untouched, false returned) when segment k is not short, when it would move
// the first or last point, when the neighbour is not perpendicular to k or
// the segment beyond it not parallel to k (the path would stop being
// axis-parallel), when that segment would vanish or reverse, when a segment
// that got shorter ends below its own minimum, or when `blocked` reports
// any of the three changed segments (each tested in full, in path order).
bool shift_neighbour(Path& path, std::size_t k, Shift how, double delta, const SegmentBlocked& blocked);

// The whole pass: simplifies `pts`, then tries for every short segment, in
// path order, a Forward and else a Backward shift, and repeats over the path
// until a pass changes nothing.  Every accepted shift removes one short
// segment and creates none, so this ends after at most one pass per segment.
// The result is simplified again.  delta <= 0 only simplifies; polylines of
// fewer than three segments come back simplified (their only movable points
// are the fixed end points).  Segments that are not axis-parallel are never
// moved or used for a move.
Path extend_short_segments(const Path& pts, double delta, const SegmentBlocked& blocked);

}  // namespace kelvane
