// Module kelvane.engine, shared by its parts (bindings/engine_*.cpp): the
// process-wide controls of the native routers.
//
// A part registers itself with one call at namespace scope in its own file:
//
//   static const bool registered = kelvane::py::engine::add_part("budget", &bind_budget);
//
// and the module's initialisation binds every registered part, in the order
// of their names.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvane::py::engine {

namespace nb = nanobind;

using Part = void (*)(nb::module_&);
bool add_part(const char* name, Part bind);

}  // namespace kelvane::py::engine
