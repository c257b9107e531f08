// graph: the explicit lattice as a read-only mapping, the lattice search
// (_run_dijkstra, _select_end_state, _reconstruct_path) and the direction and
// edge-key helpers.
#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

#include <nanobind/stl/string.h>

#include "graph_types.hpp"
#include "kelvane/search.hpp"

namespace kelvane::py {

namespace {

using namespace nb::literals;

// ---------------------------------------------------------------- helpers

std::string repr_of(nb::handle h) {
    PyObject* r = PyObject_Repr(h.ptr());
    if (!r) {
        PyErr_Clear();
        return "<unprintable>";
    }
    nb::object o = nb::steal(r);
    return nb::cast<std::string>(o);
}

std::string point_str(Point p) { return repr_of(point_tuple(p)); }

// Error messages name what was wrong; hot paths pass a lambda so that the
// text (often with a repr) is only built when an error is raised.
inline std::string msg(const char* s) { return s; }
inline std::string msg(const std::string& s) { return s; }
template <class F, class = decltype(std::declval<F>()())>
std::string msg(const F& f) { return f(); }

// Node conversion for look-ups: a 2-sequence of real numbers.  Returns false
// (no exception) for anything else, as a failed dict look-up would.
bool parse_point(nb::handle h, Point& out) {
    PyObject* o = h.ptr();
    if (PyTuple_Check(o) && PyTuple_GET_SIZE(o) == 2) {
        PyObject *a = PyTuple_GET_ITEM(o, 0), *b = PyTuple_GET_ITEM(o, 1);
        if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
            out = {PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b)};
            return true;
        }
    }
    if (PyUnicode_Check(o) || PyBytes_Check(o)) return false;
    PyObject* seq = PySequence_Fast(o, "");
    if (!seq) {
        PyErr_Clear();
        return false;
    }
    nb::object keep = nb::steal(seq);
    if (PySequence_Fast_GET_SIZE(seq) != 2) return false;
    double v[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq, i);
        if (PyFloat_CheckExact(item)) {
            v[i] = PyFloat_AS_DOUBLE(item);
            continue;
        }
        if (!PyNumber_Check(item) || PyUnicode_Check(item)) return false;
        v[i] = PyFloat_AsDouble(item);
        if (v[i] == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    }
    out = {v[0], v[1]};
    return true;
}

// Strict node conversion: TypeError / ValueError naming `what`.
template <class W>
Point node_point(nb::handle h, const W& what) {
    PyObject* o = h.ptr();
    if (PyTuple_Check(o) && PyTuple_GET_SIZE(o) == 2) {
        PyObject *a = PyTuple_GET_ITEM(o, 0), *b = PyTuple_GET_ITEM(o, 1);
        if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
            const Point p{PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b)};
            if (std::isfinite(p.x) && std::isfinite(p.y)) return p;
        }
    }
    return to_point(h, msg(what).c_str());
}

// A heading: None (when allowed) or an integer 0..3.
template <class W>
int to_heading(nb::handle h, const W& what, bool allow_none) {
    if (PyLong_CheckExact(h.ptr())) {
        const long v = PyLong_AsLong(h.ptr());
        if (v >= 0 && v <= 3) return static_cast<int>(v);
        if (v == -1 && PyErr_Occurred()) PyErr_Clear();
        raise_value(msg(what) + " must be a direction 0..3 (E, N, W, S), got " + repr_of(h));
    }
    if (h.is_none()) {
        if (allow_none) return kNoDir;
        raise_type(msg(what) + " must be a direction 0..3, got None");
    }
    PyObject* idx = PyNumber_Index(h.ptr());
    if (!idx) {
        PyErr_Clear();
        raise_type(msg(what) + " must be a direction (int 0..3" + (allow_none ? " or None" : "") + "), got " +
                   nb::type_name(h.type()).c_str());
    }
    const long v = PyLong_AsLong(idx);
    Py_DECREF(idx);
    if (v == -1 && PyErr_Occurred()) PyErr_Clear();
    if (v < 0 || v > 3) raise_value(msg(what) + " must be a direction 0..3 (E, N, W, S), got " + repr_of(h));
    return static_cast<int>(v);
}

double to_penalty(nb::handle h, const char* what) {
    const double v = to_finite(h, what);
    if (v < 0) raise_value(std::string(what) + " must be >= 0, got " + repr_of(h));
    return v;
}

