// Steps of the river router: the planar order and the laying sides, the
// ribbon's axis and each lane's place on it, laying lanes in a sequence,
// measuring them against each other, laying the unclean ones again.
#pragma once

#include <cstddef>
#include <tuple>
#include <vector>

#include "kelvane/river.hpp"

namespace kelvane::river {

// --------------------------------------------------------- planar_order.cpp

// Lanes by position across the bundle, rightmost (of the mean start
// heading) first: the order a river lays them in from the right.
std::vector<std::size_t> planar_order(const RiverRequest& req);

// True when the ends, taken across the mean end heading, come in the same
// order as the starts (no two lanes need to cross).
bool is_planar(const RiverRequest& req);

// The laying sequences tried by default: from the inside of the bundle's
// turn, then the middle out, then the outside; the middle out first for a
// bundle that leaves and arrives heading the same way.
std::vector<int> laying_sides(const RiverRequest& req);

// ---------------------------------------------------------------- lanes.cpp

// A lane's search request without other lanes: its ports, the ordinary
// bend radius at the ports and between bends, the scene's zones.
RouteRequest lane_request(const RiverRequest& req, std::size_t lane);

// Length + delta per bend: what a lane search minimises.
double lane_cost(const RouteInfo& info, double delta);

// One lane's standing: what it entered, weighted (0 for a clean lane), then
// its cost.
struct LaneScore {
    double violation = 0.0, cost = 0.0;
    bool operator<(const LaneScore& o) const { return std::tie(violation, cost) < std::tie(o.violation, o.cost); }
};
LaneScore score_lane(const RouteInfo& info, double delta);

// A set of lanes' standing: unclean lanes, then their violations, then cost.
struct Ribbon {
    std::size_t unclean = 0;
    double violation = 0.0, cost = 0.0;
    void add(const RouteInfo& info, double delta);
    bool operator<(const Ribbon& o) const;
};

// ----------------------------------------------------------------- axis.cpp

// The ribbon's axis and each lane's place along it.  The axis is the route
// of the middle lane; it leaves its ports straight for the wider side of
// the ribbon and a bend radius, and between there keeps room for the whole
// ribbon on either side when such a route is clear and hardly longer than
// the plain one (`whole`).  A lane's place is the axis offset to its ports
// at the ends and by its rank times the spacing in between; a lane whose
// place would run some stretch the other way from the axis (it comes to
// the ribbon from its far side, as in a fan-in) has none.  Without room
// for the whole ribbon and with `split`, it splits into halves, and those into halves,
// until each group has room along an axis of its own (or is one lane),
// groups on the `first` side first (+1: the left), each keeping the
// spacing from the places of the groups before it: consecutive groups of
// lanes go through the gaps that hold them.
struct Axis {
    Path path;                       // the whole ribbon's
    bool whole = false;
    std::vector<Path> places;        // by lane index (empty: none)
    std::vector<std::size_t> group;  // by lane index
    std::size_t groups = 0;
    std::size_t searches = 0;
};
Axis ribbon_axis(const RiverRequest& req, const std::vector<std::size_t>& order, int first, bool split);

// ----------------------------------------------------------------- lay.cpp

struct Laid {
    std::vector<Path> lanes;        // by lane index (empty: not laid)
    std::vector<RouteInfo> infos;   // by lane index
    std::size_t searches = 0;
};

// Lanes `seq` (positions in `order`, in the order laid) one after another:
// each keeps the spacing from req.pivots, from every lane laid so far and
// from the port stubs of the lanes of `seq` still to come, and prefers to
// run near its place and beside its neighbour in `order` of the same group
// laid most recently.
void lay_sequence(const RiverRequest& req, const std::vector<std::size_t>& order, const std::vector<std::size_t>& seq,
                  const Axis& axis, Laid& laid);

// Laid lanes `lanes` measured against all the others and req.pivots.
void measure_lanes(const RiverRequest& req, Laid& laid, const std::vector<std::size_t>& lanes);
void measure_all(const RiverRequest& req, Laid& laid);

// Unclean lanes, each with a window of its neighbours in `order` (growing
// round it, then it with every lane laid after it in `seq`), ripped up and
// laid again in the reverse of the order `seq` laid them, the rest kept; a
// window's new lanes are kept when the lanes near it stand better.  For up
// to req.relay_rounds rounds and a few searches per lane in all; every
// info is measured afresh at the end.
void relay_unclean(const RiverRequest& req, const std::vector<std::size_t>& order, const std::vector<std::size_t>& seq,
                   const Axis& axis, Laid& laid);

Ribbon ribbon_of(const RiverRequest& req, const Laid& laid);

}  // namespace kelvane::river
