// The fields of a RouteInfo under the names callers read them by (the info
// of rail_bridge_v2 and the routers built on it), in that order.
#pragma once

#include <utility>

#include "kelvane/railbridge.hpp"

namespace kelvane {

// visit(name, value) for every field: bools, ints, doubles and sizes as they
// are, "violations" as violations(info), "lattice" as the pair (lattice_x,
// lattice_y).
template <class Visit>
void visit_info_fields(const RouteInfo& info, Visit&& visit) {
    visit("clean", info.clean);
    visit("bends_ok", info.bends_ok);
    visit("relax_level", info.relax_level);
    visit("length", info.length);
    visit("bends", info.bends);
    visit("obstacle_overlap", info.obstacle_overlap);
    visit("clearance_overlap", info.clearance_overlap);
    visit("keep_out_overlap", info.keep_out_overlap);
    visit("spacing_overlap", info.spacing_overlap);
    visit("contacts", info.pivot_contacts);
    visit("arc_obstacle", info.arc_obstacle);
    visit("arc_clearance", info.arc_clearance);
    visit("violations", violations(info));
    visit("lattice", std::make_pair(info.lattice_x, info.lattice_y));
    visit("states_expanded", info.states_expanded);
    visit("budget_exhausted", info.budget_exhausted);
    visit("guided", info.guided);
}

}  // namespace kelvane
