// graph: the lattice search (_run_dijkstra, _select_end_state,
// _reconstruct_path) over a LatticeAdjacency or a caller's mapping.
#include <stdexcept>
#include <string>
#include <vector>

#include "graph_types.hpp"
#include "kelvane/search.hpp"

namespace kelvane::py {

namespace {

using namespace nb::literals;

// ------------------------------------------------------------ search results

// A search's lattice, node objects and query, with the workspace that holds
// its states.
struct SearchResult {
    std::shared_ptr<const Lattice> lattice;
    nb::object keys;  // original node objects of a caller's adjacency, or None
    SearchQuery q;
    std::shared_ptr<SearchWorkspace> ws = pooled_workspace();
};

// The result objects of _run_dijkstra: views of one search.
template <int Kind>
struct PySearchView {
    std::shared_ptr<SearchResult> r;
};
using PySearchDist = PySearchView<0>;
using PySearchPrev = PySearchView<1>;

// obj.name; a missing attribute gives None, or when `required` a TypeError.
nb::object attr_of(nb::handle obj, const char* name, bool required = false) {
    PyObject* v = PyObject_GetAttrString(obj.ptr(), name);
    if (v) return nb::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    if (required)
        raise_type(std::string("g must have an attribute '") + name + "' (got " + nb::type_name(obj.type()).c_str() +
                   ")");
    return nb::none();
}

// A node as the caller's adjacency names it: the original key object, or a
// new (x, y) tuple.
nb::object node_object(const SearchResult& r, std::uint32_t node) {
    if (!r.keys.is_none()) return nb::borrow(PyList_GET_ITEM(r.keys.ptr(), static_cast<Py_ssize_t>(node)));
    return point_tuple(r.lattice->nodes[node]);
}

nb::object state_object(const SearchResult& r, std::uint32_t s) {
    const int h = r.ws->heading_of(s);
    return nb::make_tuple(node_object(r, r.ws->node_of(s)),
                          h == kNoDir ? nb::object(nb::none()) : nb::object(nb::int_(h)));
}

// (node, heading) -> state id.  Strict: TypeError / ValueError naming `what`
// for anything that names no state; else kNoState, as a failed look-up.
std::uint32_t state_from_key(const SearchResult& r, nb::handle key, const char* what, bool strict) {
    try {
        if (PyUnicode_Check(key.ptr()))
            raise_type(std::string(what) + " must be a (node, direction) pair, got " + repr_of(key));
        nb::object pair = pair_of(key, what, "(node, direction)");
        const Point p = to_point(PyTuple_GET_ITEM(pair.ptr(), 0), [&] { return std::string(what) + "[0]"; });
        const long id = r.lattice->find(p);
        if (id < 0) raise_value(std::string(what) + ": node " + point_repr(p) + " is not a node of the lattice");
        const int h = to_heading(PyTuple_GET_ITEM(pair.ptr(), 1), [&] { return std::string(what) + "[1]"; }, true);
        return r.ws->state(static_cast<std::uint32_t>(id), h);
    } catch (const std::exception&) {
        if (strict) throw;
        PyErr_Clear();
        return kNoState;
    }
}

// The state a key names, reached by the search; KeyError otherwise.
std::uint32_t reached_state(const SearchResult& r, nb::handle key) {
    const std::uint32_t s = state_from_key(r, key, "key", false);
    if (s == kNoState || !r.ws->reached(s)) throw nb::key_error(repr_of(key).c_str());
    return s;
}

// The search behind a result object of _run_dijkstra; TypeError otherwise.
template <class View>
const SearchResult& result_of(nb::handle obj, const char* what) {
    View* v = nullptr;
    if (!nb::try_cast<View*>(obj, v) || !v || !v->r)
        raise_type(std::string(what) + " of _run_dijkstra, got " + nb::type_name(obj.type()).c_str());
    return *v->r;
}

const char* const kRunDoc = R"doc(Lattice search from g.start over (node, arriving direction) states: (dist, prev).

g: any object with adj (a LatticeAdjacency as it is, or any mapping node ->
   list of (neighbour, length), converted once per call), start, end and
   optionally start_dir / end_dir (direction 0..3; None or absent: free), the
   heading leaving g.start / arriving at g.end.
turn_bias: as for rail_bridge_v2, or None: a tiny tie-break cost per turn.
blocked_passthrough: (node, direction) pairs: arriving at node heading
   direction and leaving the same way is not allowed.
edge_pen: mapping _ekey(n, m) -> added cost >= 0 (inf closes the edge); keys
   that are not edge keys of adj are ignored.
node_chords: mapping node -> list of chords (i0, i1) of other routes there.
   Passing a node on a chord that crosses one of them or kisses it at a corner
   (shares no side) costs cross_pen per such chord; chords sharing a side
   share an edge, which edge_pen prices.  Never at the start or end node.
turn_pen: cost of every change of direction.

A step never reverses.  A* towards g.end with a consistent bound,
deterministic ties; the search may stop once no state can beat the best end
state, so dist and prev are for _select_end_state and _reconstruct_path with
the same g.  dist[(node, direction)] -> cost (KeyError if not reached; the
start without heading is (start, None)), len(dist), dist.states_expanded.

TypeError/ValueError for a bad g (g.start not a node of g.adj, malformed
adjacency, non-finite coordinates), a negative, non-finite or malformed
penalty, or a bad turn_bias.)doc";

nb::tuple run_dijkstra(nb::handle g, nb::handle turn_bias, nb::handle blocked_passthrough, nb::handle edge_pen,
                       nb::handle node_chords, nb::handle cross_pen, nb::handle turn_pen) {
    auto res = std::make_shared<SearchResult>();
    SearchQuery& q = res->q;
    q.turn_bias = to_turn_bias(turn_bias);
    q.turn_pen = to_penalty(turn_pen, "turn_pen");
    q.cross_pen = to_penalty(cross_pen, "cross_pen");
    res->lattice = lattice_of(attr_of(g, "adj", true), res->keys);
    const Lattice& L = *res->lattice;
    const Point sp = to_point(attr_of(g, "start", true), "g.start");
    const long sid = L.find(sp);
    if (sid < 0) raise_value("g.start " + point_repr(sp) + " is not a node of g.adj");
    q.start = static_cast<std::uint32_t>(sid);
    q.end = L.find(to_point(attr_of(g, "end", true), "g.end"));
    q.start_dir = to_heading(attr_of(g, "start_dir"), "g.start_dir", true);
    q.end_dir = to_heading(attr_of(g, "end_dir"), "g.end_dir", true);
    if (!blocked_passthrough.is_none()) {
        for (nb::handle item : nb::borrow<nb::tuple>(tuple_of(blocked_passthrough, "blocked_passthrough"))) {
            nb::object pair = pair_of(item, "blocked_passthrough entry", "(node, direction)");
            const Point p = to_point(PyTuple_GET_ITEM(pair.ptr(), 0), "blocked_passthrough node");
            const int d = to_heading(PyTuple_GET_ITEM(pair.ptr(), 1), "blocked_passthrough direction", false);
            add_blocked_passthrough(q, L, p, d);
        }
    }
    if (!edge_pen.is_none()) {
        for_each_item(edge_pen, "edge_pen", [&](nb::handle k, nb::handle v) {
            nb::object pair = pair_of(k, "edge_pen key", "(node, node)");
            const Point a = to_point(PyTuple_GET_ITEM(pair.ptr(), 0), "edge_pen key node");
            const Point b = to_point(PyTuple_GET_ITEM(pair.ptr(), 1), "edge_pen key node");
            add_edge_pen(q, L, a, b, to_double(v, "edge_pen value"));
        });
    }
    if (!node_chords.is_none()) {
        for_each_item(node_chords, "node_chords", [&](nb::handle k, nb::handle v) {
            const Point p = to_point(k, "node_chords key");
            nb::object seq = tuple_of(v, [&] { return "node_chords[" + point_repr(p) + "]"; });
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(seq.ptr()); ++j) {
                nb::object chord = pair_of(PyTuple_GET_ITEM(seq.ptr(), j), "node_chords chord", "(i0, i1)");
                const int i0 = to_heading(PyTuple_GET_ITEM(chord.ptr(), 0), "node_chords index", false);
                add_node_chord(q, L, p, i0, to_heading(PyTuple_GET_ITEM(chord.ptr(), 1), "node_chords index", false));
            }
        });
    }
    without_gil([&] { res->ws->run(L, q); });
    return nb::make_tuple(nb::cast(PySearchDist{res}), nb::cast(PySearchPrev{res}));
}

