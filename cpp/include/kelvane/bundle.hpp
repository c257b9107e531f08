// The bundle router: a group of parallel routes between matched start and
// end ports, routed either as lanes offset from one routed backbone or one
// route after another, each clear of the routes placed before it.
//
// Vocabulary:
//  * across: the quarter turn counter-clockwise of the bundle's mean start
//    direction; a port's projection on it is its position across the bundle.
//  * offset: signed sideways distance of a lane from the backbone, positive
//    to the left of the direction of travel.
//  * ranking: route indices by ascending projection.  Equal projections have
//    no natural order; callers that must match another library's sort pass
//    their own ranking in, everything here only consumes it.
//
// Steps used only inside the router are in cpp/src/bundle/steps.hpp.
//
// Every lane search is one route_rail_bridge request.  The port vectors of a
// lane are handed to it rounded to float32, the precision in which the
// Python call form of this module passes them.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvane/geometry.hpp"
#include "kelvane/obstacles.hpp"
#include "kelvane/railbridge.hpp"
#include "kelvane/waypoints.hpp"

namespace kelvane::bundle {

// ------------------------------------------------------------ prefilter.cpp

// Window around a route's end points grown by `margin`.
Box end_point_window(Point start, Point end, double margin);

// ------------------------------------------------------------ lane_order.cpp

// Mean of the tangents normalised as v / (|v| + 1e-12) (a zero vector when
// they cancel).
Point mean_direction(const std::vector<Point>& tangents);

// Quarter turn counter-clockwise: (dx, dy) -> (-dy, dx).
inline Point across(Point d) { return {-d.y, d.x}; }

// Projection of every point on `axis`.
std::vector<double> project(const std::vector<Point>& pts, Point axis);

// Indices by ascending value, equal values in index order.
std::vector<std::size_t> stable_ranking(const std::vector<double>& values);

// True unless two projections next to each other in `ranking` lie within
// 1e-9 of the starts' extent: the order among those is a matter of
// convention (another library's sort may put them the other way round).
bool ranking_is_clear(const std::vector<Point>& starts, const std::vector<double>& proj,
                      const std::vector<std::size_t>& ranking);

enum class OrderRule { Given, Reverse, OutsideIn, CenterOut };

// "given", "reverse", "outside-in" or "center-out"; none for anything else.
std::optional<OrderRule> order_rule(std::string_view name);

// Order in which the routes of a bundle are routed.  Given / Reverse use
// only `count`; OutsideIn walks `ranking` from both ends inwards; CenterOut
// starts at position count / 2 and alternates one step up, one step down.
// A bundle of one route is {0} whatever the rule.
std::vector<std::size_t> lane_order(const std::vector<std::size_t>& ranking, std::size_t count, OrderRule rule);
// The same walk of positions 0 .. count-1: where each step is in the ranking.
std::vector<std::size_t> lane_order(std::size_t count, OrderRule rule);

// Smallest gap between neighbouring projections, or `fallback` for fewer
// than two.
double smallest_gap(std::vector<double> values, double fallback);

// ---------------------------------------------------------------- offset.cpp

// The direction of a -> b turned a quarter turn counter-clockwise, as a unit
// axis vector (the dominant axis wins, ties count as vertical); a zero-length
// segment gets (1, 0).  A positive offset moves along it.
Point side_normal(Point a, Point b);

// One lane from a backbone skeleton: the first segment shifted sideways by
// `start_offset`, the last by `end_offset`, every inner segment by
// `connect_offset`; segments whose flag is set in `flipped` are shifted to
// the other side (inner segments only: the first and last segment always
// keep their side).  Corners sit where neighbouring shifted segments meet, so
// an axis-parallel backbone gives an axis-parallel lane:
//  * two segments: the one corner joins the start-offset first segment with
//    the end-offset second one;
//  * one segment with start_offset != end_offset: the lane jogs from one
//    offset to the other.  The jog sits at mid-length moved back by
//    connect_offset for a lane moving to the left (forward for one moving
//    right), so that neighbouring lanes, whose connect offsets differ by the
//    lane pitch, jog one pitch apart instead of on top of each other; it is
//    kept within the middle 80% of the segment.
// Zero-length steps and straight-through points of the backbone are merged
// first (a merged segment is flipped when any of its parts is); a final pass
// drops lane points that are not right-angle corners (zero-length steps,
// straight-through points, reversals).  Fewer than two points, or both end
// offsets below 1e-9, return the backbone unchanged.  The backbone is
// expected to be axis-parallel without reversals, as routes are.
Path offset_skeleton(const Path& backbone, double start_offset, double end_offset, double connect_offset,
                     const std::vector<bool>& flipped = {});

// ------------------------------------------------------------- keep_outs.cpp

// Keep-out boxes of a routed skeleton, one per segment: half-width
// `spacing`, narrowed to min(spacing, 0.8 * port_pitch) on the first and
// last segment when a pitch above 1e-9 is given; each box reaches its own
// half-width past every inner corner and never past the end points.
// A segment that is not horizontal is treated as vertical at its first x.
std::vector<Box> skeleton_keep_outs(const Path& skeleton, double spacing, std::optional<double> port_pitch);

// ---------------------------------------------------------- local_route.cpp

// One search restricted to the obstacles and keep-outs that meet the window
// around `window_start` / `window_end` grown by margin_mult * bend_radius;
// when the route found runs into `full_index` it is searched once more with
// the unfiltered request.  `searches` (optional) counts the searches run.
RouteResult route_one_local(const RouteRequest& full, Point window_start, Point window_end, double margin_mult,
                            const ObstacleIndex& full_index, std::size_t* searches = nullptr);

// ---------------------------------------------------------- rail_bundle.cpp

// Port rows of a bundle, row i belonging to route i.  Tangents are headings
// of travel (the end tangent points into the end port).
struct BundlePorts {
    std::vector<Point> starts, ends, start_tangents, end_tangents;

