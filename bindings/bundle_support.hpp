// What the bundle module's native roads (bundle*.cpp, their Python body in
// bindings/py/bundle.py) and engine.route_bundle (engine_bundle.cpp) share:
// both hand a bundle to the same core strategies (kelvane/bundle.hpp), so
// they read its ports and options, and run it, the same way.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "route_info.hpp"
#include "kelvane/bundle.hpp"

namespace kelvane::py {

namespace kb = kelvane::bundle;

// The ports of a bundle and its starts ranked across the mean start
// direction (stable: equal projections in index order).
struct BundleInput {
    kb::BundlePorts ports;
    std::vector<double> proj;
    std::vector<size_t> ranking;
    bool exact = true;  // starts and start tangents in float64 or integers (to_point_rows)

    // Complete ports that numpy's projections and argsort would rank alike
    // (not so where it computes in another precision or projections tie).
    bool common() const { return exact && ports.complete() && kb::ranking_is_clear(ports.starts, proj, ranking); }

    // Ready for a native road: common, or complete with numpy's own
    // projections (when given) and order, which the Python lines hand in for
    // ports it ranks otherwise (float32, nearly tied starts).
    bool ready(std::optional<std::vector<double>> numpy_proj, std::optional<std::vector<size_t>> numpy_ranking) {
        if (!numpy_ranking) return common();
        if (numpy_proj) proj = std::move(*numpy_proj);
        ranking = std::move(*numpy_ranking);
        const size_t n = ports.starts.size();
        return ports.complete() && proj.size() == n && ranking.size() == n &&
               std::all_of(ranking.begin(), ranking.end(), [n](size_t i) { return i < n; });
    }
};

// `names`: the four arguments, starts first.
inline BundleInput read_bundle(nb::handle sp, nb::handle ep, nb::handle st, nb::handle et, const char* const names[4]) {
    BundleInput in;
    bool ignored = true;
    in.ports.starts = to_point_rows(sp, names[0], in.exact);
    in.ports.ends = to_point_rows(ep, names[1], ignored);
    in.ports.start_tangents = to_point_rows(st, names[2], in.exact);
    in.ports.end_tangents = to_point_rows(et, names[3], ignored);
    in.proj = kb::project(in.ports.starts, kb::across(kb::mean_direction(in.ports.start_tangents)));
    in.ranking = kb::stable_ranking(in.proj);
    return in;
}

// backbone_selection: an int route index, "first", "last" or any other str
// (the middle route).  False, with req.choice the middle route, for
// anything else and for an int outside the bundle.
inline bool read_selection(kb::BackboneBundleRequest& req, nb::handle selection, size_t count) {
    if (nb::isinstance<nb::str>(selection)) {
        req.choice = kb::backbone_choice(nb::cast<std::string>(selection));
        return true;
    }
    if (!PyLong_Check(selection.ptr())) return false;
    req.index = PyLong_AsLong(selection.ptr());  // -1 with an error set on overflow
    PyErr_Clear();
    req.choice = kb::BackboneChoice::Index;
    if (req.index >= 0 && req.index < static_cast<long>(count)) return true;
    req.choice = kb::BackboneChoice::Median;
    return false;
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

inline nb::list lane_arrays(const std::vector<Path>& lanes) {
    nb::list out;
    for (const Path& lane : lanes) out.append(path_to_array(lane));
    return out;
}

// (lanes, infos) of the rail-bridge strategy, by route index.
// port_pitch: the smallest start pitch as the Python lines computed it, or
// none (computed here from proj).
inline std::pair<nb::list, nb::list> route_rail(kb::RailBundleRequest& req, const std::vector<double>& proj,
                                                std::optional<double> port_pitch = std::nullopt) {
    req.port_pitch = port_pitch ? *port_pitch : kb::smallest_gap(proj, req.route_spacing);
    req.local_search = req.obstacles.size() > kb::kLocalSearchAbove;
    kb::RailBundleResult res;
    {
        nb::gil_scoped_release release;
        res = kb::route_rail_bundle(req);
    }
    nb::list infos;
    for (const RouteInfo& info : res.infos) infos.append(info_dict(info));
    return {lane_arrays(res.lanes), infos};
}

// Whether f is the waypoints module's own route_waypoints_v2 (bundle module only).
bool is_own_waypoint_router(nb::handle f);

inline kb::BackboneBundleResult route_backbone(const kb::BackboneBundleRequest& req) {
    nb::gil_scoped_release release;
    return kb::route_backbone_bundle(req);
}

}  // namespace kelvane::py
