// Module kelvane.manhattan_router.negotiated: the negotiated-congestion
// router.  The module body is bindings/py/negotiated.py (module_body.hpp);
// this file binds the native roads it takes while nothing a function reaches
// is replaced: the lattice, the port squares, and whole runs in the core
// (cpp/src/negotiated/) with the GIL released.
#include <nanobind/stl/vector.h>

#include <numeric>
#include <string>

#include "convert_negotiated.hpp"
#include "deadline_link.hpp"
#include "graph_types.hpp"
#include "module_body.hpp"

namespace kelvane::py::negotiated_module {

namespace core = kelvane::negotiated;

namespace {

// The lattice over the lines of the route graphs (h, v: all of them, in
// order); `blocked` is a replaced _ObstacleIndex's test, None for the native
// index over `obstacles`.
nb::tuple build_shared_lattice(nb::handle scene, std::vector<double> h, std::vector<double> v, nb::handle obstacles,
                               nb::handle cage_margin, nb::handle behind, nb::handle lane_mids, nb::handle cage_layers,
                               nb::handle cage_step, double snap, nb::handle blocked) {
    const core::Scene s = to_scene(scene);
    std::vector<core::RouteLines> lines(1);
    lines[0].h_lines = std::move(h);
    lines[0].v_lines = std::move(v);
    core::LatticeOptions lo;
    lo.cage_margin = to_optional_number(cage_margin, "cage_margin");
    lo.behind = truth(behind);
    lo.lane_mids = truth(lane_mids);
    if (!cage_layers.is_none()) lo.cage_layers = to_index(cage_layers);
    lo.cage_step = to_optional_number(cage_step, "cage_step");
    lo.snap = snap;
    core::SharedLattice lat;
    if (!blocked.is_none()) {
        auto through = [&](Point a, Point b) { return truth(blocked(a.x, a.y, b.x, b.y)); };
        lat = core::build_shared_lattice(s, std::move(lines), lo, through);
    } else {
        const ObstacleIndex index(to_boxes(obstacles, "obs_list"), s.dbu);
        auto through = [&](Point a, Point b) { return index.blocked(a, b); };
        lat = without_gil([&] { return core::build_shared_lattice(s, std::move(lines), lo, through); });
    }
    nb::object adj = nb::cast(PyLatticeAdjacency{lat.lattice});
    return nb::make_tuple(float_list(lat.H), float_list(lat.V), adj, adj.attr("keys")());
}

nb::dict port_block_owners(nb::handle scene, nb::handle adj, nb::handle port_clearance) {
    const core::Scene s = to_scene(scene);
    const double half = to_optional_number(port_clearance, "port_clearance").value_or(0.5 * s.delta);
    nb::object keys;
    const std::shared_ptr<const Lattice> L = lattice_of(adj, keys);
    const core::PortOwners po = without_gil([&] { return core::port_block_owners(s, *L, half); });
    nb::dict out;
    for (size_t i = 0; i < po.edges.size(); ++i) {
        nb::set owners;
        for (std::uint32_t k = po.offsets[i]; k < po.offsets[i + 1]; ++k) owners.add(nb::int_(po.routes[k]));
        const auto [a, b] = po.ends[i];
        out[nb::make_tuple(point_tuple(L->nodes[a]), point_tuple(L->nodes[b]))] = owners;
    }
    return out;
}

// ------------------------------------------------------------ whole runs

std::vector<long> indices(nb::handle seq) {
    std::vector<long> out;
    for_each(seq, [&](nb::handle x) { out.push_back(to_index(x)); });
    return out;
}

// Reads route_negotiated's keywords but relax_order (it comes with the orders)
// into `o` as the core takes them: false for another keyword (the module
// body's call then raises the host's TypeError) or options a run would refuse
// (core::runnable: the Python loop raises where a step uses them); throws for
// a value that does not convert.
bool read_options(const core::Scene& s, nb::handle kw, core::NegotiationOptions& o) {
    bool known = true;
    for (auto [key, v] : nb::borrow<nb::dict>(kw)) {
        const std::string k = nb::cast<std::string>(key);
        if (k == "turn_bias") o.turn_bias = to_turn_bias(v);
        else if (k == "iters") o.iters = to_index(v);
        else if (k == "overlap_pen") o.overlap_pen = to_optional_number(v, "overlap_pen");
        else if (k == "node_pen") o.node_pen = to_optional_number(v, "node_pen");
        else if (k == "hist_weight") o.hist_weight = to_optional_number(v, "hist_weight");
        else if (k == "hist_decay") o.hist_decay = to_double(v, "hist_decay");
        else if (k == "turn_pen") o.turn_pen = to_optional_number(v, "turn_pen");
        else if (k == "gauss_seidel") o.gauss_seidel = truth(v);
        else if (k == "avoid_ports") o.avoid_ports = truth(v);
        else if (k == "cage_margin") o.cage_margin = to_optional_number(v, "cage_margin");
        else if (k == "cage_layers") o.cage_layers = v.is_none() ? std::nullopt : std::optional(to_index(v));
        else if (k == "port_clearance") o.port_clearance = to_optional_number(v, "port_clearance");
        else if (k == "route_to_port") o.route_to_port = truth(v);
        else known = false;
    }
    return known && core::runnable(s, o);
}

// _best_over_orders (levels None: kw's cage_layers) or route_negotiated_best
// (every count of `levels`): (key, skels, atomic, order), the order being the
// caller's own object (None: 0 .. B-1); None for no orders (levels None).
nb::object best(nb::handle scene, nb::handle orders, nb::handle levels, nb::handle min_orders, nb::handle kw,
                double block_pen, double snap) {
    const core::Scene s = to_scene(scene);
    nb::list orders_py = list_of(orders, "orders");
    if (levels.is_none() && orders_py.size() == 0) return nb::none();
    core::NegotiationOptions o;
    o.block_pen = block_pen;
    o.snap = snap;
    o.compensated_sum = PY_VERSION_HEX >= 0x030C0000;  // the host's sum() of floats
    double min_n = 2.0;  // first compared with the second order's index
    core::Orders core_orders;
    std::vector<long> core_levels;
    bool plain = false;
    if (!converts([&] {
            if (!(plain = read_options(s, kw, o))) return;
            if (orders_py.size() > 1) min_n = to_double(min_orders, "min_orders");
            for (nb::handle order : orders_py) {
                core_orders.push_back(order.is_none() ? std::vector<long>(s.size()) : indices(order));
                if (order.is_none()) std::iota(core_orders.back().begin(), core_orders.back().end(), 0L);
            }
            if (!levels.is_none()) core_levels = indices(levels);
        }) || !plain)
        return nb::borrow(Py_NotImplemented);
    core::RunStats stats;
    const bool one_level = levels.is_none();
    const core::Candidate c = without_gil([&] {
        core::Workspace ws;
        return one_level ? *core::best_over_orders(s, core_orders, min_n, o, stats, ws)
                         : core::route_negotiated_best(s, core_orders, core_levels, min_n, o, stats);
    });
    auto count = [&](int i) { return nb::int_(static_cast<long long>(c.key.v[i])); };
    nb::object length = c.key.length_is_int ? nb::object(nb::int_(0)) : nb::object(nb::float_(c.key.v[5]));
    nb::tuple key = nb::make_tuple(count(0), count(1), count(2), count(3), count(4), length);
    nb::list skels, atomic;  // corner points as arrays, lattice paths as lists of tuples
    for (const auto& p : c.outcome.skels) skels.append(p ? path_to_array(*p) : nb::none());
    for (const auto& p : c.outcome.atomic) atomic.append(p ? nb::object(path_to_tuples(*p)) : nb::none());
    return nb::make_tuple(key, skels, atomic, orders_py[c.order]);
}

}  // namespace

}  // namespace kelvane::py::negotiated_module

using namespace kelvane::py;
using namespace kelvane::py::negotiated_module;

#include "negotiated_body.inc"

NB_MODULE(negotiated, m) {
    share_engine_deadline();  // time budgets set in kelvane.engine reach this module
    nb::module_ native = native_namespace("kelvane.manhattan_router.negotiated._native");
    def_native(native, "build_shared_lattice", &build_shared_lattice);
    def_native(native, "port_block_owners", &port_block_owners);
    def_native(native, "best", &best);
    def_native(native, "scene_routes", +[](nb::handle scene) { return to_scene(scene).size(); });
    def_native(native, "has_boxes", +[](nb::handle v) { return has_boxes(v); });
    run_module_body(m, kNegotiatedBody, native);
}
