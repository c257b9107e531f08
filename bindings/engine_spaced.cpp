// engine.negotiate_spaced: routes that keep the spacing from each other,
// crossing only where a crossing is allowed and cheaper than a detour.
#include <nanobind/stl/string.h>

#include "engine.hpp"
#include "route_info.hpp"
#include "kelvane/spaced.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace kelvane::py {

namespace {

// A crossing costs this many bend radii of length unless given.
constexpr double kCrossingRadii = 2.0;

std::vector<Point> to_rows(nb::handle value, const char* what) {
    bool exact = true;
    return to_point_rows(value, what, exact);
}

const char* kSpacedDoc = R"(Route many routes at once, each keeping the spacing from every other one.

Routes are first laid one after another in the order given, each against
the ones laid before it as costly spacing bands; then passes lay the routes
in conflict again first, against all the others (a route crossing another
more than once is in conflict, and its crossings cost more each pass),
until no conflict is left, max_passes passes have run or the time budget
(time_budget, or an enclosing engine.time_budget) is spent.  The
best set seen comes back: fewest conflicts, then fewest detours, then least
length with every crossing at crossing_cost.  Returns (routes, info): one N x 2 float array of corner
points per route, from exactly its start to exactly its end, and a dict.

starts, ends, start_tangents, end_tangents, delta, obstacles, route_spacing,
dbu                          as for route_river (row i of each belongs to
                             route i).
crossing_cost                length a crossing costs (None: 2 * delta).
                             Two routes may cross at right angles on straight
                             stretches of both, at least max(2 * delta,
                             route_spacing) from a bend and 2 * delta +
                             route_spacing from a port of either; a route
                             crosses rather than make a detour longer than
                             this.  Two bend radii: the least detour round
                             anything costs two more bends and more than
                             2 * delta of length, so a designer's forced
                             crossing is taken in open space instead of a
                             loop round a device.  A route whose ports
                             force it across another (it leaves one device
                             edge and arrives at another with the same
                             headings, in reversed order) pays a quarter of
                             it for every crossing: crossing tens of others
                             at the full price, it would loop round a device.
time_budget                  seconds (None: no limit but an enclosing
                             engine.time_budget): when spent, the searches
                             under way give their least-bad routes, no pass
                             starts, and the best set so far comes back
                             with info["timed_out"].
max_passes                   negotiation passes after the first routing.

info: "clean" (no conflict, every route clean), "conflicts" (pairs of
routes closer than the spacing, touching, or crossing where crossing is not
allowed), "crossings" (allowed crossings), "detours" (pairs of routes
that leave one device edge and arrive at another in reversed order, and do
not cross: one goes round a device), "unclean" (routes in a conflict
or entering an obstacle's clearance or breaking a bend rule), "length"
(total), "crossing_cost" (the one used), "passes" (negotiation passes run),
"best_pass" (the pass whose set came back; 0: the first routing),
"timed_out", "searches" (single-route searches run) and "infos" (per route,
the keys of graph.rail_bridge_v2's info, measured against the obstacles and
every other route, and "crossings": the routes it crosses where allowed).)";

void bind_spaced(nb::module_& m) {
    m.def(
        "negotiate_spaced",
        [](nb::handle starts, nb::handle ends, nb::handle start_tangents, nb::handle end_tangents, nb::handle delta,
           nb::handle obstacles, nb::handle route_spacing, nb::handle crossing_cost, nb::handle dbu,
           nb::handle time_budget, nb::handle max_passes) {
            spaced::SpacedRequest req;
            req.starts = to_rows(starts, "starts");
            req.ends = to_rows(ends, "ends");
            req.start_tangents = to_rows(start_tangents, "start_tangents");
            req.end_tangents = to_rows(end_tangents, "end_tangents");
            req.delta = to_length(delta, "delta");
            req.obstacles = to_boxes(obstacles, "obstacles");
            req.route_spacing = to_length(route_spacing, "route_spacing");
            req.crossing_cost =
                crossing_cost.is_none() ? kCrossingRadii * req.delta : to_length(crossing_cost, "crossing_cost");
            req.grid = to_grid(dbu);
            if (!time_budget.is_none()) req.time_budget = to_length(time_budget, "time_budget", false);
            const long passes = to_index(max_passes);
            if (passes < 0 || passes > 1000) raise_value("max_passes must be between 0 and 1000");
            req.max_passes = static_cast<int>(passes);
            spaced::SpacedResult res;
            {
                nb::gil_scoped_release release;
                res = spaced::negotiate_spaced(req);
            }
            nb::list routes, infos;
            for (std::size_t i = 0; i < res.routes.size(); ++i) {
                routes.append(path_to_array(res.routes[i]));
                nb::dict d = info_dict(res.infos[i]);
                d["crossings"] = res.infos[i].crossings;
                infos.append(d);
            }
            nb::dict info;
            info["clean"] = res.clean();
            info["conflicts"] = res.conflicts;
            info["crossings"] = res.crossings;
            info["detours"] = res.detours;
            info["unclean"] = res.unclean;
            info["length"] = res.length;
            info["crossing_cost"] = req.crossing_cost;
            info["passes"] = res.passes;
            info["best_pass"] = res.best_pass;
            info["timed_out"] = res.timed_out;
            info["searches"] = res.searches;
            info["infos"] = infos;
            return nb::make_tuple(routes, info);
        },
        "starts"_a, "ends"_a, "start_tangents"_a, "end_tangents"_a, "delta"_a, "obstacles"_a.none() = nb::none(),
        "route_spacing"_a.none() = 3.0, nb::kw_only(), "crossing_cost"_a.none() = nb::none(),
        "dbu"_a.none() = nb::none(), "time_budget"_a.none() = nb::none(), "max_passes"_a = 8, kSpacedDoc);
}

const bool registered = engine::add_part("spaced", &bind_spaced);

}  // namespace

}  // namespace kelvane::py
