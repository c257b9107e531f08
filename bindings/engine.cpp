// Module kelvane.engine (its Python body: bindings/py/engine.py): the thread state every module's core
// reads its time budget from (deadline_link.hpp), the deadline engine.TimeBudget holds while it is
// entered (a deadline::Scope for this thread), and the native roads of the user layer's routers beyond
// the deliverables (their signatures, documentation and info dicts: the Python body).
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bundle_support.hpp"
#include "deadline_link.hpp"
#include "module_body.hpp"
#include "route_info.hpp"
#include "kelvane/river.hpp"
#include "kelvane/spaced.hpp"

namespace kelvane::py {

namespace {

// The ports, bend radius, obstacles, spacing and grid both routers of many
// routes take (row i of each port array belongs to route i).
template <class Request>
void read_route_set(Request& req, nb::handle starts, nb::handle ends, nb::handle start_tangents,
                    nb::handle end_tangents, nb::handle delta, nb::handle obstacles, nb::handle route_spacing,
                    nb::handle dbu) {
    req.starts = to_path(starts, "starts");
    req.ends = to_path(ends, "ends");
    req.start_tangents = to_path(start_tangents, "start_tangents");
    req.end_tangents = to_path(end_tangents, "end_tangents");
    req.delta = to_length(delta, "delta");
    req.obstacles = to_boxes(obstacles, "obstacles");
    req.route_spacing = to_length(route_spacing, "route_spacing");
    req.grid = to_grid(dbu);
}

// (lanes, per-lane infos, clean, unclean, planar, side, axis, whole, groups, searches)
nb::tuple route_river(nb::handle starts, nb::handle ends, nb::handle start_tangents, nb::handle end_tangents,
                      nb::handle delta, nb::handle obstacles, nb::handle route_spacing, nb::handle keep_outs,
                      nb::handle pivots, nb::handle dbu, nb::handle turn_bias, nb::handle sliding_bias,
                      std::optional<std::vector<int>> sides, int relay_rounds) {
    river::RiverRequest req;
    read_route_set(req, starts, ends, start_tangents, end_tangents, delta, obstacles, route_spacing, dbu);
    req.keep_outs = to_boxes(keep_outs, "keep_outs");
    req.pivots = to_paths(pivots, "pivots");
    req.turn_bias = to_turn_bias(turn_bias);
    req.sliding_bias = to_unit_interval(sliding_bias, "sliding_bias");
    if (sides) req.sides = *sides;
    req.relay_rounds = relay_rounds;
    const river::RiverResult res = without_gil([&] { return river::route_river(req); });
    return nb::make_tuple(list_of_each(res.lanes, path_to_array), list_of_each(res.infos, info_dict), res.clean(),
                          res.unclean, res.planar, res.side, path_to_array(res.axis), res.whole, res.groups,
                          res.searches);
}

// A crossing costs this many bend radii of length unless given.
constexpr double kCrossingRadii = 2.0;

// (routes, per-route infos, clean, conflicts, crossings, detours, unclean, length,
//  crossing_cost, passes, best_pass, timed_out, searches)
nb::tuple negotiate_spaced(nb::handle starts, nb::handle ends, nb::handle start_tangents, nb::handle end_tangents,
                           nb::handle delta, nb::handle obstacles, nb::handle route_spacing, nb::handle crossing_cost,
                           nb::handle dbu, nb::handle time_budget, nb::handle max_passes) {
    spaced::SpacedRequest req;
    read_route_set(req, starts, ends, start_tangents, end_tangents, delta, obstacles, route_spacing, dbu);
    req.crossing_cost =
        crossing_cost.is_none() ? kCrossingRadii * req.delta : to_length(crossing_cost, "crossing_cost");
    if (!time_budget.is_none()) req.time_budget = to_length(time_budget, "time_budget", false);
    const long passes = to_index(max_passes);
    if (passes < 0 || passes > 1000) raise_value("max_passes must be between 0 and 1000");
    req.max_passes = static_cast<int>(passes);
    const spaced::SpacedResult res = without_gil([&] { return spaced::negotiate_spaced(req); });
    nb::list infos = list_of_each(res.infos, [](const auto& info) {
        nb::dict d = info_dict(info);
        d["crossings"] = info.crossings;
        return d;
    });
    return nb::make_tuple(list_of_each(res.routes, path_to_array), infos, res.clean(), res.conflicts, res.crossings,
                          res.detours, res.unclean, res.length, req.crossing_cost, res.passes, res.best_pass,
                          res.timed_out, res.searches);
}

}  // namespace

}  // namespace kelvane::py

#include "engine_body.inc"

NB_MODULE(engine, m) {
    using namespace kelvane::py;
    static kelvane::deadline::Accessor state = &kelvane::deadline::own_state;
    m.attr(kDeadlineCapsuleAttr) = nb::capsule(&state, kDeadlineCapsuleName);
    nb::module_ native = native_namespace("kelvane.engine._native");
    nb::class_<kelvane::deadline::Scope>(native, "Scope")
        .def(nb::init<double>())
        .def_prop_ro("reached", &kelvane::deadline::Scope::reached);
    native.def("budget_seconds",
               [](nb::handle s) { return kelvane::checked_seconds(to_double(s, "time_budget: seconds")); },
               nb::arg("seconds").none());
    def_native(native, "route_river", &route_river);
    def_native(native, "negotiate_spaced", &negotiate_spaced);
    def_native(native, "bundle_rail_bridge", &rail_bundle);
    def_native(native, "bundle_backbone", &backbone_bundle);
    run_module_body(m, kEngineBody, native);
}
