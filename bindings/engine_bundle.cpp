// engine.route_bundle: the bundle core's two strategies for the user layer,
// without the bundle module (which imports jax on import) and without its
// seams: nothing here looks up a replaceable helper.
#include <nanobind/stl/string.h>

#include "engine.hpp"
#include "route_info.hpp"
#include "kelvane/bundle.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace kelvane::py {

namespace {

namespace kb = kelvane::bundle;

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

kb::OrderRule order_rule(const std::string& name) {
    if (name == "given") return kb::OrderRule::Given;
    if (name == "reverse") return kb::OrderRule::Reverse;
    if (name == "outside-in") return kb::OrderRule::OutsideIn;
    if (name == "center-out") return kb::OrderRule::CenterOut;
    raise_value("Unknown routing_order: " + name);
}

void bind_bundle(nb::module_& m) {
    m.def(
        "route_bundle",
        [](const std::string& strategy, nb::handle starts, nb::handle ends, nb::handle start_tangents,
           nb::handle end_tangents, nb::handle delta, nb::handle obstacles, nb::handle route_spacing, nb::handle dbu,
           nb::handle turn_bias, nb::handle sliding_bias, const std::string& routing_order, bool inflate_delta,
           nb::handle backbone_clearance_factor, nb::handle bundle_separation_factor, nb::handle backbone_selection) {
            if (strategy != "backbone" && strategy != "rail-bridge")
                raise_value("strategy must be \"backbone\" or \"rail-bridge\", got \"" + strategy + "\"");
            bool exact = true;
            kb::BundlePorts ports{to_point_rows(starts, "starts", exact), to_point_rows(ends, "ends", exact),
                                  to_point_rows(start_tangents, "start_tangents", exact),
                                  to_point_rows(end_tangents, "end_tangents", exact)};
            const std::size_t count = ports.starts.size();
            if (count == 0) throw nb::index_error("starts has no rows: a bundle needs at least one route");
            if (ports.ends.size() != count || ports.start_tangents.size() != count || ports.end_tangents.size() != count)
                raise_value("starts, ends, start_tangents and end_tangents must have the same number of rows");
            const std::vector<double> proj = kb::project(ports.starts, kb::across(kb::mean_direction(ports.start_tangents)));
            const std::vector<std::size_t> ranking = kb::stable_ranking(proj);
            std::vector<Box> boxes = to_boxes(obstacles, "obstacles");
            const double grid = to_grid(dbu);
            const TurnBias bias = to_turn_bias(turn_bias);
            const double sliding = to_unit_interval(sliding_bias, "sliding_bias");

            nb::list lanes, infos, order;
            if (strategy == "rail-bridge") {
                kb::RailBundleRequest req;
                req.order = kb::lane_order(ranking, count, order_rule(routing_order));
                req.ports = std::move(ports);
                req.delta = to_length(delta, "delta");
                req.obstacles = std::move(boxes);
                req.route_spacing = to_length(route_spacing, "route_spacing");
                req.port_pitch = kb::smallest_gap(proj, req.route_spacing);
                req.turn_bias = bias;
                req.sliding_bias = sliding;
                req.inflate_delta = inflate_delta;
                req.grid = grid;
                req.local_search = req.obstacles.size() > kb::kLocalSearchAbove;
                kb::RailBundleResult res;
                {
                    nb::gil_scoped_release release;
                    res = kb::route_rail_bundle(req);
                }
                for (std::size_t i = 0; i < count; ++i) {
                    lanes.append(path_to_array(res.lanes[i]));
                    infos.append(info_dict(res.infos[i]));
                }
                for (std::size_t i : req.order) order.append(i);
            } else {
                kb::BackboneBundleRequest req;
                req.ports = std::move(ports);
                req.start_proj = proj;
                req.ranking = ranking;
                if (PyLong_Check(backbone_selection.ptr())) {
                    const long index = nb::cast<long>(backbone_selection);
                    if (index < 0 || index >= static_cast<long>(count))
                        throw nb::index_error("backbone_selection is not a route index");
                    req.choice = kb::BackboneChoice::Index;
                    req.index = index;
                } else if (nb::isinstance<nb::str>(backbone_selection)) {
                    const std::string name = nb::cast<std::string>(backbone_selection);
                    if (name == "first") req.choice = kb::BackboneChoice::First;
                    if (name == "last") req.choice = kb::BackboneChoice::Last;
                }
                req.delta = to_length(delta, "delta");
                req.obstacles = std::move(boxes);
                req.turn_bias = bias;
                req.sliding_bias = sliding;
                req.backbone_clearance_factor = to_finite(backbone_clearance_factor, "backbone_clearance_factor");
                req.bundle_separation_factor = to_finite(bundle_separation_factor, "bundle_separation_factor");
                req.route_spacing = to_length(route_spacing, "route_spacing");
                req.grid = grid;
                kb::BackboneBundleResult res;
                {
                    nb::gil_scoped_release release;
                    res = kb::route_backbone_bundle(req);
                }
                for (const Path& lane : res.lanes.lanes) {
                    lanes.append(path_to_array(lane));
                    infos.append(info_dict(res.backbone.info));
                }
            }
            nb::dict info;
            info["order"] = order;
            info["infos"] = infos;
            return nb::make_tuple(lanes, info);
        },
        "strategy"_a, "starts"_a, "ends"_a, "start_tangents"_a, "end_tangents"_a, "delta"_a,
        "obstacles"_a.none() = nb::none(), "route_spacing"_a = 3.0, nb::kw_only(), "dbu"_a.none() = nb::none(),
        "turn_bias"_a.none() = "center", "sliding_bias"_a = 0.5, "routing_order"_a = "center-out",
        "inflate_delta"_a = true, "backbone_clearance_factor"_a = 4.0, "bundle_separation_factor"_a = 1.0,
        "backbone_selection"_a.none() = "median", kBundleDoc);
}

const bool registered = engine::add_part("bundle", &bind_bundle);

}  // namespace

}  // namespace kelvane::py
