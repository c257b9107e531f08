// engine.route_bundle: the bundle core's two strategies for the user layer,
// without the bundle module (which imports jax on import) and without its
// seams: nothing here looks up a replaceable helper.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <tuple>

#include "bundle_support.hpp"
#include "engine.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace kelvane::py {

namespace {

const char* kBundleDoc = R"(Route a bundle with the bundle core: "backbone" or "rail-bridge".

The same routes as manhattan_router.bundle's bundle_backbone_v2 and
bundle_rail_bridge_v2 with their default helpers (lanes ranked by a stable
sort where start projections tie), for callers that must not import jax.

Returns (lanes, info): one N x 2 float array per lane; info holds "order"
(rail-bridge: the routing order) and "infos" (per lane, the keys of
graph.rail_bridge_v2's info; backbone: the backbone's info for every lane).

Options as the deliverable functions take them; routing_order and
inflate_delta are read by "rail-bridge" only, the backbone_* and
bundle_separation_factor options by "backbone" only.)";

const char* const kPortNames[4] = {"starts", "ends", "start_tangents", "end_tangents"};

nb::tuple route_bundle(const std::string& strategy, nb::handle starts, nb::handle ends, nb::handle start_tangents,
                       nb::handle end_tangents, nb::handle delta, nb::handle obstacles, nb::handle route_spacing,
                       nb::handle dbu, nb::handle turn_bias, nb::handle sliding_bias, const std::string& routing_order,
                       bool inflate_delta, nb::handle backbone_clearance_factor, nb::handle bundle_separation_factor,
                       nb::handle backbone_selection) {
    if (strategy != "backbone" && strategy != "rail-bridge")
        raise_value("strategy must be \"backbone\" or \"rail-bridge\", got \"" + strategy + "\"");
    BundleInput in = read_bundle(starts, ends, start_tangents, end_tangents, kPortNames);
    const std::size_t count = in.ports.starts.size();
    if (count == 0) throw nb::index_error("starts has no rows: a bundle needs at least one route");
    const kb::BundlePorts& p = in.ports;
    if (p.ends.size() != count || p.start_tangents.size() != count || p.end_tangents.size() != count)
        raise_value("starts, ends, start_tangents and end_tangents must have the same number of rows");
    nb::list lanes, infos;
    nb::object order = nb::list();
    if (strategy == "rail-bridge") {
        const std::optional<kb::OrderRule> rule = kb::order_rule(routing_order);
        if (!rule) raise_value("Unknown routing_order: " + routing_order);
        kb::RailBundleRequest req;
        req.order = kb::lane_order(in.ranking, count, *rule);
        req.ports = std::move(in.ports);
        read_bundle_options(req, delta, obstacles, route_spacing, nb::none(), turn_bias, sliding_bias, dbu);
        req.inflate_delta = inflate_delta;
        std::tie(lanes, infos) = route_rail(req, in.proj);
        order = nb::cast(req.order);
    } else {
        kb::BackboneBundleRequest req;
        if (!read_selection(req, backbone_selection, count) && PyLong_Check(backbone_selection.ptr()))
            throw nb::index_error("backbone_selection is not a route index");
        req.ports = std::move(in.ports);
        req.start_proj = std::move(in.proj);
        req.ranking = std::move(in.ranking);
        read_bundle_options(req, delta, obstacles, route_spacing, nb::none(), turn_bias, sliding_bias, dbu);
        req.backbone_clearance_factor = to_finite(backbone_clearance_factor, "backbone_clearance_factor");
        req.bundle_separation_factor = to_finite(bundle_separation_factor, "bundle_separation_factor");
        const kb::BackboneBundleResult res = route_backbone(req);
        lanes = lane_arrays(res.lanes.lanes);
        for (std::size_t i = 0; i < lanes.size(); ++i) infos.append(info_dict(res.backbone.info));
    }
    nb::dict info;
    info["order"] = order;
    info["infos"] = infos;
    return nb::make_tuple(lanes, info);
}

void bind_bundle(nb::module_& m) {
    m.def("route_bundle", &route_bundle, "strategy"_a, "starts"_a, "ends"_a, "start_tangents"_a, "end_tangents"_a,
          "delta"_a, "obstacles"_a.none() = nb::none(), "route_spacing"_a = 3.0, nb::kw_only(),
          "dbu"_a.none() = nb::none(), "turn_bias"_a.none() = "center", "sliding_bias"_a = 0.5,
          "routing_order"_a = "center-out", "inflate_delta"_a = true, "backbone_clearance_factor"_a = 4.0,
          "bundle_separation_factor"_a = 1.0, "backbone_selection"_a.none() = "median", kBundleDoc);
}

const bool registered = engine::add_part("bundle", &bind_bundle);

}  // namespace

}  // namespace kelvane::py
