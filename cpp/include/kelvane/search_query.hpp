// A lattice search described by node coordinates, as callers outside the
// core name it: adjacency lists whose neighbours are points, penalties and
// bans keyed by nodes.  Checks throw std::invalid_argument with messages that
// write numbers as Python's repr does (repr.hpp), so a binding can pass them on as they
// are.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kelvane/lattice.hpp"
#include "kelvane/search.hpp"

namespace kelvane {

// Lattice from adjacency lists by coordinates: node i is nodes[i], its
// neighbours are targets[k] with lengths[k] for k in [offsets[i],
// offsets[i + 1]), in that order.  `name` names the adjacency in the
// messages: a node given twice, a neighbour that is no node, a node listing
// itself, a negative length.  Lengths must be finite (not checked here).
Lattice lattice_from_points(std::vector<Point> nodes, const std::vector<std::uint32_t>& offsets,
                            const std::vector<Point>& targets, const std::vector<double>& lengths,
                            const std::string& name);

// Entries of a query named by coordinates.  Entries that name no node (or no
// edge) of L are ignored, as are zero penalties and an edge key whose first
// node is not the lower one (only (min(a, b), max(a, b)) names an edge).
// A penalty must be >= 0 (+inf closes the edge), else std::invalid_argument.
void add_edge_pen(SearchQuery& q, const Lattice& L, Point a, Point b, double pen);
void add_blocked_passthrough(SearchQuery& q, const Lattice& L, Point node, int heading);
void add_node_chord(SearchQuery& q, const Lattice& L, Point node, int i0, int i1);

// A workspace no one else holds: one whose results are gone (only the pool
// holds it) is handed out again, so a steady stream of searches allocates
// nothing.  Releases on other threads must be ordered before the next call
// (the bindings take and drop workspaces with the GIL held).
std::shared_ptr<SearchWorkspace> pooled_workspace();

}  // namespace kelvane
