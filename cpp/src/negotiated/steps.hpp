// Steps of the negotiated router used only by its own files: the per-route
// graphs the shared lattice starts from, and the measures behind the
// solution key and the repair score.
#pragma once

#include <vector>

#include "kelvane/negotiate.hpp"

namespace kelvane::negotiated {

// ------------------------------------------------------ shared_lattice.cpp

// One graph per route: its track lines with the scene's obstacles, bend
// radius delta, bridges midway, no minimum line gap, the scene's grid.
std::vector<RouteLines> per_route_graphs(const Scene& scene);

// ------------------------------------------------------- route_metrics.cpp

// Sum of |dx| + |dy| over the steps, added in numpy's pairwise order (so it
// is bit for bit what numpy gives for the same skeleton).
double manhattan_length(const Path& skel);
// Interior points whose both segments are longer than 1e-9 (Euclidean).
long count_turns(const Path& skel);
// Python's built-in sum() of floats: a plain running sum, or Neumaier's
// compensated sum (the host's from 3.12 on).
double host_sum(const std::vector<double>& values, bool compensated);

// -------------------------------------------------------------- repair.cpp

// Host round(v, digits): correctly rounded to `digits` decimals, ties to even.
double round_decimals(double v, int digits);

}  // namespace kelvane::negotiated
