// Module kelvane.manhattan_router.graph: the obstacle record and index, the
// native roads of the single-route router and the per-route search graph,
// lattice polish; the adjacency and the search in graph_*.cpp.  Their Python
// faces (Obstacle's sequence behaviour too) are in bindings/py/graph.py
// (module_body.hpp), whose module docstring gives the conventions.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "deadline_link.hpp"
#include "graph_types.hpp"
#include "module_body.hpp"
#include "route_info.hpp"
#include "kelvane/polish.hpp"
#include "kelvane/route_graph.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace kelvane;
using namespace kelvane::py;

namespace {

nb::tuple rail_bridge_py(const nb::args& args) {
    RouteRequest req = to_route_request(args, 0);
    const RouteResult res = without_gil([&] { return route_rail_bridge(req); });
    return nb::make_tuple(path_to_array(res.skeleton), info_dict(res.info));
}

// The fields of RailBridgeGraph but the last (dbu, as given).
nb::tuple build_graph_py(nb::handle start, nb::handle end, nb::handle start_tangent, nb::handle end_tangent,
                         nb::handle delta, nb::handle obstacles, nb::handle sliding_bias,
                         bool enforce_min_segment_length, nb::handle dbu) {
    RouteGraphRequest req;
    read_route_ends(req, start, end, start_tangent, end_tangent, delta, dbu);
    req.obstacles = to_boxes(obstacles, "obstacles");
    req.sliding_bias = to_unit_interval(sliding_bias, "sliding_bias");
    req.enforce_min_segment_length = enforce_min_segment_length;
    check_request(req);
    const RouteGraph rg = without_gil([&] { return build_route_graph(req); });
    nb::list obs_list;
    for (const Box& b : req.obstacles) obs_list.append(nb::cast(PyObstacle{b}));
    return nb::make_tuple(point_tuple(rg.start), point_tuple(rg.end), point_tuple(rg.end_port), rg.end_approach_len,
                          nb::cast(PyLatticeAdjacency{rg.lattice}), float_list(rg.lines.ys), float_list(rg.lines.xs),
                          float_list(rg.lines.y_bridges), float_list(rg.lines.x_bridges), obs_list, rg.start_dir,
                          rg.end_dir, req.bend_radius);
}

const char* const kExtendDoc = R"doc(Lengthen segments of an axis-parallel route that are too short to bend.

points: the route, finite (x, y) points (a list of pairs or an N x 2 array).
delta:  the bend radius, a finite number >= 0.
index:  an _ObstacleIndex, None (no obstacles), or any object with a method
        blocked(x1, y1, x2, y2), truthy when the segment may not be used
        (its exceptions propagate unchanged).
Anything else: TypeError or ValueError naming the argument.

Returns a new N' x 2 float64 array with the same first and last point.

Zero-length steps and interior points on a straight run are dropped first
(reversals stay).  The first and last segment need at least delta, every
inner one 2 * delta.  A short segment k is lengthened by sliding a
perpendicular neighbour parallel to itself: segment k+1 along segment k's
direction (not if k+1 is the last), else k-1 against it (not if k-1 is the
first); the segment beyond changes by the same amount.  A move is taken only
if the three changed segments are clear of the index (each tested in full),
the path stays axis-parallel, no segment vanishes or reverses, and one that
shrinks stays at or above its own minimum.  Segments are tried in path
order, passes repeat until nothing changes, and the result is simplified
again.  A single segment or an L never changes, delta == 0 only simplifies,
fewer than 2 points come back as they are (shape (n, 2)).  A clear route
stays clear; deterministic.)doc";

nb::object extend_short_segments_py(nb::handle points, nb::handle delta, nb::handle index) {
    const Path pts = to_path(points, "points");
    const double d = to_length(delta, "delta");

    PyObstacleIndex* native = nullptr;
    SegmentBlocked blocked;  // empty: nothing blocks
    nb::object method;
    if (nb::try_cast<PyObstacleIndex*>(index, native) && native) {
        const ObstacleIndex* idx = native->index.get();
        blocked = [idx](Point p, Point q) { return idx->blocked(p, q); };
    } else if (!index.is_none()) {
        if (!nb::hasattr(index, "blocked") || !PyCallable_Check(index.attr("blocked").ptr()))
            raise_type(std::string("index must be an _ObstacleIndex, None or an object with a method "
                                   "blocked(x1, y1, x2, y2), got ") +
                       nb::type_name(index.type()).c_str());
        method = index.attr("blocked");
        blocked = [&method](Point p, Point q) { return truth(method(p.x, p.y, q.x, q.y)); };
    }

    // The GIL stays held: the index keeps per-query scratch marks and may be
    // shared with other threads through its Python object.
    return path_to_array(extend_short_segments(pts, d, blocked));
}

}  // namespace

#include "graph_body.inc"

NB_MODULE(graph, m) {
    kelvane::py::share_engine_deadline();  // time budgets set in kelvane.engine reach this module

    // Its sequence and value behaviour: bindings/py/graph.py.
    nb::class_<PyObstacle>(m, "Obstacle", "Axis-aligned obstacle box (x_min, y_min, x_max, y_max).")
        .def("__init__",
             [](PyObstacle* self, nb::handle x_min, nb::handle y_min, nb::handle x_max, nb::handle y_max) {
                 const Box b{to_finite(x_min, "x_min"), to_finite(y_min, "y_min"), to_finite(x_max, "x_max"),
                             to_finite(y_max, "y_max")};
                 if (b.x0 > b.x1) raise_value("Obstacle: x_min > x_max");
                 if (b.y0 > b.y1) raise_value("Obstacle: y_min > y_max");
                 new (self) PyObstacle{b};
             },
             "x_min"_a.none(), "y_min"_a.none(), "x_max"_a.none(), "y_max"_a.none())
        .def_prop_ro("x_min", [](const PyObstacle& o) { return o.box.x0; })
        .def_prop_ro("y_min", [](const PyObstacle& o) { return o.box.y0; })
        .def_prop_ro("x_max", [](const PyObstacle& o) { return o.box.x1; })
        .def_prop_ro("y_max", [](const PyObstacle& o) { return o.box.y1; });

    nb::class_<PyObstacleIndex>(m, "_ObstacleIndex",
                                "Gridded index over boxes.  blocked(x1, y1, x2, y2): the axis-parallel\n"
                                "segment shares a stretch of positive length with a box, through its open\n"
                                "interior or along a side (also a seam where two boxes abut; a zero-width\n"
                                "box blocks a segment crossing it); a single point of contact is free.\n"
                                "dbu, when given, sets the contact tolerance to a thousandth of it (else 1e-9).")
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
    m.def("_extend_short_segments", &extend_short_segments_py, "points"_a.none(), "delta"_a.none(), "index"_a.none(),
          kExtendDoc);
    nb::module_ native = native_namespace("kelvane.manhattan_router.graph._native");
    native.def("rail_bridge_v2", &rail_bridge_py);
    def_native(native, "build_rail_bridge_graph", &build_graph_py);
    run_module_body(m, kGraphBody, native);
}
