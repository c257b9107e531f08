// The native roads of kelvane.engine's Python body (bindings/py/engine.py), one router a file, put in
// its `_native` namespace by engine.cpp.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvane::py::engine {

namespace nb = nanobind;

void def_budget(nb::module_& native);  // engine_budget.cpp
void def_river(nb::module_& native);   // engine_river.cpp
void def_spaced(nb::module_& native);  // engine_spaced.cpp

}  // namespace kelvane::py::engine
