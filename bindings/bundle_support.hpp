// The bundle module's two native roads (def_native'd by bindings/bundle.cpp,
// their Python lines in bindings/py/bundle.py) and what they share with its
// other roads.  engine.route_bundle takes the same roads (take_ranking), and
// input the Python lines would refuse is refused here.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include "convert.hpp"
#include "route_info.hpp"
#include "kelvane/bundle.hpp"

namespace kelvane::py {

namespace kb = kelvane::bundle;

inline const char* const kPortNames[4] = {"start_positions", "end_positions", "start_tangents", "end_tangents"};
inline const char* const kEnginePortNames[4] = {"starts", "ends", "start_tangents", "end_tangents"};

inline nb::object not_implemented() { return nb::borrow(Py_NotImplemented); }

// The ports of a bundle and its starts ranked across the mean start
// direction (stable: equal projections in index order).
struct BundleInput {
    kb::BundlePorts ports;
    std::vector<double> proj;
    std::vector<size_t> ranking;
    std::optional<double> port_pitch;  // numpy's smallest start pitch (take_ranking)
    bool float32_proj = false;         // numpy's projections are float32 (take_ranking)
    bool exact = true;  // starts and start tangents in float64 or integers (to_point_rows)

    // Complete ports that numpy's projections and argsort would rank alike
    // (not so where it computes in another precision or projections tie).
    bool common() const { return exact && ports.complete() && kb::ranking_is_clear(ports.starts, proj, ranking); }
};

// How a road ranks the starts, by its `ranking` argument: True, the core's
// own ranking (engine.route_bundle); False, only ports numpy ranks alike
// (common); a tuple (projections, order, smallest start pitch or None,
// projections in float32), numpy's own, which the Python lines hand in for
// ports numpy ranks otherwise (float32, nearly tied starts).  False: not a
// native road's case.
inline bool take_ranking(BundleInput& in, nb::handle ranking) {
    if (!nb::isinstance<nb::tuple>(ranking)) return ranking.ptr() == Py_True || in.common();
    using NumpyRanking = std::tuple<std::vector<double>, std::vector<size_t>, std::optional<double>, bool>;
    std::tie(in.proj, in.ranking, in.port_pitch, in.float32_proj) = nb::cast<NumpyRanking>(ranking);
    const size_t n = in.ports.starts.size();
    return in.ports.complete() && in.proj.size() == n && in.ranking.size() == n &&
           std::all_of(in.ranking.begin(), in.ranking.end(), [n](size_t i) { return i < n; });
}

// `own_ranking`: as engine.route_bundle reads them, every route complete.
inline BundleInput read_bundle(nb::handle sp, nb::handle ep, nb::handle st, nb::handle et, bool own_ranking = false) {
    const char* const* names = own_ranking ? kEnginePortNames : kPortNames;
    BundleInput in;
    in.ports.starts = to_point_rows(sp, names[0], in.exact);
    in.ports.ends = to_path(ep, names[1]);
    in.ports.start_tangents = to_point_rows(st, names[2], in.exact);
    in.ports.end_tangents = to_path(et, names[3]);
    if (own_ranking) in.ports.check_rows();
    in.proj = kb::project(in.ports.starts, kb::across(kb::mean_direction(in.ports.start_tangents)));
    in.ranking = kb::stable_ranking(in.proj);
    return in;
}

// The options both strategies read (`keep_outs`: route_skeletons).
template <class Request>
void read_bundle_options(Request& req, nb::handle delta, nb::handle obstacles, nb::handle route_spacing,
                         nb::handle keep_outs, nb::handle turn_bias, nb::handle sliding_bias, nb::handle dbu) {
    req.delta = to_length(delta, "delta");
    req.obstacles = to_boxes(obstacles, "obstacles");
    req.route_spacing = to_length(route_spacing, "route_spacing");
    if (has_boxes(keep_outs)) req.keep_outs = to_boxes(keep_outs, "route_skeletons");
    req.turn_bias = to_turn_bias(turn_bias);
    req.sliding_bias = to_unit_interval(sliding_bias, "sliding_bias");
    req.grid = to_grid(dbu);
}

// bundle_rail_bridge_v2's road: (lanes, infos, order); NotImplemented for an
// unknown routing_order or ports out of a native road's case (take_ranking).
inline nb::object rail_bundle(nb::handle sp, nb::handle ep, nb::handle st, nb::handle et, nb::handle delta,
                              nb::handle obstacles, nb::handle route_spacing, nb::handle routing_order,
                              nb::handle turn_bias, nb::handle sliding_bias, nb::handle route_skeletons,
                              nb::handle inflate_delta, nb::handle dbu, nb::handle ranking) {
    BundleInput in = read_bundle(sp, ep, st, et, ranking.ptr() == Py_True);
    std::optional<kb::OrderRule> rule;
    if (nb::isinstance<nb::str>(routing_order)) rule = kb::order_rule(nb::cast<std::string>(routing_order));
    if (!rule || !take_ranking(in, ranking)) return not_implemented();
    kb::RailBundleRequest req;
    req.order = kb::lane_order(in.ranking, in.ports.starts.size(), *rule);
    req.ports = std::move(in.ports);
    read_bundle_options(req, delta, obstacles, route_spacing, route_skeletons, turn_bias, sliding_bias, dbu);
    req.inflate_delta = truth(inflate_delta);
    req.port_pitch = in.port_pitch ? *in.port_pitch : kb::smallest_gap(in.proj, req.route_spacing);
    req.local_search = req.obstacles.size() > kb::kLocalSearchAbove;
    const kb::RailBundleResult res = without_gil([&] { return kb::route_rail_bundle(req); });
    return nb::make_tuple(list_of_each(res.lanes, path_to_array), list_of_each(res.infos, info_dict), req.order);
}

// backbone_selection: an int route index, "first", "last" or any other str
// (the middle route).  False for anything else and for an int outside the
// bundle.
inline bool read_selection(kb::BackboneBundleRequest& req, nb::handle selection, size_t count) {
    if (nb::isinstance<nb::str>(selection)) {
        req.choice = kb::backbone_choice(nb::cast<std::string>(selection));
        return true;
    }
    if (!PyLong_Check(selection.ptr())) return false;
    req.index = PyLong_AsLong(selection.ptr());  // -1 with an error set on overflow
    PyErr_Clear();
    req.choice = kb::BackboneChoice::Index;
    return req.index >= 0 && req.index < static_cast<long>(count);
}

// bundle_backbone_v2's road: (lanes, offsets, median_idx, scale_connect,
// envelope, backbone, backbone info); NotImplemented for an unusual
// backbone_selection, waypoints not in (position, pin) pairs or ports out of
// a native road's case (take_ranking).
inline nb::object backbone_bundle(nb::handle sp, nb::handle ep, nb::handle st, nb::handle et, nb::handle delta,
                                  nb::handle obstacles, nb::handle turn_bias, nb::handle sliding_bias,
                                  nb::handle backbone_clearance_factor, nb::handle bundle_separation_factor,
                                  nb::handle selection, nb::handle route_spacing, nb::handle route_skeletons,
                                  nb::handle dbu, nb::handle waypoints, nb::handle ranking) {
    BundleInput in = read_bundle(sp, ep, st, et, ranking.ptr() == Py_True);
    kb::BackboneBundleRequest req;
    if (!take_ranking(in, ranking) || !read_selection(req, selection, in.ports.starts.size())) return not_implemented();
    req.float32_offsets = in.float32_proj;
    req.ports = std::move(in.ports);
    req.start_proj = std::move(in.proj);
    req.ranking = std::move(in.ranking);
    read_bundle_options(req, delta, obstacles, route_spacing, route_skeletons, turn_bias, sliding_bias, dbu);
    req.backbone_clearance_factor = to_finite(backbone_clearance_factor, "backbone_clearance_factor");
    req.bundle_separation_factor = to_finite(bundle_separation_factor, "bundle_separation_factor");
    if (!waypoints.is_none()) {
        nb::list positions, pins;
        for (nb::handle item : waypoints) {
            // Not a (position, pin) pair: the Python lines unpack it, with the host's error.
            if (!(PyTuple_Check(item.ptr()) || PyList_Check(item.ptr())) || PySequence_Size(item.ptr()) != 2)
                return not_implemented();
            positions.append(item_of(item, 0));
            pins.append(item_of(item, 1));
        }
        WaypointRequest w;
        read_waypoints(w, positions, pins);
        req.use_waypoints = true;
        req.waypoints = std::move(w.waypoints);
        req.pins = std::move(w.pins);
    }
    const kb::BackboneBundleResult res = without_gil([&] { return kb::route_backbone_bundle(req); });
    nb::object info = req.use_waypoints ? nb::object(waypoint_info_dict(res.backbone)) : info_dict(res.backbone.info);
    return nb::make_tuple(list_of_each(res.lanes.lanes, path_to_array), res.lanes.offsets, res.plan.median,
                          res.plan.scale_connect, res.plan.envelope, path_to_array(res.backbone.skeleton), info);
}

}  // namespace kelvane::py
