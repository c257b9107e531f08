// Module kelvane.manhattan_router.negotiated: the negotiated-congestion
// router.  The module body is bindings/py/negotiated.py (module_body.hpp);
// this file binds the native roads it takes while nothing a function reaches
// is replaced: the helpers, and whole runs in the core (cpp/src/negotiated/)
// with the GIL released.
#include <cmath>
#include <set>
#include <string>

#include "convert_negotiated.hpp"
#include "deadline_link.hpp"
#include "graph_types.hpp"
#include "module_body.hpp"
#include "search_args.hpp"

namespace kelvane::py::negotiated_module {

namespace core = kelvane::negotiated;
using namespace nb::literals;

namespace {

std::vector<double> numbers(nb::handle seq, const std::string& what) {
    nb::object t = tuple_of(seq, what);
    std::vector<double> out;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t.ptr()); ++i)
        out.push_back(to_double(PyTuple_GET_ITEM(t.ptr(), i), (what + " item").c_str()));
    return out;
}

nb::list new_list(nb::handle iterable) { return nb::borrow<nb::list>(own(PySequence_List(iterable.ptr()))); }

// What the lattice builder reads from a per-route graph record.
core::RouteLines route_lines(nb::handle g) {
    // The lattice needs only the lines (and the first graph's obstacles);
    // the other fields are read when the record has them.
    core::RouteLines l;
    l.h_lines = numbers(required_attr(g, "h_lines"), "g.h_lines");
    l.v_lines = numbers(required_attr(g, "v_lines"), "g.v_lines");
    auto point = [&](const char* name, Point& out) {
        nb::object v = getattr_or_none(g, name);
        if (!v.is_none()) out = node_point(v, (std::string("g.") + name).c_str());
    };
    point("start", l.start);
    point("end", l.end);
    point("end_port", l.end_port);
    nb::object len = getattr_or_none(g, "end_approach_len");
    if (!len.is_none()) l.end_approach_len = to_double(len, "g.end_approach_len");
    l.start_dir = to_heading(getattr_or_none(g, "start_dir"), "g.start_dir", true);
    l.end_dir = to_heading(getattr_or_none(g, "end_dir"), "g.end_dir", true);
    for (auto [name, out] : {std::pair{"h_bridges", &l.h_bridges}, std::pair{"v_bridges", &l.v_bridges}}) {
        nb::object v = getattr_or_none(g, name);
        if (!v.is_none()) *out = numbers(v, std::string("g.") + name);
    }
    l.obstacles = to_boxes(getattr_or_none(g, "obs_list"), "g.obs_list");
    return l;
}

// Options beyond what a call can honour in reasonable time are refused.
constexpr long kMaxOrders = 10000;  // route orders tried (each a whole negotiation)
constexpr long kMaxIters = 10000;   // negotiation passes

// An integer as range() takes one, refused above `most`.
long bounded_index(nb::handle h, long most, const char* what, const char* unit) {
    nb::object i = nb::steal(PyNumber_Index(h.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    const int over = PyObject_RichCompareBool(i.ptr(), nb::int_(most).ptr(), Py_GT);
    if (over < 0) throw nb::python_error();
    if (over)
        raise_value(std::string(what) + ": at most " + std::to_string(most) + " " + unit + ", got " +
                    nb::cast<std::string>(nb::repr(h)));
    return to_index(i);
}

// Point as indexing gives it: p[0], p[1] as numbers.
Point xy(nb::handle p, const char* what) {
    if (PyTuple_CheckExact(p.ptr()) && PyTuple_GET_SIZE(p.ptr()) >= 2) {
        PyObject *a = PyTuple_GET_ITEM(p.ptr(), 0), *b = PyTuple_GET_ITEM(p.ptr(), 1);
        if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) return {PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b)};
    }
    return {to_double(item_of(p, 0), what), to_double(item_of(p, 1), what)};
}

// The search of the graph module on a converted query: the node path to
// the end state, or None.
thread_local SearchWorkspace t_search;

