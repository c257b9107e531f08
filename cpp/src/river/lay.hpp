// Steps of the river router: the ribbon's axis, laying lanes from one side,
// measuring them against each other, re-laying the unclean ones.
#pragma once

#include <cstddef>
#include <tuple>
#include <vector>

#include "kelvane/river.hpp"

namespace kelvane::river {

// A lane's search request without other lanes: its ports, the ordinary
// bend radius at the ports and between bends, the scene's zones.
RouteRequest lane_request(const RiverRequest& req, std::size_t lane);

// One lane's standing: what it entered, weighted (0 for a clean lane), then
// length + delta per bend.
struct LaneScore {
    double violation = 0.0, cost = 0.0;
    bool operator<(const LaneScore& o) const { return std::tie(violation, cost) < std::tie(o.violation, o.cost); }
};
LaneScore score_lane(const RouteInfo& info, double delta);

// A set of lanes' standing: unclean lanes, then their violations, then cost.
struct Ribbon {
    std::size_t unclean = 0;
    double violation = 0.0, cost = 0.0;
    void add(const LaneScore& s, bool clean);
    bool operator<(const Ribbon& o) const;
};

// The ribbon's axis and each lane's place along it: the route of the
// middle lane, with room for the whole ribbon on either side when such a
// route is clear and hardly longer than the plain one (`whole`), else the
// plain route (lanes then split round what lies in the ribbon's way).  A
// lane's place is the axis offset to its ports at the ends and by its rank
// times the spacing in between.
struct Axis {
    Path path;
    bool whole = false;
    std::vector<Path> places;  // by lane index
    std::size_t searches = 0;
};
Axis ribbon_axis(const RiverRequest& req, const std::vector<std::size_t>& order, const std::vector<Path>& fixed);

struct Laid {
    std::vector<Path> lanes;        // by lane index (empty: not laid)
    std::vector<RouteInfo> infos;   // by lane index
    std::size_t searches = 0;
};

// Lanes `seq` (indices into `order`, in the order laid) one after another:
// each keeps the spacing from `fixed`, from every lane laid so far and from
// the port stubs of the lanes of `seq` still to come, and prefers to run
// near its place on the axis and beside its neighbour in `order` laid most
// recently.
void lay_sequence(const RiverRequest& req, const std::vector<std::size_t>& order, const std::vector<std::size_t>& seq,
                  const Axis& axis, const std::vector<Path>& fixed, Laid& laid);

// Every laid lane measured against all the others and `fixed`.
void measure_all(const RiverRequest& req, Laid& laid, const std::vector<Path>& fixed);

// Unclean lanes, each with its neighbours in `order` (a window growing
// round it), ripped up and laid again from the other side, the rest kept;
// a window's new lanes are kept when they stand better.  For up to
// req.reroute_rounds rounds; the infos are measured afresh.
void relay_unclean(const RiverRequest& req, const std::vector<std::size_t>& order, const Axis& axis, Laid& laid,
                   const std::vector<Path>& fixed);

Ribbon ribbon_of(const RiverRequest& req, const Laid& laid);

}  // namespace kelvane::river
