// The native roads of bundle_backbone_v2 (one routed backbone, every lane an
// offset of it) and _offset_backbone (the lanes from a routed backbone), and
// the pieces of their Python bodies' arithmetic.
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
        nb::tuple pair = unpack(nb::steal(item), 2);
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
    const auto coordinate = [](nb::handle p, int i) { return to_double(item_of(p, i), i ? "point[1]" : "point[0]"); };
    return axis_and_sign({coordinate(a, 0), coordinate(a, 1)}, {coordinate(b, 0), coordinate(b, 1)});
}

}  // namespace

// (median, d_start, d_end, connect ranks): each lane's start offset (its start
// projection less median_s_offset), its end offset across the backbone's last
// segment relative to the backbone route's end, and its inner segments' place
// in start order counted from the backbone's lane.
nb::object lane_offsets_py(nb::handle backbone, nb::handle ep, nb::handle B, nb::handle median_idx,
                           nb::handle start_proj, nb::handle median_s_offset) {
    nb::object last = item_of(backbone, -1), before = item_of(backbone, -2);
    const Point end_normal =
        kb::side_normal({to_double(item_of(before, 0), "backbone"), to_double(item_of(before, 1), "backbone")},
                        {to_double(item_of(last, 0), "backbone"), to_double(item_of(last, 1), "backbone")});
    bool ignored = true;
    const std::vector<Point> ends = to_point_rows(ep, "ep", ignored);
    const long count = index_value(B);
    const size_t median = route_index(median_idx, index_value(median_idx), count, static_cast<long>(ends.size()));
    auto end_proj = [&](size_t i) { return ends.at(i).x * end_normal.x + ends.at(i).y * end_normal.y; };
    std::vector<double> d_start;
    nb::list starts, end_offsets;
    for (long i = 0; i < count; ++i) {
        d_start.push_back(to_double(py_sub(item_of(start_proj, i), median_s_offset), "start_proj"));
        starts.append(d_start.back());
        end_offsets.append(end_proj(static_cast<size_t>(i)) - end_proj(median));
    }
    const std::vector<size_t> lane_of_rank = kb::stable_ranking(d_start);
    const long bb_lane = std::find(lane_of_rank.begin(), lane_of_rank.end(), median) - lane_of_rank.begin();
    std::vector<long> rank(static_cast<size_t>(count));
    for (size_t lane = 0; lane < lane_of_rank.size(); ++lane) rank[lane_of_rank[lane]] = static_cast<long>(lane) - bb_lane;
    nb::list ranks;
    for (long r : rank) ranks.append(r);
    return nb::make_tuple(median, starts, end_offsets, ranks);
}

// The inner segments a trial lane runs against the backbone (a set), or None
// when there are none or the lane has another number of segments.
nb::object reversed_inner_segments_py(nb::handle backbone, nb::handle trial) {
    const Py_ssize_t n_segs = nb::len(backbone) - 1;
    if (static_cast<Py_ssize_t>(nb::len(trial)) - 1 != n_segs) return nb::none();
    nb::object flipped = nb::none();
    for (Py_ssize_t s = 1; s + 1 < n_segs; ++s) {
        const auto [bb_axis, bb_sign] = step_axis(item_of(backbone, s), item_of(backbone, s + 1));
        const auto [tr_axis, tr_sign] = step_axis(item_of(trial, s), item_of(trial, s + 1));
        if (bb_axis == tr_axis && bb_sign != tr_sign) {
            if (flipped.is_none()) flipped = own(PySet_New(nullptr));
            if (PySet_Add(flipped.ptr(), nb::int_(s).ptr()) < 0) fail();
        }
    }
    return flipped;
}

