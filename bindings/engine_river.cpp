// engine.route_river: a bundle laid as a planar ribbon.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "engine.hpp"
#include "route_info.hpp"
#include "kelvane/river.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace kelvane::py {

namespace {

const char* kRiverDoc = R"(Lay a bundle as a planar ribbon: lanes one after another along its axis.

Returns (lanes, info): one N x 2 float array of corner points per lane, from
exactly its start to exactly its end, and a dict.

starts, ends                 B x 2 points; row i of each belongs to lane i.
start_tangents, end_tangents B x 2 headings of travel (the end tangent points
                             into the end port), axis-parallel, non-zero.
delta                        bend radius of every lane: a run at a port is at
                             least delta, a run between two bends 2 * delta.
obstacles                    boxes kept clear by route_spacing / 2.
route_spacing                least centre-line distance between lanes.
keep_outs                    boxes kept clear exactly.
pivots                       routes already placed (polylines): every lane
                             keeps route_spacing from them.
dbu                          grid step of every bend coordinate (None: none).
sides                        laying sequences to try until one is clean: +1
                             from the left of the travel, -1 from the right,
                             0 from the middle out (None: from the inside of
                             the bundle's turn, the middle out, the outside;
                             the middle out first for a bundle that leaves
                             and arrives heading the same way).
relay_rounds                 rounds of laying the windows round unclean lanes
                             again.

info: "clean" (every lane clean), "unclean" (lanes that are not), "planar"
(the port order lets the lanes run without crossing), "side" (the sequence
kept, as in `sides`), "axis"
(the route the lanes' places are offset from), "whole" (the axis has room for
the whole ribbon), "groups" (groups of lanes through the gaps, each with an
axis of its own; 1 when whole), "searches" (single-route searches run) and "infos" (per lane,
the keys of graph.rail_bridge_v2's info, measured against every other lane).)";

void bind_river(nb::module_& m) {
    m.def(
        "route_river",
        [](nb::handle starts, nb::handle ends, nb::handle start_tangents, nb::handle end_tangents, double delta,
           nb::handle obstacles, double route_spacing, nb::handle keep_outs, nb::handle pivots, nb::handle dbu,
           nb::handle turn_bias, double sliding_bias, std::optional<std::vector<int>> sides, int relay_rounds) {
            river::RiverRequest req;
            req.starts = to_path(starts, "starts");
            req.ends = to_path(ends, "ends");
            req.start_tangents = to_path(start_tangents, "start_tangents");
            req.end_tangents = to_path(end_tangents, "end_tangents");
            req.delta = delta;
            req.route_spacing = route_spacing;
            req.obstacles = to_boxes(obstacles, "obstacles");
            req.keep_outs = to_boxes(keep_outs, "keep_outs");
            req.pivots = to_paths(pivots, "pivots");
            req.grid = to_grid(dbu);
            req.turn_bias = to_turn_bias(turn_bias);
            req.sliding_bias = sliding_bias;
            if (sides) req.sides = *sides;
            req.relay_rounds = relay_rounds;
            river::RiverResult res;
            {
                nb::gil_scoped_release release;
                res = river::route_river(req);
            }
            nb::list lanes, infos;
            for (std::size_t i = 0; i < res.lanes.size(); ++i) {
                lanes.append(path_to_array(res.lanes[i]));
                infos.append(info_dict(res.infos[i]));
            }
            nb::dict info;
            info["clean"] = res.clean();
            info["unclean"] = res.unclean;
            info["planar"] = res.planar;
            info["side"] = res.side;
            info["axis"] = path_to_array(res.axis);
            info["whole"] = res.whole;
            info["groups"] = res.groups;
            info["searches"] = res.searches;
            info["infos"] = infos;
            return nb::make_tuple(lanes, info);
        },
        "starts"_a, "ends"_a, "start_tangents"_a, "end_tangents"_a, "delta"_a, "obstacles"_a.none() = nb::none(),
        "route_spacing"_a = 3.0, nb::kw_only(), "keep_outs"_a.none() = nb::none(), "pivots"_a.none() = nb::none(),
        "dbu"_a.none() = nb::none(), "turn_bias"_a.none() = "center", "sliding_bias"_a = 0.5, "sides"_a.none() = nb::none(), "relay_rounds"_a = 2,
        kRiverDoc);
}

const bool registered = engine::add_part("river", &bind_river);

}  // namespace

}  // namespace kelvane::py