std::optional<std::vector<std::uint32_t>> search_once(const SearchInput& in) {
    {
        nb::gil_scoped_release release;
        t_search.run(*in.lattice, in.q);
    }
    if (in.q.end < 0) return std::nullopt;
    const std::uint32_t s = t_search.select_end(static_cast<std::uint32_t>(in.q.end), in.q.end_dir);
    if (s == kNoState) return std::nullopt;
    return t_search.path_to(s);
}

nb::list node_objects(const SearchInput& in, const std::vector<std::uint32_t>& ids) {
    nb::list out;
    for (std::uint32_t n : ids) out.append(node_object(*in.lattice, in.keys, n));
    return out;
}

Path node_points(nb::handle path, const char* what) {
    nb::object seq = tuple_of(path, what);
    Path out;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.ptr()); ++i)
        out.push_back(node_point(PyTuple_GET_ITEM(seq.ptr(), i), what));
    return out;
}

nb::tuple ekey(Point a, Point b) {
    const bool a_first = a.x < b.x || (a.x == b.x && a.y <= b.y);
    return a_first ? nb::make_tuple(point_tuple(a), point_tuple(b)) : nb::make_tuple(point_tuple(b), point_tuple(a));
}

// ------------------------------------------------------------ route_negotiated's arguments

const char* const kRouteParams[] = {"turn_bias",   "iters",        "overlap_pen",  "node_pen",  "hist_weight",
                                    "hist_decay",  "turn_pen",     "gauss_seidel", "avoid_ports", "relax_order",
                                    "cage_margin", "cage_layers",  "port_clearance", "route_to_port"};
constexpr int kNumRouteParams = 14;

struct RouteArgs {
    std::array<nb::object, kNumRouteParams> v;
    RouteArgs() {
        v = {nb::str("center"), nb::int_(20), nb::none(), nb::none(), nb::none(), nb::float_(0.5), nb::none(),
             nb::bool_(true), nb::bool_(true), nb::none(), nb::none(), nb::none(), nb::none(), nb::bool_(true)};
    }
    nb::handle operator[](int i) const { return v[i]; }
};

// route_negotiated(scene, relax_order=..., **kw) as the host binds it:
// keywords other than its parameters, or a repeated one, are TypeErrors.
RouteArgs route_args_from(nb::handle kw) {
    RouteArgs a;
    if (!kw.is_valid() || kw.is_none()) return a;
    for (auto [k, val] : nb::borrow<nb::dict>(kw)) {
        const std::string name = nb::cast<std::string>(nb::str(k));
        if (name == "relax_order" || name == "scene")
            raise_type("route_negotiated() got multiple values for " +
                       std::string(name == "scene" ? "argument" : "keyword argument") +
                       " '" + name + "'");
        int found = -1;
        for (int i = 0; i < kNumRouteParams; ++i)
            if (name == kRouteParams[i]) found = i;
        if (found < 0) raise_type("route_negotiated() got an unexpected keyword argument '" + name + "'");
        a.v[found] = nb::borrow(val);
    }
    return a;
}

// Runs `check` (true: passed); false when it returns false or raises (the
// error is dropped).
template <class F>
bool passes(F&& check) {
    try {
        return check();
    } catch (const nb::python_error&) {
    } catch (const nb::builtin_exception&) {
    }
    return false;
}

// Arguments as build_shared_lattice and _port_block_owners read them.
core::LatticeOptions lattice_options(nb::handle cage_margin, nb::handle behind, nb::handle lane_mids,
                                     nb::handle cage_layers, nb::handle cage_step) {
    core::LatticeOptions lo;
    lo.cage_margin = to_optional_number(cage_margin, "cage_margin");
    lo.behind = truth(behind);
    lo.lane_mids = truth(lane_mids);
    if (!cage_layers.is_none()) lo.cage_layers = to_index(cage_layers);
    lo.cage_step = to_optional_number(cage_step, "cage_step");
    return lo;
}

std::optional<double> port_clearance_of(nb::handle port_clearance) {
    return to_optional_number(port_clearance, "port_clearance");
}

