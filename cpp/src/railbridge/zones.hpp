// Zones of one single-route request: what the route must keep out of, how
// much entering each costs, and what a finished route entered.
//
// Kinds, from worst to least bad to enter:
//  * obstacles (the boxes themselves, exact obstacles too) and keep-out
//    boxes: hard zones, "solid": where two solid boxes abut from opposite
//    sides the seam between them is part of the wall;
//  * the clearance around an obstacle (route_spacing / 2 unless given; it is
//    waived for an obstacle holding one of the route's own ports) and the
//    spacing bands around earlier routes (`pivots`): soft zones.  Where two
//    of them only touch, their common boundary lies at exactly the required
//    distance from both and stays usable.
// Every zone is searched as a cost, not as a wall, so that the least-bad
// route exists when no clean one does.  Bends are quarter arcs of the bend
// radius, kept clear of obstacles (with their clearance) and keep-outs; an
// arc entering one is hard, one dipping into a clearance only is soft.  A
// keep-out laid along an earlier route stands for that route: arcs keep
// from it through the route's spacing band instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "kelvane/obstacles.hpp"
#include "kelvane/railbridge.hpp"

namespace kelvane::rail {

// Search costs: entering a zone costs `fixed` per lattice edge plus
// `per_unit` per unit of length inside; a bend whose arc enters one costs the
// fixed amount once.  Hard zones outweigh soft ones; all outweigh any detour
// in a sane layout.
constexpr double kHardFixed = 1e9, kHardPerUnit = 1e6;
constexpr double kSoftFixed = 1e7, kSoftPerUnit = 1e4;
// Tie-break per unit of length for running close to a zone (at most).
constexpr double kKeepAway = 1e-6;


// Crossing: the stretch of a pivot's spacing band where crossing it at
// right angles is allowed (RouteRequest::crossing_cost); running along it
// there costs what the band costs.
enum class ZoneKind : std::uint8_t { Obstacle, KeepOut, Clearance, Spacing, Crossing };

struct Zone {
    Box box;
    ZoneKind kind;
    bool lines;               // its sides give track lines
    double arc_margin = -1;   // bends' arcs keep this far from it (0: out of it; < 0: not checked)
    double weight = 1.0;      // bands: their pivot's weight (RouteRequest::pivot_weights)
    bool along_x = false;     // Crossing: the pivot runs along x here
    bool hard() const { return kind == ZoneKind::Obstacle || kind == ZoneKind::KeepOut; }
    bool solid() const { return hard(); }
    double fixed() const { return hard() ? kHardFixed : kSoftFixed * weight; }
    double per_unit() const { return hard() ? kHardPerUnit : kSoftPerUnit * weight; }
    // Crossing: does a line at right angles to the pivot cross here (vs run along it)?
    bool crossed_by(bool horizontal_line) const { return kind == ZoneKind::Crossing && horizontal_line != along_x; }
    // Crossing: cost per unit of a line crossing the band (all of it: crossing_cost).
    double crossing_rate(double crossing_cost) const {
        const double width = along_x ? box.y1 - box.y0 : box.x1 - box.x0;
        return width > 0 ? crossing_cost / width : 0.0;
    }
};

// How bad a route is, compared in this order: length inside obstacles and
// keep-outs (an arc entering one counts one unit), earlier routes touched
// or crossed, run-length rules broken, length inside clearances and spacing
// bands (an arc dipping into one counts one unit), then cost.
struct RouteScore {
    double hard = 0, contacts = 0, bends = 0, soft = 0, cost = 0;
    RouteScore& operator+=(const RouteScore& o);
    bool operator<(const RouteScore& o) const;
    bool clean() const { return hard == 0 && contacts == 0 && bends == 0 && soft == 0; }
    bool zones_clear() const { return hard == 0 && contacts == 0 && soft == 0; }
};
RouteScore score_of(const RouteInfo& info, double cost);
// How far a route keeps from an obstacle: obstacle_margin when given, else
// half the route spacing.
inline double clearance(const RouteRequest& req) {
    return req.obstacle_margin >= 0 ? req.obstacle_margin : 0.5 * req.route_spacing;
}
// What a route's allowed crossings add to its cost.
inline double crossing_toll(const RouteRequest& req, const RouteInfo& info) {
    return info.crossings > 0 ? req.crossing_cost * info.crossings : 0.0;
}

// The zones of a request, all of them or those meeting a region (one pass
// over the request's boxes, so that a window sees only what is near it).
class ZoneSet {
public:
    ZoneSet(const RouteRequest& req, double eps, const Box* region = nullptr);

