// graph: the lattice search (_run_dijkstra, _select_end_state,
// _reconstruct_path) over a LatticeAdjacency or a caller's mapping.
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "graph_types.hpp"
#include "kelvane/search.hpp"
#include "search_args.hpp"

namespace kelvane::py {

namespace {

using namespace nb::literals;

// ------------------------------------------------------------ search results

// A search's lattice, node objects and query, with the workspace that holds
// its states.
struct SearchResult : SearchInput {
    std::shared_ptr<SearchWorkspace> ws;
};

struct PySearchDist {
    std::shared_ptr<SearchResult> r;
};
struct PySearchPrev {
    std::shared_ptr<SearchResult> r;
};

// A node as the caller's adjacency names it: the original key object, or a
// new (x, y) tuple.
nb::object node_object(const SearchResult& r, std::uint32_t node) {
    if (!r.keys.is_none()) return nb::borrow(PyList_GET_ITEM(r.keys.ptr(), static_cast<Py_ssize_t>(node)));
    return point_tuple(r.lattice->nodes[node]);
}

nb::object state_object(const SearchResult& r, std::uint32_t s) {
    const int h = r.ws->heading_of(s);
    return nb::make_tuple(node_object(r, r.ws->node_of(s)), h == kNoDir ? nb::object(nb::none()) : nb::object(nb::int_(h)));
}

// (node, heading) -> state id.  Strict: TypeError / ValueError naming `what`
// for anything that names no state; else kNoState, as a failed look-up.
std::uint32_t state_from_key(const SearchResult& r, nb::handle key, const char* what, bool strict) {
    try {
        if (PyUnicode_Check(key.ptr())) raise_type(std::string(what) + " must be a (node, direction) pair, got " + repr_of(key));
        nb::object pair = pair_of(key, what, "(node, direction)");
        const Point p = to_point(PyTuple_GET_ITEM(pair.ptr(), 0), [&] { return std::string(what) + "[0]"; });
        const long id = r.lattice->find(p);
        if (id < 0) raise_value(std::string(what) + ": node " + point_str(p) + " is not a node of the lattice");
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

const char* const kRunDoc = R"doc(Lattice search from g.start over (node, arriving direction) states: (dist, prev).

g: any object with adj (a LatticeAdjacency as it is, or any mapping node ->
   list of (neighbour, length), converted once per call), start, end and
   optionally start_dir / end_dir (direction 0..3 or None).  With a start_dir
   the route leaves g.start along it; with an end_dir only an arrival at g.end
   heading end_dir reaches the end.  Without them both are free.
turn_bias: "center", "start", "end", "none"/None or a number in [0, 1]: a tiny
   tie-break cost per turn that puts the bends of equal routes at that
   relative position between start and end.
blocked_passthrough: (node, direction) pairs: arriving at node heading
   direction and leaving the same way is not allowed.
edge_pen: mapping _ekey(n, m) -> added cost >= 0 (inf closes the edge); keys
   that are not edge keys of adj are ignored.
node_chords: mapping node -> list of chords (i0, i1) of other routes there.
   Passing a node on a chord sharing no side with one of them costs cross_pen
   per such chord (a crossing, or a corner kiss: the routes touch); chords
   sharing a side share an edge, which edge_pen prices.  Never at the start or
   end node.
turn_pen: cost of every change of direction.

A step never reverses.  A* towards g.end with a consistent bound,
deterministic ties; the search may stop once no state can beat the best end
state, so dist and prev are for _select_end_state and _reconstruct_path with
the same g.  dist[(node, direction)] -> cost (KeyError if not reached; the
start without heading is (start, None)), len(dist), dist.states_expanded.

TypeError/ValueError for a bad g (g.start not a node of g.adj, malformed
adjacency entries, non-finite coordinates), bad penalties (negative or
non-finite turn_pen/cross_pen, malformed edge_pen or node_chords) or a bad
turn_bias.)doc";

nb::tuple run_dijkstra(nb::handle g, nb::handle turn_bias, nb::handle blocked_passthrough, nb::handle edge_pen,
                       nb::handle node_chords, nb::handle cross_pen, nb::handle turn_pen) {
    auto res = std::make_shared<SearchResult>(SearchResult{
        search_input(g, turn_bias, blocked_passthrough, edge_pen, node_chords, cross_pen, turn_pen), acquire_workspace()});
    {
        nb::gil_scoped_release release;
        res->ws->run(*res->lattice, res->q);
    }
    return nb::make_tuple(nb::cast(PySearchDist{res}), nb::cast(PySearchPrev{res}));
}

const char* const kSelectDoc = R"doc(Best reached state at g.end, as (node, direction), or None.

With g.end_dir, the state (g.end, g.end_dir); without, the cheapest reached
state at g.end (ties in the order E, N, W, S).  None when g.end is not a node
or was not reached.  turn_bias and turn_pen change nothing here.  ValueError
for a dist whose search had another g.end or end_dir (it may have stopped
early for those).)doc";

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

_reconstruct_path(prev, best, start) -> list of nodes (consecutive nodes are
neighbours in g.adj); best is a reached (node, direction) state, e.g. the
result of _select_end_state, and start must be the search's g.start.
ValueError / TypeError for anything else.)doc";

nb::list reconstruct_path(nb::handle prev, nb::handle best, nb::handle start) {
    const SearchResult& r = result_of<PySearchPrev>(prev, "prev must be the second result");
    if (best.is_none()) raise_value("best is None: the end was not reached");
    const std::uint32_t s = state_from_key(r, best, "best", true);
    if (s == kNoState || !r.ws->reached(s)) raise_value("best " + repr_of(best) + " is not a state reached by the search");
    const Point sp = to_point(start, "start");
    const Point searched = r.lattice->nodes[r.ws->start()];
    if (sp != searched)
        raise_value("start " + point_str(sp) + " is not the start of the search " + point_str(searched));
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
                 const std::uint32_t q = p.r->ws->prev(reached_state(*p.r, key));
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
