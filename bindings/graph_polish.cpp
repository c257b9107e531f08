#include "graph_types.hpp"

namespace kelvane::py {
void bind_polish(nb::module_&) {}
}  // namespace kelvane::py
