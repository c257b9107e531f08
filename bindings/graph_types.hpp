// Native types of the graph module shared by its binding parts (graph.cpp
// and its graph_*.cpp parts), and the lattice of a search's g.adj, which the
// negotiated router's own searches read too.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "convert.hpp"
#include "kelvane/lattice.hpp"
#include "kelvane/obstacles.hpp"
#include "kelvane/search_query.hpp"

namespace kelvane::py {

// Python `_ObstacleIndex`: owns the core index.
struct PyObstacleIndex {
    std::shared_ptr<const ObstacleIndex> index;
};

// Python `Obstacle`: four float attributes.
struct PyObstacle {
    Box box;
};

// Python `LatticeAdjacency`: a read-only mapping over a core lattice.
struct PyLatticeAdjacency {
    std::shared_ptr<const Lattice> lattice;
};

// Registers the adjacency mapping, _line_lattice and the direction and
// edge-key helpers (graph_adjacency.cpp).
void bind_adjacency(nb::module_& m);

// Registers _run_dijkstra, _select_end_state and _reconstruct_path
// (graph_search.cpp).
void bind_search(nb::module_& m);

// The lattice of an adjacency: a LatticeAdjacency's own (`keys` becomes
// None), or a caller's mapping node -> list of (neighbour, length) converted
// (`keys` receives its node objects in id order).
inline std::shared_ptr<const Lattice> lattice_of(nb::handle adj, nb::object& keys) {
    PyLatticeAdjacency* native = nullptr;
    if (nb::try_cast<PyLatticeAdjacency*>(adj, native) && native && native->lattice) {
        keys = nb::none();
        return native->lattice;
    }
    nb::list key_list;
    std::vector<Point> nodes;
    std::vector<nb::object> lists;  // strong: converting may run code that changes adj
    for_each_item(adj, "g.adj", [&](nb::handle k, nb::handle v) {
        nodes.push_back(to_point(k, [&] { return "g.adj key " + repr_of(k); }));
        key_list.append(k);
        lists.push_back(nb::borrow(v));
    });
    std::vector<std::uint32_t> offsets{0};
    std::vector<Point> targets;
    std::vector<double> lengths;
    for (size_t i = 0; i < nodes.size(); ++i) {
        auto where = [&] { return "g.adj[" + point_repr(nodes[i]) + "]"; };
        nb::object seq = tuple_of(lists[i], where);
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(seq.ptr()); ++j) {
            nb::handle entry = PyTuple_GET_ITEM(seq.ptr(), j);
            nb::object pair = PyTuple_CheckExact(entry.ptr()) ? nb::borrow(entry) : tuple_of(entry, where);
            if (PyTuple_GET_SIZE(pair.ptr()) != 2)
                raise_value(indexed(where(), j) + " must be a (neighbour, length) pair");
            targets.push_back(to_point(PyTuple_GET_ITEM(pair.ptr(), 0), [&] { return indexed(where(), j) + "[0]"; }));
            lengths.push_back(to_finite(PyTuple_GET_ITEM(pair.ptr(), 1), [&] { return where() + " edge length"; }));
        }
        offsets.push_back(static_cast<std::uint32_t>(targets.size()));
    }
    keys = key_list;
    return std::make_shared<const Lattice>(lattice_from_points(std::move(nodes), offsets, targets, lengths, "g.adj"));
}

}  // namespace kelvane::py