// route_negotiated's options.  With `deferred`, a value it only hands on
// (to the lattice builder, the port squares or the search) that does not
// convert is left at its default and *deferred is set: the helper receiving
// it raises when it is used.  node_pen is handed on only when overlap_pen is
// given; otherwise overlap_pen is computed from it at once.
core::NegotiationOptions options_of(const RouteArgs& a, nb::handle block_pen, nb::handle snap,
                                    bool* deferred = nullptr) {
    core::NegotiationOptions o;
    auto handed_on = [&](auto&& convert) {
        if (!deferred) convert();
        else if (!passes([&] { convert(); return true; })) *deferred = true;
    };
    handed_on([&] { o.turn_bias = to_turn_bias(a[0]); });
    o.iters = bounded_index(a[1], kMaxIters, "iters", "passes");
    o.overlap_pen = to_optional_number(a[2], "overlap_pen");
    auto node_pen = [&] { o.node_pen = to_optional_number(a[3], "node_pen"); };
    if (a[2].is_none()) node_pen();
    else handed_on(node_pen);
    o.hist_weight = to_optional_number(a[4], "hist_weight");
    o.hist_decay = to_double(a[5], "hist_decay");
    handed_on([&] { o.turn_pen = to_optional_number(a[6], "turn_pen"); });
    o.gauss_seidel = truth(a[7]);
    o.avoid_ports = truth(a[8]);
    if (!a[9].is_none()) {
        std::vector<long> order;
        nb::object seq = tuple_of(a[9], "relax_order");
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.ptr()); ++i) order.push_back(to_index(PyTuple_GET_ITEM(seq.ptr(), i)));
        o.relax_order = std::move(order);
    }
    handed_on([&] {
        const core::LatticeOptions lo = lattice_options(a[10], Py_True, Py_True, a[11], Py_None);
        o.cage_margin = lo.cage_margin;
        o.cage_layers = lo.cage_layers;
    });
    handed_on([&] { o.port_clearance = port_clearance_of(a[12]); });
    o.route_to_port = truth(a[13]);
    o.block_pen = to_double(block_pen, "BLOCK_PEN");
    o.snap = to_double(snap, "_SNAP");
    o.compensated_sum = PY_VERSION_HEX >= 0x030C0000;  // the host's sum() of floats
    return o;
}

// The search's weights of the passes pass its checks (turn_pen and node_pen
// as cross_pen, with their defaults resolved): else the module body runs the
// loop and the search refuses them where it reads them.
bool search_weights_ok(const core::Scene& s, const core::NegotiationOptions& o) {
    if (s.size() == 0) return true;
    const core::Penalties pv = core::resolve_penalties(s, o);
    return passes([&] {
        to_penalty(nb::float_(pv.turn_pen), "turn_pen");
        to_penalty(nb::float_(pv.node_pen), "cross_pen");
        return true;
    });
}

core::Orders order_lists(nb::handle orders) {
    core::Orders out;
    nb::object seq = tuple_of(orders, "orders");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.ptr()); ++i) {
        nb::object o = tuple_of(PyTuple_GET_ITEM(seq.ptr(), i), "an order");
        std::vector<long> v;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(o.ptr()); ++j) v.push_back(to_index(PyTuple_GET_ITEM(o.ptr(), j)));
        out.push_back(std::move(v));
    }
    return out;
}

// ------------------------------------------------------------ the helpers' native roads

nb::object route_pen(nb::handle g, nb::handle turn_bias, nb::handle edge_pen, nb::handle node_chords,
                     nb::handle cross_pen, nb::handle blocked_passthrough, nb::handle turn_pen) {
    const SearchInput in = search_input(g, turn_bias, blocked_passthrough, edge_pen, node_chords, cross_pen, turn_pen);
    const auto ids = search_once(in);
    if (!ids) return nb::none();
    return node_objects(in, *ids);
}

nb::list atomic_edges(nb::handle path) {
    nb::object seq = tuple_of(path, "path");
    nb::list out;
    const Py_ssize_t n = PyTuple_GET_SIZE(seq.ptr());
    for (Py_ssize_t i = 0; i + 1 < n; ++i)
        out.append(ekey(node_point(PyTuple_GET_ITEM(seq.ptr(), i), "path node"),
                        node_point(PyTuple_GET_ITEM(seq.ptr(), i + 1), "path node")));
    return out;
}

