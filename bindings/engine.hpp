// The native roads of kelvane.engine's Python body (bindings/py/engine.py), one router a file, put in
// its `_native` namespace by engine.cpp.
#pragma once

#include <nanobind/nanobind.h>

#include "convert.hpp"

namespace kelvane::py::engine {

namespace nb = nanobind;

void def_river(nb::module_& native);   // engine_river.cpp
void def_spaced(nb::module_& native);  // engine_spaced.cpp

// The ports, bend radius, obstacles, spacing and grid both routers of many
// routes take (row i of each port array belongs to route i).
template <class Request>
void read_route_set(Request& req, nb::handle starts, nb::handle ends, nb::handle start_tangents,
                    nb::handle end_tangents, nb::handle delta, nb::handle obstacles, nb::handle route_spacing,
                    nb::handle dbu) {
    req.starts = to_path(starts, "starts");
    req.ends = to_path(ends, "ends");
    req.start_tangents = to_path(start_tangents, "start_tangents");
    req.end_tangents = to_path(end_tangents, "end_tangents");
    req.delta = to_length(delta, "delta");
    req.obstacles = to_boxes(obstacles, "obstacles");
    req.route_spacing = to_length(route_spacing, "route_spacing");
    req.grid = to_grid(dbu);
}

}  // namespace kelvane::py::engine
