// The lattice of a search's g.adj: a LatticeAdjacency's own, or a caller's
// mapping converted.  Shared by graph._run_dijkstra and the negotiated
// router's own calls of the search.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "graph_types.hpp"
#include "kelvane/search_query.hpp"

namespace kelvane::py {

// A caller's adjacency (mapping node -> list of (neighbour, length)) as a
// lattice; `keys` receives the original node objects in id order.
inline std::shared_ptr<const Lattice> lattice_from_mapping(nb::handle adj, nb::list& keys) {
    std::vector<Point> nodes;
    std::vector<nb::object> lists;  // strong: converting may run code that changes adj
    for_each_item(adj, "g.adj", [&](nb::handle k, nb::handle v) {
        nodes.push_back(to_point(k, [&] { return "g.adj key " + repr_of(k); }));
        keys.append(k);
        lists.push_back(nb::borrow(v));
    });
    std::vector<std::uint32_t> offsets{0};
    std::vector<Point> targets;
    std::vector<double> lengths;
    for (size_t i = 0; i < nodes.size(); ++i) {
        auto where = [&] { return "g.adj[" + point_str(nodes[i]) + "]"; };
        nb::object seq = tuple_of(lists[i], where);
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(seq.ptr()); ++j) {
            nb::handle entry = PyTuple_GET_ITEM(seq.ptr(), j);
            nb::object pair = PyTuple_CheckExact(entry.ptr()) ? nb::borrow(entry) : tuple_of(entry, where);
            if (PyTuple_GET_SIZE(pair.ptr()) != 2)
                raise_value(where() + "[" + std::to_string(j) + "] must be a (neighbour, length) pair");
            targets.push_back(
                to_point(PyTuple_GET_ITEM(pair.ptr(), 0), [&] { return where() + "[" + std::to_string(j) + "][0]"; }));
            lengths.push_back(to_finite(PyTuple_GET_ITEM(pair.ptr(), 1), [&] { return where() + " edge length"; }));
        }
        offsets.push_back(static_cast<std::uint32_t>(targets.size()));
    }
    return std::make_shared<const Lattice>(lattice_from_points(std::move(nodes), offsets, targets, lengths, "g.adj"));
}

// The lattice of an adjacency: a LatticeAdjacency's own, or a caller's
// mapping converted (then `keys` receives its node objects in id order;
// None otherwise).
inline std::shared_ptr<const Lattice> lattice_of(nb::handle adj, nb::object& keys) {
    PyLatticeAdjacency* native = nullptr;
    if (nb::try_cast<PyLatticeAdjacency*>(adj, native) && native && native->lattice) {
        keys = nb::none();
        return native->lattice;
    }
    nb::list k;
    auto lattice = lattice_from_mapping(adj, k);
    keys = k;
    return lattice;
}

}  // namespace kelvane::py