// Calls fn(key, value) for every entry of a dict or of any mapping (items()).
template <class Fn>
void for_each_item(nb::handle mapping, const char* what, Fn&& fn) {
    if (PyDict_Check(mapping.ptr())) {
        PyObject *k, *v;
        Py_ssize_t pos = 0;
        while (PyDict_Next(mapping.ptr(), &pos, &k, &v)) fn(nb::handle(k), nb::handle(v));
        return;
    }
    if (!nb::hasattr(mapping, "items"))
        raise_type(std::string(what) + " must be a mapping, got " + nb::type_name(mapping.type()).c_str());
    nb::object items = mapping.attr("items")();
    nb::object it = nb::steal(PyObject_GetIter(items.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object pair = nb::steal(raw);
        PyObject* seq = PySequence_Fast(raw, "");
        if (!seq || PySequence_Fast_GET_SIZE(seq) != 2) {
            Py_XDECREF(seq);
            PyErr_Clear();
            raise_type(std::string(what) + ".items() must yield (key, value) pairs");
        }
        nb::object keep = nb::steal(seq);
        fn(nb::handle(PySequence_Fast_GET_ITEM(seq, 0)), nb::handle(PySequence_Fast_GET_ITEM(seq, 1)));
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

// Fast-sequence view of `obj` (list or tuple without copy), TypeError otherwise.
template <class W>
nb::object fast_seq(nb::handle obj, const W& what) {
    if (PyList_CheckExact(obj.ptr()) || PyTuple_CheckExact(obj.ptr())) return nb::borrow(obj);
    PyObject* seq = PySequence_Fast(obj.ptr(), "");
    if (!seq) {
        PyErr_Clear();
        raise_type(msg(what) + " must be a sequence, got " + nb::type_name(obj.type()).c_str());
    }
    return nb::steal(seq);
}

// Splits a 2-item value (tuple fast path, else any sequence) into its items;
// false when it is not a pair.  `keep` holds the sequence view alive.
template <class W>
bool split_pair(nb::handle obj, nb::object& keep, nb::handle& first, nb::handle& second, const W& what) {
    PyObject* o = obj.ptr();
    if (PyTuple_Check(o) && PyTuple_GET_SIZE(o) == 2) {
        first = PyTuple_GET_ITEM(o, 0);
        second = PyTuple_GET_ITEM(o, 1);
        return true;
    }
    keep = fast_seq(obj, what);
    if (PySequence_Fast_GET_SIZE(keep.ptr()) != 2) return false;
    first = PySequence_Fast_GET_ITEM(keep.ptr(), 0);
    second = PySequence_Fast_GET_ITEM(keep.ptr(), 1);
    return true;
}

// ------------------------------------------------------ adjacency mapping

struct PyLatticeAdjacency {
    std::shared_ptr<const Lattice> lattice;
};

struct PyNodeIter {
    std::shared_ptr<const Lattice> lattice;
    size_t next = 0;
};

nb::list neighbour_list(const Lattice& L, std::uint32_t n) {
    nb::list out;
    for (std::uint32_t k = L.offsets[n]; k < L.offsets[n + 1]; ++k)
        out.append(nb::make_tuple(point_tuple(L.nodes[L.neighbour[k]]), L.length[k]));
    return out;
}

long adjacency_find(const PyLatticeAdjacency& a, nb::handle key) {
    Point p;
    if (!parse_point(key, p)) return -1;
    return a.lattice->find(p);
}

const char* const kAdjacencyDoc = R"doc(Read-only mapping node -> list of (neighbour node, length) over a lattice.

Nodes are (x, y) float tuples, compared exactly (any 2-sequence of numbers
works as a key).  adj[node] builds a new list on each access, in the
lattice's neighbour order (for line lattices: west, east, south, north
neighbour, those that exist); a node without edges gives [].  Iteration
yields the nodes in node-id order.  keys() is a KeysView; values() and
items() return new lists in node order.  Unknown nodes raise KeyError.
Registered as a collections.abc.Mapping.)doc";

// ------------------------------------------------------------ search results

struct SearchResult {
    std::shared_ptr<const Lattice> lattice;
    std::shared_ptr<SearchWorkspace> ws;
    nb::object keys;  // original node objects of a caller's adjacency, or None
};

struct PySearchDist {
    std::shared_ptr<SearchResult> r;
};
struct PySearchPrev {
    std::shared_ptr<SearchResult> r;
};

nb::object node_object(const SearchResult& r, std::uint32_t node) {
    if (!r.keys.is_none()) return nb::borrow(PyList_GET_ITEM(r.keys.ptr(), static_cast<Py_ssize_t>(node)));
    return point_tuple(r.lattice->nodes[node]);
}

nb::object state_object(const SearchResult& r, std::uint32_t s) {
    const int h = r.ws->heading_of(s);
    return nb::make_tuple(node_object(r, r.ws->node_of(s)), h == kNoDir ? nb::object(nb::none()) : nb::object(nb::int_(h)));
}

// (node, heading) -> state id; kNoState when the pair names no state.  Raises
// TypeError for a value that is not a pair.
std::uint32_t state_from_key(const SearchResult& r, nb::handle key, const char* what, bool strict) {
    PyObject* seq = PySequence_Fast(key.ptr(), "");
    if (!seq || PySequence_Fast_GET_SIZE(seq) != 2 || PyUnicode_Check(key.ptr())) {
        Py_XDECREF(seq);
        PyErr_Clear();
        raise_type(std::string(what) + " must be a (node, direction) pair, got " + repr_of(key));
    }
    nb::object keep = nb::steal(seq);
    nb::handle node(PySequence_Fast_GET_ITEM(seq, 0)), dir(PySequence_Fast_GET_ITEM(seq, 1));
    Point p;
    if (strict) {
        p = node_point(node, [&] { return std::string(what) + "[0]"; });
    } else if (!parse_point(node, p)) {
        return kNoState;
    }
    const long id = r.lattice->find(p);
    if (id < 0) {
        if (strict) raise_value(std::string(what) + ": node " + point_str(p) + " is not a node of the lattice");
        return kNoState;
    }
    int h;
    if (strict) {
        h = to_heading(dir, [&] { return std::string(what) + "[1]"; }, true);
    } else {
        if (dir.is_none()) {
            h = kNoDir;
        } else {
            PyObject* idx = PyNumber_Index(dir.ptr());
            if (!idx) {
                PyErr_Clear();
                return kNoState;
            }
            const long v = PyLong_AsLong(idx);
            Py_DECREF(idx);
            if (v == -1 && PyErr_Occurred()) PyErr_Clear();
            if (v < 0 || v > 3) return kNoState;
            h = static_cast<int>(v);
        }
    }
    return r.ws->state(static_cast<std::uint32_t>(id), h);
}

// Workspaces are reused across searches: one whose result objects are gone
// (only the pool holds it) is handed out again, so a steady stream of
// searches allocates nothing.  Taken and returned with the GIL held.
std::shared_ptr<SearchWorkspace> acquire_workspace() {
    static std::mutex mu;
    static std::vector<std::shared_ptr<SearchWorkspace>> pool;
    std::lock_guard<std::mutex> lock(mu);
    for (auto& w : pool)
        if (w.use_count() == 1) return w;
    auto w = std::make_shared<SearchWorkspace>();
    if (pool.size() < 8) pool.push_back(w);
    return w;
}

// A caller's adjacency (mapping node -> list of (neighbour, length)) as a
// lattice; `keys` receives the original node objects in id order.
std::shared_ptr<const Lattice> lattice_from_mapping(nb::handle adj, nb::list& keys) {
    std::vector<Point> nodes;
    std::vector<nb::handle> lists;
    PointIndex ids;
    const Py_ssize_t hint = PyObject_Length(adj.ptr());
    if (hint < 0) PyErr_Clear();
    if (hint > 0) {
        nodes.reserve(static_cast<size_t>(hint));
        lists.reserve(static_cast<size_t>(hint));
        ids.reserve(static_cast<size_t>(hint));
    }
    nb::list hold;  // keeps values of non-dict mappings alive
    const bool is_dict = PyDict_Check(adj.ptr());
    for_each_item(adj, "g.adj", [&](nb::handle k, nb::handle v) {
        const Point p = node_point(k, [&] { return "g.adj key " + repr_of(k); });
        if (!ids.emplace(p, static_cast<std::uint32_t>(nodes.size())).second)
            raise_value("g.adj has the node " + point_str(p) + " twice");
        nodes.push_back(p);
        keys.append(k);
        if (!is_dict) hold.append(v);
        lists.push_back(v);
    });
    std::vector<std::uint32_t> offsets{0}, targets;
    std::vector<double> lengths;
    targets.reserve(4 * nodes.size());
    lengths.reserve(4 * nodes.size());
    for (size_t i = 0; i < nodes.size(); ++i) {
        auto where = [&] { return "g.adj[" + point_str(nodes[i]) + "]"; };
        nb::object seq = fast_seq(lists[i], where);
        const Py_ssize_t m = PySequence_Fast_GET_SIZE(seq.ptr());
        for (Py_ssize_t j = 0; j < m; ++j) {
            nb::handle entry(PySequence_Fast_GET_ITEM(seq.ptr(), j));
            nb::handle nb_h, len_h;
            nb::object keep;
            if (!split_pair(entry, keep, nb_h, len_h, [&] { return where() + "[" + std::to_string(j) + "]"; }))
                raise_value(where() + "[" + std::to_string(j) + "] must be a (neighbour, length) pair");
            const Point q = node_point(nb_h, [&] { return where() + "[" + std::to_string(j) + "][0]"; });
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

nb::object getattr_or_none(nb::handle obj, const char* name) {
    PyObject* v = PyObject_GetAttrString(obj.ptr(), name);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return nb::none();
    }
    return nb::steal(v);
}

nb::object required_attr(nb::handle obj, const char* name) {
    PyObject* v = PyObject_GetAttrString(obj.ptr(), name);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        raise_type(std::string("g must have an attribute '") + name + "' (got " + nb::type_name(obj.type()).c_str() +
                   ")");
    }
    return nb::steal(v);
}

const char* const kRunDoc = R"doc(Lattice search from g.start over (node, arriving direction) states.

_run_dijkstra(g, turn_bias, blocked_passthrough, edge_pen=None,
              node_chords=None, cross_pen=0.0, turn_pen=0.0) -> (dist, prev)

g: any object with adj (a LatticeAdjacency, used as it is, or any mapping
   node -> list of (neighbour, length), converted once per call), start, end
   and optionally start_dir / end_dir (direction 0..3 or None).  The search
   starts at g.start with heading start_dir, or with no heading (any first
   move free) when start_dir is None.
turn_bias: "center", "start", "end", "none"/None or a number in [0, 1]: a
   tiny tie-break cost per turn so that equal routes put their bends at the
   preferred relative position between start and end.
blocked_passthrough: iterable of (node, direction) pairs: arriving at node
   heading direction and leaving in the same direction is not allowed.
edge_pen: mapping edge key _ekey(n, m) -> added cost >= 0 (inf closes the
   edge); keys that are not edge keys of adj are ignored.
node_chords: mapping node -> list of (i0, i1) side-index pairs (0..3) used
   by other routes there; leaving a node whose own chord (side arrived from,
   side left by, sorted) interleaves with one of them costs cross_pen per
   such chord.  Never at the start node or at the end node.
turn_pen: cost of every change of direction.

A step never reverses the arriving heading (nor leaves the start against
start_dir).  Costs: length + edge_pen + turn_pen (+ bias) per turn + crossings.
A* towards g.end with a consistent bound; deterministic tie-breaking.  The
search may stop once no remaining state can beat the best end state, so
dist and prev are meant for _select_end_state(g, dist, turn_bias, turn_pen)
with the same g and turn_pen, and for _reconstruct_path.  dist supports
dist[(node, direction)] -> cost (KeyError for states not reached; the start
without heading is (start, None)), len(dist) and dist.states_expanded.

Raises TypeError/ValueError for a bad g (g.start not a node of g.adj,
malformed adjacency entries, non-finite coordinates), bad penalties
(negative or non-finite turn_pen/cross_pen, malformed edge_pen or
node_chords) or a bad turn_bias.)doc";

nb::tuple run_dijkstra(nb::handle g, nb::handle turn_bias, nb::handle blocked_passthrough, nb::handle edge_pen,
                       nb::handle node_chords, nb::handle cross_pen, nb::handle turn_pen) {
    SearchQuery q;
    q.turn_bias = to_turn_bias(turn_bias);
    q.turn_pen = to_penalty(turn_pen, "turn_pen");
    q.cross_pen = to_penalty(cross_pen, "cross_pen");

    auto res = std::make_shared<SearchResult>();
    res->keys = nb::none();
    nb::object adj = required_attr(g, "adj");
    PyLatticeAdjacency* native = nullptr;
    if (nb::try_cast<PyLatticeAdjacency*>(adj, native) && native && native->lattice) {
        res->lattice = native->lattice;
    } else {
        nb::list keys;
        res->lattice = lattice_from_mapping(adj, keys);
        res->keys = keys;
    }
    const Lattice& L = *res->lattice;

    const Point sp = node_point(required_attr(g, "start"), "g.start");
    const long sid = L.find(sp);
    if (sid < 0) raise_value("g.start " + point_str(sp) + " is not a node of g.adj");
    q.start = static_cast<std::uint32_t>(sid);
    const Point ep = node_point(required_attr(g, "end"), "g.end");
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
            nb::object seq = fast_seq(item, [&] { return "blocked_passthrough entry " + repr_of(item); });
            if (PySequence_Fast_GET_SIZE(seq.ptr()) != 2)
                raise_type("blocked_passthrough entries must be (node, direction) pairs, got " + repr_of(item));
            const Point p = node_point(PySequence_Fast_GET_ITEM(seq.ptr(), 0), "blocked_passthrough node");
            const int d = to_heading(PySequence_Fast_GET_ITEM(seq.ptr(), 1), "blocked_passthrough direction", false);
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
            const Point pa = node_point(a, "edge_pen key node"), pb = node_point(b, "edge_pen key node");
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
            const Point p = node_point(k, "node_chords key");
            const long id = L.find(p);
            nb::object seq = fast_seq(v, [&] { return "node_chords[" + point_str(p) + "]"; });
            const Py_ssize_t m = PySequence_Fast_GET_SIZE(seq.ptr());
            for (Py_ssize_t j = 0; j < m; ++j) {
                nb::handle c(PySequence_Fast_GET_ITEM(seq.ptr(), j));
                nb::object cs = fast_seq(c, [&] { return "node_chords chord " + repr_of(c); });
                if (PySequence_Fast_GET_SIZE(cs.ptr()) != 2)
                    raise_type("node_chords chords must be (i0, i1) pairs, got " + repr_of(c));
                const int i0 = to_heading(PySequence_Fast_GET_ITEM(cs.ptr(), 0), "node_chords index", false);
                const int i1 = to_heading(PySequence_Fast_GET_ITEM(cs.ptr(), 1), "node_chords index", false);
                if (id >= 0)
                    q.node_chords.push_back({static_cast<std::uint32_t>(id),
                                             {static_cast<std::uint8_t>(i0), static_cast<std::uint8_t>(i1)}});
            }
        });
    }

    res->ws = acquire_workspace();
    {
        nb::gil_scoped_release release;
        res->ws->run(L, q);
    }
    return nb::make_tuple(nb::cast(PySearchDist{res}), nb::cast(PySearchPrev{res}));
}

