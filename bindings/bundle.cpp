// Module kelvane.manhattan_router.bundle: routes a group of parallel routes
// between matched start and end ports, as lanes offset from one routed
// backbone (bundle_backbone_v2) or one route after another, each clear of
// the ones before it (bundle_rail_bridge_v2).
//
// This file: the module frame (imports, constants, the function table with
// real signatures) and the small helpers.  The strategies are in
// bundle_rail.cpp and bundle_backbone.cpp, shared host-level helpers in
// bundle_support.cpp.  The algorithms live in the core (kelvane/bundle.hpp).
#include <cmath>

#include "deadline_link.hpp"
#include "bundle_support.hpp"
#include "pyfunc.hpp"

namespace kelvane::py {

namespace {

using namespace nb::literals;

}  // namespace

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
        std::vector<nb::object> b;
        if (is_obstacle_record(o)) b = {o.attr("x_min"), o.attr("y_min"), o.attr("x_max"), o.attr("y_max")};
        else b = unpack_exactly(o, 4);
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

nb::object offset_skeleton_py(nb::handle backbone, nb::handle start_offset, nb::handle end_offset, nb::handle,
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

}  // namespace kelvane::py

using namespace kelvane::py;

namespace {

const char* kModuleDoc = R"(Bundle router: a group of routes between matched start and end ports, as parallel lanes.

Two strategies:

bundle_backbone_v2     routes one route of the bundle (the backbone) and derives every
                       lane from it by sideways offsets.  One search, whatever the size.
bundle_rail_bridge_v2  routes the routes one after another with graph.rail_bridge_v2,
                       each kept clear of the ones placed before it.  One search per
                       route (two when a windowed search runs into an obstacle).

Port vectors are handed to the single-route searches as float32 arrays, so a route ends
at its port as float32 holds it (exactly for ports on integers, halves, quarters ...,
or on the grid when dbu is given).  Tangents are headings of travel: a start tangent
points away from the start port, an end tangent into the end port.

The strategies reach rail_bridge_v2, _route_one_local, _ObstacleIndex,
_compute_bundle_order, _skeleton_to_obstacles, _offset_backbone, _offset_skeleton,
_extend_short_segments and _inflate_obstacle_bboxes through this module's namespace when
they are called: replacing one of them (to watch or change it) takes effect at once.
While none is replaced a whole bundle is routed natively with the GIL released.)";

const char* kObsBoundsDoc = R"(Bounds (x_min, y_min, x_max, y_max) of one obstacle, values as they are.

An Obstacle record is read through its attributes, anything else at indices 0 to 3.)";

const char* kFilterDoc = R"(The obstacles of `obs` that touch or overlap the closed box [x0, x1] x [y0, y1].

A new list of the objects themselves, in input order; an obstacle meeting the box only
along an edge or at a corner is kept.)";

const char* kHitsDoc = R"(True as soon as one segment of `skel` (an N x 2 array) is blocked in `full_idx`.

`full_idx` is any object with blocked(x1, y1, x2, y2); segments are queried in order and
the test stops at the first blocked one.  None or fewer than two points: False, and the
index is not queried.)";

const char* kRouteOneLocalDoc = R"(One route searched on the obstacles near its ports; returns (skeleton array, info).

The obstacles and keep-outs that touch the box around s_pos and e_pos grown by
_BBOX_MARGIN_MULT * delta_eff are handed to rail_bridge_v2 (as positional obstacles and as
real_obstacles, keep-outs as route_skeletons).  If the route found is blocked in
`full_idx` (something outside the box was in the way) it is searched once more with the
full lists and that result is returned as it is, blocked or not.  route_pivots is never
filtered.  The port vectors go to the search as float32 arrays.)";

const char* kOffsetSkeletonDoc = R"(One lane from a backbone: a new N x 2 float array.

The first segment is shifted sideways by start_offset, the last by end_offset
(None: start_offset) and every inner segment by connect_offset (None: start_offset *
scale_connect); positive is to the left of the direction of travel.  Segments in
flipped_segs (any container) are shifted to the other side (inner segments only: the
first and last keep their side).  Corners sit where the shifted segments meet, so an
axis-parallel backbone gives an axis-parallel lane:
  - a two-segment backbone gets one corner joining its two offsets;
  - a straight backbone whose two offsets differ gets a jog between them, at mid-length
    moved back by the connect offset for a lane moving left, forward for one moving
    right (neighbouring lanes then jog one pitch apart), kept within the middle 80%.
