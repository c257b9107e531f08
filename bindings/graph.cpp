// Module kelvane.manhattan_router.graph: obstacle records and index, the
// single-route router, per-route search graphs and the lattice search.  The
// router's entries have a Python face, bindings/py/graph.py (module_body.hpp).
// The module docstring there gives its conventions (directions, chords, nodes, edge keys).
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "deadline_link.hpp"
#include "graph_types.hpp"
#include "module_body.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace kelvane;
using namespace kelvane::py;

#include "graph_body.inc"

NB_MODULE(graph, m) {
    kelvane::py::share_engine_deadline();  // time budgets set in kelvane.engine reach this module

    // Its sequence and value behaviour: bindings/py/graph.py.
    nb::class_<PyObstacle>(m, "Obstacle", "Axis-aligned obstacle box (x_min, y_min, x_max, y_max).")
        .def("__init__",
             [](PyObstacle* self, nb::handle x_min, nb::handle y_min, nb::handle x_max, nb::handle y_max) {
                 Box b{to_finite(x_min, "x_min"), to_finite(y_min, "y_min"), to_finite(x_max, "x_max"),
                       to_finite(y_max, "y_max")};
                 if (b.x0 > b.x1) raise_value("Obstacle: x_min > x_max");
                 if (b.y0 > b.y1) raise_value("Obstacle: y_min > y_max");
                 new (self) PyObstacle{b};
             },
             "x_min"_a, "y_min"_a, "x_max"_a, "y_max"_a)
        .def_prop_ro("x_min", [](const PyObstacle& o) { return o.box.x0; })
        .def_prop_ro("y_min", [](const PyObstacle& o) { return o.box.y0; })
        .def_prop_ro("x_max", [](const PyObstacle& o) { return o.box.x1; })
        .def_prop_ro("y_max", [](const PyObstacle& o) { return o.box.y1; });

    nb::class_<PyObstacleIndex>(m, "_ObstacleIndex",
                                "Gridded index over boxes.  blocked(x1, y1, x2, y2) is True when the\n"
                                "axis-parallel segment shares a stretch of positive length with a box: it\n"
                                "runs through the open interior, or along a side (a waveguide may not run\n"
                                "along a device face; the seam where two boxes abut is such a side).\n"
                                "Meeting a box at a single point (a route leaving a port on a device\n"
                                "outline, passing a corner) is free.  A box of zero width or height also\n"
                                "blocks a segment crossing it.  dbu, when given, sets the contact\n"
                                "tolerance to a thousandth of the grid step (else 1e-9).")
        .def("__init__",
             [](PyObstacleIndex* self, nb::handle obstacles, nb::handle dbu) {
                 new (self) PyObstacleIndex{std::make_shared<const ObstacleIndex>(to_boxes(obstacles, "obstacles"),
                                                                                  to_grid(dbu))};
             },
             "obstacles"_a, "dbu"_a = nb::none())
        .def("blocked",
             [](const PyObstacleIndex& self, nb::handle x1, nb::handle y1, nb::handle x2, nb::handle y2) {
                 return self.index->blocked({to_finite(x1, "x1"), to_finite(y1, "y1")},
                                            {to_finite(x2, "x2"), to_finite(y2, "y2")});
             },
             "x1"_a, "y1"_a, "x2"_a, "y2"_a)
        .def("__len__", [](const PyObstacleIndex& self) { return self.index->size(); });

    m.def("_segment_blocked",
          [](nb::handle x1, nb::handle y1, nb::handle x2, nb::handle y2, nb::handle boxes, nb::handle dbu) {
              const Point p{to_finite(x1, "x1"), to_finite(y1, "y1")}, q{to_finite(x2, "x2"), to_finite(y2, "y2")};
              const double eps = contact_tolerance(to_grid(dbu));
              for (const Box& b : to_boxes(boxes, "boxes"))
                  if (segment_touches(p, q, b, eps)) return true;
              return false;
          },
          "x1"_a, "y1"_a, "x2"_a, "y2"_a, "boxes"_a, "dbu"_a = nb::none(),
          "True when the segment (x1, y1)-(x2, y2) touches any of `boxes` (closed: sides and corners count).");

    bind_adjacency(m);
    bind_search(m);
    bind_polish(m);
    nb::module_ native = native_namespace("kelvane.manhattan_router.graph._native");
    def_native(native, "rail_bridge_v2", &rail_bridge_py);
    def_native(native, "build_rail_bridge_graph", &build_graph_py);
    run_module_body(m, kGraphBody, native);
}