const char* const kSelectDoc = R"doc(Best reached state at g.end, as (node, direction), or None.

_select_end_state(g, dist, turn_bias, turn_pen=0.0)

Score of arriving with heading d: dist + 0 when g.end_dir is None or d is
g.end_dir, + turn_pen when d is perpendicular to it, + 2 * turn_pen when d is
against it.  Lowest score wins; on equal scores the arrival needing
fewer end turns (along, then perpendicular, then against end_dir), then
directions in order E, N, W, S.  None
when g.end is not a node or was not reached.  dist must come from
_run_dijkstra with the same g.end, end_dir and turn_pen (ValueError
otherwise, as the search may have stopped early for those values).)doc";

nb::object select_end_state(nb::handle g, nb::handle dist, nb::handle turn_bias, nb::handle turn_pen) {
    PySearchDist* d = nullptr;
    if (!nb::try_cast<PySearchDist*>(dist, d) || !d || !d->r)
        raise_type(std::string("dist must be the first result of _run_dijkstra, got ") + nb::type_name(dist.type()).c_str());
    to_turn_bias(turn_bias);
    const double tp = to_penalty(turn_pen, "turn_pen");
    const SearchResult& r = *d->r;
    const Point ep = node_point(required_attr(g, "end"), "g.end");
    const int end_dir = to_heading(getattr_or_none(g, "end_dir"), "g.end_dir", true);
    const long end = r.lattice->find(ep);
    if (!r.ws->exact_for(end, end_dir, tp))
        raise_value("dist comes from a search that stopped early for another end, end_dir or turn_pen; call "
                    "_select_end_state with the g and turn_pen given to _run_dijkstra");
    if (end < 0) return nb::none();
    const std::uint32_t s = r.ws->select_end(static_cast<std::uint32_t>(end), end_dir, tp);
    if (s == kNoState) return nb::none();
    return state_object(r, s);
}