Zero-length steps and straight-through points of the backbone are merged first; points
of the lane that are not right-angle corners are dropped.  Fewer than two points, or both
offsets below 1e-9, return a copy of the backbone.  pitch_transition has no effect.

Not guaranteed: a backbone with diagonal segments or reversals gives no axis-parallel
lane; lanes of offsets larger than the segments around them fold back (_offset_backbone
moves such inner segments to the other side).)";

const char* kBackboneDoc = R"(Route a bundle as lanes offset from one routed backbone.

Returns (skeletons, info): one N x 2 lane array per route in route index order, and the
dict of _offset_backbone ("backbone", "offsets", "median_idx", "scale_connect",
"route_skeleton_envelope", "backbone_info").

The backbone route is picked across the mean start direction: backbone_selection an int
(that route), "first" / "last" (lowest / highest start projection), anything else the
middle one (the upper middle for an even count; projection ties in numpy's argsort order).
It is searched alone (rail_bridge_v2, or route_waypoints_v2 through `waypoints`, a
sequence of (position, pin) pairs) with a bend radius grown by the lanes on its wider side
(delta + n_side * route_spacing; when the bundle turns without a U-turn also by the
largest port offset and backbone_clearance_factor * delta) and the keep-outs in
route_skeletons grown by the bundle's half-width.  Every lane is then the backbone shifted
sideways: by its start port's offset on the first segment, its end port's offset on the
last, and bundle_separation_factor * route_spacing per lane on the segments between.  dbu
reaches the waypoint search and the lane polish, not the plain backbone search.
pitch_transition and route_width have no effect.

Guaranteed: every lane is axis-parallel and starts and ends at its own ports whenever the
port lies on the line of the lane's end segment (ports lined up across the bundle, or
staggered along it by less than that segment); lanes keep the order of the ports across the
bundle, with the inner segments one pitch apart.  One search whatever the number of lanes.
Not guaranteed: only the backbone is searched, so lanes can meet obstacles and keep-outs
that the backbone passes closer than its lane's offset; the short-segment polish knows only
the obstacles, so where lanes fan in from a wider port pitch at a corner it can slide one
lane onto its neighbour; lanes of crossing port orders cross.)";

const char* kOffsetBackboneDoc = R"(All lanes of a bundle from its routed backbone; returns (skeletons, info).

Each route's start offset is its start projection minus median_s_offset, its end offset
its end port's position along the backbone's last-segment normal minus the backbone
route's.  Inner segments are connect_pitch apart in start order (the backbone's lane at 0);
inner segments that a lane's offsets would run backwards are shifted to the other side.
Each lane comes from _offset_skeleton and goes through _extend_short_segments(lane, delta,
_ObstacleIndex([Obstacle(*o) for o in obstacles], dbu)).  sp, st and et are not used.
info: "backbone" (the argument), "offsets" (list of (d_start, d_end)), "median_idx" (int),
"scale_connect" (the argument), "route_skeleton_envelope" (float), "backbone_info" (the
argument).)";

const char* kOrderDoc = R"(Order in which the routes of a bundle are routed: a list of route indices.

"given" 0 .. B-1 and "reverse" B-1 .. 0 (plain ints); "outside-in" (the outermost pair
first, then inwards) and "center-out" (the middle route, then alternately one step up and
one down, up first) walk the routes ranked by start projection across the mean start
direction, ties in numpy's argsort order (numpy index scalars).  One route: [0] whatever
the value.  Anything else: ValueError "Unknown routing_order: <value>".)";

const char* kSkeletonToObstaclesDoc = R"(Keep-out boxes around a routed skeleton: one (x_min, y_min, x_max, y_max) per segment.

Half-width `spacing`; the first and last segment use min(spacing, 0.8 * port_pitch) when a
port_pitch above 1e-9 is given.  Boxes reach their half-width past every inner corner and
never past the end points.  A segment that is not horizontal is treated as vertical at the x
of its first point.)";

const char* kInflateDoc = R"(The obstacles grown by `margin` on all sides: a new list of plain 4-tuples.

Empty input gives []; a margin of at most 1e-9 a plain copy of the list (records stay
records).)";

const char* kRailBridgeDoc = R"(Route a bundle one route after another; returns (skeletons, info).