const char* const kSelectDoc = R"doc(Best reached state at g.end, as (node, direction), or None.

With g.end_dir, the state (g.end, g.end_dir); without, the cheapest reached
state at g.end (ties in the order E, N, W, S).  None when g.end is not a node
or was not reached.  turn_bias and turn_pen change nothing here.  ValueError
for a dist whose search had another g.end or end_dir (see _run_dijkstra).)doc";

nb::object select_end_state(nb::handle g, nb::handle dist, nb::handle turn_bias, nb::handle turn_pen) {
    const SearchResult& r = result_of<PySearchDist>(dist, "dist must be the first result");
    to_turn_bias(turn_bias);
    to_penalty(turn_pen, "turn_pen");
    const Point ep = to_point(attr_of(g, "end", true), "g.end");
    const int end_dir = to_heading(attr_of(g, "end_dir"), "g.end_dir", true);
    const long end = r.lattice->find(ep);
    if (!r.ws->exact_for(end, end_dir))
        raise_value("dist comes from a search that stopped early for another end or end_dir; call "
                    "_select_end_state with the g given to _run_dijkstra");
    if (end < 0) return nb::none();
    const std::uint32_t s = r.ws->select_end(static_cast<std::uint32_t>(end), end_dir);
    if (s == kNoState) return nb::none();
    return state_object(r, s);
}

