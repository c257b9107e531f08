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
    const Py_ssize_t hint = PyObject_Length(adj.ptr());
    if (hint < 0) PyErr_Clear();
    if (hint > 0) {
        nodes.reserve(static_cast<size_t>(hint));
        lists.reserve(static_cast<size_t>(hint));
        ids.reserve(static_cast<size_t>(hint));
    }
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
        nb::object seq = tuple_of(lists[i], where());
        const Py_ssize_t m = PyTuple_GET_SIZE(seq.ptr());
        for (Py_ssize_t j = 0; j < m; ++j) {
            nb::handle entry(PyTuple_GET_ITEM(seq.ptr(), j));
            nb::handle nb_h, len_h;
            nb::object keep;
            if (!split_pair(entry, keep, nb_h, len_h, [&] { return where() + "[" + std::to_string(j) + "]"; }))
                raise_value(where() + "[" + std::to_string(j) + "] must be a (neighbour, length) pair");
            const Point q = to_point(nb_h, [&] { return where() + "[" + std::to_string(j) + "][0]"; });
            auto it = ids.find(q);
            if (it == ids.end()) raise_value(where() + ": neighbour " + point_str(q) + " is not a node of g.adj");
            if (it->second == i) raise_value(where() + " lists the node itself as a neighbour");
            double len;
            if (PyFloat_CheckExact(len_h.ptr())) {
                len = PyFloat_AS_DOUBLE(len_h.ptr());
                if (!std::isfinite(len)) raise_value(where() + ": edge length must be finite");
            } else {
                len = to_finite(len_h, (where() + " edge length").c_str());
            }
            if (len < 0) raise_value(where() + ": edge length must be >= 0, got " + repr_of(len_h));
            targets.push_back(it->second);
            lengths.push_back(len);
        }
        offsets.push_back(static_cast<std::uint32_t>(targets.size()));
    }
    return std::make_shared<const Lattice>(build_lattice_from_csr(std::move(nodes), offsets, targets, lengths, std::move(ids)));
}

inline nb::object getattr_or_none(nb::handle obj, const char* name) {
    PyObject* v = PyObject_GetAttrString(obj.ptr(), name);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return nb::none();
    }
    return nb::steal(v);
}

inline nb::object required_attr(nb::handle obj, const char* name) {
    PyObject* v = PyObject_GetAttrString(obj.ptr(), name);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        raise_type(std::string("g must have an attribute '") + name + "' (got " + nb::type_name(obj.type()).c_str() +
                   ")");
    }
    return nb::steal(v);
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

// A node of the lattice as the caller's adjacency names it: the original
// key object, or a new (x, y) tuple.
inline nb::object node_object(const Lattice& L, const nb::object& keys, std::uint32_t node) {
    if (keys.is_valid() && !keys.is_none()) return nb::borrow(PyList_GET_ITEM(keys.ptr(), static_cast<Py_ssize_t>(node)));
    return point_tuple(L.nodes[node]);
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

    in.lattice = lattice_of(required_attr(g, "adj"), in.keys);
    const Lattice& L = *in.lattice;

    const Point sp = to_point(required_attr(g, "start"), "g.start");
    const long sid = L.find(sp);
    if (sid < 0) raise_value("g.start " + point_str(sp) + " is not a node of g.adj");
    q.start = static_cast<std::uint32_t>(sid);
    const Point ep = to_point(required_attr(g, "end"), "g.end");
    q.end = L.find(ep);
    q.start_dir = to_heading(getattr_or_none(g, "start_dir"), "g.start_dir", true);
    q.end_dir = to_heading(getattr_or_none(g, "end_dir"), "g.end_dir", true);

    if (!blocked_passthrough.is_none()) {
        nb::object it = nb::steal(PyObject_GetIter(blocked_passthrough.ptr()));
        if (!it.is_valid()) {
            PyErr_Clear();
            raise_type(std::string("blocked_passthrough must be a set of (node, direction) pairs, got ") +
                       nb::type_name(blocked_passthrough.type()).c_str());
        }
        while (PyObject* raw = PyIter_Next(it.ptr())) {
            nb::object item = nb::steal(raw);
            nb::object seq = tuple_of(item, "blocked_passthrough entry " + repr_of(item));
            if (PyTuple_GET_SIZE(seq.ptr()) != 2)
                raise_type("blocked_passthrough entries must be (node, direction) pairs, got " + repr_of(item));
            const Point p = to_point(PyTuple_GET_ITEM(seq.ptr(), 0), "blocked_passthrough node");
            const int d = to_heading(PyTuple_GET_ITEM(seq.ptr(), 1), "blocked_passthrough direction", false);
            const long id = L.find(p);
            if (id >= 0) q.blocked_passthrough.emplace_back(static_cast<std::uint32_t>(id), static_cast<std::uint8_t>(d));
        }
        if (PyErr_Occurred()) throw nb::python_error();
    }

    if (!edge_pen.is_none()) {
        for_each_item(edge_pen, "edge_pen", [&](nb::handle k, nb::handle v) {
            nb::handle a, b;
            nb::object keep;
            if (!split_pair(k, keep, a, b, [&] { return "edge_pen key " + repr_of(k); }))
                raise_type("edge_pen keys must be edge keys (node, node), got " + repr_of(k));
            const Point pa = to_point(a, "edge_pen key node"), pb = to_point(b, "edge_pen key node");
            double pen;
            if (PyFloat_CheckExact(v.ptr())) pen = PyFloat_AS_DOUBLE(v.ptr());
            else pen = to_double(v, "edge_pen value");
            if (!(pen >= 0)) raise_value("edge_pen values must be >= 0 (inf closes an edge), got " + repr_of(v));
            // Only the key _ekey itself makes: (lower node, higher node).
            if (pa.x > pb.x || (pa.x == pb.x && pa.y > pb.y)) return;
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
            nb::object seq = tuple_of(v, "node_chords[" + point_str(p) + "]");
            const Py_ssize_t m = PyTuple_GET_SIZE(seq.ptr());
            for (Py_ssize_t j = 0; j < m; ++j) {
                nb::handle c(PyTuple_GET_ITEM(seq.ptr(), j));
                nb::object cs = tuple_of(c, "node_chords chord " + repr_of(c));
                if (PyTuple_GET_SIZE(cs.ptr()) != 2)
                    raise_type("node_chords chords must be (i0, i1) pairs, got " + repr_of(c));
                const int i0 = to_heading(PyTuple_GET_ITEM(cs.ptr(), 0), "node_chords index", false);
                const int i1 = to_heading(PyTuple_GET_ITEM(cs.ptr(), 1), "node_chords index", false);
                if (id >= 0)
                    q.node_chords.push_back({static_cast<std::uint32_t>(id),
                                             {static_cast<std::uint8_t>(i0), static_cast<std::uint8_t>(i1)}});
            }
        });
    }
    return in;
}

}  // namespace kelvane::py