    // Are all zones meeting `b` in this set?
    bool covers(const Box& b) const;
    const RouteRequest& request() const { return req_; }

    const std::vector<Zone>& zones() const { return zones_; }
    const ObstacleIndex& index() const { return index_; }  // over zones()[k].box

    // Some of the zones with an index of their own, built on first use:
    // zones[k] is the zone index of the index's box k.
    struct Subset {
        std::vector<std::uint32_t> zones;
        ObstacleIndex index;
        bool ready = false;
    };
    // The obstacles as seen from outside: each obstacle's clearance (or the
    // obstacle itself where it has none); an obstacle inside a clearance
    // zone z is zone z + 1 (inner_obstacle).
    const Subset& shells() const;
    const Zone* inner_obstacle(std::size_t z) const {
        return zones_[z].kind == ZoneKind::Clearance ? &zones_[z + 1] : nullptr;
    }
    // The zones that bends' arcs keep clear of (arc_margin >= 0).
    const Subset& arc_zones() const;
    double eps() const { return eps_; }

    // Cost of a bend at `at` from heading d to nd with arc radius rho.
    double arc_cost(Point at, int d, int nd, double rho) const;
    // The costs of both bends at `at` off heading d (either pointer may be null).
    void arc_costs(Point at, int d, double rho, double* left, double* right) const;
    // What the bends at `at` off heading d add for a pivot crossed within
    // crossing_clearance() of them, on the run arriving or the run leaving
    // (a crossing belongs on straight stretches of both routes): a band's
    // cost, as crossing there is a spacing conflict.  0 without crossings.
    void crossing_bend_costs(Point at, int d, double* left, double* right) const;

    // What `path` entered (overlaps, contacts, arcs) and its run rules; the
    // set must cover the path (measure_route makes sure of it).
    RouteInfo measure(const Path& path) const;

private:
    template <class Keep>
    const Subset& subset(Subset& s, Keep&& keep) const;

    const RouteRequest& req_;
    double eps_, r_, rp_;
    Box region_;
    bool bounded_ = false;
    std::vector<Zone> zones_;
    ObstacleIndex index_;
    mutable Subset shells_, arc_zones_;
    double max_arc_margin_ = -1;
    bool has_crossings_ = false;
    std::vector<Path> pivots_;
    // The stretches of each pivot where crossing it is allowed (empty
    // without a crossing cost).
    std::vector<std::vector<Box>> crossable_;
};

// What `path` entered, measured against every zone that can touch it (its
// own zone set when `near` does not cover the path).
RouteInfo measure_route(const RouteRequest& req, const ZoneSet& near, const Path& path);
// The same against the zones near a (non-empty) path.
RouteInfo measure_route(const RouteRequest& req, double eps, const Path& path);

// How far from a route's corner points a zone can still touch it (arcs,
// clearances, spacing bands).
double zone_reach(const RouteRequest& req);

// Does the quarter arc of a bend at `at` (from heading d to nd, radius rho)
// come within `margin` of `box` (margin 0: enter its open interior)?
bool arc_meets(Point at, int d, int nd, double rho, const Box& box, double margin);

// Pairs (k, j), k < j - 1, of a path's own segments that touch or cross
// (segment k runs from path[k - 1] to path[k]).
std::vector<std::pair<std::size_t, std::size_t>> self_contacts(const Path& path, double eps);

// Straight-run rule: port runs >= port_radius, runs between bends >= 2r.
bool runs_ok(const Path& p, double port_radius, double r, double tol);

// The stretches of an earlier route's spacing band (half-width `spacing`)
// where crossing it is allowed: its straight runs less `clearance` next to
// a bend and `port_clearance` next to a port, appended to *out.
void add_crossable_stretches(const Path& pivot, double spacing, double clearance, double port_clearance,
                             std::vector<Box>* out);

// Spacing bands (boxes) around one earlier route, appended to *out.
void add_spacing_bands(const Path& pivot, double spacing, double bend_radius, Point own_start, Point own_end,
                       std::vector<Box>* out);

}  // namespace kelvane::rail
