// negotiated: the seams of the module and PyRun (the core's Seams with
// Python behind the replaced names).
#include <algorithm>
#include <functional>
#include <map>
#include <string>

#include "negotiated_run.hpp"
#include "search_args.hpp"

namespace kelvane::py::negotiated_module {

using namespace nb::literals;

namespace {

struct SeamInfo {
    const char* name;
    std::vector<SeamId> calls;  // seams of the module that this one's own code calls
};

const SeamInfo kSeams[kNumSeams] = {
    {"_build_rail_bridge_graph", {}},
    {"_per_route_graphs", {kBuildRailBridgeGraph}},
    {"_ObstacleIndex", {}},
    {"build_shared_lattice", {kPerRouteGraphs, kObstacleIndex}},
    {"_shared_view", {}},
    {"_port_block_owners", {}},
    {"_run_dijkstra", {}},
    {"_select_end_state", {}},
    {"_reconstruct_path", {}},
    {"_route_pen", {kRunDijkstra, kSelectEndState, kReconstructPath}},
    {"_self_intersections", {}},
    {"_repair_self_intersections", {kRoutePen, kSelfIntersections}},
    {"_atomic_edges", {}},
    {"_finalize_simple", {}},
    {"Obstacle", {}},
    {"_extend_short_segments", {}},
    {"_repair_score", {}},
    {"route_negotiated",
     {kBuildSharedLattice, kSharedView, kPortBlockOwners, kRoutePen, kRepairSelfIntersections, kAtomicEdges,
      kFinalizeSimple, kObstacle, kObstacleIndex, kExtendShortSegments, kRepairScore}},
    {"count_crossings_atomic", {}},
    {"_manhattan_length", {}},
    {"_count_turns", {}},
    {"_best_over_orders", {kRouteNegotiated, kCountCrossingsAtomic, kManhattanLength, kCountTurns}},
    {"_orders_for", {}},
    {"_cage_ladder", {}},
    {"route_negotiated_best", {kOrdersFor, kCageLadder, kBestOverOrders}},
};

Seam g_seams[kNumSeams];
Seam g_block_pen, g_snap, g_dataclasses;
PyObject* g_module_dict = nullptr;  // borrowed from the module, which lives as long as the process

}  // namespace

std::vector<double> numbers(nb::handle seq, const std::string& what) {
    nb::object t = tuple_of(seq, what);
    std::vector<double> out;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t.ptr()); ++i)
        out.push_back(to_double(PyTuple_GET_ITEM(t.ptr(), i), (what + " item").c_str()));
    return out;
}

nb::list new_list(nb::handle iterable) {
    PyObject* l = PySequence_List(iterable.ptr());
    if (!l) throw nb::python_error();
    return nb::steal<nb::list>(l);
}

// (key, value) of a keyword dict merged after a leading keyword, the way
// f(..., first=v, **kw) builds its keywords.
nb::dict keywords(const char* func, const char* first, nb::handle value, nb::handle kw) {
    nb::dict out;
    out[first] = value;
    if (kw.is_valid() && !kw.is_none()) {
        for (auto [k, v] : nb::borrow<nb::dict>(kw)) {
            if (PyUnicode_Check(k.ptr()) && nb::str(k).equal(nb::str(first)))
                raise_type(std::string(func) + "() got multiple values for keyword argument '" + first + "'");
            out[k] = v;
        }
    }
    return out;
}

nb::object call_kw(nb::handle f, nb::tuple args, nb::dict kw) {
    PyObject* r = PyObject_Call(f.ptr(), args.ptr(), kw.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}


void bind_seams(nb::module_& m) {
    g_module_dict = PyModule_GetDict(m.ptr());
    for (int i = 0; i < kNumSeams; ++i) g_seams[i].bind(m, kSeams[i].name);
    g_block_pen.bind(m, "BLOCK_PEN");
    g_snap.bind(m, "_SNAP");
    g_dataclasses.bind(m, "dataclasses");
}

Seam& seam(SeamId id) { return g_seams[id]; }

double module_float(const char* name) {
    Seam& s = std::string(name) == "BLOCK_PEN" ? g_block_pen : g_snap;
    return to_double(s.current(), name);
}

nb::object module_attr(const char* name) {
    PyObject* v = PyDict_GetItemString(g_module_dict, name);
    if (!v) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw nb::python_error();
    }
    return nb::borrow(v);
}

