#include "graph_types.hpp"

namespace kelvane::py {
void bind_lattice(nb::module_&) {}
nb::object lattice_adjacency(std::shared_ptr<const Lattice>) { return nb::none(); }
}  // namespace kelvane::py