nb::set self_intersections(nb::handle path) {
    nb::set out;
    for (const auto& [p, d] : core::self_intersections(node_points(path, "path node")))
        out.add(nb::make_tuple(point_tuple(p), d));
    return out;
}

nb::object repair_self_intersections(nb::handle g, nb::handle path, nb::handle turn_bias, nb::handle edge_pen,
                                     nb::handle node_chords, nb::handle cross_pen, nb::handle max_tries,
                                     nb::handle turn_pen) {
    const long tries = to_index(max_tries);
    if (tries <= 0) return nb::borrow(path);
    // The search's arguments are read for the first re-search: a path that
    // meets itself nowhere is returned without looking at them.
    std::optional<SearchInput> in;
    std::optional<std::vector<std::uint32_t>> last;
    const auto repaired = core::repair_self_intersections(
        node_points(path, "path node"), tries, [&](const core::PointBans& bans) -> std::optional<Path> {
            if (!in) in = search_input(g, turn_bias, nb::none(), edge_pen, node_chords, cross_pen, turn_pen);
            in->q.blocked_passthrough = core::node_bans(*in->lattice, bans);
            auto ids = search_once(*in);
            if (!ids) return std::nullopt;
            last = std::move(ids);
            return core::points_of(*in->lattice, *last);
        });
    if (!repaired) return nb::borrow(path);
    return node_objects(*in, *last);
}

bool seg_crosses(nb::handle a1, nb::handle a2, nb::handle b1, nb::handle b2, nb::handle tol) {
    return core::seg_crosses(xy(a1, "a1"), xy(a2, "a2"), xy(b1, "b1"), xy(b2, "b2"), to_double(tol, "tol"));
}

nb::tuple repair_score(nb::handle path, nb::handle r, nb::handle accepted, nb::handle real_obs, nb::handle tol) {
    Path p;
    nb::object seq = tuple_of(path, "path");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.ptr()); ++i) {
        nb::object pt = unpack(tuple_of(PyTuple_GET_ITEM(seq.ptr(), i), "path point"), 2);
        p.push_back({to_double(PyTuple_GET_ITEM(pt.ptr(), 0), "path point"),
                     to_double(PyTuple_GET_ITEM(pt.ptr(), 1), "path point")});
    }
    std::vector<core::MaybePath> others;
    nb::object acc = tuple_of(accepted, "accepted");
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(acc.ptr()); ++k) {
        nb::handle other(PyTuple_GET_ITEM(acc.ptr(), k));
        const int same = PyObject_RichCompareBool(nb::int_(k).ptr(), r.ptr(), Py_EQ);
        if (same < 0) throw nb::python_error();
        if (same || other.is_none()) {
            others.emplace_back(std::nullopt);
            continue;
        }
        Path o;
        nb::object pts = tuple_of(other, "accepted path");
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(pts.ptr()); ++j)
            o.push_back(xy(PyTuple_GET_ITEM(pts.ptr(), j), "accepted point"));
        others.emplace_back(std::move(o));
    }
    std::vector<Box> obs;
    nb::object real = tuple_of(real_obs, "real_obs");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(real.ptr()); ++i) {
        const std::vector<double> v = numbers(unpack(PyTuple_GET_ITEM(real.ptr(), i), 4), "real_obs entry");
        obs.push_back({v[0], v[1], v[2], v[3]});
    }
    const auto score = core::repair_score(p, -1, others, obs, to_double(tol, "tol"));
    return nb::make_tuple(score.first, score.second);
}

nb::list finalize_simple(nb::handle path, nb::handle g) {
    nb::object seq = tuple_of(path, "path");
    nb::list full;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.ptr()); ++i) full.append(tuple_of(PyTuple_GET_ITEM(seq.ptr(), i), "path node"));
    if (full.size() == 0) throw nb::index_error("list index out of range");
    nb::object end_port = g.attr("end_port");
    const int differs = PyObject_RichCompareBool(end_port.ptr(), full[full.size() - 1].ptr(), Py_NE);
    if (differs < 0) throw nb::python_error();
    if (differs) full.append(tuple_of(end_port, "g.end_port"));
    Path pts;
    for (nb::handle q : full) {
        nb::object two = unpack(q, 2);
        pts.push_back({to_double(PyTuple_GET_ITEM(two.ptr(), 0), "point"), to_double(PyTuple_GET_ITEM(two.ptr(), 1), "point")});
    }
    nb::list out;
    for (size_t i : core::corner_indices(pts)) out.append(full[i]);
    return out;
}