SeamPlan SeamPlan::now() {
    SeamPlan p;
    std::array<signed char, kNumSeams> memo;
    memo.fill(-1);
    std::function<bool(int)> need = [&](int id) -> bool {
        if (memo[id] >= 0) return memo[id] != 0;
        bool v = g_seams[id].replacement().is_valid();
        for (SeamId c : kSeams[id].calls) v = need(c) || v;
        memo[id] = v ? 1 : 0;
        return v;
    };
    for (int i = 0; i < kNumSeams; ++i) p.py[i] = need(i);
    return p;
}

// ------------------------------------------------------------ conversions

nb::object adjacency(std::shared_ptr<const Lattice> lattice) { return nb::cast(PyLatticeAdjacency{std::move(lattice)}); }

core::RouteLines route_lines(nb::handle g) {  // a per-route graph record
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

namespace {

core::RouteView route_view(nb::handle v, const Lattice& L) {
    core::RouteView rv;
    rv.start = L.find(node_point(required_attr(v, "start"), "view.start"));
    rv.end = L.find(node_point(required_attr(v, "end"), "view.end"));
    rv.end_port = node_point(required_attr(v, "end_port"), "view.end_port");
    rv.end_port_node = L.find(rv.end_port);
    rv.start_dir = to_heading(getattr_or_none(v, "start_dir"), "view.start_dir", true);
    rv.end_dir = to_heading(getattr_or_none(v, "end_dir"), "view.end_dir", true);
    rv.end_approach_len = to_double(required_attr(v, "end_approach_len"), "view.end_approach_len");
    rv.obstacles = to_boxes(required_attr(v, "obs_list"), "view.obs_list");
    return rv;
}

Path node_points(nb::handle path, const std::string& what) {
    nb::object seq = tuple_of(path, what);
    Path out;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.ptr()); ++i)
        out.push_back(node_point(PyTuple_GET_ITEM(seq.ptr(), i), [&] { return what + "[" + std::to_string(i) + "]"; }));
    return out;
}

}  // namespace

// ------------------------------------------------------------ PyRun helpers

nb::object PyRun::node(std::uint32_t id) {
    if (nodes_.size() < lattice().size()) nodes_.resize(lattice().size());
    if (!nodes_[id].is_valid()) nodes_[id] = point_tuple(lattice().nodes[id]);
    return nodes_[id];
}

nb::list PyRun::node_list(const core::NodePath& path) {
    nb::list out;
    for (std::uint32_t n : path) out.append(node(n));
    return out;
}

nb::object PyRun::edge_key(std::uint32_t e) {
    const Lattice& L = lattice();
    if (edge_ends_.empty() && L.num_edges) {
        edge_ends_.assign(L.num_edges, {0, 0});
        for (std::uint32_t n = 0; n < L.size(); ++n)
            for (std::uint32_t k = L.offsets[n]; k < L.offsets[n + 1]; ++k) edge_ends_[L.edge_id[k]] = {n, L.neighbour[k]};
    }
    const Point a = L.nodes[edge_ends_[e][0]], b = L.nodes[edge_ends_[e][1]];
    const bool a_first = a.x < b.x || (a.x == b.x && a.y <= b.y);
    return a_first ? nb::make_tuple(node(edge_ends_[e][0]), node(edge_ends_[e][1]))
                   : nb::make_tuple(node(edge_ends_[e][1]), node(edge_ends_[e][0]));
}

nb::object PyRun::lattice_part(int which) {
    if (!lat_py_[which].is_valid()) {
        switch (which) {
            case 0: lat_py_[0] = float_list(lat_->H); break;
            case 1: lat_py_[1] = float_list(lat_->V); break;
            case 2: lat_py_[2] = adjacency(lat_->lattice); break;
            case 3: lat_py_[3] = lattice_part(2).attr("keys")(); break;
            default: lat_py_[4] = per_route_graphs(a_.scene); break;
        }
    }
    return lat_py_[which];
}

