// Steps of the negotiated router used only by its own files: the per-route
// graphs the shared lattice starts from, the routes' views of it, the
// measures behind the solution key and the repair score, and the repair.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "kelvane/negotiate.hpp"

namespace kelvane::negotiated {

using NodePath = std::vector<std::uint32_t>;  // lattice node ids, start to end
using Bans = std::vector<std::pair<std::uint32_t, std::uint8_t>>;  // (node, heading) pass-throughs

// ------------------------------------------------------ shared_lattice.cpp

// One graph per route: its track lines with the scene's obstacles, bend
// radius delta, bridges midway, no minimum line gap, the scene's grid.
std::vector<RouteLines> per_route_graphs(const Scene& scene);

// --------------------------------------------------------- route_views.cpp

struct RouteView {
    long start = -1, end = -1;  // node ids; -1: not a node of the lattice
    Point end_port;
    long end_port_node = -1;
    int start_dir = kNoDir, end_dir = kNoDir;
    double end_approach_len = 0.0;
    bool to_port = false;  // end moved onto the end port
    std::vector<Box> obstacles;
};

// The node nearest to p by Manhattan distance, the first in id order on
// ties; -1 for a lattice without nodes.
long nearest_node(const Lattice& lattice, Point p);

// Ends snapped to the nearest node unless they are nodes already.
RouteView shared_view(const RouteLines& g, const Lattice& lattice);

// ------------------------------------------------------- route_metrics.cpp

// Do two axis-parallel segments cross (touching counts)?  Parallel never.
bool seg_crosses(Point a1, Point a2, Point b1, Point b2, double tol = 1e-9);
// (node, heading) pass-throughs to ban where a path meets one of its nodes
// more than once, in no particular order.
using PointBans = std::vector<std::pair<Point, int>>;
PointBans self_intersections(const Path& path);
struct CrossCount {
    long crossings = 0, overlaps = 0;
};
// Crossing nodes and shared edges over all pairs of lattice paths.
CrossCount count_crossings(const std::vector<MaybePath>& atomic);

// Sum of |dx| + |dy| over the steps, added in numpy's pairwise order (so it
// is bit for bit what numpy gives for the same skeleton).
double manhattan_length(const Path& skel);
// Interior points whose both segments are longer than 1e-9 (Euclidean).
long count_turns(const Path& skel);
// Python's built-in sum() of floats: a plain running sum, or Neumaier's
// compensated sum (the host's from 3.12 on).
double host_sum(const std::vector<double>& values, bool compensated);

// -------------------------------------------------------------- repair.cpp

// (crossings with the other accepted paths, intrusions into real obstacles).
std::pair<long, long> repair_score(const Path& path, long r, const std::vector<MaybePath>& accepted,
                                   const std::vector<Box>& real_obs, double tol = 1e-9);
// Corner points of a lattice path, the end port appended when it is missing.
Path finalize_simple(const Path& path, Point end_port);
// Indices of the points of `full` that are kept as corners: the first and
// the last, and every point where the path does not go straight on (steps
// compared with their differences rounded to six decimals).
std::vector<size_t> corner_indices(const Path& full);
// Re-searches while the path meets one of its nodes more than once, banning
// the straight passes found there (bans accumulate), at most max_tries
// times; stops when no path is left, and when a path brings no new ban (the
// next search would be the last one again: search(bans) must return the
// same for the same bans).  search(bans) returns a path or none.
// Returns none when no search gave a path (the path stays as it was).
std::optional<Path> repair_self_intersections(Path path, long max_tries,
                                              const std::function<std::optional<Path>(const PointBans&)>& search);
// Node-id path -> points, and points -> bans of lattice nodes.
Path points_of(const Lattice& lattice, const NodePath& path);
Bans node_bans(const Lattice& lattice, const PointBans& bans);

// Host round(v, digits): correctly rounded to `digits` decimals, ties to even.
double round_decimals(double v, int digits);

}  // namespace kelvane::negotiated
