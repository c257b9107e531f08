// Search arguments as the lattice search of the graph module reads them:
// g (a per-route graph or any object with adj, start, end and optionally
// start_dir / end_dir), turn_bias, blocked_passthrough, edge_pen,
// node_chords, cross_pen and turn_pen, converted into a SearchQuery on the
// lattice of g.adj.  Shared by graph._run_dijkstra and the negotiated
// router's own calls of the search.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "graph_types.hpp"
#include "kelvane/search.hpp"

namespace kelvane::py {

// A caller's adjacency (mapping node -> list of (neighbour, length)) as a
// lattice; `keys` receives the original node objects in id order.
inline std::shared_ptr<const Lattice> lattice_from_mapping(nb::handle adj, nb::list& keys) {
    std::vector<Point> nodes;
    std::vector<nb::object> lists;  // strong: converting may run code that changes adj
    PointIndex ids;
    for_each_item(adj, "g.adj", [&](nb::handle k, nb::handle v) {
        const Point p = to_point(k, [&] { return "g.adj key " + repr_of(k); });
        if (!ids.emplace(p, static_cast<std::uint32_t>(nodes.size())).second)
            raise_value("g.adj has the node " + point_str(p) + " twice");
        nodes.push_back(p);
        keys.append(k);
        lists.push_back(nb::borrow(v));
    });
    std::vector<std::uint32_t> offsets{0}, targets;
    std::vector<double> lengths;
    targets.reserve(4 * nodes.size());
    lengths.reserve(4 * nodes.size());
    for (size_t i = 0; i < nodes.size(); ++i) {
        auto where = [&] { return "g.adj[" + point_str(nodes[i]) + "]"; };
        nb::object seq = tuple_of(lists[i], where);
        const Py_ssize_t m = PyTuple_GET_SIZE(seq.ptr());
        for (Py_ssize_t j = 0; j < m; ++j) {
            nb::handle entry = PyTuple_GET_ITEM(seq.ptr(), j);
            nb::object pair = PyTuple_CheckExact(entry.ptr()) ? nb::borrow(entry) : tuple_of(entry, where);
            if (PyTuple_GET_SIZE(pair.ptr()) != 2)
                raise_value(where() + "[" + std::to_string(j) + "] must be a (neighbour, length) pair");
            const Point q = to_point(PyTuple_GET_ITEM(pair.ptr(), 0), [&] { return where() + "[" + std::to_string(j) + "][0]"; });
            auto it = ids.find(q);
            if (it == ids.end()) raise_value(where() + ": neighbour " + point_str(q) + " is not a node of g.adj");
            if (it->second == i) raise_value(where() + " lists the node itself as a neighbour");
            nb::handle len_h = PyTuple_GET_ITEM(pair.ptr(), 1);
            const double len = to_finite(len_h, [&] { return where() + " edge length"; });
            if (len < 0) raise_value(where() + ": edge length must be >= 0, got " + repr_of(len_h));
            targets.push_back(it->second);
            lengths.push_back(len);
        }
        offsets.push_back(static_cast<std::uint32_t>(targets.size()));
    }
    return std::make_shared<const Lattice>(build_lattice_from_csr(std::move(nodes), offsets, targets, lengths, std::move(ids)));
}

// obj.name; a missing attribute gives None, or when `required` a TypeError.
inline nb::object attr_of(nb::handle obj, const char* name, bool required = false) {
    PyObject* v = PyObject_GetAttrString(obj.ptr(), name);
    if (v) return nb::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    if (required)
        raise_type(std::string("g must have an attribute '") + name + "' (got " + nb::type_name(obj.type()).c_str() + ")");
    return nb::none();
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

struct SearchInput {
    std::shared_ptr<const Lattice> lattice;
    nb::object keys;  // original node objects of a caller's adjacency, or None
    SearchQuery q;
};

inline SearchInput search_input(nb::handle g, nb::handle turn_bias, nb::handle blocked_passthrough, nb::handle edge_pen,
                                nb::handle node_chords, nb::handle cross_pen, nb::handle turn_pen) {
    SearchInput in;
    SearchQuery& q = in.q;
    q.turn_bias = to_turn_bias(turn_bias);
    q.turn_pen = to_penalty(turn_pen, "turn_pen");
    q.cross_pen = to_penalty(cross_pen, "cross_pen");

    in.lattice = lattice_of(attr_of(g, "adj", true), in.keys);
    const Lattice& L = *in.lattice;

    const Point sp = to_point(attr_of(g, "start", true), "g.start");
    const long sid = L.find(sp);
    if (sid < 0) raise_value("g.start " + point_str(sp) + " is not a node of g.adj");
    q.start = static_cast<std::uint32_t>(sid);
    const Point ep = to_point(attr_of(g, "end", true), "g.end");
    q.end = L.find(ep);
    q.start_dir = to_heading(attr_of(g, "start_dir"), "g.start_dir", true);
    q.end_dir = to_heading(attr_of(g, "end_dir"), "g.end_dir", true);

    if (!blocked_passthrough.is_none()) {
        nb::object items = tuple_of(blocked_passthrough, "blocked_passthrough");
        for (nb::handle item : nb::borrow<nb::tuple>(items)) {
            nb::object pair = pair_of(item, "blocked_passthrough entry", "(node, direction)");
            const Point p = to_point(PyTuple_GET_ITEM(pair.ptr(), 0), "blocked_passthrough node");
            const int d = to_heading(PyTuple_GET_ITEM(pair.ptr(), 1), "blocked_passthrough direction", false);
            const long id = L.find(p);
            if (id >= 0) q.blocked_passthrough.emplace_back(static_cast<std::uint32_t>(id), static_cast<std::uint8_t>(d));
        }
    }

    if (!edge_pen.is_none()) {
        for_each_item(edge_pen, "edge_pen", [&](nb::handle k, nb::handle v) {
            nb::object pair = pair_of(k, "edge_pen key", "(node, node)");
            const Point pa = to_point(PyTuple_GET_ITEM(pair.ptr(), 0), "edge_pen key node");
            const Point pb = to_point(PyTuple_GET_ITEM(pair.ptr(), 1), "edge_pen key node");
            const double pen = to_double(v, "edge_pen value");
            if (!(pen >= 0)) raise_value("edge_pen values must be >= 0 (inf closes an edge), got " + repr_of(v));
            // Only the key _ekey itself makes: (lower node, higher node).
            if (pb < pa) return;
            const long ia = L.find(pa), ib = L.find(pb);
            if (ia < 0 || ib < 0) return;
            const long e = L.edge_between(static_cast<std::uint32_t>(ia), static_cast<std::uint32_t>(ib));
            if (e >= 0 && pen != 0.0) q.edge_pen.emplace_back(static_cast<std::uint32_t>(e), pen);
        });
    }

    if (!node_chords.is_none()) {
        for_each_item(node_chords, "node_chords", [&](nb::handle k, nb::handle v) {
            const Point p = to_point(k, "node_chords key");
            const long id = L.find(p);
            nb::object seq = tuple_of(v, [&] { return "node_chords[" + point_str(p) + "]"; });
            const Py_ssize_t m = PyTuple_GET_SIZE(seq.ptr());
            for (Py_ssize_t j = 0; j < m; ++j) {
                nb::object chord = pair_of(PyTuple_GET_ITEM(seq.ptr(), j), "node_chords chord", "(i0, i1)");
                const int i0 = to_heading(PyTuple_GET_ITEM(chord.ptr(), 0), "node_chords index", false);
                const int i1 = to_heading(PyTuple_GET_ITEM(chord.ptr(), 1), "node_chords index", false);
                if (id >= 0)
                    q.node_chords.push_back({static_cast<std::uint32_t>(id),
                                             {static_cast<std::uint8_t>(i0), static_cast<std::uint8_t>(i1)}});
            }
        });
    }
    return in;
}

}  // namespace kelvane::py