nb::object PyRun::view(size_t r) {
    if (!views_[r].is_valid()) {
        nb::object g = nb::steal(PySequence_GetItem(lattice_part(4).ptr(), static_cast<Py_ssize_t>(r)));
        if (!g.is_valid()) throw nb::python_error();
        nb::object v = negotiated_module::shared_view(g, lattice_part(0), lattice_part(1), lattice_part(2), lattice_part(3));
        views_[r] = v;
        if (to_port_[r]) view_to_port(r);
    }
    return views_[r];
}

nb::list PyRun::accepted_list(const std::vector<core::MaybePath>& accepted) {
    return maybe_paths_to_tuples(accepted);
}

// The penalty maps the loop would hand the search for this reroute: history
// (in entry order), other routes' port squares, other routes' use; and the
// chords of the routes in the occupancy.
void PyRun::penalty_maps(const core::Reroute& rr) {
    if (maps_for_ == rr.serial && edge_pen_.is_valid()) return;
    const core::PenaltyView pv = core::penalty_view(*rr.state);
    const long r = rr.as;
    nb::dict pen;
    auto add = [&](std::uint32_t e, double v) {
        nb::object k = edge_key(e);
        PyObject* old = PyDict_GetItemWithError(pen.ptr(), k.ptr());
        if (!old && PyErr_Occurred()) throw nb::python_error();
        pen[k] = old ? PyFloat_AsDouble(old) + v : 0.0 + v;
    };
    if (!rr.first)
        for (std::uint32_t e : *pv.hist_order) pen[edge_key(e)] = (*pv.hist)[e];
    const core::PortOwners& po = *pv.owners;
    for (size_t i = 0; i < po.edges.size(); ++i) {
        bool other = false;
        for (std::uint32_t k = po.offsets[i]; k < po.offsets[i + 1]; ++k)
            other = other || static_cast<long>(po.routes[k]) != r;
        if (other) add(po.edges[i], pv.block_pen);
    }
    nb::dict chords;
    if (!rr.first) {
        std::vector<std::uint32_t> order;           // edges in order of first use
        std::map<std::uint32_t, std::vector<long>> users;
        const auto& paths = *pv.paths;
        for (size_t r2 = 0; r2 < paths.size(); ++r2) {
            if (!paths[r2] || static_cast<long>(r2) == rr.exclude) continue;
            for (std::uint32_t e : (*pv.path_edges)[r2]) {
                auto& u = users[e];
                if (u.empty()) order.push_back(e);
                if (std::find(u.begin(), u.end(), static_cast<long>(r2)) == u.end()) u.push_back(static_cast<long>(r2));
            }
            const core::NodePath& p = *paths[r2];
            const Lattice& L = lattice();
            for (size_t k = 1; k + 1 < p.size(); ++k) {
                const int a = opposite(direction_of(L.nodes[p[k - 1]], L.nodes[p[k]]));
                const int b = direction_of(L.nodes[p[k]], L.nodes[p[k + 1]]);
                if (a == b) continue;
                nb::object key = node(p[k]);
                PyObject* list = PyDict_GetItemWithError(chords.ptr(), key.ptr());
                if (!list && PyErr_Occurred()) throw nb::python_error();
                if (!list) {
                    chords[key] = nb::list();
                    list = PyDict_GetItemWithError(chords.ptr(), key.ptr());
                }
                nb::borrow<nb::list>(list).append(nb::make_tuple(std::min(a, b), std::max(a, b)));
            }
        }
        for (std::uint32_t e : order) {
            long n = 0;
            for (long u : users[e]) n += u != r;
            if (n) add(e, pv.overlap_pen * static_cast<double>(n));
        }
    }
    edge_pen_ = pen;
    chords_ = chords;
    maps_for_ = rr.serial;
}

nb::object PyRun::skel(const core::Outcome& out, size_t r) {
    if (out.tag) {
        nb::object s = nb::steal(PySequence_GetItem(PyTuple_GET_ITEM(foreign_[out.tag - 1].ptr(), 0), static_cast<Py_ssize_t>(r)));
        if (!s.is_valid()) throw nb::python_error();
        return s;
    }
    return path_to_array(*out.skels[r]);
}

