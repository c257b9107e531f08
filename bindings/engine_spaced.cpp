// engine.negotiate_spaced's native road: routes that keep the spacing from each other, crossing only
// where allowed and cheaper than a detour (its signature, documentation and info dict: py/engine.py).
#include <nanobind/stl/string.h>

#include "engine.hpp"
#include "module_body.hpp"
#include "route_info.hpp"
#include "kelvane/spaced.hpp"

namespace kelvane::py::engine {

namespace {

// A crossing costs this many bend radii of length unless given.
constexpr double kCrossingRadii = 2.0;

// (routes, per-route infos, clean, conflicts, crossings, detours, unclean, length,
//  crossing_cost, passes, best_pass, timed_out, searches)
nb::tuple negotiate_spaced(nb::handle starts, nb::handle ends, nb::handle start_tangents, nb::handle end_tangents,
                           nb::handle delta, nb::handle obstacles, nb::handle route_spacing, nb::handle crossing_cost,
                           nb::handle dbu, nb::handle time_budget, nb::handle max_passes) {
    spaced::SpacedRequest req;
    read_route_set(req, starts, ends, start_tangents, end_tangents, delta, obstacles, route_spacing, dbu);
    req.crossing_cost =
        crossing_cost.is_none() ? kCrossingRadii * req.delta : to_length(crossing_cost, "crossing_cost");
    if (!time_budget.is_none()) req.time_budget = to_length(time_budget, "time_budget", false);
    const long passes = to_index(max_passes);
    if (passes < 0 || passes > 1000) raise_value("max_passes must be between 0 and 1000");
    req.max_passes = static_cast<int>(passes);
    spaced::SpacedResult res;
    {
        nb::gil_scoped_release release;
        res = spaced::negotiate_spaced(req);
    }
    nb::list infos = list_of_each(res.infos, [](const auto& info) {
        nb::dict d = info_dict(info);
        d["crossings"] = info.crossings;
        return d;
    });
    return nb::make_tuple(list_of_each(res.routes, path_to_array), infos, res.clean(), res.conflicts, res.crossings,
                          res.detours, res.unclean, res.length, req.crossing_cost, res.passes, res.best_pass,
                          res.timed_out, res.searches);
}

}  // namespace

void def_spaced(nb::module_& native) { def_native(native, "negotiate_spaced", &negotiate_spaced); }

}  // namespace kelvane::py::engine
