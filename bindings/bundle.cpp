// Module kelvane.manhattan_router.bundle: its body is Python (bindings/py/bundle.py, run by
// module_body.hpp); the strategies' native roads are in bundle_support.hpp, the pieces of core
// arithmetic its Python lines share here.
#include "bundle_support.hpp"
#include "deadline_link.hpp"
#include "module_body.hpp"

namespace kelvane::py {

namespace {

// (n_side, widened, max_offset, scale_connect, envelope) of the backbone
// plan, on numpy's projections and order.
nb::tuple backbone_plan(nb::handle sp, nb::handle ep, nb::handle st, nb::handle et, std::vector<double> start_proj,
                        std::vector<size_t> ranking, size_t median, double delta, double backbone_clearance_factor,
                        double bundle_separation_factor, double route_spacing) {
    kb::BackboneBundleRequest req;
    req.ports = read_bundle(sp, ep, st, et).ports;
    req.start_proj = std::move(start_proj);
    req.ranking = std::move(ranking);
    req.choice = kb::BackboneChoice::Index;
    req.index = static_cast<long>(median);
    req.delta = delta;
    req.backbone_clearance_factor = backbone_clearance_factor;
    req.bundle_separation_factor = bundle_separation_factor;
    req.route_spacing = route_spacing;
    const kb::BackbonePlan plan = kb::plan_backbone(req);
    return nb::make_tuple(plan.n_side, plan.widened, plan.max_offset, plan.scale_connect, plan.envelope);
}

// Lane `i` with its ends moved onto its ports, as a new array; the lane as
// it is where sp does not hold the start ports or the lane is not N x 2
// numbers.
nb::object snapped_to_ports(nb::handle lane, nb::handle sp, nb::handle ep, nb::handle i) {
    std::vector<Point> starts, ends;
    Path path;
    const bool snaps = converts([&] {
        starts = to_path(sp, "sp");
        ends = to_path(ep, "ep");
        path = to_path(lane, "lane");
    });
    const size_t k = static_cast<size_t>(to_index(i));
    if (!snaps || k >= std::min(starts.size(), ends.size())) return nb::borrow(lane);
    kb::snap_to_ports(path, starts[k], ends[k]);
    return path_to_array(path);
}

nb::object offset_skeleton(nb::handle backbone, double start_offset, double end_offset, double connect_offset,
                           const std::vector<bool>& flipped) {
    return path_to_array(kb::offset_skeleton(to_path(backbone, "backbone"), start_offset, end_offset, connect_offset,
                                             flipped));
}

nb::list skeleton_to_obstacles(nb::handle skeleton, double spacing, std::optional<double> port_pitch) {
    return list_of_each(kb::skeleton_keep_outs(to_path(skeleton, "skeleton"), spacing, port_pitch),
                        [](const Box& b) { return nb::make_tuple(b.x0, b.y0, b.x1, b.y1); });
}

// Positions in the ranking in the order a known rule routes them ("given"
// and "reverse": route indices).
std::vector<size_t> lane_order(size_t count, const std::string& rule) {
    const std::optional<kb::OrderRule> known = kb::order_rule(rule);
    if (!known) raise_value("Unknown routing_order: " + rule);
    return kb::lane_order(count, *known);
}

}  // namespace

}  // namespace kelvane::py

using namespace kelvane::py;

#include "bundle_body.inc"

NB_MODULE(bundle, m) {
    kelvane::py::share_engine_deadline();  // time budgets set in kelvane.engine reach this module
    nb::module_ native = native_namespace("kelvane.manhattan_router.bundle._native");
    def_native(native, "bundle_rail_bridge", &rail_bundle);
    def_native(native, "bundle_backbone", &backbone_bundle);
    def_native(native, "snapped_to_ports", &snapped_to_ports);
    def_native(native, "has_boxes", +[](nb::handle v) { return has_boxes(v); });
    native.def("backbone_plan", &backbone_plan);
    native.def("offset_skeleton", &offset_skeleton);
    native.def("skeleton_to_obstacles", &skeleton_to_obstacles, nb::arg("skeleton"), nb::arg("spacing"),
               nb::arg("port_pitch").none());
    native.def("lane_order", &lane_order);
    run_module_body(m, kBundleBody, native);
}