nb::object PyRun::atomic(const core::Outcome& out) {
    if (out.tag) return nb::borrow(PyTuple_GET_ITEM(foreign_[out.tag - 1].ptr(), 1));
    return maybe_paths_to_tuples(out.atomic);
}

// ------------------------------------------------------------ handed-on values

void check_handed_on(const PyArgs& a, HandedOnTo to) {
    switch (to) {
        case HandedOnTo::Lattice: lattice_options(a.cage_margin, Py_True, Py_True, a.cage_layers, Py_None); break;
        case HandedOnTo::PortSquares: port_clearance_of(a.port_clearance); break;
        case HandedOnTo::FirstSearch: search_weights(a.turn_bias, nb::float_(0.0), a.turn_pen); break;
        case HandedOnTo::Search: search_weights(a.turn_bias, a.node_pen, a.turn_pen); break;
    }
}

bool handed_on_ok(const PyArgs& a) {
    return passes([&] {
        for (HandedOnTo to : {HandedOnTo::Lattice, HandedOnTo::PortSquares, HandedOnTo::Search}) check_handed_on(a, to);
        return true;
    });
}

// ------------------------------------------------------------ route_negotiated's seams

core::SharedLattice PyRun::shared_lattice(const core::Scene& scene, const core::LatticeOptions& opts) {
    if (!plan_.py[kBuildSharedLattice]) {
        if (check_handed_on) negotiated_module::check_handed_on(a_, HandedOnTo::Lattice);
        return Seams::shared_lattice(scene, opts);
    }
    nb::object res = call_kw(seam(kBuildSharedLattice).current(), nb::make_tuple(a_.scene),
                             kwd("cage_margin", a_.cage_margin, "cage_layers", a_.cage_layers));
    nb::object parts = unpack(res, 5);
    for (int i = 0; i < 5; ++i) lat_py_[i] = nb::borrow(PyTuple_GET_ITEM(parts.ptr(), i));
    lattice_from_python_ = true;
    core::SharedLattice out;
    out.H = numbers(lat_py_[0], "H");
    out.V = numbers(lat_py_[1], "V");
    nb::object keys;
    out.lattice = lattice_of(lat_py_[2], keys);
    if (!keys.is_none()) {  // the caller's own node objects
        nodes_.clear();
        for (nb::handle k : nb::borrow<nb::list>(keys)) nodes_.push_back(nb::borrow(k));
    }
    nb::object graphs = tuple_of(lat_py_[4], "graphs");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(graphs.ptr()); ++i)
        out.graphs.push_back(route_lines(PyTuple_GET_ITEM(graphs.ptr(), i)));
    return out;
}

core::RouteView PyRun::shared_view(const core::SharedLattice& lat, size_t r) {
    lat_ = &lat;
    if (views_.size() < lat.graphs.size()) {
        views_.resize(lat.graphs.size());
        to_port_.resize(lat.graphs.size(), false);
    }
    if (!plan_.py[kSharedView] && !lattice_from_python_) return Seams::shared_view(lat, r);
    nb::object g = nb::steal(PySequence_GetItem(lattice_part(4).ptr(), static_cast<Py_ssize_t>(r)));
    if (!g.is_valid()) throw nb::python_error();
    views_[r] = seam(kSharedView).current()(g, lattice_part(0), lattice_part(1), lattice_part(2), lattice_part(3));
    return route_view(views_[r], lattice());
}

void PyRun::view_to_port(size_t r) {
    to_port_[r] = true;
    if (!views_[r].is_valid()) return;
    nb::object v = views_[r];
    views_[r] = call_kw(g_dataclasses.current().attr("replace"), nb::make_tuple(v),
                        kwd("end", v.attr("end_port"), "end_approach_len", 0.0));
}

