// bundle_backbone_v2 (one routed backbone, every lane an offset of it) and
// _offset_backbone (the lanes from a routed backbone).
#include <algorithm>
#include <cmath>

#include "bundle_support.hpp"

namespace kelvane::py {

namespace {

using namespace nb::literals;

bool equals(nb::handle a, const char* text) {
    const int r = PyObject_RichCompareBool(a.ptr(), nb::str(text).ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

long index_value(nb::handle obj) {
    nb::object i = nb::steal(PyNumber_Index(obj.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(i.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return overflow ? (overflow > 0 ? LONG_MAX : LONG_MIN) : v;
}

// The errors the host raises for a route index `value` of a bundle of
// `count` routes read from `rows` rows: numpy's IndexError beyond the rows,
// list.index's ValueError for what is not a route of the bundle.
size_t route_index(nb::handle value, long v, long count, long rows) {
    if (v >= rows || v < -rows)
        throw nb::index_error(("index " + repr_of(value) + " is out of bounds for axis 0 with size " +
                               std::to_string(rows)).c_str());
    if (v < 0 || v >= count) raise_value(repr_of(value) + " is not in list");
    return static_cast<size_t>(v);
}

// Obstacle(*tuple(o)) for every obstacle, as boxes.
std::vector<Box> obstacle_records(nb::handle obstacles) {
    std::vector<Box> out;
    nb::object it = nb::steal(PyObject_GetIter(obstacles.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object t = tuple_of(nb::steal(item), "obstacles[" + std::to_string(out.size()) + "]");
        if (PyTuple_GET_SIZE(t.ptr()) != 4)
            raise_type("Obstacle() takes 4 arguments (x_min, y_min, x_max, y_max), got " +
                       std::to_string(PyTuple_GET_SIZE(t.ptr())));
        const Box b{to_finite(t[0], "x_min"), to_finite(t[1], "y_min"), to_finite(t[2], "x_max"),
                    to_finite(t[3], "y_max")};
        if (b.x0 > b.x1) raise_value("Obstacle: x_min > x_max");
        if (b.y0 > b.y1) raise_value("Obstacle: y_min > y_max");
        out.push_back(b);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

nb::dict description(nb::handle backbone, const std::vector<std::pair<double, double>>& offsets, size_t median,
                     nb::handle scale_connect, double envelope, nb::handle backbone_info) {
    nb::list off;
    for (const auto& [s, e] : offsets) off.append(nb::make_tuple(s, e));
    nb::dict info;
    info["backbone"] = backbone;
    info["offsets"] = off;
    info["median_idx"] = median;
    info["scale_connect"] = scale_connect;
    info["route_skeleton_envelope"] = envelope;
    info["backbone_info"] = backbone_info;
    return info;
}

// The (position, pin) entries of `waypoints` as two lists.
std::pair<nb::list, nb::list> waypoint_lists(nb::handle waypoints) {
    nb::list positions, pins;
    nb::object it = nb::steal(PyObject_GetIter(waypoints.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    while (PyObject* item = PyIter_Next(it.ptr())) {
        auto pair = unpack_exactly(nb::steal(item), 2);
        positions.append(pair[0]);
        pins.append(pair[1]);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return {positions, pins};
}

// ---- _offset_backbone -----------------------------------------------------

// The start ports, when `sp` holds them: the lanes' end points are snapped
// onto their ports.  sp is otherwise not needed, so anything else leaves the
// lanes as offsetting makes them.
std::vector<Point> optional_rows(nb::handle sp) {
    try {
        bool ignored = true;
        return to_point_rows(sp, "sp", ignored);
    } catch (const nb::python_error&) {
    } catch (const nb::builtin_exception&) {
    }
    PyErr_Clear();
    return {};
}

nb::object offset_backbone_native(nb::handle backbone, nb::handle backbone_info, nb::handle sp, nb::handle ep, nb::handle B,
                                  nb::handle median_idx, nb::handle start_proj, nb::handle median_s_offset,
                                  nb::handle connect_pitch, nb::handle scale_connect, nb::handle delta,
                                  nb::handle obstacles, nb::handle dbu, nb::handle bundle_envelope) {
    kb::OffsetBackboneRequest r;
    r.backbone = to_path(backbone, "backbone");
    if (r.backbone.size() < 2) throw nb::index_error("backbone must have at least 2 points");
    bool ignored = true;
    r.ends = to_point_rows(ep, "ep", ignored);
    r.starts = optional_rows(sp);
    const long count = index_value(B);
    r.median = route_index(median_idx, index_value(median_idx), count, static_cast<long>(r.ends.size()));
    r.count = static_cast<size_t>(count);
    for (size_t i = 0; i < r.count; ++i)
        r.start_proj.push_back(to_double(item_of(start_proj, static_cast<Py_ssize_t>(i)), "start_proj"));
    r.median_s_offset = to_double(median_s_offset, "median_s_offset");
    r.connect_pitch = to_double(connect_pitch, "connect_pitch");
    r.delta = to_length(delta, "delta");
    r.obstacles = obstacle_records(obstacles);
    r.grid = to_grid(dbu);
    const double envelope = to_double(bundle_envelope, "bundle_envelope");
    kb::LaneSet lanes;
    {
        nb::gil_scoped_release release;
        lanes = kb::offset_backbone(r);
    }
    nb::list skeletons;
    for (const Path& lane : lanes.lanes) skeletons.append(path_to_array(lane));
    return nb::make_tuple(skeletons,
                          description(backbone, lanes.offsets, r.median, scale_connect, envelope, backbone_info));
}

// A lane from _offset_skeleton with its ends on its ports, as a new array;
// a lane that is not N x 2 numbers is returned as it is.
nb::object snapped_to_ports(nb::handle lane, Point start, Point end) {
    Path path;
    try {
        path = to_path(lane, "lane");
    } catch (const nb::python_error&) {
        PyErr_Clear();
        return nb::borrow(lane);
    } catch (const nb::builtin_exception&) {
        return nb::borrow(lane);
    }
    kb::snap_to_ports(path, start, end);
    return path_to_array(path);
}

// (axis, sign) of the step a -> b: (0, +-1) along x, (1, +-1) along y.
std::pair<int, int> step_axis(nb::handle a, nb::handle b) {
    const double dx = to_double(item_of(b, 0), "point[0]") - to_double(item_of(a, 0), "point[0]");
    const double dy = to_double(item_of(b, 1), "point[1]") - to_double(item_of(a, 1), "point[1]");
    if (std::fabs(dx) > std::fabs(dy)) return {0, dx > 0 ? 1 : -1};
    return {1, dy > 0 ? 1 : -1};
}

nb::object offset_backbone_by_name(nb::handle backbone, nb::handle backbone_info, nb::handle sp, nb::handle ep, nb::handle B,
                                   nb::handle median_idx, nb::handle start_proj, nb::handle median_s_offset,
                                   nb::handle connect_pitch, nb::handle scale_connect, nb::handle delta,
                                   nb::handle obstacles, nb::handle dbu, nb::handle bundle_envelope) {
    BundleNames& names = bundle_names();
    nb::object last = item_of(backbone, -1), before = item_of(backbone, -2);
    const Point end_normal =
        kb::side_normal({to_double(item_of(before, 0), "backbone"), to_double(item_of(before, 1), "backbone")},
                        {to_double(item_of(last, 0), "backbone"), to_double(item_of(last, 1), "backbone")});
    bool ignored = true;
    const std::vector<Point> ends = to_point_rows(ep, "ep", ignored);
    const long count = index_value(B);
    const size_t median = route_index(median_idx, index_value(median_idx), count, static_cast<long>(ends.size()));
    auto end_proj = [&](size_t i) { return ends.at(i).x * end_normal.x + ends.at(i).y * end_normal.y; };
    std::vector<double> d_start, d_end;
    for (long i = 0; i < count; ++i) {
        d_start.push_back(to_double(py_sub(item_of(start_proj, i), median_s_offset), "start_proj"));
        d_end.push_back(end_proj(static_cast<size_t>(i)) - end_proj(median));
    }
    const std::vector<size_t> lane_of_rank = kb::stable_ranking(d_start);
    const long bb_lane = std::find(lane_of_rank.begin(), lane_of_rank.end(), median) - lane_of_rank.begin();
    std::vector<nb::object> connect(static_cast<size_t>(count));
    for (size_t lane = 0; lane < lane_of_rank.size(); ++lane)
        connect[lane_of_rank[lane]] = py_mul(nb::int_(static_cast<long>(lane) - bb_lane), connect_pitch);

    const Py_ssize_t n_segs = nb::len(backbone) - 1;
    std::vector<nb::object> flipped(static_cast<size_t>(count));
    nb::object offset_skeleton = names.offset_skeleton.current();
    for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
        nb::object trial = call_with(offset_skeleton, {backbone, nb::float_(d_start[i]), nb::float_(d_end[i])},
                                     {{"scale_connect", scale_connect}, {"connect_offset", connect[i]}});
        if (static_cast<Py_ssize_t>(nb::len(trial)) - 1 != n_segs) continue;
        for (Py_ssize_t s = 1; s + 1 < n_segs; ++s) {
            const auto [bb_axis, bb_sign] = step_axis(item_of(backbone, s), item_of(backbone, s + 1));
            const auto [tr_axis, tr_sign] = step_axis(item_of(trial, s), item_of(trial, s + 1));
            if (bb_axis == tr_axis && bb_sign != tr_sign) {
                if (!flipped[i].is_valid()) flipped[i] = nb::steal(PySet_New(nullptr));
                if (PySet_Add(flipped[i].ptr(), nb::int_(s).ptr()) < 0) throw nb::python_error();
            }
        }
    }

    nb::list obs_list;
    nb::object record = names.obstacle.current();
    nb::object it = nb::steal(PyObject_GetIter(obstacles.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object args = tuple_of(nb::steal(item), "obstacle");
        obs_list.append(nb::steal(PyObject_Call(record.ptr(), args.ptr(), nullptr)));
        if (PyErr_Occurred()) throw nb::python_error();
    }
    if (PyErr_Occurred()) throw nb::python_error();
    nb::object obs_idx = names.obstacle_index.current()(obs_list, dbu);

    const std::vector<Point> starts = optional_rows(sp);
    nb::list skeletons;
    std::vector<std::pair<double, double>> offsets;
    for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
        offsets.emplace_back(d_start[i], d_end[i]);
        nb::handle flips = flipped[i].is_valid() ? nb::handle(flipped[i]) : nb::handle(Py_None);
        nb::object route = call_with(names.offset_skeleton.current(),
                                     {backbone, nb::float_(d_start[i]), nb::float_(d_end[i])},
                                     {{"scale_connect", scale_connect},
                                      {"connect_offset", connect[i]},
                                      {"flipped_segs", flips}});
        if (i < starts.size()) route = snapped_to_ports(route, starts[i], ends[i]);
        skeletons.append(names.extend_short_segments.current()(route, delta, obs_idx));
    }
    return nb::make_tuple(skeletons, description(backbone, offsets, median, scale_connect,
                                                 to_double(bundle_envelope, "bundle_envelope"), backbone_info));
}

// ---- bundle_backbone_v2 ---------------------------------------------------

struct BackboneArgs {
    nb::handle start_positions, end_positions, start_tangents, end_tangents, delta, obstacles, turn_bias,
        sliding_bias, backbone_clearance_factor, bundle_separation_factor, backbone_selection, route_spacing,
        route_skeletons, dbu, waypoints;
    bool use_waypoints;
};

nb::object backbone_native(const BackboneArgs& a) {
    PortRows rows = read_port_rows(a.start_positions, a.end_positions, a.start_tangents, a.end_tangents);
    kb::BackboneBundleRequest req;
    req.ports = std::move(rows.ports);
    const long count = static_cast<long>(req.ports.starts.size());
    require_routes(req.ports.starts.size());
    Projection proj = project_starts(a.start_positions, a.start_tangents, req.ports.starts, req.ports.start_tangents,
                                     rows.exact);
    req.start_proj = std::move(proj.values);
    req.ranking = std::move(proj.ranking);
    if (PyLong_Check(a.backbone_selection.ptr())) {
        req.choice = kb::BackboneChoice::Index;
        req.index = static_cast<long>(route_index(a.backbone_selection, index_value(a.backbone_selection), count, count));
    } else if (equals(a.backbone_selection, "first")) {
        req.choice = kb::BackboneChoice::First;
    } else if (equals(a.backbone_selection, "last")) {
        req.choice = kb::BackboneChoice::Last;
    }
    req.delta = to_length(a.delta, "delta");
    req.obstacles = to_boxes(a.obstacles, "obstacles");
    req.turn_bias = to_turn_bias(a.turn_bias);
    req.sliding_bias = to_unit_interval(a.sliding_bias, "sliding_bias");
    req.backbone_clearance_factor = to_finite(a.backbone_clearance_factor, "backbone_clearance_factor");
    req.bundle_separation_factor = to_finite(a.bundle_separation_factor, "bundle_separation_factor");
    req.route_spacing = to_length(a.route_spacing, "route_spacing");
    if (has_boxes(a.route_skeletons)) req.keep_outs = to_boxes(a.route_skeletons, "route_skeletons");
    req.grid = to_grid(a.dbu);
    if (a.use_waypoints) {
        auto [positions, pins] = waypoint_lists(a.waypoints);
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
    check_lane_request(search, req.ports.start_tangents.at(plan.median), req.ports.end_tangents.at(plan.median));

    kb::BackboneBundleResult res;
    {
        nb::gil_scoped_release release;
        res = kb::route_backbone_bundle(req);
    }
    nb::object backbone = path_to_array(res.backbone.skeleton);
    nb::object backbone_info = req.use_waypoints ? nb::object(waypoint_info_dict(res.backbone)) : nb::object(info_dict(res.backbone.info));
    nb::list skeletons;
    for (const Path& lane : res.lanes.lanes) skeletons.append(path_to_array(lane));
    return nb::make_tuple(skeletons, description(backbone, res.lanes.offsets, plan.median,
                                                 nb::float_(plan.scale_connect), plan.envelope, backbone_info));
}

nb::object backbone_by_name(const BackboneArgs& a) {
    BundleNames& names = bundle_names();
    nb::object sp = np_asarray(a.start_positions), ep = np_asarray(a.end_positions), st = np_asarray(a.start_tangents),
               et = np_asarray(a.end_tangents);
    const long count = static_cast<long>(nb::len(sp));
    require_routes(static_cast<size_t>(count));
    auto [start_proj, sorted_idx] = numpy_projection(sp, st);
    nb::object median_idx;
    if (PyLong_Check(a.backbone_selection.ptr())) median_idx = nb::borrow(a.backbone_selection);
    else if (equals(a.backbone_selection, "first")) median_idx = item_of(sorted_idx, 0);
    else if (equals(a.backbone_selection, "last")) median_idx = item_of(sorted_idx, -1);
    else median_idx = item_of(sorted_idx, count / 2);
    const size_t median = route_index(median_idx, index_value(median_idx), count, count);
    nb::object at = nb::int_(median);
    nb::object median_s_offset = start_proj[at];

    kb::BackboneBundleRequest req;
    PortRows rows = read_port_rows(sp, ep, st, et);
    req.ports = std::move(rows.ports);
    nb::object values = tuple_of(start_proj.attr("tolist")(), "start_proj");
    for (size_t i = 0; i < nb::len(values); ++i) req.start_proj.push_back(to_double(values[i], "start_proj"));
    nb::object ranks = tuple_of(sorted_idx.attr("tolist")(), "argsort");
    for (size_t i = 0; i < nb::len(ranks); ++i) req.ranking.push_back(nb::cast<size_t>(ranks[i]));
    req.choice = kb::BackboneChoice::Index;
    req.index = static_cast<long>(median);
    req.delta = to_double(a.delta, "delta");
    req.backbone_clearance_factor = to_double(a.backbone_clearance_factor, "backbone_clearance_factor");
    req.bundle_separation_factor = to_double(a.bundle_separation_factor, "bundle_separation_factor");
    req.route_spacing = to_double(a.route_spacing, "route_spacing");
    const kb::BackbonePlan plan = kb::plan_backbone(req);

    nb::object connect_pitch = py_mul(a.bundle_separation_factor, a.route_spacing);
    nb::object scale_connect = nb::float_(plan.scale_connect), envelope = nb::float_(plan.envelope);
    nb::object side_run = py_mul(nb::int_(plan.n_side), a.route_spacing);
    nb::object delta_eff =
        plan.widened
            ? py_add(py_add(nb::float_(plan.max_offset), py_mul(a.backbone_clearance_factor, a.delta)), side_run)
            : py_add(a.delta, side_run);
    nb::object inflated = names.inflate.current()(a.route_skeletons, envelope);
    nb::object s_pos = sp[at], e_pos = ep[at], s_tan = st[at], e_tan = et[at];
    SearchCall call{s_pos, e_pos, s_tan, e_tan, delta_eff, a.obstacles, {}};
    nb::object result;
    if (a.use_waypoints) {
        auto [positions, pins] = waypoint_lists(a.waypoints);
        call.keywords = {{"pins", pins},
                         {"turn_bias", a.turn_bias},
                         {"sliding_bias", a.sliding_bias},
                         {"route_skeletons", inflated},
                         {"route_spacing", a.route_spacing},
                         {"dbu", a.dbu}};
        result = search_waypoints(call, positions);
    } else {
        call.keywords = {{"turn_bias", a.turn_bias},
                         {"sliding_bias", a.sliding_bias},
                         {"route_skeletons", inflated},
                         {"route_spacing", a.route_spacing}};
        result = search_rail_bridge(call);
    }
    auto parts = unpack_exactly(result, 2);
    nb::object backbone = np_asarray(parts[0]);
    return call_with(names.offset_backbone.current(),
                     {backbone, parts[1], sp, ep, st, et, nb::int_(count), median_idx, start_proj, median_s_offset,
                      connect_pitch, scale_connect, a.delta, a.obstacles, a.dbu, envelope});
}

}  // namespace

nb::object offset_backbone_py(nb::handle backbone, nb::handle backbone_info, nb::handle sp, nb::handle ep, nb::handle,
                              nb::handle, nb::handle B, nb::handle median_idx, nb::handle start_proj,
                              nb::handle median_s_offset, nb::handle connect_pitch, nb::handle scale_connect,
                              nb::handle delta, nb::handle obstacles, nb::handle dbu, nb::handle bundle_envelope) {
    BundleNames& n = bundle_names();
    const bool native =
        n.offset_skeleton.is_native() && n.obstacle_index.is_native() && n.extend_short_segments.is_native();
    auto road = native ? &offset_backbone_native : &offset_backbone_by_name;
    return road(backbone, backbone_info, sp, ep, B, median_idx, start_proj, median_s_offset, connect_pitch, scale_connect,
                delta, obstacles, dbu, bundle_envelope);
}

nb::object bundle_backbone_py(nb::handle start_positions, nb::handle end_positions, nb::handle start_tangents,
                              nb::handle end_tangents, nb::handle delta, nb::handle obstacles, nb::handle turn_bias,
                              nb::handle sliding_bias, nb::handle, nb::handle, nb::handle backbone_clearance_factor,
                              nb::handle bundle_separation_factor, nb::handle backbone_selection,
                              nb::handle route_spacing, nb::handle route_skeletons, nb::handle dbu,
                              nb::handle waypoints) {
    const BackboneArgs a{start_positions, end_positions, start_tangents, end_tangents, delta, obstacles, turn_bias,
                         sliding_bias, backbone_clearance_factor, bundle_separation_factor, backbone_selection,
                         route_spacing, route_skeletons, dbu, waypoints, truthy(waypoints)};
    BundleNames& n = bundle_names();
    bool native = n.inflate.is_native() && n.offset_backbone.is_native() && n.offset_skeleton.is_native() &&
                  n.obstacle_index.is_native() && n.extend_short_segments.is_native();
    if (native && a.use_waypoints) native = is_own_waypoint_router(waypoint_router());
    else if (native) native = n.rail_bridge.is_native();
    return native ? backbone_native(a) : backbone_by_name(a);
}

}  // namespace kelvane::py
