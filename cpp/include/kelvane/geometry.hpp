// Value types shared by every part of the router: points, boxes, directions.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace kelvane {

struct Point {
    double x = 0.0, y = 0.0;
    friend bool operator==(const Point& a, const Point& b) { return a.x == b.x && a.y == b.y; }
    friend bool operator!=(const Point& a, const Point& b) { return !(a == b); }
    // By x, then y: the order of (x, y) tuples, which edge keys and node sorts use.
    friend bool operator<(const Point& a, const Point& b) { return a.x < b.x || (a.x == b.x && a.y < b.y); }
};

using Path = std::vector<Point>;

// Axis-aligned closed rectangle [x0, x1] x [y0, y1].
struct Box {
    double x0 = 0.0, y0 = 0.0, x1 = 0.0, y1 = 0.0;
    Box inflated(double m) const { return {x0 - m, y0 - m, x1 + m, y1 + m}; }
    bool contains_closed(Point p, double eps) const {
        return p.x >= x0 - eps && p.x <= x1 + eps && p.y >= y0 - eps && p.y <= y1 + eps;
    }
    // Manhattan distance from p to the closed box (0 inside).
    double distance_to(Point p) const {
        return std::max({x0 - p.x, p.x - x1, 0.0}) + std::max({y0 - p.y, p.y - y1, 0.0});
    }
};

// Travel directions, numbered counter-clockwise: E=0, N=1, W=2, S=3.
// Around a node the four sides are met in this cyclic order, which is what
// makes "two chords cross" the same as "their index pairs interleave".
enum Dir : std::uint8_t { E = 0, N = 1, W = 2, S = 3 };
constexpr int kNoDir = -1;

inline int opposite(int d) { return (d + 2) & 3; }
inline int turn_left(int d) { return (d + 1) & 3; }
inline int turn_right(int d) { return (d + 3) & 3; }
inline bool is_horizontal(int d) { return (d & 1) == 0; }
inline double dir_dx(int d) { return d == E ? 1.0 : (d == W ? -1.0 : 0.0); }
inline double dir_dy(int d) { return d == N ? 1.0 : (d == S ? -1.0 : 0.0); }

// Direction of the step a -> b along its dominant axis (ties count as vertical).
inline int direction_of(Point a, Point b) {
    const double dx = b.x - a.x, dy = b.y - a.y;
    if (std::fabs(dx) > std::fabs(dy)) return dx > 0 ? E : W;
    return dy > 0 ? N : S;
}
// Heading of a tangent vector: the step from the origin along it.  The one
// way every router reads a port's tangent, with direction_of's tie rule.
inline int tangent_heading(Point t) { return direction_of({0.0, 0.0}, t); }
// Axis (0: x, 1: y) and sign (+-1) of the step a -> b, read off direction_of
// (a zero-length step gives (1, -1)).
inline std::pair<int, int> axis_and_sign(Point a, Point b) {
    const int d = direction_of(a, b);
    return {is_horizontal(d) ? 0 : 1, d == E || d == N ? 1 : -1};
}

inline double manhattan(Point a, Point b) { return std::fabs(a.x - b.x) + std::fabs(a.y - b.y); }

// True when the two chords {a0,a1} and {b0,b1} (sorted side indices of a node)
// cross inside the node: the four sides are distinct and alternate around it.
inline bool chords_interleave(int a0, int a1, int b0, int b1) {
    return (a0 < b0 && b0 < a1 && a1 < b1) || (b0 < a0 && a0 < b1 && b1 < a1);
}

// Round half to even onto a grid of step `grid` (grid > 0).
inline double snap_to_grid(double v, double grid) {
    return std::nearbyint(v / grid) * grid;
}

// An end point keeps its exact value unless it is a grid point up to the
// rounding noise of float32 (ports handed over as float32 arrays); then it
// becomes that grid point.  grid <= 0: no grid.
Point settle_end_point(Point p, double grid);

// Remove zero-length steps and interior points on a straight run, keeping the
// first and last point.  Reversals are kept as corners.
Path simplify_path(const Path& pts, double tol = 1e-9);

// Number of corners of an axis-parallel path after simplification.
int count_bends(const Path& pts);

double path_length(const Path& pts);

}  // namespace kelvane

namespace kelvane {

// Where a route prefers its bends among equally short alternatives.
// position 0 = near the start, 0.5 = midway, 1 = near the end; inactive = no preference.
struct TurnBias {
    bool active = true;
    double position = 0.5;
};

// Tie-break cost of a bend at `at` on a route from `from` to `to`: a tiny
// amount (scale * 1e-6 at most) growing with the square of the distance of
// the bend's relative position from the preferred one.  Squared, so that the
// two bends of a jog settle symmetrically around the preferred position (a
// sum of absolute distances is flat there).  It never outweighs a real
// difference in length or bends of more than that amount.
inline double turn_bias_cost(const TurnBias& bias, Point at, Point from, Point to, double scale) {
    if (!bias.active) return 0.0;
    const double ds = manhattan(from, at), de = manhattan(at, to);
    const double frac = (ds + de) > 0 ? ds / (ds + de) : 0.5;
    return 1e-6 * scale * (frac - bias.position) * (frac - bias.position);
}

}  // namespace kelvane