nb::object port_block_owners(nb::handle scene, nb::handle adj, nb::handle port_clearance) {
    const core::Scene s = to_scene(scene);
    const double half = port_clearance_of(port_clearance).value_or(0.5 * s.delta);
    nb::object keys;
    const std::shared_ptr<const Lattice> L = lattice_of(adj, keys);
    core::PortOwners po;
    {
        nb::gil_scoped_release release;
        po = core::port_block_owners(s, *L, half);
    }
    nb::dict out;
    for (size_t i = 0; i < po.edges.size(); ++i) {
        nb::set owners;
        for (std::uint32_t k = po.offsets[i]; k < po.offsets[i + 1]; ++k) owners.add(nb::int_(po.routes[k]));
        out[ekey(L->nodes[po.ends[i][0]], L->nodes[po.ends[i][1]])] = owners;
    }
    return out;
}

nb::tuple count_crossings_atomic(nb::handle atomic_paths) {
    std::vector<core::MaybePath> paths;
    nb::object seq = tuple_of(atomic_paths, "atomic_paths");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.ptr()); ++i) {
        nb::handle p(PyTuple_GET_ITEM(seq.ptr(), i));
        if (p.is_none()) paths.emplace_back(std::nullopt);
        else paths.emplace_back(node_points(p, "atomic path node"));
    }
    const core::CrossCount c = core::count_crossings(paths);
    return nb::make_tuple(c.crossings, c.overlaps);
}

nb::list cage_ladder(nb::handle B) {
    nb::list out;
    for (long v : core::cage_ladder(to_index(B))) out.append(v);
    return out;
}

nb::list orders_for(nb::handle B, nb::handle n_orders, nb::handle seed, nb::handle random_class) {
    const long routes = to_index(B);
    auto as_lists = [](const core::Orders& orders) {
        nb::list out;
        for (const auto& o : orders) {
            nb::list l;
            for (long v : o) l.append(v);
            out.append(l);
        }
        return out;
    };
    if (routes <= 4) return as_lists(core::all_orders(routes));
    // Asking for more orders than there are (B!) gives all of them; more than
    // kMaxOrders orders to try (each a whole negotiation) are refused.
    nb::object factorial = nb::int_(1);
    for (long k = 2; k <= routes; ++k) factorial = factorial * nb::int_(k);
    const int more = PyObject_RichCompareBool(n_orders.ptr(), factorial.ptr(), Py_GT);
    if (more < 0) throw nb::python_error();
    nb::object tried = more ? factorial : nb::borrow(n_orders);
    const int too_many = PyObject_RichCompareBool(tried.ptr(), nb::int_(kMaxOrders).ptr(), Py_GT);
    if (too_many < 0) throw nb::python_error();
    if (too_many)
        raise_value("n_orders: at most " + std::to_string(kMaxOrders) + " route orders are tried (" +
                    std::to_string(routes) + " routes have " + nb::cast<std::string>(nb::str(factorial)) +
                    "), got " + nb::cast<std::string>(nb::repr(n_orders)));
    if (more) return as_lists(core::all_orders(routes));

    nb::object rng = nb::borrow(random_class)(seed);
    nb::object shuffle = rng.attr("shuffle");
    std::vector<long> base(static_cast<size_t>(routes));
    for (long i = 0; i < routes; ++i) base[i] = i;
    nb::list orders;
    std::set<std::vector<long>> seen{base};
    orders.append(as_lists({base})[0]);
    for (;;) {
        const int less = PyObject_RichCompareBool(nb::int_(orders.size()).ptr(), n_orders.ptr(), Py_LT);
        if (less < 0) throw nb::python_error();
        if (!less) break;
        nb::list o = nb::borrow<nb::list>(as_lists({base})[0]);
        shuffle(o);
        std::vector<long> v;
        for (nb::handle x : o) v.push_back(to_index(x));
        if (!seen.insert(v).second) continue;
        orders.append(o);
    }
    return orders;
}

