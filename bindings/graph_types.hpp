// Native types of the graph module shared by its binding parts
// (graph.cpp and its graph_*.cpp parts).
#pragma once

#include <memory>

#include "convert.hpp"
#include "kelvane/lattice.hpp"
#include "kelvane/obstacles.hpp"

namespace kelvane::py {

// Python `_ObstacleIndex`: owns the core index.
struct PyObstacleIndex {
    std::shared_ptr<const ObstacleIndex> index;
};

// Python `Obstacle`: four float attributes.
struct PyObstacle {
    Box box;
};

// Python `LatticeAdjacency`: a read-only mapping over a core lattice.
struct PyLatticeAdjacency {
    std::shared_ptr<const Lattice> lattice;
};

// Registers the adjacency mapping, _line_lattice and the direction and
// edge-key helpers (graph_adjacency.cpp).
void bind_adjacency(nb::module_& m);

// Registers _run_dijkstra, _select_end_state and _reconstruct_path
// (graph_search.cpp).
void bind_search(nb::module_& m);

// Wraps a core lattice as the read-only adjacency mapping `g.adj`.
nb::object lattice_adjacency(std::shared_ptr<const Lattice> lattice);

// Registers `_extend_short_segments` (graph_polish.cpp).
void bind_polish(nb::module_& m);

// The native roads of rail_bridge_v2 and _build_rail_bridge_graph
// (graph_router.cpp).
nb::tuple rail_bridge_py(nb::handle start, nb::handle end, nb::handle start_tangent, nb::handle end_tangent,
                         nb::handle delta, nb::handle obstacles, nb::handle turn_bias, nb::handle sliding_bias,
                         nb::handle real_obstacles, nb::handle route_skeletons, nb::handle route_spacing,
                         nb::handle route_pivots, nb::handle bend_delta, nb::handle dbu, nb::handle arc_clearance);
nb::tuple build_graph_py(nb::handle start, nb::handle end, nb::handle start_tangent, nb::handle end_tangent,
                         nb::handle delta, nb::handle obstacles, nb::handle sliding_bias, bool enforce_min_segment_length,
                         nb::handle dbu);

}  // namespace kelvane::py
