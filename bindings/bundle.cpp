// Module kelvane.manhattan_router.bundle: routes a group of parallel routes
// between matched start and end ports, as lanes offset from one routed
// backbone (bundle_backbone_v2) or one route after another, each clear of
// the ones before it (bundle_rail_bridge_v2).
//
// The module body is bindings/py/bundle.py (module_body.hpp); this file
// binds the native roads it takes while nothing it reaches is replaced: the
// small helpers here, the strategies in bundle_rail.cpp and
// bundle_backbone.cpp, shared host-level helpers in bundle_support.cpp.  The
// algorithms live in the core (kelvane/bundle.hpp).
#include <cmath>

#include "deadline_link.hpp"
#include "bundle_support.hpp"
#include "module_body.hpp"

namespace kelvane::py {

nb::object obs_bounds_py(nb::handle o) {
    auto b = raw_bounds(o);
    return nb::make_tuple(b[0], b[1], b[2], b[3]);
}

nb::object filter_to_bbox_py(nb::handle obs, nb::handle x0, nb::handle y0, nb::handle x1, nb::handle y1) {
    return filter_to_window(obs, x0, y0, x1, y1);
}

nb::object hits_real_obstacle_py(nb::handle skel, nb::handle full_idx) {
    return nb::bool_(hits_real_obstacle(skel, full_idx));
}

nb::object inflate_obstacle_bboxes_py(nb::handle obstacles, nb::handle margin) {
    if (!has_boxes(obstacles)) return nb::list();
    const int small = PyObject_RichCompareBool(margin.ptr(), nb::float_(1e-9).ptr(), Py_LE);
    if (small < 0) throw nb::python_error();
    if (small) return list_of(obstacles, "obstacles");
    nb::list out;
    nb::object it = nb::steal(PyObject_GetIter(obstacles.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object o = nb::steal(item);
        nb::tuple b = is_obstacle_record(o) ? nb::make_tuple(o.attr("x_min"), o.attr("y_min"), o.attr("x_max"),
                                                             o.attr("y_max"))
                                            : unpack(o, 4);
        out.append(nb::make_tuple(py_sub(b[0], margin), py_sub(b[1], margin), py_add(b[2], margin),
                                  py_add(b[3], margin)));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

nb::object skeleton_to_obstacles_py(nb::handle skeleton, nb::handle spacing, nb::handle port_pitch) {
    const Path pts = to_path(skeleton, "skeleton");
    std::optional<double> pitch;
    if (!port_pitch.is_none()) pitch = to_double(port_pitch, "port_pitch");
    nb::list out;
    if (pts.size() < 2) return out;
    for (const Box& b : kb::skeleton_keep_outs(pts, to_double(spacing, "spacing"), pitch))
        out.append(nb::make_tuple(b.x0, b.y0, b.x1, b.y1));
    return out;
}

nb::object offset_skeleton_py(nb::handle backbone, nb::handle start_offset, nb::handle end_offset,
                              nb::handle scale_connect, nb::handle connect_offset, nb::handle flipped_segs) {
    const Path pts = to_path(backbone, "backbone");
    if (pts.size() < 2) return np_asarray(backbone, true).attr("copy")();
    const double s = to_double(start_offset, "start_offset");
    const double e = end_offset.is_none() ? s : to_double(end_offset, "end_offset");
    if (std::fabs(s) < 1e-9 && std::fabs(e) < 1e-9) return path_to_array(pts);
    const double connect = connect_offset.is_none() ? s * to_double(scale_connect, "scale_connect")
                                                    : to_double(connect_offset, "connect_offset");
    std::vector<bool> flipped;
    if (!flipped_segs.is_none() && pts.size() > 2) {
        for (size_t k = 0; k + 1 < pts.size(); ++k) {
            const int r = PySequence_Contains(flipped_segs.ptr(), nb::int_(k).ptr());
            if (r < 0) throw nb::python_error();
            flipped.push_back(r != 0);
        }
    }
    return path_to_array(kb::offset_skeleton(pts, s, e, connect, flipped));
}

nb::object compute_bundle_order_py(nb::handle start_positions, nb::handle start_tangents, nb::handle routing_order) {
    const Py_ssize_t count = PyObject_Length(start_positions.ptr());
    if (count < 0) throw nb::python_error();
    return order_list(bundle_order(routing_order, static_cast<size_t>(count), [&] {
        bool exact = true;
        const std::vector<Point> sp = to_point_rows(start_positions, "start_positions", exact);
        const std::vector<Point> st = to_point_rows(start_tangents, "start_tangents", exact);
        return project_starts(start_positions, start_tangents, sp, st, exact);
    }));
}

nb::object port_pitch_py(nb::handle sp, nb::handle st) {
    bool exact = true;
    const std::vector<Point> pts = to_point_rows(sp, "start_positions", exact);
    const std::vector<Point> tans = to_point_rows(st, "start_tangents", exact);
    return nb::float_(kb::smallest_gap(project_starts(sp, st, pts, tans, exact).values, 0.0));
}

}  // namespace kelvane::py

using namespace kelvane::py;

#include "bundle_body.inc"

NB_MODULE(bundle, m) {
    kelvane::py::share_engine_deadline();  // time budgets set in kelvane.engine reach this module
    nb::module_ native = native_namespace("kelvane.manhattan_router.bundle._native");
    def_native(native, "obs_bounds", &obs_bounds_py);
    def_native(native, "filter_to_bbox", &filter_to_bbox_py);
    def_native(native, "hits_real_obstacle", &hits_real_obstacle_py);
    def_native(native, "route_one_local", &route_one_local_py);
    def_native(native, "offset_skeleton", &offset_skeleton_py);
    def_native(native, "bundle_backbone", &bundle_backbone_py);
    def_native(native, "offset_backbone", &offset_backbone_py);
    def_native(native, "compute_bundle_order", &compute_bundle_order_py);
    def_native(native, "skeleton_to_obstacles", &skeleton_to_obstacles_py);
    def_native(native, "inflate_obstacle_bboxes", &inflate_obstacle_bboxes_py);
    def_native(native, "bundle_rail_bridge", &bundle_rail_bridge_py);
    def_native(native, "backbone_plan", &backbone_plan_py);
    def_native(native, "lane_offsets", &lane_offsets_py);
    def_native(native, "reversed_inner_segments", &reversed_inner_segments_py);
    def_native(native, "lane_ends", &lane_ends_py);
    def_native(native, "snapped_to_ports", &snapped_to_ports_py);
    def_native(native, "port_pitch", &port_pitch_py);
    def_native(native, "has_boxes", +[](nb::handle v) { return has_boxes(v); });
    def_native(native, "own_waypoint_router", +[](nb::handle f) { return is_own_waypoint_router(f); });
    run_module_body(m, kBundleBody, native);
    BundleOwn& own = bundle_own();
    own.np = m.attr("np");
    own.obstacle = m.attr("Obstacle");
    own.margin_mult = m.attr("_BBOX_MARGIN_MULT");
}