Routes are taken in the order of _compute_bundle_order(routing_order).  Each one is
searched with rail_bridge_v2 against the obstacles (with clearance route_spacing / 2 and
exactly), the keep-outs in route_skeletons, keep-out boxes of half-width route_spacing
around every route placed before it (narrowed at the ports to 0.8 of the smallest start
port pitch) and the spacing to their polylines.  With inflate_delta the k-th route routed
gets the bend radius delta + (B - 1 - k) * route_spacing (at least delta at its ports), so
the routes routed first, on the inside, leave room for the later ones.  With more than
_BBOX_MIN_OBSTACLES obstacles each search sees only the obstacles near its ports
(_route_one_local).  skeletons[i] and info["infos"][i] belong to route i; info["order"] is
the routing order.  route_width and route_clearance have no effect.

Guaranteed: every route starts and ends at its ports (as float32 holds them), leaves and
arrives along its tangents and is axis-parallel; when a route can keep every rule given the
routes placed before it, it does: it enters no obstacle or keep-out and keeps route_spacing
from them.  One search per route (two when a windowed search ran into an obstacle).
Not guaranteed: routing is greedy, a route is never revisited, so an early route can take
the room a later one needs (a U-turn routed center-out leaves the inner lanes no room;
route it inner lane first, and without inflate_delta, which gives the first route the
largest radius); a route that cannot keep every rule comes back as the search's least-bad
route and its info says what it violates.)";

}  // namespace