core::PortOwners PyRun::port_block_owners(const core::Scene& scene, const core::SharedLattice& lat,
                                          std::optional<double> port_clearance) {
    if (!plan_.py[kPortBlockOwners]) {
        if (check_handed_on) negotiated_module::check_handed_on(a_, HandedOnTo::PortSquares);
        return Seams::port_block_owners(scene, lat, port_clearance);
    }
    nb::object res = seam(kPortBlockOwners).current()(a_.scene, lattice_part(2), a_.port_clearance);
    const Lattice& L = lattice();
    core::PortOwners out;
    for_each_item(res, "_port_block_owners result", [&](nb::handle key, nb::handle owners) {
        nb::handle a, b;
        nb::object keep;
        if (!split_pair(key, keep, a, b, "_port_block_owners key")) raise_value("_port_block_owners keys must be edge keys");
        const long ia = L.find(node_point(a, "edge key node")), ib = L.find(node_point(b, "edge key node"));
        if (ia < 0 || ib < 0) return;
        const long e = L.edge_between(static_cast<std::uint32_t>(ia), static_cast<std::uint32_t>(ib));
        if (e < 0) return;
        std::vector<std::uint32_t> rs;
        for (double v : numbers(owners, "_port_block_owners owners")) rs.push_back(static_cast<std::uint32_t>(v));
        std::sort(rs.begin(), rs.end());
        rs.erase(std::unique(rs.begin(), rs.end()), rs.end());
        out.edges.push_back(static_cast<std::uint32_t>(e));
        out.ends.push_back({static_cast<std::uint32_t>(ia), static_cast<std::uint32_t>(ib)});
        out.routes.insert(out.routes.end(), rs.begin(), rs.end());
        out.offsets.push_back(static_cast<std::uint32_t>(out.routes.size()));
    });
    return out;
}

std::optional<core::NodePath> PyRun::route_pen(const core::Reroute& rr, const core::Bans& bans) {
    if (!plan_.py[kRoutePen]) {
        if (check_handed_on)
            negotiated_module::check_handed_on(a_, rr.first ? HandedOnTo::FirstSearch : HandedOnTo::Search);
        return Seams::route_pen(rr, bans);
    }
    penalty_maps(rr);
    nb::object f = seam(kRoutePen).current();
    nb::object v = view(rr.route);
    nb::object res =
        rr.first ? call_kw(f, nb::make_tuple(v, a_.turn_bias, edge_pen_), kwd("turn_pen", a_.turn_pen))
                 : call_kw(f, nb::make_tuple(v, a_.turn_bias, edge_pen_),
                           kwd("node_chords", chords_, "cross_pen", a_.node_pen, "turn_pen", a_.turn_pen));
    ++stats.searches;
    if (res.is_none()) return std::nullopt;
    last_ids_ = to_node_ids(lattice(), res, "the path _route_pen returned");
    last_path_ = res;
    return last_ids_;
}

core::NodePath PyRun::repair_self_intersections(const core::Reroute& rr, const core::NodePath& path) {
    if (!plan_.py[kRepairSelfIntersections]) return Seams::repair_self_intersections(rr, path);
    penalty_maps(rr);
    nb::object p = last_path_.is_valid() && last_ids_ == path ? last_path_ : nb::object(node_list(path));
    nb::object res = call_kw(seam(kRepairSelfIntersections).current(),
                             nb::make_tuple(view(rr.route), p, a_.turn_bias, edge_pen_, chords_, a_.node_pen),
                             kwd("turn_pen", a_.turn_pen));
    return to_node_ids(lattice(), res, "the path _repair_self_intersections returned");
}

std::vector<std::uint32_t> PyRun::atomic_edges(const Lattice& L, const core::NodePath& path) {
    if (!plan_.py[kAtomicEdges]) return Seams::atomic_edges(L, path);
    nb::object res = seam(kAtomicEdges).current()(node_list(path));
    std::vector<std::uint32_t> out;
    nb::object keys = tuple_of(res, "_atomic_edges result");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keys.ptr()); ++i) {
        nb::handle a, b;
        nb::object keep;
        if (!split_pair(PyTuple_GET_ITEM(keys.ptr(), i), keep, a, b, "_atomic_edges key"))
            raise_value("_atomic_edges must return edge keys (node, node)");
        const long ia = L.find(node_point(a, "edge key node")), ib = L.find(node_point(b, "edge key node"));
        const long e = ia < 0 || ib < 0 ? -1 : L.edge_between(static_cast<std::uint32_t>(ia), static_cast<std::uint32_t>(ib));
        if (e < 0) raise_value("_atomic_edges returned a key that is not an edge of the lattice");
        out.push_back(static_cast<std::uint32_t>(e));
    }
    return out;
}

