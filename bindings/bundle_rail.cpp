// bundle_rail_bridge_v2 (routes one after another) and _route_one_local
// (one search on the obstacles near a route's ports).
#include <algorithm>

#include "bundle_support.hpp"

namespace kelvane::py {

namespace {

nb::object search_near_ports(nb::handle s_pos, nb::handle e_pos, nb::handle s_tan, nb::handle e_tan,
                             nb::handle delta_eff, nb::handle obstacles, nb::handle keep_outs, nb::handle turn_bias,
                             nb::handle sliding_bias, nb::handle route_spacing, nb::handle route_pivots,
                             nb::handle bend_delta, nb::handle dbu) {
    SearchCall call{s_pos, e_pos, s_tan, e_tan, delta_eff, obstacles,
                    {{"turn_bias", turn_bias},
                     {"sliding_bias", sliding_bias},
                     {"real_obstacles", obstacles},
                     {"route_skeletons", keep_outs},
                     {"route_spacing", route_spacing},
                     {"route_pivots", route_pivots},
                     {"bend_delta", bend_delta},
                     {"dbu", dbu}}};
    return search_rail_bridge(call);
}

// ---- native road ----------------------------------------------------------

struct RailArgs {
    nb::handle start_positions, end_positions, start_tangents, end_tangents, delta, obstacles, route_spacing,
        routing_order, turn_bias, sliding_bias, route_skeletons, inflate_delta, dbu;
};

nb::object rail_bundle_by_name(const RailArgs& a);

nb::object rail_bundle_native(const RailArgs& a) {
    auto [start_positions, end_positions, start_tangents, end_tangents, delta, obstacles, route_spacing,
          routing_order, turn_bias, sliding_bias, route_skeletons, inflate_delta, dbu] = a;
    BundleNames& names = bundle_names();
    PortRows rows = read_port_rows(start_positions, end_positions, start_tangents, end_tangents);
    kb::RailBundleRequest req;
    req.ports = std::move(rows.ports);
    const size_t count = req.ports.starts.size();
    require_routes(count);
    const Projection proj = project_starts(start_positions, start_tangents, req.ports.starts,
                                           req.ports.start_tangents, rows.exact);
    const BundleOrder order = bundle_order(routing_order, count, [&] { return proj; });
    req.order = order.order;
    nb::object base = list_of(obstacles, "obstacles");
    req.obstacles = to_boxes(base, "obstacles");
    req.delta = to_length(delta, "delta");
    req.route_spacing = to_length(route_spacing, "route_spacing");
    req.port_pitch = kb::smallest_gap(proj.values, req.route_spacing);
    if (has_boxes(route_skeletons)) req.keep_outs = to_boxes(route_skeletons, "route_skeletons");
    req.turn_bias = to_turn_bias(turn_bias);
    req.sliding_bias = to_unit_interval(sliding_bias, "sliding_bias");
    req.inflate_delta = truthy(inflate_delta);
    req.grid = to_grid(dbu);
    req.local_search = greater(nb::int_(req.obstacles.size()), names.bbox_min_obstacles.current());
    if (req.local_search) req.local_margin_mult = to_double(names.bbox_margin_mult.current(), "_BBOX_MARGIN_MULT");
    if (req.order.size() > count || std::any_of(req.order.begin(), req.order.end(), [&](size_t i) { return i >= count; }))
        throw nb::index_error("start_positions has fewer rows than the routing order needs");
    for (size_t k = 0; k < req.order.size(); ++k) {
        const size_t idx = req.order[k];
        if (idx >= req.ports.ends.size() || idx >= req.ports.start_tangents.size() ||
            idx >= req.ports.end_tangents.size())
            throw nb::index_error(("row " + std::to_string(idx) + " is missing in the end or tangent rows").c_str());
        check_lane_request(kb::rail_lane_request(req, k), req.ports.start_tangents[idx], req.ports.end_tangents[idx]);
    }

    kb::RailBundleResult res;
    {
        nb::gil_scoped_release release;
        res = kb::route_rail_bundle(req);
    }
    nb::list skeletons, infos;
    for (size_t i = 0; i < count; ++i) {
        skeletons.append(path_to_array(res.lanes[i]));
        infos.append(info_dict(res.infos[i]));
    }
    nb::dict info;
    info["order"] = order_list(order);
    info["infos"] = infos;
    return nb::make_tuple(skeletons, info);
}

// ---- by name --------------------------------------------------------------

nb::object rail_bundle_by_name(const RailArgs& a) {
    auto [start_positions, end_positions, start_tangents, end_tangents, delta, obstacles, route_spacing,
          routing_order, turn_bias, sliding_bias, route_skeletons, inflate_delta, dbu] = a;
    BundleNames& names = bundle_names();
    nb::object sp = np_asarray(start_positions), ep = np_asarray(end_positions), st = np_asarray(start_tangents),
               et = np_asarray(end_tangents);
    const size_t count = nb::len(sp);
    require_routes(count);
    nb::object order = names.compute_order.current()(sp, st, routing_order);
    nb::object base = list_of(obstacles, "obstacles");

    nb::object port_pitch = nb::borrow(route_spacing);
    if (count > 1) {
        bool exact = true;
        const std::vector<Point> pts = to_point_rows(sp, "start_positions", exact);
        const std::vector<Point> tans = to_point_rows(st, "start_tangents", exact);
        port_pitch = nb::float_(kb::smallest_gap(project_starts(sp, st, pts, tans, exact).values, 0.0));
    }

    nb::list skeletons, infos;
    for (size_t i = 0; i < count; ++i) {
        skeletons.append(nb::none());
        infos.append(nb::none());
    }
    nb::list route_obstacles = has_boxes(route_skeletons) ? list_of(route_skeletons, "route_skeletons") : nb::list();
    nb::list route_polys;
    const bool use_bbox = greater(nb::int_(nb::len(base)), names.bbox_min_obstacles.current());
    nb::object full_idx = use_bbox ? names.obstacle_index.current()(base, dbu) : nb::none();

    nb::object it = nb::steal(PyObject_GetIter(order.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    long k = 0;
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object idx = nb::steal(item);
        const long remaining = static_cast<long>(count) - 1 - k;
        nb::object delta_eff = truthy(inflate_delta) ? py_add(delta, py_mul(nb::int_(remaining), route_spacing))
                                                     : nb::borrow(delta);
        nb::object s_pos = sp[idx], e_pos = ep[idx], s_tan = st[idx], e_tan = et[idx];
        nb::object skel, info;
        if (use_bbox) {
            nb::object r = call_with(names.route_one_local.current(),
                                     {s_pos, e_pos, s_tan, e_tan, delta_eff, base, route_obstacles, full_idx},
                                     {{"turn_bias", turn_bias},
                                      {"sliding_bias", sliding_bias},
                                      {"route_spacing", route_spacing},
                                      {"route_pivots", route_polys},
                                      {"bend_delta", delta},
                                      {"dbu", dbu}});
            auto parts = unpack_exactly(r, 2);
            skel = parts[0];
            info = parts[1];
        } else {
            auto parts = unpack_exactly(search_near_ports(s_pos, e_pos, s_tan, e_tan, delta_eff, base, route_obstacles,
                                                          turn_bias, sliding_bias, route_spacing, route_polys, delta,
                                                          dbu),
                                        2);
            skel = np_asarray(parts[0]);
            info = parts[1];
        }
        if (PyObject_SetItem(skeletons.ptr(), idx.ptr(), skel.ptr()) < 0 ||
            PyObject_SetItem(infos.ptr(), idx.ptr(), info.ptr()) < 0)
            throw nb::python_error();
        route_obstacles.attr("extend")(
            call_with(names.skeleton_to_obstacles.current(), {skel, route_spacing}, {{"port_pitch", port_pitch}}));
        route_polys.append(np_asarray(skel, true));
        ++k;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    nb::dict info;
    info["order"] = order;
    info["infos"] = infos;
    return nb::make_tuple(skeletons, info);
}

}  // namespace

nb::object route_one_local_py(nb::handle s_pos, nb::handle e_pos, nb::handle s_tan, nb::handle e_tan,
                              nb::handle delta_eff, nb::handle base_obstacles, nb::handle keep_out, nb::handle full_idx,
                              nb::handle turn_bias, nb::handle sliding_bias, nb::handle route_spacing,
                              nb::handle route_pivots, nb::handle bend_delta, nb::handle dbu) {
    const double sx = to_double(item_of(s_pos, 0), "s_pos[0]"), sy = to_double(item_of(s_pos, 1), "s_pos[1]");
    const double ex = to_double(item_of(e_pos, 0), "e_pos[0]"), ey = to_double(item_of(e_pos, 1), "e_pos[1]");
    const double margin = to_double(py_mul(bundle_names().bbox_margin_mult.current(), delta_eff), "margin");
    const Box w = kb::end_point_window({sx, sy}, {ex, ey}, margin);
    const nb::object x0 = nb::float_(w.x0), y0 = nb::float_(w.y0), x1 = nb::float_(w.x1), y1 = nb::float_(w.y1);
    nb::list net_obs = filter_to_window(base_obstacles, x0, y0, x1, y1);
    nb::list net_keep = filter_to_window(keep_out, x0, y0, x1, y1);
    auto route = [&](nb::handle obs, nb::handle keep) {
        auto parts = unpack_exactly(search_near_ports(s_pos, e_pos, s_tan, e_tan, delta_eff, obs, keep, turn_bias,
                                                      sliding_bias, route_spacing, route_pivots, bend_delta, dbu),
                                    2);
        return std::pair{np_asarray(parts[0]), parts[1]};
    };
    auto [skel, info] = route(net_obs, net_keep);
    if (hits_real_obstacle(skel, full_idx)) std::tie(skel, info) = route(base_obstacles, keep_out);
    return nb::make_tuple(skel, info);
}

nb::object bundle_rail_bridge_py(nb::handle start_positions, nb::handle end_positions, nb::handle start_tangents,
                                 nb::handle end_tangents, nb::handle delta, nb::handle obstacles,
                                 nb::handle route_spacing, nb::handle routing_order, nb::handle turn_bias,
                                 nb::handle sliding_bias, nb::handle, nb::handle, nb::handle route_skeletons,
                                 nb::handle inflate_delta, nb::handle dbu) {
    BundleNames& n = bundle_names();
    const bool native = n.compute_order.is_native() && n.rail_bridge.is_native() && n.route_one_local.is_native() &&
                        n.obstacle_index.is_native() && n.skeleton_to_obstacles.is_native();
    const RailArgs a{start_positions, end_positions, start_tangents, end_tangents, delta, obstacles, route_spacing,
                     routing_order, turn_bias, sliding_bias, route_skeletons, inflate_delta, dbu};
    return native ? rail_bundle_native(a) : rail_bundle_by_name(a);
}

}  // namespace kelvane::py