const char* const kReconstructDoc = R"doc(Node path from start to the node of state best.

_reconstruct_path(prev, best, start) -> list of nodes (consecutive nodes are
neighbours in g.adj); best is a reached (node, direction) state, e.g. the
result of _select_end_state, and start must be the search's g.start.
ValueError / TypeError for anything else.)doc";

nb::list reconstruct_path(nb::handle prev, nb::handle best, nb::handle start) {
    PySearchPrev* p = nullptr;
    if (!nb::try_cast<PySearchPrev*>(prev, p) || !p || !p->r)
        raise_type(std::string("prev must be the second result of _run_dijkstra, got ") + nb::type_name(prev.type()).c_str());
    const SearchResult& r = *p->r;
    if (best.is_none()) raise_value("best is None: the end was not reached");
    const std::uint32_t s = state_from_key(r, best, "best", true);
    if (s == kNoState || !r.ws->reached(s)) raise_value("best " + repr_of(best) + " is not a state reached by the search");
    const Point sp = node_point(start, "start");
    const Point searched = r.lattice->nodes[r.ws->start()];
    if (sp != searched)
        raise_value("start " + point_str(sp) + " is not the start of the search " + point_str(searched));
    nb::list out;
    for (std::uint32_t n : r.ws->path_to(s)) out.append(node_object(r, n));
    return out;
}

}  // namespace