Path PyRun::finalize_simple(size_t r, const Lattice& L, const core::NodePath& path, const core::RouteView& v) {
    if (!plan_.py[kFinalizeSimple]) return Seams::finalize_simple(r, L, path, v);
    return to_path(seam(kFinalizeSimple).current()(node_list(path), view(r)), "_finalize_simple result");
}

Path PyRun::polish_candidate(size_t r, const std::vector<core::MaybePath>& accepted, const core::RouteView& v,
                             const core::Scene& scene) {
    candidate_ = nb::object();
    if (!plan_.any({kObstacle, kObstacleIndex, kExtendShortSegments}))
        return Seams::polish_candidate(r, accepted, v, scene);
    nb::list other = new_list(view(r).attr("obs_list"));
    nb::object make = seam(kObstacle).current();
    for (size_t r2 = 0; r2 < accepted.size(); ++r2) {
        if (r2 == r || !accepted[r2]) continue;
        const Path& o = *accepted[r2];
        for (size_t i = 0; i + 1 < o.size(); ++i) {
            const Point a = o[i], b = o[i + 1];
            if (std::fabs(a.y - b.y) < 1e-9) other.append(make(std::min(a.x, b.x), a.y - 0.5, std::max(a.x, b.x), a.y + 0.5));
            else other.append(make(a.x - 0.5, std::min(a.y, b.y), a.x + 0.5, std::max(a.y, b.y)));
        }
    }
    nb::object idx = seam(kObstacleIndex).current()(other, a_.scene.attr("dbu"));
    nb::list acc = accepted_list(accepted);
    candidate_ = seam(kExtendShortSegments).current()(acc[r], a_.scene.attr("delta"), idx);
    return to_path(candidate_, "_extend_short_segments result");
}

bool PyRun::repair_not_worse(const Path& candidate, size_t r, const std::vector<core::MaybePath>& accepted,
                             const std::vector<Box>& real_obs) {
    if (!plan_.py[kRepairScore]) return Seams::repair_not_worse(candidate, r, accepted, real_obs);
    nb::list acc = accepted_list(accepted);
    nb::list real;
    for (const Box& b : real_obs) real.append(nb::make_tuple(b.x0, b.y0, b.x1, b.y1));
    nb::object cand = candidate_.is_valid() ? candidate_ : path_to_array(candidate);
    nb::object f = seam(kRepairScore).current();
    nb::object s1 = f(cand, r, acc, real);
    nb::object s2 = f(acc[r], r, acc, real);
    const int le = PyObject_RichCompareBool(s1.ptr(), s2.ptr(), Py_LE);
    if (le < 0) throw nb::python_error();
    return le != 0;
}

// ------------------------------------------------------------ the order search's seams

core::Outcome PyRun::route_negotiated(const core::Scene& scene, size_t order, const core::NegotiationOptions& opts,
                                      core::Workspace& ws) {
    if (!plan_.py[kRouteNegotiated]) return Seams::route_negotiated(scene, order, opts, ws);
    nb::object o = nb::steal(PySequence_GetItem(a_.orders.ptr(), static_cast<Py_ssize_t>(order)));
    if (!o.is_valid()) throw nb::python_error();
    nb::object res = call_kw(seam(kRouteNegotiated).current(), nb::make_tuple(a_.scene),
                             keywords("route_negotiated", "relax_order", o, a_.route_kw));
    nb::object parts = unpack(res, 2);
    core::Outcome out;
    out.skels = to_maybe_paths(PyTuple_GET_ITEM(parts.ptr(), 0), "skels");
    nb::object atomic = tuple_of(PyTuple_GET_ITEM(parts.ptr(), 1), "atomic");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(atomic.ptr()); ++i) {
        nb::handle p(PyTuple_GET_ITEM(atomic.ptr(), i));
        if (p.is_none()) out.atomic.emplace_back(std::nullopt);
        else out.atomic.emplace_back(node_points(p, "atomic[" + std::to_string(i) + "]"));
    }
    foreign_.push_back(parts);
    out.tag = foreign_.size();
    ++stats.runs;
    return out;
}

