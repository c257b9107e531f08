// graph: the explicit lattice as a read-only mapping (LatticeAdjacency),
// _line_lattice, and the direction and edge-key helpers (the direction
// tables and _interleaved_pos: bindings/py/graph.py).
#include <stdexcept>
#include <string>

#include "graph_types.hpp"

namespace kelvane::py {

namespace {

using namespace nb::literals;

struct PyNodeIter {
    std::shared_ptr<const Lattice> lattice;
    size_t next = 0;
};

nb::list neighbour_list(const Lattice& L, std::uint32_t n) {
    nb::list out;
    for (std::uint32_t k = L.offsets[n]; k < L.offsets[n + 1]; ++k)
        out.append(nb::make_tuple(point_tuple(L.nodes[L.neighbour[k]]), L.edge_length(n, k)));
    return out;
}

long adjacency_find(const PyLatticeAdjacency& a, nb::handle key) {
    Point p;
    if (!parse_point(key, p)) return -1;
    return a.lattice->find(p);
}

const char* const kAdjacencyDoc = R"doc(Read-only mapping node -> list of (neighbour node, length) over a lattice.

Nodes come back as (x, y) float tuples; keys are any 2-sequence of numbers,
compared exactly (KeyError for unknown ones).  adj[node] is a new list in the
lattice's neighbour order (line lattices: west, east, south, north, those
that exist), [] without edges; iteration, values() and items() go in node-id
order.  A collections.abc.Mapping, immutable: copies are the object itself.)doc";

}  // namespace

void bind_adjacency(nb::module_& m) {
    m.def(
        "_direction",
        [](nb::handle a, nb::handle b) {
            const Point p = to_point(a, "a"), q = to_point(b, "b");
            if (p == q)
                raise_value("_direction: a and b are the same point " + point_repr(p) + ", a step has no direction");
            return direction_of(p, q);
        },
        "a"_a.none(), "b"_a.none(),
        "Direction 0..3 (E, N, W, S) of the step a -> b along its dominant axis (ties count as vertical);\n"
        "ValueError when a and b are the same point.");

    m.def(
        "_ekey",
        [](nb::handle a, nb::handle b) {
            Point p = to_point(a, "a"), q = to_point(b, "b");
            if (q < p) std::swap(p, q);
            return nb::make_tuple(point_tuple(p), point_tuple(q));
        },
        "a"_a.none(), "b"_a.none(),
        "Edge key of the edge a-b, the same both ways: (min(a, b), max(a, b)) as float tuples.");

    nb::class_<PyNodeIter>(m, "_LatticeNodeIterator")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](PyNodeIter& it) {
            if (it.next >= it.lattice->size()) throw nb::stop_iteration();
            return point_tuple(it.lattice->nodes[it.next++]);
        });

    nb::class_<PyLatticeAdjacency>(m, "LatticeAdjacency", kAdjacencyDoc)
        .def("__getitem__",
             [](const PyLatticeAdjacency& a, nb::handle key) {
                 const long id = adjacency_find(a, key);
                 if (id < 0) throw nb::key_error(repr_of(key).c_str());
                 return neighbour_list(*a.lattice, static_cast<std::uint32_t>(id));
             },
             "key"_a.none())
        .def("__contains__", [](const PyLatticeAdjacency& a, nb::handle key) { return adjacency_find(a, key) >= 0; },
             "key"_a.none())
        .def("__len__", [](const PyLatticeAdjacency& a) { return a.lattice->size(); })
        .def("__iter__", [](const PyLatticeAdjacency& a) { return PyNodeIter{a.lattice, 0}; })
        .def("__repr__", [](const PyLatticeAdjacency& a) {
            return "LatticeAdjacency(" + std::to_string(a.lattice->size()) + " nodes, " +
                   std::to_string(a.lattice->num_edges) + " edges)";
        });

    m.def(
        "_line_lattice",
        [](nb::handle xs, nb::handle ys, nb::handle obstacles, nb::handle extra) {
            auto numbers = [](nb::handle seq, const std::string& what) {
                std::vector<double> v;
                for (nb::handle x : nb::borrow<nb::tuple>(tuple_of(seq, what)))
                    v.push_back(to_finite(x, [&] { return indexed(what, v.size()); }));
                return v;
            };
            const std::vector<double> vx = numbers(xs, "xs"), vy = numbers(ys, "ys");
            std::vector<Point> ex;
            if (!extra.is_none()) ex = to_path(extra, "extra");
            ObstacleIndex index(to_boxes(obstacles, "obstacles"), 0.0);
            return PyLatticeAdjacency{std::make_shared<const Lattice>(build_line_lattice(vx, vy, ex, index))};
        },
        "xs"_a.none(), "ys"_a.none(), "obstacles"_a.none() = nb::none(), "extra"_a.none() = nb::none(),
        "Small utility: the line lattice over vertical lines xs and horizontal lines ys (every crossing\n"
        "is a node, plus the `extra` points), neighbours along a line joined unless _ObstacleIndex(obstacles)\n"
        "blocks the segment, as a LatticeAdjacency.  Node order: rows from the lowest y, each from the\n"
        "lowest x, then the extra points.  ValueError above 4e6 nodes.");
}

}  // namespace kelvane::py
