// engine.route_river's native road: a bundle laid as a planar ribbon (its signature, documentation
// and info dict: bindings/py/engine.py).
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "engine.hpp"
#include "module_body.hpp"
#include "route_info.hpp"
#include "kelvane/river.hpp"

namespace kelvane::py::engine {

namespace {

// (lanes, per-lane infos, clean, unclean, planar, side, axis, whole, groups, searches)
nb::tuple route_river(nb::handle starts, nb::handle ends, nb::handle start_tangents, nb::handle end_tangents,
                      nb::handle delta, nb::handle obstacles, nb::handle route_spacing, nb::handle keep_outs,
                      nb::handle pivots, nb::handle dbu, nb::handle turn_bias, nb::handle sliding_bias,
                      std::optional<std::vector<int>> sides, int relay_rounds) {
    river::RiverRequest req;
    read_route_set(req, starts, ends, start_tangents, end_tangents, delta, obstacles, route_spacing, dbu);
    req.keep_outs = to_boxes(keep_outs, "keep_outs");
    req.pivots = to_paths(pivots, "pivots");
    req.turn_bias = to_turn_bias(turn_bias);
    req.sliding_bias = to_unit_interval(sliding_bias, "sliding_bias");
    if (sides) req.sides = *sides;
    req.relay_rounds = relay_rounds;
    river::RiverResult res;
    {
        nb::gil_scoped_release release;
        res = river::route_river(req);
    }
    return nb::make_tuple(list_of_each(res.lanes, path_to_array), list_of_each(res.infos, info_dict), res.clean(),
                          res.unclean, res.planar, res.side, path_to_array(res.axis), res.whole, res.groups,
                          res.searches);
}

}  // namespace

void def_river(nb::module_& native) { def_native(native, "route_river", &route_river); }

}  // namespace kelvane::py::engine