NB_MODULE(bundle, m) {
    kelvane::py::share_engine_deadline();  // time budgets set in kelvane.engine reach this module
    m.doc() = kModuleDoc;
    m.attr("jnp") = nb::module_::import_("jax.numpy");
    m.attr("np") = nb::module_::import_("numpy");
    nb::module_ graph = nb::module_::import_("kelvane.manhattan_router.graph");
    for (const char* name : {"Obstacle", "_extend_short_segments", "_ObstacleIndex", "rail_bridge_v2"})
        m.attr(name) = graph.attr(name);
    m.attr("_BBOX_MIN_OBSTACLES") = 40;
    m.attr("_BBOX_MARGIN_MULT") = 6.0;

    auto fn = [&](const char* name, const char* header, const char* doc, nb::object impl) {
        def_function(m, name, header, doc, std::move(impl));
    };
    fn("_obs_bounds", "(o)", kObsBoundsDoc, nb::cpp_function(&obs_bounds_py, "o"_a.none()));
    fn("_filter_to_bbox", "(obs, x0, y0, x1, y1)", kFilterDoc,
       nb::cpp_function(&filter_to_bbox_py, "obs"_a.none(), "x0"_a.none(), "y0"_a.none(), "x1"_a.none(), "y1"_a.none()));
    fn("_hits_real_obstacle", "(skel, full_idx)", kHitsDoc,
       nb::cpp_function(&hits_real_obstacle_py, "skel"_a.none(), "full_idx"_a.none()));
    fn("_route_one_local",
       "(s_pos, e_pos, s_tan, e_tan, delta_eff, base_obstacles, keep_out, full_idx, *, turn_bias, sliding_bias, "
       "route_spacing, route_pivots=(), bend_delta=None, dbu=None)",
       kRouteOneLocalDoc,
       nb::cpp_function(&route_one_local_py, "s_pos"_a.none(), "e_pos"_a.none(), "s_tan"_a.none(), "e_tan"_a.none(),
                        "delta_eff"_a.none(), "base_obstacles"_a.none(), "keep_out"_a.none(), "full_idx"_a.none(),
                        nb::kw_only(), "turn_bias"_a.none(), "sliding_bias"_a.none(), "route_spacing"_a.none(),
                        "route_pivots"_a.none(), "bend_delta"_a.none(), "dbu"_a.none()));
    fn("_offset_skeleton",
       "(backbone, start_offset, end_offset=None, pitch_transition='even', scale_connect=1.0, connect_offset=None, "
       "flipped_segs=None)",
       kOffsetSkeletonDoc,
       nb::cpp_function(&offset_skeleton_py, "backbone"_a.none(), "start_offset"_a.none(), "end_offset"_a.none(),
                        "pitch_transition"_a.none(), "scale_connect"_a.none(), "connect_offset"_a.none(),
                        "flipped_segs"_a.none()));
    fn("bundle_backbone_v2",
       "(start_positions, end_positions, start_tangents, end_tangents, delta, obstacles, turn_bias='center', "
       "sliding_bias=0.5, pitch_transition='even', route_width=0.5, backbone_clearance_factor=4.0, "
       "bundle_separation_factor=1.0, backbone_selection='median', route_spacing=3.0, route_skeletons=None, dbu=None, "
       "waypoints=None)",
       kBackboneDoc,
       nb::cpp_function(&bundle_backbone_py, "start_positions"_a.none(), "end_positions"_a.none(),
                        "start_tangents"_a.none(), "end_tangents"_a.none(), "delta"_a.none(), "obstacles"_a.none(),
                        "turn_bias"_a.none(), "sliding_bias"_a.none(), "pitch_transition"_a.none(),
                        "route_width"_a.none(), "backbone_clearance_factor"_a.none(),
                        "bundle_separation_factor"_a.none(), "backbone_selection"_a.none(), "route_spacing"_a.none(),
                        "route_skeletons"_a.none(), "dbu"_a.none(), "waypoints"_a.none()));
    fn("_offset_backbone",
       "(backbone, backbone_info, sp, ep, st, et, B, median_idx, start_proj, median_s_offset, connect_pitch, "
       "scale_connect, delta, obstacles, dbu, bundle_envelope)",
       kOffsetBackboneDoc,
       nb::cpp_function(&offset_backbone_py, "backbone"_a.none(), "backbone_info"_a.none(), "sp"_a.none(),
                        "ep"_a.none(), "st"_a.none(), "et"_a.none(), "B"_a.none(), "median_idx"_a.none(),
                        "start_proj"_a.none(), "median_s_offset"_a.none(), "connect_pitch"_a.none(),
                        "scale_connect"_a.none(), "delta"_a.none(), "obstacles"_a.none(), "dbu"_a.none(),
                        "bundle_envelope"_a.none()));
    fn("_compute_bundle_order", "(start_positions, start_tangents, routing_order)", kOrderDoc,
       nb::cpp_function(&compute_bundle_order_py, "start_positions"_a.none(), "start_tangents"_a.none(),
                        "routing_order"_a.none()));
    fn("_skeleton_to_obstacles", "(skeleton, spacing, port_pitch=None)", kSkeletonToObstaclesDoc,
       nb::cpp_function(&skeleton_to_obstacles_py, "skeleton"_a.none(), "spacing"_a.none(), "port_pitch"_a.none()));
    fn("_inflate_obstacle_bboxes", "(obstacles, margin)", kInflateDoc,
       nb::cpp_function(&inflate_obstacle_bboxes_py, "obstacles"_a.none(), "margin"_a.none()));
    fn("bundle_rail_bridge_v2",
       "(start_positions, end_positions, start_tangents, end_tangents, delta, obstacles, route_spacing=3.0, "
       "routing_order='center-out', turn_bias='center', sliding_bias=0.5, route_width=0.5, route_clearance=2.0, "
       "route_skeletons=None, inflate_delta=True, dbu=None)",
       kRailBridgeDoc,
       nb::cpp_function(&bundle_rail_bridge_py, "start_positions"_a.none(), "end_positions"_a.none(),
                        "start_tangents"_a.none(), "end_tangents"_a.none(), "delta"_a.none(), "obstacles"_a.none(),
                        "route_spacing"_a.none(), "routing_order"_a.none(), "turn_bias"_a.none(),
                        "sliding_bias"_a.none(), "route_width"_a.none(), "route_clearance"_a.none(),
                        "route_skeletons"_a.none(), "inflate_delta"_a.none(), "dbu"_a.none()));

    BundleNames& n = bundle_names();
    n.np.bind(m, "np");
    n.jnp.bind(m, "jnp");
    n.obstacle.bind(m, "Obstacle");
    n.obstacle_index.bind(m, "_ObstacleIndex");
    n.rail_bridge.bind(m, "rail_bridge_v2");
    n.route_one_local.bind(m, "_route_one_local");
    n.compute_order.bind(m, "_compute_bundle_order");
    n.skeleton_to_obstacles.bind(m, "_skeleton_to_obstacles");
    n.offset_backbone.bind(m, "_offset_backbone");
    n.offset_skeleton.bind(m, "_offset_skeleton");
    n.extend_short_segments.bind(m, "_extend_short_segments");
    n.inflate.bind(m, "_inflate_obstacle_bboxes");
    n.bbox_min_obstacles.bind(m, "_BBOX_MIN_OBSTACLES");
    n.bbox_margin_mult.bind(m, "_BBOX_MARGIN_MULT");
}