core::CrossCount PyRun::count_crossings(const core::Outcome& out) {
    if (!plan_.py[kCountCrossingsAtomic]) return Seams::count_crossings(out);
    nb::object parts = unpack(seam(kCountCrossingsAtomic).current()(atomic(out)), 2);
    return {static_cast<long>(to_double(PyTuple_GET_ITEM(parts.ptr(), 0), "crossings")),
            static_cast<long>(to_double(PyTuple_GET_ITEM(parts.ptr(), 1), "overlaps"))};
}

double PyRun::manhattan_length(const core::Outcome& out, size_t r) {
    if (!plan_.py[kManhattanLength]) return Seams::manhattan_length(out, r);
    return to_double(seam(kManhattanLength).current()(skel(out, r)), "_manhattan_length result");
}

double PyRun::count_turns(const core::Outcome& out, size_t r) {
    if (!plan_.py[kCountTurns]) return Seams::count_turns(out, r);
    return to_double(seam(kCountTurns).current()(skel(out, r)), "_count_turns result");
}

std::optional<core::Candidate> PyRun::best_over_orders(const core::Scene& scene, const core::Orders& orders,
                                                       size_t level, long cage_layers, double min_orders,
                                                       const core::NegotiationOptions& opts, core::Workspace& ws) {
    if (!plan_.py[kBestOverOrders])
        return Seams::best_over_orders(scene, orders, level, cage_layers, min_orders, opts, ws);
    nb::object L = nb::steal(PySequence_GetItem(a_.levels.ptr(), static_cast<Py_ssize_t>(level)));
    if (!L.is_valid()) throw nb::python_error();
    nb::object res = call_kw(seam(kBestOverOrders).current(), nb::make_tuple(a_.scene, a_.orders),
                             keywords("_best_over_orders", "cage_layers", L, a_.best_kw));
    if (res.is_none()) return std::nullopt;
    nb::object parts = unpack(res, 4);
    nb::object key = tuple_of(PyTuple_GET_ITEM(parts.ptr(), 0), "key");
    if (PyTuple_GET_SIZE(key.ptr()) != 6) raise_value("_best_over_orders: the key must have 6 entries");
    core::Candidate c;
    for (int i = 0; i < 6; ++i) c.key.v[i] = to_double(PyTuple_GET_ITEM(key.ptr(), i), "key entry");
    c.key.length_is_int = PyLong_Check(PyTuple_GET_ITEM(key.ptr(), 5));
    foreign_.push_back(nb::make_tuple(nb::handle(PyTuple_GET_ITEM(parts.ptr(), 1)),
                                      nb::handle(PyTuple_GET_ITEM(parts.ptr(), 2)),
                                      nb::handle(PyTuple_GET_ITEM(parts.ptr(), 3))));
    c.outcome.tag = foreign_.size();
    return c;
}

// ------------------------------------------------------------ results

nb::tuple PyRun::outcome_tuple(const core::Outcome& out) {
    if (out.tag) return nb::borrow<nb::tuple>(foreign_[out.tag - 1]);
    return nb::make_tuple(maybe_paths_to_arrays(out.skels), maybe_paths_to_tuples(out.atomic));
}

nb::tuple PyRun::candidate_tuple(const core::Candidate& c) {
    nb::tuple t = outcome_tuple(c.outcome);
    nb::object order = t.size() == 3 ? nb::object(t[2])
                                     : nb::steal(PySequence_GetItem(a_.orders.ptr(), static_cast<Py_ssize_t>(c.order)));
    if (!order.is_valid()) throw nb::python_error();
    auto count = [&](int i) { return nb::int_(static_cast<long long>(c.key.v[i])); };
    nb::object length = c.key.length_is_int ? nb::object(nb::int_(0)) : nb::object(nb::float_(c.key.v[5]));
    nb::tuple key = nb::make_tuple(count(0), count(1), count(2), count(3), count(4), length);
    return nb::make_tuple(key, t[0], t[1], order);
}

}  // namespace kelvane::py::negotiated_module
