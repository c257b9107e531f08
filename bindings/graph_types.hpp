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

}  // namespace kelvane::py
