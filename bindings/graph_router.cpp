#include "graph_types.hpp"

namespace kelvane::py {
void bind_router(nb::module_&) {}
}  // namespace kelvane::py