// The lattice over the route graphs the module body made; `blocked` is a
// replaced _ObstacleIndex's test, None for the native index.
nb::tuple build_shared_lattice(nb::handle scene, nb::handle graphs, nb::handle cage_margin, nb::handle behind,
                               nb::handle lane_mids, nb::handle cage_layers, nb::handle cage_step, nb::handle snap,
                               nb::handle blocked) {
    const core::Scene s = to_scene(scene);
    std::vector<core::RouteLines> lines;
    nb::object gseq = tuple_of(graphs, "graphs");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(gseq.ptr()); ++i) lines.push_back(route_lines(PyTuple_GET_ITEM(gseq.ptr(), i)));
    core::LatticeOptions lo = lattice_options(cage_margin, behind, lane_mids, cage_layers, cage_step);
    lo.snap = to_double(snap, "_SNAP");
    core::SharedLattice lat;
    if (!blocked.is_none()) {
        lat = core::build_shared_lattice(s, std::move(lines), lo,
                                         [&](Point a, Point b) { return truth(blocked(a.x, a.y, b.x, b.y)); });
    } else {
        const ObstacleIndex index(to_boxes(item_of(graphs, 0).attr("obs_list"), "obs_list"), to_grid(scene.attr("dbu")));
        nb::gil_scoped_release release;
        lat = core::build_shared_lattice(s, std::move(lines), lo, [&](Point a, Point b) { return index.blocked(a, b); });
    }
    nb::object adj = nb::cast(PyLatticeAdjacency{lat.lattice});
    return nb::make_tuple(float_list(lat.H), float_list(lat.V), adj, adj.attr("keys")(), graphs);
}

nb::object shared_view(nb::handle g, nb::handle H, nb::handle V, nb::handle adj, nb::handle nodes,
                       nb::handle replace) {
    PyLatticeAdjacency* native = nullptr;
    if (!nb::try_cast<PyLatticeAdjacency*>(adj, native) || !native || !native->lattice) native = nullptr;
    auto in_adj = [&](nb::handle p) {
        if (native) {
            Point q;
            return parse_point(p, q) && native->lattice->find(q) >= 0;
        }
        const int c = PySequence_Contains(adj.ptr(), p.ptr());
        if (c < 0) throw nb::python_error();
        return c != 0;
    };
    // The nodes of a LatticeAdjacency's own keys() are scanned natively, in
    // the same (id) order as iterating them.
    static nb::object keys_view = nb::module_::import_("collections.abc").attr("KeysView");
    const bool own_keys = native && Py_TYPE(nodes.ptr()) == reinterpret_cast<PyTypeObject*>(keys_view.ptr()) &&
                          nodes.attr("_mapping").is(adj);
    auto snap_nearest = [&](nb::handle pt) -> nb::object {
        const Point p = xy(pt, "point");
        if (own_keys) {
            const long near = core::nearest_node(*native->lattice, p);
            if (near < 0) raise_value("min() iterable argument is empty");
            return point_tuple(native->lattice->nodes[static_cast<size_t>(near)]);
        }
        nb::object best;
        double best_d = 0.0;
        nb::object it = nb::steal(PyObject_GetIter(nodes.ptr()));
        if (!it.is_valid()) throw nb::python_error();
        while (PyObject* raw = PyIter_Next(it.ptr())) {
            nb::object n = nb::steal(raw);
            const Point q = xy(n, "node");
            const double dd = std::fabs(q.x - p.x) + std::fabs(q.y - p.y);
            if (!best.is_valid() || dd < best_d) {
                best = n;
                best_d = dd;
            }
        }
        if (PyErr_Occurred()) throw nb::python_error();
        if (!best.is_valid()) raise_value("min() iterable argument is empty");
        return best;
    };
    auto settle = [&](const char* field) {
        nb::object p = g.attr(field);
        return in_adj(p) ? p : snap_nearest(p);
    };
    nb::object start = settle("start"), end = settle("end"), end_port = settle("end_port");
    return nb::borrow(replace)(g, "adj"_a = adj, "h_lines"_a = H, "v_lines"_a = V,
                               "h_bridges"_a = new_list(g.attr("h_bridges")), "v_bridges"_a = new_list(g.attr("v_bridges")),
                               "start"_a = start, "end"_a = end, "end_port"_a = end_port);
}