// The (start, end) port pairs lanes are moved onto: none when sp does not
// hold the start ports.
nb::object lane_ends_py(nb::handle sp, nb::handle ep) {
    const std::vector<Point> starts = optional_rows(sp);
    bool ignored = true;
    const std::vector<Point> ends = to_point_rows(ep, "ep", ignored);
    nb::list out;
    for (size_t i = 0; i < std::min(starts.size(), ends.size()); ++i)
        out.append(nb::make_tuple(nb::make_tuple(starts[i].x, starts[i].y), nb::make_tuple(ends[i].x, ends[i].y)));
    return out;
}

// A lane with its ends moved onto its ports (see lane_ends_py).
nb::object snapped_to_ports_py(nb::handle lane, nb::handle ends) {
    return snapped_to_ports(lane, to_point(item_of(ends, 0), "start"), to_point(item_of(ends, 1), "end"));
}

namespace {

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

}  // namespace

// (median, n_side, widened, max_offset, scale_connect, envelope) of the
// backbone plan for the Python body, on numpy's projections and order.
nb::object backbone_plan_py(nb::handle sp, nb::handle ep, nb::handle st, nb::handle et, nb::handle start_proj,
                            nb::handle sorted_idx, nb::handle median_idx, nb::handle delta,
                            nb::handle backbone_clearance_factor, nb::handle bundle_separation_factor,
                            nb::handle route_spacing) {
    const long count = static_cast<long>(nb::len(sp));
    const size_t median = route_index(median_idx, index_value(median_idx), count, count);
    kb::BackboneBundleRequest req;
    PortRows rows = read_port_rows(sp, ep, st, et);
    req.ports = std::move(rows.ports);
    nb::object values = tuple_of(start_proj.attr("tolist")(), "start_proj");
    for (size_t i = 0; i < nb::len(values); ++i) req.start_proj.push_back(to_double(values[i], "start_proj"));
    nb::object ranks = tuple_of(sorted_idx.attr("tolist")(), "argsort");
    for (size_t i = 0; i < nb::len(ranks); ++i) req.ranking.push_back(nb::cast<size_t>(ranks[i]));
    req.choice = kb::BackboneChoice::Index;
    req.index = static_cast<long>(median);
    req.delta = to_double(delta, "delta");
    req.backbone_clearance_factor = to_double(backbone_clearance_factor, "backbone_clearance_factor");
    req.bundle_separation_factor = to_double(bundle_separation_factor, "bundle_separation_factor");
    req.route_spacing = to_double(route_spacing, "route_spacing");
    const kb::BackbonePlan plan = kb::plan_backbone(req);
    return nb::make_tuple(median, plan.n_side, plan.widened, plan.max_offset, plan.scale_connect, plan.envelope);
}

nb::object offset_backbone_py(nb::handle backbone, nb::handle backbone_info, nb::handle sp, nb::handle ep,
                              nb::handle B, nb::handle median_idx, nb::handle start_proj, nb::handle median_s_offset,
                              nb::handle connect_pitch, nb::handle scale_connect, nb::handle delta,
                              nb::handle obstacles, nb::handle dbu, nb::handle bundle_envelope) {
    return offset_backbone_native(backbone, backbone_info, sp, ep, B, median_idx, start_proj, median_s_offset,
                                  connect_pitch, scale_connect, delta, obstacles, dbu, bundle_envelope);
}

nb::object bundle_backbone_py(nb::handle start_positions, nb::handle end_positions, nb::handle start_tangents,
                              nb::handle end_tangents, nb::handle delta, nb::handle obstacles, nb::handle turn_bias,
                              nb::handle sliding_bias, nb::handle backbone_clearance_factor,
                              nb::handle bundle_separation_factor, nb::handle backbone_selection,
                              nb::handle route_spacing, nb::handle route_skeletons, nb::handle dbu,
                              nb::handle waypoints, bool use_waypoints) {
    return backbone_native({start_positions, end_positions, start_tangents, end_tangents, delta, obstacles, turn_bias,
                            sliding_bias, backbone_clearance_factor, bundle_separation_factor, backbone_selection,
                            route_spacing, route_skeletons, dbu, waypoints, use_waypoints});
}

}  // namespace kelvane::py