nb::object lattice_adjacency(std::shared_ptr<const Lattice> lattice) {
    if (!lattice) raise_value("lattice_adjacency: no lattice");
    return nb::cast(PyLatticeAdjacency{std::move(lattice)});
}

const char* const kConventionsDoc = R"doc(

Lattice conventions:
  directions   ints 0..3 for E (+x), N (+y), W (-x), S (-y), numbered
               counter-clockwise; _direction(a, b) gives the one of a step.
  _OPP         dict direction -> opposite direction {0: 2, 1: 3, 2: 0, 3: 1}.
  _DIR_IDX     dict direction -> index of that side around a node (identity).
               The sides of a node are met in index order going round it, so
               two chords through a node (sorted index pairs: side entered
               from, side left by) cross exactly when the pairs interleave:
               _interleaved_pos(a0, a1, b0, b1).
  nodes        (x, y) float tuples, compared exactly.
  edge keys    _ekey(a, b) = (min(a, b), max(a, b)) of the two end nodes, the
               same for both directions of an edge.
  adjacency    g.adj maps node -> list of (neighbour, length); graphs built
               here carry a LatticeAdjacency, a read-only native mapping.
  search       _run_dijkstra -> (dist, prev); _select_end_state;
               _reconstruct_path (see their docstrings).)doc";