// ------------------------------------------------------------ whole runs

// route_negotiated's own arguments, as the module body hands them on, and
// the module's BLOCK_PEN and _SNAP.
core::NegotiationOptions negotiation_options(bool* deferred, nb::handle turn_bias, nb::handle iters, nb::handle overlap_pen,
                                             nb::handle node_pen, nb::handle hist_weight, nb::handle hist_decay,
                                             nb::handle turn_pen, nb::handle gauss_seidel, nb::handle avoid_ports,
                                             nb::handle relax_order, nb::handle cage_margin, nb::handle cage_layers,
                                             nb::handle port_clearance, nb::handle route_to_port,
                                             nb::handle block_pen, nb::handle snap) {
    RouteArgs a;
    const nb::handle given[kNumRouteParams] = {turn_bias,   iters,       overlap_pen,  node_pen,    hist_weight,
                                               hist_decay,  turn_pen,    gauss_seidel, avoid_ports, relax_order,
                                               cage_margin, cage_layers, port_clearance, route_to_port};
    for (int i = 0; i < kNumRouteParams; ++i) a.v[i] = nb::borrow(given[i]);
    return options_of(a, block_pen, snap, deferred);
}

nb::tuple outcome_tuple(const core::Outcome& out) {
    return nb::make_tuple(maybe_paths_to_arrays(out.skels), maybe_paths_to_tuples(out.atomic));
}

// (key, skels, atomic, order): the order is the caller's own object.
nb::tuple candidate_tuple(const core::Candidate& c, nb::handle orders) {
    auto count = [&](int i) { return nb::int_(static_cast<long long>(c.key.v[i])); };
    nb::object length = c.key.length_is_int ? nb::object(nb::int_(0)) : nb::object(nb::float_(c.key.v[5]));
    nb::tuple key = nb::make_tuple(count(0), count(1), count(2), count(3), count(4), length);
    nb::tuple out = outcome_tuple(c.outcome);
    return nb::make_tuple(key, out[0], out[1], item_of(orders, static_cast<Py_ssize_t>(c.order)));
}

// NotImplemented (the module body runs the loop) when a value it hands on
// does not pass the check of the helper that uses it.
template <class... A>
nb::object route_negotiated(nb::handle scene, A... args) {
    const core::Scene s = to_scene(scene);
    bool deferred = false;
    const core::NegotiationOptions o = negotiation_options(&deferred, args...);
    if (deferred || !search_weights_ok(s, o)) return nb::borrow(Py_NotImplemented);
    core::RunStats stats;
    core::Workspace ws;
    core::Outcome out;
    {
        nb::gil_scoped_release release;
        out = core::route_negotiated(s, o, stats, ws);
    }
    return outcome_tuple(out);
}

// The checks of route_negotiated and its resolved penalties (node_pen,
// overlap_pen, hist_weight, turn_pen), for the module body's loop.
template <class... A>
nb::tuple negotiation_values(nb::handle scene, A... args) {
    const core::Scene s = to_scene(scene);
    bool deferred = false;
    const core::NegotiationOptions o = negotiation_options(&deferred, args...);
    if (s.size() == 0) raise_value("build_shared_lattice: the scene has no routes");
    const core::Penalties p = core::resolve_penalties(s, o);
    return nb::make_tuple(p.node_pen, p.overlap_pen, p.hist_weight, p.turn_pen);
}

nb::object best_over_orders(nb::handle scene, nb::handle orders, nb::handle min_orders, nb::handle kw,
                            nb::handle block_pen, nb::handle snap) {
    const core::Scene s = to_scene(scene);
    nb::list orders_py = new_list(orders);
    // min_orders is first compared with the second order's index.
    const double min_n = orders_py.size() > 1 ? to_double(min_orders, "min_orders") : 2.0;
    if (orders_py.size() == 0) return nb::none();
    const RouteArgs ra = route_args_from(kw);
    core::NegotiationOptions o;
    core::Orders core_orders;
    // Values route_negotiated would refuse where it uses them: the module body
    // calls it by name.
    if (!passes([&] {
            o = options_of(ra, block_pen, snap);
            core_orders = order_lists(orders_py);
            return search_weights_ok(s, o);
        }))
        return nb::borrow(Py_NotImplemented);
    core::RunStats stats;
    core::Workspace ws;
    std::optional<core::Candidate> best;
    {
        nb::gil_scoped_release release;
        best = core::best_over_orders(s, core_orders, min_n, o, stats, ws);
    }
    return candidate_tuple(*best, orders_py);
}