const char* const kReconstructDoc = R"doc(Node path from start to the node of state best.

A list of nodes, consecutive ones neighbours in g.adj; best is a reached
(node, direction) state (e.g. from _select_end_state), start the search's
g.start.  ValueError / TypeError for anything else.)doc";

nb::list reconstruct_path(nb::handle prev, nb::handle best, nb::handle start) {
    const SearchResult& r = result_of<PySearchPrev>(prev, "prev must be the second result");
    if (best.is_none()) raise_value("best is None: the end was not reached");
    const std::uint32_t s = state_from_key(r, best, "best", true);
    if (s == kNoState || !r.ws->reached(s))
        raise_value("best " + repr_of(best) + " is not a state reached by the search");
    const Point sp = to_point(start, "start");
    const Point searched = r.lattice->nodes[r.ws->start()];
    if (sp != searched)
        raise_value("start " + point_repr(sp) + " is not the start of the search " + point_repr(searched));
    nb::list out;
    for (std::uint32_t n : r.ws->path_to(s)) out.append(node_object(r, n));
    return out;
}

}  // namespace

void bind_search(nb::module_& m) {
    nb::class_<PySearchDist>(m, "_SearchDist", "Costs of the states reached by _run_dijkstra (read-only).")
        .def("__getitem__",
             [](const PySearchDist& d, nb::handle key) { return d.r->ws->dist(reached_state(*d.r, key)); },
             "key"_a.none())
        .def("__contains__",
             [](const PySearchDist& d, nb::handle key) {
                 return d.r->ws->reached(state_from_key(*d.r, key, "key", false));  // kNoState is never reached
             },
             "key"_a.none())
        .def("__len__", [](const PySearchDist& d) { return d.r->ws->stats().reached; })
        .def_prop_ro("states_expanded", [](const PySearchDist& d) { return d.r->ws->stats().expanded; })
        .def_prop_ro("stopped_early", [](const PySearchDist& d) { return d.r->ws->stats().stopped_early; })
        .def("__repr__", [](const PySearchDist& d) {
            const auto& st = d.r->ws->stats();
            return "_SearchDist(nodes=" + std::to_string(d.r->lattice->size()) + ", reached=" +
                   std::to_string(st.reached) + ", expanded=" + std::to_string(st.expanded) +
                   ", stopped_early=" + (st.stopped_early ? "True" : "False") + ")";
        });

    nb::class_<PySearchPrev>(m, "_SearchPrev", "Predecessor states of the search of _run_dijkstra (read-only).")
        .def("__getitem__",
             [](const PySearchPrev& p, nb::handle key) -> nb::object {
                 const std::uint32_t q = p.r->ws->prev(reached_state(*p.r, key));
                 if (q == kNoState) return nb::none();
                 return state_object(*p.r, q);
             },
             "key"_a.none())
        .def("__len__", [](const PySearchPrev& p) { return p.r->ws->stats().reached; })
        .def("__repr__", [](const PySearchPrev& p) {
            return "_SearchPrev(start=" + point_repr(p.r->lattice->nodes[p.r->ws->start()]) + ", reached=" +
                   std::to_string(p.r->ws->stats().reached) + ")";
        });

    m.def("_run_dijkstra", &run_dijkstra, "g"_a.none(), "turn_bias"_a.none(), "blocked_passthrough"_a.none(),
          "edge_pen"_a.none() = nb::none(), "node_chords"_a.none() = nb::none(), "cross_pen"_a.none() = 0.0,
          "turn_pen"_a.none() = 0.0, kRunDoc);
    m.def("_select_end_state", &select_end_state, "g"_a.none(), "dist"_a.none(), "turn_bias"_a.none(),
          "turn_pen"_a.none() = 0.0, kSelectDoc);
    m.def("_reconstruct_path", &reconstruct_path, "prev"_a.none(), "best"_a.none(), "start"_a.none(), kReconstructDoc);
}
}  // namespace kelvane::py
