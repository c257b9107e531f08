// The native roads of bundle_rail_bridge_v2 (routes one after another) and
// _route_one_local (one search on the obstacles near a route's ports).
#include <algorithm>

#include "bundle_support.hpp"

namespace kelvane::py {

namespace {

nb::tuple search_near_ports(nb::handle s_pos, nb::handle e_pos, nb::handle s_tan, nb::handle e_tan,
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

struct RailArgs {
    nb::handle start_positions, end_positions, start_tangents, end_tangents, delta, obstacles, route_spacing,
        routing_order, turn_bias, sliding_bias, route_skeletons, inflate_delta, dbu;
};

nb::object rail_bundle_by_name(const RailArgs& a);

nb::object rail_bundle_native(const RailArgs& a) {
    auto [start_positions, end_positions, start_tangents, end_tangents, delta, obstacles, route_spacing,
          routing_order, turn_bias, sliding_bias, route_skeletons, inflate_delta, dbu] = a;
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
    req.inflate_delta = truth(inflate_delta);
    req.grid = to_grid(dbu);
    req.local_search = req.obstacles.size() > kBboxMinObstacles;
    if (req.local_search) req.local_margin_mult = to_double(bundle_own().margin_mult, "_BBOX_MARGIN_MULT");
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

}  // namespace

nb::object route_one_local_py(nb::handle s_pos, nb::handle e_pos, nb::handle s_tan, nb::handle e_tan,
                              nb::handle delta_eff, nb::handle base_obstacles, nb::handle keep_out, nb::handle full_idx,
                              nb::handle turn_bias, nb::handle sliding_bias, nb::handle route_spacing,
                              nb::handle route_pivots, nb::handle bend_delta, nb::handle dbu) {
    const double sx = to_double(item_of(s_pos, 0), "s_pos[0]"), sy = to_double(item_of(s_pos, 1), "s_pos[1]");
    const double ex = to_double(item_of(e_pos, 0), "e_pos[0]"), ey = to_double(item_of(e_pos, 1), "e_pos[1]");
    const double margin = to_double(py_mul(bundle_own().margin_mult, delta_eff), "margin");
    const Box w = kb::end_point_window({sx, sy}, {ex, ey}, margin);
    const nb::object x0 = nb::float_(w.x0), y0 = nb::float_(w.y0), x1 = nb::float_(w.x1), y1 = nb::float_(w.y1);
    nb::list net_obs = filter_to_window(base_obstacles, x0, y0, x1, y1);
    nb::list net_keep = filter_to_window(keep_out, x0, y0, x1, y1);
    auto route = [&](nb::handle obs, nb::handle keep) {
        nb::tuple parts = search_near_ports(s_pos, e_pos, s_tan, e_tan, delta_eff, obs, keep, turn_bias, sliding_bias,
                                            route_spacing, route_pivots, bend_delta, dbu);
        return std::pair<nb::object, nb::object>(parts[0], parts[1]);
    };
    auto [skel, info] = route(net_obs, net_keep);
    if (hits_real_obstacle(skel, full_idx)) std::tie(skel, info) = route(base_obstacles, keep_out);
    return nb::make_tuple(skel, info);
}

nb::object bundle_rail_bridge_py(nb::handle start_positions, nb::handle end_positions, nb::handle start_tangents,
                                 nb::handle end_tangents, nb::handle delta, nb::handle obstacles,
                                 nb::handle route_spacing, nb::handle routing_order, nb::handle turn_bias,
                                 nb::handle sliding_bias, nb::handle route_skeletons, nb::handle inflate_delta,
                                 nb::handle dbu) {
    return rail_bundle_native({start_positions, end_positions, start_tangents, end_tangents, delta, obstacles,
                               route_spacing, routing_order, turn_bias, sliding_bias, route_skeletons, inflate_delta,
                               dbu});
}

}  // namespace kelvane::py