void bind_lattice(nb::module_& m) {
    {
        nb::object doc = nb::getattr(m, "__doc__", nb::none());
        const std::string base = doc.is_none() ? std::string() : nb::cast<std::string>(doc);
        nb::setattr(m, "__doc__", nb::str((base + kConventionsDoc).c_str()));
    }
    nb::dict opp, idx;
    for (int d = 0; d < 4; ++d) {
        opp[nb::int_(d)] = nb::int_(opposite(d));
        idx[nb::int_(d)] = nb::int_(d);
    }
    m.attr("_OPP") = opp;
    m.attr("_DIR_IDX") = idx;

    m.def(
        "_direction",
        [](nb::handle a, nb::handle b) {
            const Point p = node_point(a, "a"), q = node_point(b, "b");
            if (p == q) raise_value("_direction: a and b are the same point " + point_str(p) + ", a step has no direction");
            return direction_of(p, q);
        },
        "a"_a.none(), "b"_a.none(),
        "Direction of the step a -> b along its dominant axis (ties count as vertical):\n"
        "0 = E (+x), 1 = N (+y), 2 = W (-x), 3 = S (-y), numbered counter-clockwise.\n"
        "ValueError when a and b are the same point.");

    m.def(
        "_ekey",
        [](nb::handle a, nb::handle b) {
            const Point p = node_point(a, "a"), q = node_point(b, "b");
            const bool p_first = p.x < q.x || (p.x == q.x && p.y <= q.y);
            return p_first ? nb::make_tuple(point_tuple(p), point_tuple(q)) : nb::make_tuple(point_tuple(q), point_tuple(p));
        },
        "a"_a.none(), "b"_a.none(),
        "Edge key of the edge between nodes a and b: the tuple (min(a, b), max(a, b))\n"
        "of the two nodes as float tuples (tuple order), the same for both directions.");

    m.def(
        "_interleaved_pos",
        [](nb::handle a0, nb::handle a1, nb::handle b0, nb::handle b1) {
            auto as_int = [](nb::handle h, const char* what) {
                PyObject* i = PyNumber_Index(h.ptr());
                if (!i) {
                    PyErr_Clear();
                    raise_type(std::string(what) + " must be an integer index, got " + nb::type_name(h.type()).c_str());
                }
                const long long v = PyLong_AsLongLong(i);
                Py_DECREF(i);
                if (v == -1 && PyErr_Occurred()) {
                    PyErr_Clear();
                    raise_value(std::string(what) + " is out of range");
                }
                return v;
            };
            const long long x0 = as_int(a0, "a0"), x1 = as_int(a1, "a1"), y0 = as_int(b0, "b0"), y1 = as_int(b1, "b1");
            return (x0 < y0 && y0 < x1 && x1 < y1) || (y0 < x0 && x0 < y1 && y1 < x1);
        },
        "a0"_a.none(), "a1"_a.none(), "b0"_a.none(), "b1"_a.none(),
        "True when the sorted index pairs (a0, a1) and (b0, b1) interleave with four\n"
        "distinct values: a0 < b0 < a1 < b1 or b0 < a0 < b1 < a1.  With the side indices\n"
        "of _DIR_IDX (counter-clockwise around a node) that is exactly when two chords\n"
        "through the node cross; chords sharing a side never do.");

    nb::class_<PyNodeIter>(m, "_LatticeNodeIterator")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](PyNodeIter& it) {
            if (it.next >= it.lattice->size()) throw nb::stop_iteration();
            return point_tuple(it.lattice->nodes[it.next++]);
        });

    auto cls = nb::class_<PyLatticeAdjacency>(m, "LatticeAdjacency", kAdjacencyDoc)
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
        .def(
            "get",
            [](const PyLatticeAdjacency& a, nb::handle key, nb::handle dflt) -> nb::object {
                const long id = adjacency_find(a, key);
                if (id < 0) return nb::borrow(dflt);
                return neighbour_list(*a.lattice, static_cast<std::uint32_t>(id));
            },
            "key"_a.none(), "default"_a.none() = nb::none())
        .def("keys",
             [](nb::handle self) { return nb::module_::import_("collections.abc").attr("KeysView")(self); })
        .def("values",
             [](const PyLatticeAdjacency& a) {
                 nb::list out;
                 for (std::uint32_t n = 0; n < a.lattice->size(); ++n) out.append(neighbour_list(*a.lattice, n));
                 return out;
             })
        .def("items",
             [](const PyLatticeAdjacency& a) {
                 nb::list out;
                 for (std::uint32_t n = 0; n < a.lattice->size(); ++n)
                     out.append(nb::make_tuple(point_tuple(a.lattice->nodes[n]), neighbour_list(*a.lattice, n)));
                 return out;
             })
        .def("__eq__",
             [](const PyLatticeAdjacency& a, nb::handle other) -> nb::object {
                 PyLatticeAdjacency* o = nullptr;
                 if (nb::try_cast<PyLatticeAdjacency*>(other, o) && o) {
                     if (o->lattice == a.lattice) return nb::bool_(true);
                 } else if (!PyDict_Check(other.ptr()) && !nb::hasattr(other, "keys")) {
                     return nb::borrow(Py_NotImplemented);
                 }
                 if (PyObject_Length(other.ptr()) != static_cast<Py_ssize_t>(a.lattice->size())) {
                     PyErr_Clear();
                     return nb::bool_(false);
                 }
                 for (std::uint32_t n = 0; n < a.lattice->size(); ++n) {
                     nb::object key = point_tuple(a.lattice->nodes[n]);
                     PyObject* v = PyObject_GetItem(other.ptr(), key.ptr());
                     if (!v) {
                         if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
                         PyErr_Clear();
                         return nb::bool_(false);
                     }
                     nb::object theirs = nb::steal(v);
                     if (!neighbour_list(*a.lattice, n).equal(theirs)) return nb::bool_(false);
                 }
                 return nb::bool_(true);
             },
             "other"_a.none())
        .def("__copy__", [](nb::handle self) { return nb::borrow(self); })  // immutable: copies are the object
        .def("__deepcopy__", [](nb::handle self, nb::handle) { return nb::borrow(self); }, "memo"_a.none())
        .def("__repr__", [](const PyLatticeAdjacency& a) {
            return "LatticeAdjacency(" + std::to_string(a.lattice->size()) + " nodes, " +
                   std::to_string(a.lattice->num_edges) + " edges)";
        });
    nb::setattr(cls, "__hash__", nb::none());
    nb::module_::import_("collections.abc").attr("Mapping").attr("register")(cls);

    m.def(
        "_line_lattice",
        [](nb::handle xs, nb::handle ys, nb::handle obstacles, nb::handle extra) {
            auto numbers = [](nb::handle seq, const char* what) {
                nb::object s = fast_seq(seq, what);
                std::vector<double> v;
                const Py_ssize_t n = PySequence_Fast_GET_SIZE(s.ptr());
                for (Py_ssize_t i = 0; i < n; ++i)
                    v.push_back(to_finite(PySequence_Fast_GET_ITEM(s.ptr(), i),
                                          (std::string(what) + "[" + std::to_string(i) + "]").c_str()));
                return v;
            };
            const std::vector<double> vx = numbers(xs, "xs"), vy = numbers(ys, "ys");
            std::vector<Point> ex;
            if (!extra.is_none()) ex = to_path(extra, "extra");
            ObstacleIndex index(to_boxes(obstacles, "obstacles"), 0.0);
            return lattice_adjacency(std::make_shared<const Lattice>(build_line_lattice(vx, vy, ex, index)));
        },
        "xs"_a.none(), "ys"_a.none(), "obstacles"_a.none() = nb::none(), "extra"_a.none() = nb::none(),
        "Small utility: the line lattice over vertical lines xs and horizontal lines ys\n"
        "(every crossing is a node, plus the `extra` points), neighbours along a line\n"
        "joined unless the segment runs through an obstacle's interior, as a\n"
        "LatticeAdjacency.  Node order: rows from the lowest y, each from the lowest x,\n"
        "then the extra points.");

    nb::class_<PySearchDist>(m, "_SearchDist", "Costs of the states reached by _run_dijkstra (read-only).")
        .def("__getitem__",
             [](const PySearchDist& d, nb::handle key) {
                 const std::uint32_t s = state_from_key(*d.r, key, "key", false);
                 if (s == kNoState || !d.r->ws->reached(s)) throw nb::key_error(repr_of(key).c_str());
                 return d.r->ws->dist(s);
             },
             "key"_a.none())
        .def("__contains__",
             [](const PySearchDist& d, nb::handle key) {
                 const std::uint32_t s = state_from_key(*d.r, key, "key", false);
                 return s != kNoState && d.r->ws->reached(s);
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
                 const std::uint32_t s = state_from_key(*p.r, key, "key", false);
                 if (s == kNoState || !p.r->ws->reached(s)) throw nb::key_error(repr_of(key).c_str());
                 const std::uint32_t q = p.r->ws->prev(s);
                 if (q == kNoState) return nb::none();
                 return state_object(*p.r, q);
             },
             "key"_a.none())
        .def("__len__", [](const PySearchPrev& p) { return p.r->ws->stats().reached; })
        .def("__repr__", [](const PySearchPrev& p) {
            return "_SearchPrev(start=" + point_str(p.r->lattice->nodes[p.r->ws->start()]) + ", reached=" +
                   std::to_string(p.r->ws->stats().reached) + ")";
        });

    m.def("_run_dijkstra", &run_dijkstra, "g"_a.none(), "turn_bias"_a.none(), "blocked_passthrough"_a.none(), "edge_pen"_a.none() = nb::none(),
          "node_chords"_a.none() = nb::none(), "cross_pen"_a.none() = 0.0, "turn_pen"_a.none() = 0.0, kRunDoc);
    m.def("_select_end_state", &select_end_state, "g"_a.none(), "dist"_a.none(), "turn_bias"_a.none(), "turn_pen"_a.none() = 0.0, kSelectDoc);
    m.def("_reconstruct_path", &reconstruct_path, "prev"_a.none(), "best"_a.none(), "start"_a.none(), kReconstructDoc);
}

}  // namespace kelvane::py
