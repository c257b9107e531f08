// Shared by the native roads of module kelvane.manhattan_router.bundle
// (bundle.cpp, bundle_support.cpp, bundle_rail.cpp, bundle_backbone.cpp).
//
// The module body is bindings/py/bundle.py: each function there runs its
// native road here while every helper it reaches is still the module's own
// (module_body.hpp).  The native roads convert and check the arguments once,
// run the whole bundle in the core with the GIL released, and make Python
// objects only for the result.  The pieces the Python bodies call for
// arithmetic they share with the core (the backbone plan, lane offsets,
// lanes snapped to their ports, the port pitch) are here too.
#pragma once

#include <array>
#include <functional>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "route_info.hpp"
#include "kelvane/bundle.hpp"

namespace kelvane::py {

namespace kb = kelvane::bundle;

// The module's own objects the native roads use (set at import).
struct BundleOwn {
    nb::object np, obstacle, margin_mult;
};
BundleOwn& bundle_own();

// _BBOX_MIN_OBSTACLES: more obstacles than this and each lane searches near its ports.
constexpr size_t kBboxMinObstacles = 40;

// ------------------------------------------------------- host-level helpers

bool less(nb::handle a, nb::handle b);
bool greater(nb::handle a, nb::handle b);
nb::object py_add(nb::handle a, nb::handle b);
nb::object py_sub(nb::handle a, nb::handle b);
nb::object py_mul(nb::handle a, nb::handle b);

// np.asarray(value) / np.asarray(value, dtype=float).
nb::object np_asarray(nb::handle value, bool as_float = false);

// list(numpy index array): numpy intp scalars.
nb::object index_list(const std::vector<size_t>& idx);

// isinstance(o, Obstacle) against the module's `Obstacle`.
bool is_obstacle_record(nb::handle o);

// _obs_bounds: the four raw bound values of an obstacle.
std::array<nb::object, 4> raw_bounds(nb::handle o);

// _filter_to_bbox on host values: the objects themselves, in input order.
nb::list filter_to_window(nb::handle obs, nb::handle x0, nb::handle y0, nb::handle x1, nb::handle y1);

// _hits_real_obstacle: stops at the first blocked segment.
bool hits_real_obstacle(nb::handle skel, nb::handle full_idx);

// The core index of a graph._ObstacleIndex, or null for any other object.
const ObstacleIndex* native_obstacle_index(nb::handle obj);

// ------------------------------------------------------------- bundle ports

struct PortRows {
    kb::BundlePorts ports;
    bool exact = true;
};
PortRows read_port_rows(nb::handle sp, nb::handle ep, nb::handle st, nb::handle et);

// Positions across the bundle's mean start direction and their ascending
// order.  Where projections tie or nearly tie, or where numpy computes in
// another precision, the projections and the order are numpy's own (the
// module's np: mean, norm, matrix product, argsort), as the Python form of
// this code orders them; otherwise they are computed here.
struct Projection {
    std::vector<double> values;
    std::vector<size_t> ranking;
};
Projection project_starts(nb::handle positions, nb::handle tangents, const std::vector<Point>& sp,
                          const std::vector<Point>& st, bool exact);


// The routing order of a bundle of `count` routes for a routing_order value
// ("Unknown routing_order: ..." for anything else).  Geometric orders come
// as numpy index scalars, "given" and "reverse" as ints, like list(argsort).
struct BundleOrder {
    std::vector<size_t> order;
    bool index_scalars = false;
};
BundleOrder bundle_order(nb::handle routing_order, size_t count, const std::function<Projection()>& project);
// IndexError naming start_positions for a bundle without routes.
void require_routes(size_t count);
nb::object order_list(const BundleOrder& order);

// A lane's port vector as the float32 array the call form hands over.
Point float32_point(nb::handle value, const char* what);

// The checks rail_bridge_v2 makes on a request the core built for a lane.
void check_lane_request(const RouteRequest& req, Point start_tangent, Point end_tangent);

// --------------------------------------------------------------- searches

// A lane search with the keywords the strategies pass (missing ones take
// rail_bridge_v2's defaults); the port vectors as float32 holds them.
struct SearchCall {
    nb::handle start, end, start_tangent, end_tangent, delta, obstacles;
    std::vector<std::pair<const char*, nb::handle>> keywords;
};
nb::tuple search_rail_bridge(const SearchCall& call);  // (skeleton array, info dict)

// Whether f is the waypoints module's own route_waypoints_v2.
bool is_own_waypoint_router(nb::handle f);

// ------------------------------------------------------ module functions

nb::object obs_bounds_py(nb::handle o);
nb::object filter_to_bbox_py(nb::handle obs, nb::handle x0, nb::handle y0, nb::handle x1, nb::handle y1);
nb::object hits_real_obstacle_py(nb::handle skel, nb::handle full_idx);
nb::object inflate_obstacle_bboxes_py(nb::handle obstacles, nb::handle margin);
nb::object skeleton_to_obstacles_py(nb::handle skeleton, nb::handle spacing, nb::handle port_pitch);
nb::object offset_skeleton_py(nb::handle backbone, nb::handle start_offset, nb::handle end_offset,
                              nb::handle scale_connect, nb::handle connect_offset, nb::handle flipped_segs);
nb::object compute_bundle_order_py(nb::handle start_positions, nb::handle start_tangents, nb::handle routing_order);

nb::object route_one_local_py(nb::handle s_pos, nb::handle e_pos, nb::handle s_tan, nb::handle e_tan,
                              nb::handle delta_eff, nb::handle base_obstacles, nb::handle keep_out, nb::handle full_idx,
                              nb::handle turn_bias, nb::handle sliding_bias, nb::handle route_spacing,
                              nb::handle route_pivots, nb::handle bend_delta, nb::handle dbu);
nb::object bundle_rail_bridge_py(nb::handle start_positions, nb::handle end_positions, nb::handle start_tangents,
                                 nb::handle end_tangents, nb::handle delta, nb::handle obstacles,
                                 nb::handle route_spacing, nb::handle routing_order, nb::handle turn_bias,
                                 nb::handle sliding_bias, nb::handle route_skeletons, nb::handle inflate_delta,
                                 nb::handle dbu);

nb::object bundle_backbone_py(nb::handle start_positions, nb::handle end_positions, nb::handle start_tangents,
                              nb::handle end_tangents, nb::handle delta, nb::handle obstacles, nb::handle turn_bias,
                              nb::handle sliding_bias, nb::handle backbone_clearance_factor,
                              nb::handle bundle_separation_factor, nb::handle backbone_selection,
                              nb::handle route_spacing, nb::handle route_skeletons, nb::handle dbu,
                              nb::handle waypoints, bool use_waypoints);

// Pieces of the Python bodies' arithmetic (see bindings/py/bundle.py).
nb::object backbone_plan_py(nb::handle sp, nb::handle ep, nb::handle st, nb::handle et, nb::handle start_proj,
                            nb::handle sorted_idx, nb::handle median_idx, nb::handle delta,
                            nb::handle backbone_clearance_factor, nb::handle bundle_separation_factor,
                            nb::handle route_spacing);
nb::object lane_offsets_py(nb::handle backbone, nb::handle ep, nb::handle B, nb::handle median_idx,
                           nb::handle start_proj, nb::handle median_s_offset);
nb::object reversed_inner_segments_py(nb::handle backbone, nb::handle trial);
nb::object lane_ends_py(nb::handle sp, nb::handle ep);
nb::object snapped_to_ports_py(nb::handle lane, nb::handle ends);
nb::object port_pitch_py(nb::handle sp, nb::handle st);

nb::object offset_backbone_py(nb::handle backbone, nb::handle backbone_info, nb::handle sp, nb::handle ep,
                              nb::handle B, nb::handle median_idx,
                              nb::handle start_proj, nb::handle median_s_offset, nb::handle connect_pitch,
                              nb::handle scale_connect, nb::handle delta, nb::handle obstacles, nb::handle dbu,
                              nb::handle bundle_envelope);

}  // namespace kelvane::py