// The orders and cage-layer counts are the module body's; `kw` holds the
// keywords for _best_over_orders (min_orders) and route_negotiated.
nb::object route_negotiated_best(nb::handle scene, nb::handle orders, nb::handle levels, nb::handle kw,
                                nb::handle block_pen, nb::handle snap) {
    const core::Scene s = to_scene(scene);
    nb::list orders_py = new_list(orders);
    nb::dict route_kw = nb::borrow<nb::dict>(own(PyDict_Copy(kw.ptr())));
    double min_n = 2.0;
    if (PyDict_Contains(route_kw.ptr(), nb::str("min_orders").ptr()) == 1) {
        if (orders_py.size() > 1) min_n = to_double(route_kw["min_orders"], "min_orders");
        PyDict_DelItemString(route_kw.ptr(), "min_orders");
    }
    const RouteArgs ra = route_args_from(route_kw);
    core::NegotiationOptions o;
    core::Orders core_orders;
    std::vector<long> core_levels;
    // As in best_over_orders: values route_negotiated would refuse where it
    // uses them send the orders through the functions by name.
    if (!passes([&] {
            o = options_of(ra, block_pen, snap);
            core_orders = order_lists(orders_py);
            for_each(levels, [&](nb::handle L) { core_levels.push_back(to_index(L)); });
            return search_weights_ok(s, o);
        }))
        return nb::borrow(Py_NotImplemented);
    core::RunStats stats;
    core::Candidate best;
    {
        nb::gil_scoped_release release;
        best = core::route_negotiated_best(s, core_orders, core_levels, min_n, o, stats);
    }
    nb::tuple c = candidate_tuple(best, orders_py);
    return nb::make_tuple(c[1], c[2], c[3]);
}

}  // namespace

}  // namespace kelvane::py::negotiated_module

using namespace kelvane::py;
using namespace kelvane::py::negotiated_module;

#include "negotiated_body.inc"

NB_MODULE(negotiated, m) {
    share_engine_deadline();  // time budgets set in kelvane.engine reach this module
    nb::module_ native = native_namespace("kelvane.manhattan_router.negotiated._native");
    def_native(native, "route_pen", &route_pen);
    def_native(native, "atomic_edges", &atomic_edges);
    def_native(native, "self_intersections", &self_intersections);
    def_native(native, "repair_self_intersections", &repair_self_intersections);
    def_native(native, "seg_crosses", &seg_crosses);
    def_native(native, "repair_score", &repair_score);
    def_native(native, "finalize_simple", &finalize_simple);
    def_native(native, "build_shared_lattice", &build_shared_lattice);
    def_native(native, "shared_view", &shared_view);
    def_native(native, "port_block_owners", &port_block_owners);
    using H = nb::handle;
    def_native(native, "route_negotiated", &route_negotiated<H, H, H, H, H, H, H, H, H, H, H, H, H, H, H, H>);
    def_native(native, "negotiation_values", &negotiation_values<H, H, H, H, H, H, H, H, H, H, H, H, H, H, H, H>);
    def_native(native, "count_crossings_atomic", &count_crossings_atomic);
    def_native(native, "cage_ladder", &cage_ladder);
    def_native(native, "orders_for", &orders_for);
    def_native(native, "best_over_orders", &best_over_orders);
    def_native(native, "route_negotiated_best", &route_negotiated_best);
    def_native(native, "scene_routes", +[](nb::handle scene) { return to_scene(scene).size(); });
    def_native(native, "has_boxes", +[](nb::handle v) { return has_boxes(v); });
    run_module_body(m, kNegotiatedBody, native);
}
