// negotiated: the functions of the module's table, as C++.
#include <cmath>
#include <set>
#include <string>

#include "negotiated_run.hpp"
#include "pyfunc.hpp"
#include "search_args.hpp"

namespace kelvane::py::negotiated_module {

using namespace nb::literals;

namespace {

nb::object np() { return module_attr("np"); }

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

nb::object item(nb::handle seq, Py_ssize_t i) {
    nb::object v = nb::steal(PySequence_GetItem(seq.ptr(), i));
    if (!v.is_valid()) throw nb::python_error();
    return v;
}

bool children_need_python(const SeamPlan& plan, std::initializer_list<SeamId> ids) { return plan.any(ids); }

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

// A new list holding tuple(float(v) for v in o) for every o of `boxes`.
nb::list float_tuples(nb::handle boxes) {
    nb::list out;
    for (nb::handle o : boxes) {
        nb::list vals;
        for (nb::handle v : o) {
            PyObject* f = PyNumber_Float(v.ptr());
            if (!f) throw nb::python_error();
            vals.append(nb::steal(f));
        }
        out.append(nb::tuple(vals));
    }
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

// route_negotiated's options.  With `deferred`, a value it only hands on
// (to the lattice builder, the port squares or the search) that does not
// convert is left at its default and *deferred is set: the function
// receiving it raises when it is used.  node_pen is handed on only when
// overlap_pen is given; otherwise overlap_pen is computed from it at once.
core::NegotiationOptions options_of(const RouteArgs& a, bool* deferred = nullptr) {
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
    o.block_pen = module_float("BLOCK_PEN");
    o.snap = module_float("_SNAP");
    return o;
}

// The values route_negotiated hands on: node_pen and turn_pen resolved.
PyArgs route_py_args(nb::handle scene, const RouteArgs& a, const core::Scene& s, const core::NegotiationOptions& o) {
    const core::Penalties pv = core::resolve_penalties(s, o);
    PyArgs p;
    p.scene = nb::borrow(scene);
    p.turn_bias = nb::borrow(a[0]);
    p.node_pen = a[3].is_none() ? nb::object(nb::float_(pv.node_pen)) : nb::borrow(a[3]);
    p.turn_pen = a[6].is_none() ? nb::object(nb::float_(pv.turn_pen)) : nb::borrow(a[6]);
    p.cage_margin = nb::borrow(a[10]);
    p.cage_layers = nb::borrow(a[11]);
    p.port_clearance = nb::borrow(a[12]);
    return p;
}

const std::initializer_list<SeamId> kRouteNegotiatedCalls = {
    kBuildSharedLattice, kSharedView,   kPortBlockOwners,    kRoutePen,  kRepairSelfIntersections, kAtomicEdges,
    kFinalizeSimple,     kObstacle,     kObstacleIndex,      kExtendShortSegments, kRepairScore};
const std::initializer_list<SeamId> kBestOverOrdersCalls = {kRouteNegotiated, kCountCrossingsAtomic, kManhattanLength,
                                                            kCountTurns};
const std::initializer_list<SeamId> kBestCalls = {kOrdersFor, kCageLadder, kBestOverOrders};

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

// ------------------------------------------------------------ the functions

nb::object route_pen(nb::handle g, nb::handle turn_bias, nb::handle edge_pen, nb::handle node_chords,
                     nb::handle cross_pen, nb::handle blocked_passthrough, nb::handle turn_pen) {
    const SeamPlan plan = SeamPlan::now();
    if (plan.any({kRunDijkstra, kSelectEndState, kReconstructPath})) {
        nb::object parts = unpack(call_kw(seam(kRunDijkstra).current(), nb::make_tuple(g, turn_bias, blocked_passthrough),
                                          kwd("edge_pen", edge_pen, "node_chords", node_chords, "cross_pen", cross_pen,
                                              "turn_pen", turn_pen)),
                                  2);
        nb::object dist = nb::borrow(PyTuple_GET_ITEM(parts.ptr(), 0)), prev = nb::borrow(PyTuple_GET_ITEM(parts.ptr(), 1));
        nb::object best = call_kw(seam(kSelectEndState).current(), nb::make_tuple(g, dist, turn_bias),
                                  kwd("turn_pen", turn_pen));
        if (best.is_none()) return nb::none();
        return seam(kReconstructPath).current()(prev, best, g.attr("start"));
    }
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
    const SeamPlan plan = SeamPlan::now();
    if (plan.any({kRoutePen, kSelfIntersections})) {
        nb::object current = nb::borrow(path);
        nb::set blocked;
        for (long t = 0; t < tries; ++t) {
            nb::object bad = seam(kSelfIntersections).current()(current);
            if (!truth(bad)) break;
            blocked.attr("update")(bad);
            nb::object p = call_kw(seam(kRoutePen).current(), nb::make_tuple(g, turn_bias, edge_pen),
                                   kwd("node_chords", node_chords, "cross_pen", cross_pen, "blocked_passthrough",
                                       nb::frozenset(blocked), "turn_pen", turn_pen));
            if (p.is_none()) break;
            current = p;
        }
        return current;
    }
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

nb::tuple route_negotiated(nb::handle scene, nb::handle turn_bias, nb::handle iters, nb::handle overlap_pen,
                           nb::handle node_pen, nb::handle hist_weight, nb::handle hist_decay, nb::handle turn_pen,
                           nb::handle gauss_seidel, nb::handle avoid_ports, nb::handle relax_order,
                           nb::handle cage_margin, nb::handle cage_layers, nb::handle port_clearance,
                           nb::handle route_to_port) {
    RouteArgs a;
    const nb::handle given[kNumRouteParams] = {turn_bias,    iters,       overlap_pen, node_pen,       hist_weight,
                                               hist_decay,   turn_pen,    gauss_seidel, avoid_ports,   relax_order,
                                               cage_margin,  cage_layers, port_clearance, route_to_port};
    for (int i = 0; i < kNumRouteParams; ++i) a.v[i] = nb::borrow(given[i]);
    const core::Scene s = to_scene(scene);
    bool deferred = false;
    const core::NegotiationOptions o = options_of(a, &deferred);
    const SeamPlan plan = SeamPlan::now();
    PyArgs args = s.size() ? route_py_args(scene, a, s, o) : PyArgs{nb::borrow(scene)};
    // The values it hands on, as their users check them: one that fails is
    // checked again where the module's own code uses it (a replaced user
    // gets it as it was given).
    const bool check = deferred || (s.size() && !handed_on_ok(args));
    PyRun run(plan, std::move(args));
    run.check_handed_on = check;
    core::Workspace ws;
    core::Outcome out;
    if (!run.check_handed_on && !plan.any(kRouteNegotiatedCalls)) {
        core::Seams native;
        nb::gil_scoped_release release;
        out = core::route_negotiated(s, o, native, ws);
    } else {
        out = core::route_negotiated(s, o, run, ws);
    }
    return run.outcome_tuple(out);
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

double manhattan_length(nb::handle skel) {
    nb::object numpy = np();
    nb::object a = numpy.attr("asarray")(skel);
    const bool plain = nb::cast<std::string>(a.attr("dtype").attr("char")) == "d" && nb::cast<long>(a.attr("ndim")) == 2 &&
                       nb::cast<long>(a.attr("shape")[1]) == 2;
    if (plain) return core::manhattan_length(to_path(a, "skel"));
    nb::object diff = call_kw(numpy.attr("diff"), nb::make_tuple(a), kwd("axis", 0));
    return to_double(numpy.attr("sum")(numpy.attr("abs")(diff)), "skel length");
}

long count_turns(nb::handle skel) {
    nb::object numpy = np();
    nb::object s = call_kw(numpy.attr("ascontiguousarray"), nb::make_tuple(skel), kwd("dtype", "float64"));
    if (nb::cast<long>(s.attr("ndim")) == 0) raise_type("len() of unsized object");
    nb::ndarray<const double, nb::c_contig, nb::device::cpu> view;
    if (!nb::try_cast(s, view)) raise_type("skel must be an array of numbers");
    const size_t n = view.shape(0);
    size_t m = 1;
    for (size_t i = 1; i < view.ndim(); ++i) m *= view.shape(i);
    const double* d = view.data();
    auto norm = [&](size_t i, size_t j) {
        double sq = 0.0;
        for (size_t k = 0; k < m; ++k) {
            const double v = d[i * m + k] - d[j * m + k];
            sq += v * v;
        }
        return std::sqrt(sq);
    };
    long turns = 0;
    for (size_t i = 1; i + 1 < n; ++i)
        if (norm(i, i - 1) > 1e-9 && norm(i + 1, i) > 1e-9) ++turns;
    return turns;
}

nb::list cage_ladder(nb::handle B) {
    nb::list out;
    for (long v : core::cage_ladder(to_index(B))) out.append(v);
    return out;
}

nb::list orders_for(nb::handle B, nb::handle n_orders, nb::handle seed) {
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

    nb::object rng = module_attr("random").attr("Random")(seed);
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

nb::object best_over_orders(nb::handle scene, nb::handle orders, nb::handle min_orders, nb::kwargs kw) {
    const core::Scene s = to_scene(scene);
    SeamPlan plan = SeamPlan::now();
    nb::list orders_py = new_list(orders);
    // min_orders is first compared with the second order's index.
    const double min_n = orders_py.size() > 1 ? to_double(min_orders, "min_orders") : 2.0;
    PyArgs a;
    a.scene = nb::borrow(scene);
    a.orders = orders_py;
    a.route_kw = kw;
    core::NegotiationOptions o;
    core::Orders core_orders(orders_py.size());
    if (!plan.py[kRouteNegotiated] && orders_py.size()) {
        const RouteArgs ra = route_args_from(kw);
        // route_negotiated reads its values as it goes: when one of them does
        // not pass here, it is called by name and raises where it uses it.
        if (!passes([&] {
                o = options_of(ra);
                core_orders = order_lists(orders_py);
                return s.size() == 0 || handed_on_ok(route_py_args(scene, ra, s, o));
            }))
            plan.py[kRouteNegotiated] = true;
    }
    PyRun run(plan, a);
    core::Workspace ws;
    std::optional<core::Candidate> best;
    if (!plan.any(kBestOverOrdersCalls)) {
        core::Seams native;
        native.compensated_sum = PY_VERSION_HEX >= 0x030C0000;
        nb::gil_scoped_release release;
        best = core::best_over_orders(s, core_orders, min_n, o, native, ws);
    } else {
        run.compensated_sum = PY_VERSION_HEX >= 0x030C0000;
        best = core::best_over_orders(s, core_orders, min_n, o, run, ws);
    }
    if (!best) return nb::none();
    return run.candidate_tuple(*best);
}

nb::tuple route_negotiated_best(nb::handle port_centers, nb::handle port_tangents, nb::handle delta,
                                nb::handle obstacles, nb::kwargs kwargs) {
    nb::dict kw(kwargs);
    nb::object n_orders = kw["n_orders"], seed = kw["seed"], dbu = kw["dbu"];
    PyDict_DelItemString(kw.ptr(), "n_orders");
    PyDict_DelItemString(kw.ptr(), "seed");
    PyDict_DelItemString(kw.ptr(), "dbu");
    nb::object numpy = np();
    auto as_floats = [&](nb::handle v) {  // np.asarray(v, dtype=float)
        return call_kw(numpy.attr("asarray"), nb::make_tuple(v),
                       kwd("dtype", nb::handle(reinterpret_cast<PyObject*>(&PyFloat_Type))));
    };
    nb::list obs = has_boxes(obstacles) ? float_tuples(obstacles) : nb::list();
    nb::object fdelta = nb::steal(PyNumber_Float(delta.ptr()));
    if (!fdelta.is_valid()) throw nb::python_error();
    nb::object scene = call_kw(module_attr("_Scene"),
                               nb::make_tuple(as_floats(port_centers), as_floats(port_tangents),
                                              fdelta, obs),
                               kwd("dbu", dbu));
    nb::object B = scene.attr("port_centers").attr("shape")[0];
    if (to_index(B) == 0) return nb::make_tuple(nb::list(), nb::list(), nb::list());
    const core::Scene s = to_scene(scene);
    SeamPlan plan = SeamPlan::now();

    nb::object orders = plan.py[kOrdersFor] ? seam(kOrdersFor).current()(B, n_orders, seed)
                                            : nb::object(orders_for(B, n_orders, seed));
    nb::object levels_given = nb::none();
    if (PyDict_Contains(kw.ptr(), nb::str("cage_layers").ptr()) == 1) {
        levels_given = kw["cage_layers"];
        PyDict_DelItemString(kw.ptr(), "cage_layers");
    }
    nb::list levels;
    if (!levels_given.is_none()) levels.append(levels_given);
    else levels = new_list(plan.py[kCageLadder] ? seam(kCageLadder).current()(B) : nb::object(cage_ladder(B)));

    PyArgs a;
    a.scene = scene;
    a.orders = new_list(orders);
    a.levels = levels;
    a.best_kw = kw;
    core::Orders core_orders(nb::len(a.orders));
    std::vector<long> core_levels(levels.size(), 0);
    double min_n = 2.0;
    core::NegotiationOptions o;
    if (!plan.py[kBestOverOrders]) {
        nb::dict route_kw = nb::steal<nb::dict>(PyDict_Copy(kw.ptr()));
        if (PyDict_Contains(route_kw.ptr(), nb::str("min_orders").ptr()) == 1) {
            if (nb::len(a.orders) > 1) min_n = to_double(route_kw["min_orders"], "min_orders");
            PyDict_DelItemString(route_kw.ptr(), "min_orders");
        }
        a.route_kw = route_kw;
        if (!plan.py[kRouteNegotiated]) {
            const RouteArgs ra = route_args_from(route_kw);
            // As in _best_over_orders: values route_negotiated would refuse
            // where it uses them send the orders through the functions by name.
            if (!passes([&] {
                    o = options_of(ra);
                    core_orders = order_lists(a.orders);
                    for (size_t i = 0; i < levels.size(); ++i) core_levels[i] = to_index(levels[i]);
                    return handed_on_ok(route_py_args(scene, ra, s, o));
                }))
                plan.py[kBestOverOrders] = plan.py[kRouteNegotiated] = true;
        }
    }
    PyRun run(plan, a);
    run.compensated_sum = PY_VERSION_HEX >= 0x030C0000;
    core::Candidate best;
    if (!plan.any(kBestCalls)) {
        core::Seams native;
        native.compensated_sum = run.compensated_sum;
        nb::gil_scoped_release release;
        best = core::route_negotiated_best(s, core_orders, core_levels, min_n, o, native);
    } else {
        best = core::route_negotiated_best(s, core_orders, core_levels, min_n, o, run);
    }
    nb::tuple c = run.candidate_tuple(best);
    return nb::make_tuple(c[1], c[2], c[3]);
}

nb::object negotiate_routes(nb::handle port_centers, nb::handle port_tangents, nb::handle delta, nb::handle obstacles,
                            nb::kwargs kw) {
    nb::object res = call_kw(seam(kRouteNegotiatedBest).current(),
                             nb::make_tuple(port_centers, port_tangents, delta, obstacles), nb::dict(kw));
    nb::object parts = unpack(res, 3);
    return nb::borrow(PyTuple_GET_ITEM(parts.ptr(), 0));
}

}  // namespace

// ------------------------------------------------------------ shared with PyRun

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

nb::object per_route_graphs(nb::handle scene) {
    const nb::list obs = float_tuples(scene.attr("obstacles"));
    nb::object pc = scene.attr("port_centers"), pt = scene.attr("port_tangents");
    const long B = to_index(pc.attr("shape")[0]);
    nb::object f = seam(kBuildRailBridgeGraph).current();
    nb::list out;
    for (long r = 0; r < B; ++r) {
        nb::object args = nb::make_tuple(pc[nb::make_tuple(r, 0)], pc[nb::make_tuple(r, 1)], pt[nb::make_tuple(r, 0)],
                                         pt[nb::make_tuple(r, 1)], scene.attr("delta"), obs);
        out.append(call_kw(f, nb::borrow<nb::tuple>(args),
                           kwd("sliding_bias", 0.5, "enforce_min_segment_length", false, "dbu", scene.attr("dbu"))));
    }
    return out;
}

nb::tuple build_shared_lattice(nb::handle scene, nb::handle cage_margin, nb::handle behind, nb::handle lane_mids,
                               nb::handle cage_layers, nb::handle cage_step) {
    const core::Scene s = to_scene(scene);
    const SeamPlan plan = SeamPlan::now();
    nb::object graphs = plan.py[kPerRouteGraphs] ? seam(kPerRouteGraphs).current()(scene) : per_route_graphs(scene);
    if (s.size() == 0) raise_value("build_shared_lattice: the scene has no routes");
    std::vector<core::RouteLines> lines;
    nb::object gseq = tuple_of(graphs, "graphs");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(gseq.ptr()); ++i) lines.push_back(route_lines(PyTuple_GET_ITEM(gseq.ptr(), i)));
    nb::object obs_list = item(graphs, 0).attr("obs_list");
    core::LatticeOptions lo = lattice_options(cage_margin, behind, lane_mids, cage_layers, cage_step);
    lo.snap = module_float("_SNAP");
    core::SharedLattice lat;
    if (plan.py[kObstacleIndex]) {
        nb::object idx = seam(kObstacleIndex).current()(obs_list, scene.attr("dbu"));
        nb::object blocked = idx.attr("blocked");
        lat = core::build_shared_lattice(s, std::move(lines), lo,
                                         [&](Point a, Point b) { return truth(blocked(a.x, a.y, b.x, b.y)); });
    } else {
        const ObstacleIndex index(to_boxes(obs_list, "obs_list"), to_grid(scene.attr("dbu")));
        nb::gil_scoped_release release;
        lat = core::build_shared_lattice(s, std::move(lines), lo, [&](Point a, Point b) { return index.blocked(a, b); });
    }
    nb::object adj = adjacency(lat.lattice);
    return nb::make_tuple(float_list(lat.H), float_list(lat.V), adj, adj.attr("keys")(), graphs);
}

nb::object shared_view(nb::handle g, nb::handle H, nb::handle V, nb::handle adj, nb::handle nodes) {
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
    return call_kw(module_attr("dataclasses").attr("replace"), nb::make_tuple(g),
                   kwd("adj", adj, "h_lines", H, "v_lines", V, "h_bridges", new_list(g.attr("h_bridges")), "v_bridges",
                       new_list(g.attr("v_bridges")), "start", start, "end", end, "end_port", end_port));
}

// ------------------------------------------------------------ registration

namespace {

template <class F, class... Extra>
void def(nb::module_& m, const char* name, const char* header, const char* doc, F f, Extra... extra) {
    def_function(m, name, header, doc, nb::cpp_function(f, nb::name(name), extra...));
}

auto a(const char* name) { return nb::arg(name).none(); }

}  // namespace

void bind_functions(nb::module_& m) {
    def(m, "_route_pen",
        "(g, turn_bias, edge_pen, node_chords=None, cross_pen=0.0, blocked_passthrough=frozenset(), turn_pen=0.0)",
        "One route searched on its view g under the given penalties: the lattice path\n"
        "(list of nodes from g.start to g.end) or None when the end cannot be reached.\n\n"
        "Runs _run_dijkstra(g, turn_bias, blocked_passthrough, edge_pen=, node_chords=,\n"
        "cross_pen=, turn_pen=), _select_end_state(g, dist, turn_bias, turn_pen=) and\n"
        "_reconstruct_path(prev, best, g.start), each looked up in this module when called.\n"
        "Port headings are rules: the path leaves g.start along g.start_dir and arrives\n"
        "along g.end_dir when the view has them.",
        &route_pen, a("g"), a("turn_bias"), a("edge_pen"), a("node_chords"), a("cross_pen"), a("blocked_passthrough"),
        a("turn_pen"));
    def(m, "_atomic_edges", "(path)",
        "Edge keys _ekey(path[i], path[i + 1]) of a lattice path, one per step, in order.", &atomic_edges, a("path"));
    def(m, "_self_intersections", "(path)",
        "Set of (node, direction) pass-through bans: at every node the path meets more\n"
        "than twice (counting one side per step), both directions of every opposite pair\n"
        "of sides found there.  Empty when the path visits every node once.",
        &self_intersections, a("path"));
    def(m, "_repair_self_intersections",
        "(g, path, turn_bias, edge_pen, node_chords, cross_pen, max_tries=4, turn_pen=0.0)",
        "Re-search a self-intersecting path with its straight passes through the nodes it\n"
        "meets more than once banned (bans accumulate), at most max_tries times.  Returns\n"
        "the path of the last successful search, or `path` itself (the same object) when\n"
        "it had no self-intersection or the first re-search found no path.",
        &repair_self_intersections, a("g"), a("path"), a("turn_bias"), a("edge_pen"), a("node_chords"),
        a("cross_pen"), a("max_tries"), a("turn_pen"));
    def(m, "_seg_crosses", "(a1, a2, b1, b2, tol=1e-9)",
        "Do the axis-parallel segments a1-a2 and b1-b2 cross?  A segment is horizontal\n"
        "when its end y values differ by less than tol, else vertical; parallel segments\n"
        "never cross; perpendicular ones that touch (T or L meetings) do.",
        &seg_crosses, a("a1"), a("a2"), a("b1"), a("b2"), a("tol"));
    def(m, "_repair_score", "(path, r, accepted, real_obs, tol=1e-9)",
        "(crossings, intrusions) of route r's point path: segment pairs crossing the other\n"
        "accepted paths (_seg_crosses, None entries and entry r skipped), and segment /\n"
        "obstacle pairs where a segment runs strictly inside an obstacle (x0, y0, x1, y1)\n"
        "of real_obs across more than tol of it.  Lower is better, compared as a tuple.",
        &repair_score, a("path"), a("r"), a("accepted"), a("real_obs"), a("tol"));
    def(m, "_finalize_simple", "(path, g)",
        "Corner points of a lattice path as a list of tuples: g.end_port appended when\n"
        "the path does not end there, interior points dropped where the path goes\n"
        "straight on (differences rounded to 6 decimals); reversals stay.",
        &finalize_simple, a("path"), a("g"));
    def(m, "_per_route_graphs", "(scene)",
        "One per-route graph per route: _build_rail_bridge_graph(start, end, start\n"
        "tangent, end tangent, scene.delta, obstacles as float tuples, sliding_bias=0.5,\n"
        "enforce_min_segment_length=False, dbu=scene.dbu).",
        &per_route_graphs, a("scene"));
    def(m, "build_shared_lattice",
        "(scene, cage_margin=None, behind=True, lane_mids=True, cage_layers=None, cage_step=None)",
        "The shared lattice of a scene: (H, V, adj, nodes, graphs).\n\n"
        "H, V: ascending y values of the horizontal and x values of the vertical lines:\n"
        "every route graph's lines, cage_layers lines behind every port (delta, then\n"
        "cage_step apart), a mid-line in every gap wider than 2 * delta, cage_layers cage\n"
        "rings from cage_margin outside the ports and obstacles, all snapped to dbu (or\n"
        "_SNAP) with ties to even.  Defaults: cage_margin 3 * delta, cage_layers\n"
        "max(routes, 2), cage_step 2 * delta.\n"
        "adj: read-only mapping node -> [(neighbour, length), ...]: horizontal edges\n"
        "first, then vertical, each from the lowest coordinate up; an edge the\n"
        "_ObstacleIndex blocks (through a box or along its side) is left out.  Key order:\n"
        "the crossings row by row from the lowest y, each row from the lowest x, then the\n"
        "snapped port points that are not crossings, by (y, x).\n"
        "nodes: the keys of adj (a set view).  graphs: _per_route_graphs(scene).\n"
        "ValueError for a scene without routes.",
        &build_shared_lattice, a("scene"), a("cage_margin"), a("behind"), a("lane_mids"), a("cage_layers"),
        a("cage_step"));
    def(m, "_shared_view", "(g, H, V, adj, nodes)",
        "A copy of route graph g on the shared lattice: adj, h_lines = H, v_lines = V,\n"
        "new bridge lists, and start, end and end_port moved to the nearest node of\n"
        "`nodes` (Manhattan distance, the first in iteration order on ties) unless they\n"
        "are nodes of adj already.",
        &shared_view, a("g"), a("H"), a("V"), a("adj"), a("nodes"));
    def(m, "_port_block_owners", "(scene, adj, port_clearance=None)",
        "{edge key: set of routes} for every lattice edge touching a square of half-width\n"
        "port_clearance (default delta / 2) round one of the routes' ports, in the order\n"
        "adj lists the edges first.",
        &port_block_owners, a("scene"), a("adj"), a("port_clearance"));
    def(m, "route_negotiated",
        "(scene, turn_bias='center', iters=20, overlap_pen=None, node_pen=None, hist_weight=None, hist_decay=0.5, "
        "turn_pen=None, gauss_seidel=True, avoid_ports=True, relax_order=None, cage_margin=None, cage_layers=None, "
        "port_clearance=None, route_to_port=True)",
        "Route every route of a scene on one shared lattice by negotiated congestion.\n\n"
        "Each route is first searched alone (other routes' port squares cost BLOCK_PEN);\n"
        "then up to `iters` passes reroute the routes (in relax_order, each seeing the\n"
        "others' current paths, or all at once with gauss_seidel=False) against edge\n"
        "penalties: history + BLOCK_PEN near other routes' ports + overlap_pen per other\n"
        "route on the edge, and node_pen per crossing or corner contact with another\n"
        "route.  The history grows by hist_weight per excess user per pass and decays by\n"
        "hist_decay.  The loop stops when a pass shares no edge and changes no route.\n"
        "Defaults: node_pen max(4 * span, 30 * delta), overlap_pen 2 * node_pen,\n"
        "hist_weight and turn_pen delta; iters at most 10000.  Returns (skels, atomic):\n"
        "per route an N x 2 array of corner points (short segments lengthened where that\n"
        "adds no crossing or obstacle intrusion) and the lattice path, or None for both\n"
        "when unrouted.",
        &route_negotiated, a("scene"), a("turn_bias"), a("iters"), a("overlap_pen"), a("node_pen"), a("hist_weight"),
        a("hist_decay"), a("turn_pen"), a("gauss_seidel"), a("avoid_ports"), a("relax_order"), a("cage_margin"),
        a("cage_layers"), a("port_clearance"), a("route_to_port"));
    def(m, "count_crossings_atomic", "(atomic_paths)",
        "(crossings, overlaps) over all pairs of lattice paths (None entries count as\n"
        "empty): nodes both routes pass through with interleaved sides, and shared edges.",
        &count_crossings_atomic, a("atomic_paths"));
    def(m, "_manhattan_length", "(skel)", "Sum of |dx| + |dy| over the steps of a skeleton (numpy's sum), as a float.",
        &manhattan_length, a("skel"));
    def(m, "_count_turns", "(skel)",
        "Interior points whose incoming and outgoing segments are both longer than 1e-9.", &count_turns, a("skel"));
    def(m, "_cage_ladder", "(B)", "Cage-layer counts to try: sorted distinct 2, max(2, (B + 1) // 2), max(2, B).",
        &cage_ladder, a("B"));
    def(m, "_orders_for", "(B, n_orders, seed)",
        "Route orders to try: every permutation (lexicographic) for B <= 4; else the\n"
        "identity followed by distinct random.Random(seed) shuffles of it until there are\n"
        "n_orders.  Asking for more orders than the B! that exist gives all of them in\n"
        "lexicographic order.  ValueError when more than 10000 orders would be tried.",
        &orders_for, a("B"), a("n_orders"), a("seed"));
    def(m, "_best_over_orders", "(scene, orders, min_orders=2, **kw)",
        "route_negotiated(scene, relax_order=o, **kw) for each order o, keeping the best\n"
        "by the key (unrouted, crossings + overlaps, crossings, overlaps, turns, length);\n"
        "stops once min_orders orders were tried and the best is complete and clean.\n"
        "Returns (key, skels, atomic, order), or None when `orders` is empty.",
        &best_over_orders, a("scene"), a("orders"), a("min_orders"), nb::arg("kw"));
    def(m, "route_negotiated_best",
        "(port_centers, port_tangents, delta, obstacles=None, *, n_orders=8, seed=0, dbu=None, **kw)",
        "Best negotiated routing over route orders (_orders_for) and cage sizes\n"
        "(_cage_ladder, or only kw['cage_layers']): (skels, atomic, order).\n\n"
        "port_centers, port_tangents: (B, 2, 2) array-likes, [r, 0] start and [r, 1] end\n"
        "of route r; tangents are headings of travel.  delta: the route pitch (> 0).\n"
        "obstacles: (x_min, y_min, x_max, y_max) boxes or None.  Other keywords go to\n"
        "route_negotiated (min_orders to _best_over_orders).  No routes: ([], [], []).\n"
        "ValueError naming the argument for non-finite values, zero or oblique tangents\n"
        "and a delta that is not positive.",
        &route_negotiated_best, a("port_centers"), a("port_tangents"), a("delta"), a("obstacles"), nb::arg("kw"));
    def(m, "negotiate_routes", "(port_centers, port_tangents, delta, obstacles=None, **kw)",
        "Route all routes of a scene at once; returns the skeletons of\n"
        "route_negotiated_best (per route an N x 2 array of corner points, or None).",
        &negotiate_routes, a("port_centers"), a("port_tangents"), a("delta"), a("obstacles"), nb::arg("kw"));
}

}  // namespace kelvane::py::negotiated_module
