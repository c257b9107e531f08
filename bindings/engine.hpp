// The parts of module kelvane.engine, one registration function each.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvane::py {

void register_river(nanobind::module_& m);
void register_spaced(nanobind::module_& m);

}  // namespace kelvane::py
