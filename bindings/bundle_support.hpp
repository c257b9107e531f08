// Shared by the parts of module kelvane.manhattan_router.bundle (bundle.cpp,
// bundle_support.cpp, bundle_rail.cpp, bundle_backbone.cpp).
//
// Every strategy has two roads:
//  * native: every helper it reaches is still the module's own.  Arguments
//    are converted and checked once, the whole bundle runs in the core with
//    the GIL released, and Python objects are made only for the result.
//  * by name: a caller replaced one of the helpers.  The strategy then runs
//    step by step the way its Python form would, reaching every helper by its
//    module-level name with the documented argument forms, so a replacement
//    sees exactly the calls, objects and order of a Python implementation.
//    A helper that is still the module's own is called as a Python function
//    there (the searches stay native: no jax arrays are built for them).
#pragma once

#include <array>
#include <functional>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "route_info.hpp"
#include "seam.hpp"
#include "kelvane/bundle.hpp"

namespace kelvane::py {

namespace kb = kelvane::bundle;

// Module-level names reached when a call happens.
struct BundleNames {
    Seam np, jnp, obstacle, obstacle_index, rail_bridge, route_one_local, compute_order, skeleton_to_obstacles,
        offset_backbone, offset_skeleton, extend_short_segments, inflate, bbox_min_obstacles, bbox_margin_mult;
};
BundleNames& bundle_names();

// ------------------------------------------------------- host-level helpers

bool truthy(nb::handle obj);
bool less(nb::handle a, nb::handle b);
bool greater(nb::handle a, nb::handle b);
nb::object py_add(nb::handle a, nb::handle b);
nb::object py_sub(nb::handle a, nb::handle b);
nb::object py_mul(nb::handle a, nb::handle b);

using Keywords = std::vector<std::pair<const char*, nb::handle>>;

// f(*args, **keywords) with the keywords in the given order.
nb::object call_with(nb::handle f, const std::vector<nb::handle>& args, const Keywords& keywords = {});

// The module's `np` (looked up now) and np.asarray(value) / np.asarray(value, dtype=float).
nb::object numpy_module();
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

// The projections as numpy computes them: (sp @ perp, np.argsort of it).
std::pair<nb::object, nb::object> numpy_projection(nb::handle positions, nb::handle tangents);

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

struct SearchCall {
    nb::handle start, end, start_tangent, end_tangent, delta, obstacles;
    Keywords keywords;  // in call order
};

// rail_bridge_v2 as the module names it now.  A replacement is called with
// the four port vectors as float32 jax arrays (the module's jnp), then delta
// and obstacles, then the keywords in order, and its result is returned as
// it is.  The module's own searches natively on the same float32 values and
// returns (skeleton array, info dict).
nb::object search_rail_bridge(const SearchCall& call);

// `from kelvane.manhattan_router.waypoints import route_waypoints_v2`
// (ImportError when that fails), and whether it is that module's own router.
nb::object waypoint_router();
bool is_own_waypoint_router(nb::handle f);

// waypoint_router(), then
// route_waypoints_v2(P(start), P(end), P(start_tangent), P(end_tangent),
// positions, delta, obstacles, **keywords): natively when it is that
// module's own router.
nb::object search_waypoints(const SearchCall& call, nb::handle positions);

// ------------------------------------------------------ module functions

nb::object obs_bounds_py(nb::handle o);
nb::object filter_to_bbox_py(nb::handle obs, nb::handle x0, nb::handle y0, nb::handle x1, nb::handle y1);
nb::object hits_real_obstacle_py(nb::handle skel, nb::handle full_idx);
nb::object inflate_obstacle_bboxes_py(nb::handle obstacles, nb::handle margin);
nb::object skeleton_to_obstacles_py(nb::handle skeleton, nb::handle spacing, nb::handle port_pitch);
nb::object offset_skeleton_py(nb::handle backbone, nb::handle start_offset, nb::handle end_offset,
                              nb::handle pitch_transition, nb::handle scale_connect, nb::handle connect_offset,
                              nb::handle flipped_segs);
nb::object compute_bundle_order_py(nb::handle start_positions, nb::handle start_tangents, nb::handle routing_order);

nb::object route_one_local_py(nb::handle s_pos, nb::handle e_pos, nb::handle s_tan, nb::handle e_tan,
                              nb::handle delta_eff, nb::handle base_obstacles, nb::handle keep_out, nb::handle full_idx,
                              nb::handle turn_bias, nb::handle sliding_bias, nb::handle route_spacing,
                              nb::handle route_pivots, nb::handle bend_delta, nb::handle dbu);
nb::object bundle_rail_bridge_py(nb::handle start_positions, nb::handle end_positions, nb::handle start_tangents,
                                 nb::handle end_tangents, nb::handle delta, nb::handle obstacles,
                                 nb::handle route_spacing, nb::handle routing_order, nb::handle turn_bias,
                                 nb::handle sliding_bias, nb::handle route_width, nb::handle route_clearance,
                                 nb::handle route_skeletons, nb::handle inflate_delta, nb::handle dbu);

nb::object bundle_backbone_py(nb::handle start_positions, nb::handle end_positions, nb::handle start_tangents,
                              nb::handle end_tangents, nb::handle delta, nb::handle obstacles, nb::handle turn_bias,
                              nb::handle sliding_bias, nb::handle pitch_transition, nb::handle route_width,
                              nb::handle backbone_clearance_factor, nb::handle bundle_separation_factor,
                              nb::handle backbone_selection, nb::handle route_spacing, nb::handle route_skeletons,
                              nb::handle dbu, nb::handle waypoints);
nb::object offset_backbone_py(nb::handle backbone, nb::handle backbone_info, nb::handle sp, nb::handle ep,
                              nb::handle st, nb::handle et, nb::handle B, nb::handle median_idx,
                              nb::handle start_proj, nb::handle median_s_offset, nb::handle connect_pitch,
                              nb::handle scale_connect, nb::handle delta, nb::handle obstacles, nb::handle dbu,
                              nb::handle bundle_envelope);

}  // namespace kelvane::py