    // At least one route, each with its end port and tangents.
    bool complete() const {
        const std::size_t n = starts.size();
        return n > 0 && ends.size() >= n && start_tangents.size() >= n && end_tangents.size() >= n;
    }

    // Throws std::out_of_range without a route and std::invalid_argument
    // unless every field has one row per route.
    void check_rows() const;
};

// A rail bundle over more obstacles than this (the bundle module's
// _BBOX_MIN_OBSTACLES, which callers may change there) searches each route within a
// window round its ports (local_search).
constexpr std::size_t kLocalSearchAbove = 40;

struct RailBundleRequest {
    BundlePorts ports;
    std::vector<std::size_t> order;   // routing order, a permutation of the route indices
    double delta = 0.0;               // bend radius of one route
    std::vector<Box> obstacles;       // kept with clearance and exactly
    std::vector<Box> keep_outs;       // respected by every route from the start
    double route_spacing = 3.0;
    TurnBias turn_bias;
    double sliding_bias = 0.5;
    bool inflate_delta = true;        // early routes get delta + routes_left * route_spacing
    double grid = 0.0;
    double port_pitch = 0.0;          // narrows the keep-out boxes at the ports (0: none)
    bool local_search = false;        // search within a window around each route's ports
    double local_margin_mult = 6.0;   // window margin in effective bend radii
};

struct RailBundleResult {
    std::vector<Path> lanes;          // by route index
    std::vector<RouteInfo> infos;     // by route index
    std::size_t searches = 0;
};

// Throws std::invalid_argument, before any search, for a lane whose request
// breaks the single-route router's checks (its ports as float32 holds them).
RailBundleResult route_rail_bundle(const RailBundleRequest& req);

// ------------------------------------------------------------- backbone.cpp

enum class BackboneChoice { Median, First, Last, Index };

// "first", "last", anything else the middle route.
BackboneChoice backbone_choice(std::string_view name);

struct BackboneBundleRequest {
    BundlePorts ports;
    std::vector<double> start_proj;        // projections across the mean start direction
    std::vector<std::size_t> ranking;      // ascending start_proj
    bool float32_offsets = false;          // start offsets rounded to float32 (see OffsetBackboneRequest)
    BackboneChoice choice = BackboneChoice::Median;
    long index = 0;                        // for BackboneChoice::Index
    double delta = 0.0;
    std::vector<Box> obstacles;
    TurnBias turn_bias;
    double sliding_bias = 0.5;
    double backbone_clearance_factor = 4.0;
    double bundle_separation_factor = 1.0;
    double route_spacing = 3.0;
    std::vector<Box> keep_outs;            // grown by the bundle envelope for the backbone search
    double grid = 0.0;                     // waypoint search and lane polish
    bool use_waypoints = false;
    std::vector<Point> waypoints;
    std::vector<int> pins;                 // per waypoint: heading or -1
};

struct BackbonePlan {
    std::size_t median = 0;        // the backbone route
    double median_s_offset = 0.0;  // its start projection
    double max_offset = 0.0;       // farthest port from the backbone's, at either end
    double connect_pitch = 0.0;    // lane pitch of the inner segments
    double scale_connect = 1.0;    // connect_pitch over the smallest start pitch, at most 1
    std::size_t bb_lane = 0;       // the backbone's rank across the bundle
    std::size_t n_side = 0;        // most lanes on one side of it
    double envelope = 0.0;         // half-width of the bundle around the backbone
    double delta_eff = 0.0;        // the backbone's bend radius
    bool widened = false;          // a turn that is no U-turn: delta_eff also holds max_offset
                                   // and backbone_clearance_factor * delta
};

// Backbone choice, bundle size and bend radius.  Throws std::out_of_range
// for an index outside the bundle.
BackbonePlan plan_backbone(const BackboneBundleRequest& req);

// ------------------------------------------------------ offset_backbone.cpp

struct OffsetBackboneRequest {
    Path backbone;
    std::vector<Point> starts;        // start ports (optional: empty leaves the lane ends where offsetting puts them)
    std::vector<Point> ends;          // end ports, at least `count` rows
    std::size_t count = 0;            // routes in the bundle
    std::size_t median = 0;
    std::vector<double> start_proj;   // at least `count` values
    double median_s_offset = 0.0;
    // start_proj holds float32 values and each start offset is rounded to
    // float32, as numpy subtracts float32 projections.
    bool float32_offsets = false;
    double connect_pitch = 0.0;
    double delta = 0.0;               // bend radius for the short-segment polish
    std::vector<Box> obstacles;
    double grid = 0.0;
};

struct LaneSet {
    std::vector<Path> lanes;                             // by route index
    std::vector<std::pair<double, double>> offsets;      // (start, end) by route index
};

// Moves a lane's end points onto its ports where a port lies on the line of
// the lane's end segment (up to the float32 rounding of the backbone's
// ports): along that line, as long as the segment keeps its direction; the
// corner next to it follows sideways, so the lane stays axis-parallel.  A
// one-segment lane moves only when both ports lie on one line with it.
void snap_to_ports(Path& lane, Point start, Point end);

// Every lane of the bundle from the routed backbone: start and end offsets
// from the port projections, inner segments one connect pitch apart in start
// order, inner segments that an offset would reverse shifted to the other
// side, end points snapped onto the ports (when `starts` is given), short
// segments lengthened clear of the obstacles.  Throws
// std::out_of_range for a backbone of fewer than two points or rows missing.
LaneSet offset_backbone(const OffsetBackboneRequest& req);

// ------------------------------------------------------------- backbone.cpp

struct BackboneBundleResult {
    BackbonePlan plan;
    WaypointResult backbone;  // skeleton and info; headings and legs with waypoints
    LaneSet lanes;
};

// Throws as plan_backbone does, and std::invalid_argument, before the
// search, for a negative bend radius or a backbone request that breaks the
// single-route router's checks.
BackboneBundleResult route_backbone_bundle(const BackboneBundleRequest& req);

}  // namespace kelvane::bundle
