// Steps of the bundle router used only by its own files: the obstacle
// prefilter, a lane's port request and its checks, the rail bundle's lane
// radii and the backbone's request.
#pragma once

#include <cstddef>
#include <vector>

#include "kelvane/bundle.hpp"

namespace kelvane::bundle {

// ------------------------------------------------------------ prefilter.cpp

// Indices of the boxes that meet the closed window (touching counts), in
// input order.
std::vector<std::size_t> boxes_touching(const std::vector<Box>& boxes, const Box& window);

// Every box grown by `margin` on all four sides; a margin <= 1e-9 leaves the
// boxes as they are.
std::vector<Box> inflate_boxes(const std::vector<Box>& boxes, double margin);

// True as soon as one segment of `path` is blocked in `index` (segments are
// tested in order and the test stops at the first blocked one).
bool path_blocked(const Path& path, const ObstacleIndex& index);

// ---------------------------------------------------------- rail_bundle.cpp

// A request for route `idx` of the bundle: its port vectors rounded to
// float32, the headings they give, and the search options shared by every
// lane search (bend radius, obstacles and keep-outs are the caller's).
RouteRequest port_request(const BundlePorts& ports, std::size_t idx, double route_spacing, double sliding_bias,
                          const TurnBias& turn_bias);

// Bend radius of the route routed k-th.
double rail_lane_radius(const RailBundleRequest& req, std::size_t k);

// The request of the route routed k-th, before the earlier routes are added
// (they join as keep_outs and pivots while the bundle is routed).
RouteRequest rail_lane_request(const RailBundleRequest& req, std::size_t k);

// What a lane search of route `idx` is checked for before any search runs:
// finite ends and axis-parallel tangents as float32 holds them, then the
// single-route router's check_request.
void check_lane_request(const RouteRequest& r, const BundlePorts& ports, std::size_t idx);

// ------------------------------------------------------------- backbone.cpp

// The backbone's search: the backbone route's ports, plan.delta_eff, the
// obstacles and the keep-outs grown by the envelope; the grid only with
// waypoints.
RouteRequest backbone_request(const BackboneBundleRequest& req, const BackbonePlan& plan);

}  // namespace kelvane::bundle
