// Module kelvane.manhattan_router.bundle.  Its body is Python
// (bindings/py/bundle.py, run by module_body.hpp); these are the native
// roads it takes while nothing it reaches is replaced, and the pieces of
// core arithmetic its Python lines share.  A native road answers
// NotImplemented for arguments out of its common form (ports numpy would
// rank differently, rows missing, an unusual backbone_selection or
// routing_order ...): the Python lines then run and the host's own behaviour
// follows.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/vector.h>

#include "bundle_support.hpp"
#include "deadline_link.hpp"
#include "module_body.hpp"

namespace kelvane::py {

namespace {

const char* const kPortNames[4] = {"start_positions", "end_positions", "start_tangents", "end_tangents"};

// Runs a conversion: false, with nothing raised, when the value is not of
// the form it reads.
template <class F>
bool converts(F&& read) {
    try {
        read();
        return true;
    } catch (const nb::python_error&) {
    } catch (const nb::builtin_exception&) {
    }
    PyErr_Clear();
    return false;
}

nb::object not_implemented() { return nb::borrow(Py_NotImplemented); }

nb::list offset_pairs(const std::vector<std::pair<double, double>>& offsets) {
    nb::list out;
    for (const auto& [s, e] : offsets) out.append(nb::make_tuple(s, e));
    return out;
}

// The checks rail_bridge_v2 makes of a lane's request (built by the core
// from the float32 port vectors).
void check_lane_request(const RouteRequest& req, Point start_tangent, Point end_tangent) {
    for (auto [p, what] : {std::pair{req.start, "start"}, std::pair{req.end, "end"}}) {
        if (!std::isfinite(p.x)) raise_value(std::string(what) + "[0] must be finite, got " + std::to_string(p.x));
        if (!std::isfinite(p.y)) raise_value(std::string(what) + "[1] must be finite, got " + std::to_string(p.y));
    }
    to_direction(kb::round_to_float32(start_tangent), "start_tangent");
    to_direction(kb::round_to_float32(end_tangent), "end_tangent");
    check_request(req);
}

nb::object rail_bundle(nb::handle sp, nb::handle ep, nb::handle st, nb::handle et, nb::handle delta,
                       nb::handle obstacles, nb::handle route_spacing, nb::handle routing_order, nb::handle turn_bias,
                       nb::handle sliding_bias, nb::handle route_skeletons, nb::handle inflate_delta, nb::handle dbu,
                       std::optional<std::vector<size_t>> numpy_ranking, std::optional<double> port_pitch) {
    BundleInput in = read_bundle(sp, ep, st, et, kPortNames);
    std::optional<kb::OrderRule> rule;
    if (nb::isinstance<nb::str>(routing_order)) rule = kb::order_rule(nb::cast<std::string>(routing_order));
    if (!rule || !in.ready(std::nullopt, std::move(numpy_ranking))) return not_implemented();
    kb::RailBundleRequest req;
    req.order = kb::lane_order(in.ranking, in.ports.starts.size(), *rule);
    req.ports = std::move(in.ports);
    read_bundle_options(req, delta, obstacles, route_spacing, route_skeletons, turn_bias, sliding_bias, dbu);
    req.inflate_delta = truth(inflate_delta);
    for (size_t k = 0; k < req.order.size(); ++k)
        check_lane_request(kb::rail_lane_request(req, k), req.ports.start_tangents[req.order[k]],
                           req.ports.end_tangents[req.order[k]]);
    auto [lanes, infos] = route_rail(req, in.proj, port_pitch);
    return nb::make_tuple(lanes, infos, nb::cast(req.order));
}

// (lanes, offsets, median_idx, scale_connect, envelope, backbone, backbone info)
nb::object backbone_bundle(nb::handle sp, nb::handle ep, nb::handle st, nb::handle et, nb::handle delta,
                           nb::handle obstacles, nb::handle turn_bias, nb::handle sliding_bias,
                           nb::handle backbone_clearance_factor, nb::handle bundle_separation_factor,
                           nb::handle selection, nb::handle route_spacing, nb::handle route_skeletons, nb::handle dbu,
                           nb::handle waypoints, std::optional<std::vector<double>> numpy_proj,
                           std::optional<std::vector<size_t>> numpy_ranking) {
    BundleInput in = read_bundle(sp, ep, st, et, kPortNames);
    kb::BackboneBundleRequest req;
    if (!in.ready(std::move(numpy_proj), std::move(numpy_ranking)) ||
        !read_selection(req, selection, in.ports.starts.size()))
        return not_implemented();
    req.ports = std::move(in.ports);
    req.start_proj = std::move(in.proj);
    req.ranking = std::move(in.ranking);
    read_bundle_options(req, delta, obstacles, route_spacing, route_skeletons, turn_bias, sliding_bias, dbu);
    req.backbone_clearance_factor = to_finite(backbone_clearance_factor, "backbone_clearance_factor");
    req.bundle_separation_factor = to_finite(bundle_separation_factor, "bundle_separation_factor");
    if (!waypoints.is_none()) {
        nb::list positions, pins;
        for (nb::handle item : waypoints) {
            // Not a (position, pin) pair: the Python lines unpack it, with the host's error.
            if (!(PyTuple_Check(item.ptr()) || PyList_Check(item.ptr())) || PySequence_Size(item.ptr()) != 2)
                return not_implemented();
            positions.append(item_of(item, 0));
            pins.append(item_of(item, 1));
        }
        WaypointRequest w;
        read_waypoints(w, positions, pins);
        req.use_waypoints = true;
        req.waypoints = std::move(w.waypoints);
        req.pins = std::move(w.pins);
    }
    const kb::BackbonePlan plan = kb::plan_backbone(req);
    if (!(plan.delta_eff >= 0)) raise_value("delta must be >= 0");
    RouteRequest search = kb::backbone_request(req, plan);
    if (req.use_waypoints) search.grid = req.grid;
    check_lane_request(search, req.ports.start_tangents[plan.median], req.ports.end_tangents[plan.median]);
    const kb::BackboneBundleResult res = route_backbone(req);
    nb::object info = req.use_waypoints ? nb::object(waypoint_info_dict(res.backbone)) : info_dict(res.backbone.info);
    return nb::make_tuple(lane_arrays(res.lanes.lanes), offset_pairs(res.lanes.offsets), plan.median,
                          plan.scale_connect, plan.envelope, path_to_array(res.backbone.skeleton), info);
}

// (lanes, offsets) from a routed backbone.
nb::object offset_backbone(nb::handle backbone, nb::handle sp, nb::handle ep, nb::handle count, nb::handle median_idx,
                           nb::handle start_proj, nb::handle median_s_offset, nb::handle connect_pitch,
                           nb::handle delta, nb::handle obstacles, nb::handle dbu) {
    kb::OffsetBackboneRequest r;
    bool ignored = true;
    const bool plain = converts([&] {
        r.backbone = to_path(backbone, "backbone");
        r.ends = to_point_rows(ep, "ep", ignored);
        const long n = to_index(count), median = to_index(median_idx);
        if (n < 0 || median < 0 || median >= n || r.ends.size() < static_cast<size_t>(n) || r.backbone.size() < 2)
            throw nb::index_error("");
        r.count = static_cast<size_t>(n);
        r.median = static_cast<size_t>(median);
        for (size_t i = 0; i < r.count; ++i)
            r.start_proj.push_back(to_double(item_of(start_proj, static_cast<Py_ssize_t>(i)), "start_proj"));
        r.median_s_offset = to_double(median_s_offset, "median_s_offset");
        r.connect_pitch = to_double(connect_pitch, "connect_pitch");
        r.delta = to_length(delta, "delta");
        r.obstacles = to_boxes(obstacles, "obstacles");
        r.grid = to_grid(dbu);
    });
    if (!plain) return not_implemented();
    converts([&] { r.starts = to_point_rows(sp, "sp", ignored); });  // start ports, when sp holds them
    kb::LaneSet lanes;
    {
        nb::gil_scoped_release release;
        lanes = kb::offset_backbone(r);
    }
    return nb::make_tuple(lane_arrays(lanes.lanes), offset_pairs(lanes.offsets));
}

// (n_side, widened, max_offset, scale_connect, envelope) of the backbone
// plan, on numpy's projections and order.
nb::tuple backbone_plan(nb::handle sp, nb::handle ep, nb::handle st, nb::handle et, std::vector<double> start_proj,
                        std::vector<size_t> ranking, size_t median, double delta, double backbone_clearance_factor,
                        double bundle_separation_factor, double route_spacing) {
    kb::BackboneBundleRequest req;
    req.ports = read_bundle(sp, ep, st, et, kPortNames).ports;
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
    bool ignored = true;
    const bool snaps = converts([&] {
        starts = to_point_rows(sp, "sp", ignored);
        ends = to_point_rows(ep, "ep", ignored);
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
    nb::list out;
    for (const Box& b : kb::skeleton_keep_outs(to_path(skeleton, "skeleton"), spacing, port_pitch))
        out.append(nb::make_tuple(b.x0, b.y0, b.x1, b.y1));
    return out;
}

// Positions in the ranking in the order a rule routes them ("given" and
// "reverse": route indices).
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
    def_native(native, "offset_backbone", &offset_backbone);
    def_native(native, "snapped_to_ports", &snapped_to_ports);
    def_native(native, "has_boxes", +[](nb::handle v) { return has_boxes(v); });
    def_native(native, "own_waypoint_router", +[](nb::handle f) { return is_own_waypoint_router(f); });
    native.def("backbone_plan", &backbone_plan);
    native.def("offset_skeleton", &offset_skeleton);
    native.def("skeleton_to_obstacles", &skeleton_to_obstacles, nb::arg("skeleton"), nb::arg("spacing"),
               nb::arg("port_pitch").none());
    native.def("lane_order", &lane_order);
    run_module_body(m, kBundleBody, native);
}
