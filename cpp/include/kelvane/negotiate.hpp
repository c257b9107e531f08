// The negotiated-congestion router: all routes of a scene at once on one
// shared lattice of track lines.
//
//   scene --> per-route track lines --> shared lattice (lines behind ports,
//   mid-lines, cage rings; nodes = crossings; edges unless an obstacle
//   blocks them) --> one view per route (ends snapped to nodes) --> every
//   route alone --> rip-up-and-reroute passes against edge penalties
//   (history + other routes' port squares + overlap per other user) and
//   crossing costs --> corner points, short segments lengthened --> the
//   outcome ranked by its solution key, over route orders and cage sizes.
//
// The entries are route_negotiated (one route order), best_over_orders and
// route_negotiated_best, with what they take (the scene, the options, the
// orders and cage-layer counts to try); the shared lattice and the port
// squares are entries too (the Python module builds its general road on
// them).  The steps inside the router are in cpp/src/negotiated/steps.hpp.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "kelvane/geometry.hpp"
#include "kelvane/lattice.hpp"
#include "kelvane/search.hpp"

namespace kelvane::negotiated {

constexpr double kBlockPen = 1e6;  // penalty of an edge that another route's port claims
constexpr double kSnap = 0.001;    // lattice grid when the scene has no dbu

using MaybePath = std::optional<Path>;

// ------------------------------------------------------------------ scene

struct Scene {
    std::vector<std::array<Point, 2>> ports;     // [r][0] start, [r][1] end
    std::vector<std::array<Point, 2>> tangents;  // headings as given: [r][0] leaving the start, [r][1] into the end
    double delta = 0.0;                          // route pitch, > 0
    std::vector<Box> obstacles;
    double dbu = 0.0;  // grid step; 0: none
    size_t size() const { return ports.size(); }
};

// std::invalid_argument naming port_centers / port_tangents / delta /
// obstacles / dbu for non-finite values, zero or oblique tangents, a delta
// that is not positive, and coordinates beyond +-1e12.
void check_scene(const Scene& scene);

// ------------------------------------------------------------ lattice

// What the shared lattice and the views take from one route's own graph.
struct RouteLines {
    Point start, end, end_port;  // end: the approach node in front of the end port
    double end_approach_len = 0.0;
    int start_dir = kNoDir, end_dir = kNoDir;
    std::vector<double> h_lines, v_lines;
    std::vector<double> h_bridges, v_bridges;
    std::vector<Box> obstacles;
};

struct LatticeOptions {
    std::optional<double> cage_margin;  // none: 3 * delta
    bool behind = true;                 // lines behind every port
    bool lane_mids = true;              // a mid-line in every gap wider than 2 * delta
    std::optional<long> cage_layers;    // none: max(routes, 2)
    std::optional<double> cage_step;    // none: 2 * delta
    double snap = kSnap;                // grid when the scene has no dbu
};

struct SharedLattice {
    std::vector<double> H, V;  // ascending snapped line coordinates
    std::shared_ptr<const Lattice> lattice;
    std::vector<RouteLines> graphs;
};

// The shared lattice over the lines of `graphs` (one per route) plus lines
// behind the ports, mid-lines and cage rings, snapped to the grid; nodes are
// the crossings in row order (lowest y first, each row from the lowest x)
// followed by the snapped port points that lie off the grid, sorted by
// (y, x); edges join neighbours along a line unless `blocked` says no.
// Throws std::invalid_argument for a scene without routes.
SharedLattice build_shared_lattice(const Scene& scene, std::vector<RouteLines> graphs, const LatticeOptions& opts,
                                   const SegmentTest& blocked);

// ------------------------------------------------------------ port squares

// Edges touching a square of half-width `half` round some route's port, in
// the order the adjacency lists them first (node id order, then neighbour
// order), each with its owner routes ascending.
struct PortOwners {
    std::vector<std::uint32_t> edges;
    std::vector<std::array<std::uint32_t, 2>> ends;  // the edge's end nodes, the lesser point first
    std::vector<std::uint32_t> offsets{0};           // owners of edges[i]: routes[offsets[i] .. offsets[i + 1])
    std::vector<std::uint32_t> routes;
};
PortOwners port_block_owners(const Scene& scene, const Lattice& lattice, double half);

// ------------------------------------------------------------ negotiation

struct NegotiationOptions {
    TurnBias turn_bias;
    long iters = 20;
    std::optional<double> overlap_pen, node_pen, hist_weight, turn_pen;
    double hist_decay = 0.5;
    bool gauss_seidel = true, avoid_ports = true, route_to_port = true;
    std::optional<std::vector<long>> relax_order;  // none: 0 .. B-1; negative indices count from the end
    std::optional<double> cage_margin, port_clearance;
    std::optional<long> cage_layers;
    double block_pen = kBlockPen;
    double snap = kSnap;
    bool compensated_sum = true;  // the solution key's length summed as the host's sum() (see host_sum)
};

// Penalty values of one run, resolved from the options.
struct Penalties {
    double node_pen, overlap_pen, hist_weight, turn_pen;
};
Penalties resolve_penalties(const Scene& scene, const NegotiationOptions& opts);

constexpr long kMostPasses = 10000;  // more passes would not finish in reasonable time

// Whether a run takes these options as they are: at most kMostPasses passes
// and, for a scene with routes, turn and crossing penalties a search accepts
// (finite, >= 0).
bool runnable(const Scene& scene, const NegotiationOptions& opts);

struct Outcome {
    std::vector<MaybePath> skels;   // corner points per route, none when unrouted
    std::vector<MaybePath> atomic;  // lattice paths (node points) per route
};

// Solution key (unrouted, crossings + overlaps, crossings, overlaps, turns,
// length), compared lexicographically; length_is_int: every route unrouted
// (the host's sum() of nothing is the int 0).
struct SolutionKey {
    std::array<double, 6> v{};
    bool length_is_int = false;
    bool operator<(const SolutionKey& o) const { return v < o.v; }
    bool clean() const { return v[0] == 0 && v[1] == 0; }
};

struct Candidate {
    SolutionKey key;
    Outcome outcome;
    size_t order = 0;  // index into the orders tried
};

using Orders = std::vector<std::vector<long>>;

// Buffers and set-up shared by the runs of one order search: the lattice,
// the views and port owners, the first routing (all independent of the
// order), the search workspace and the per-edge tables.
struct NegotiationState;  // negotiation.cpp
struct Workspace {
    Workspace();
    ~Workspace();
    void forget_setup();
    std::unique_ptr<NegotiationState> state;
};

// Statistics of the runs through a workspace (benchmarks).
struct RunStats {
    size_t searches = 0;       // lattice searches (first routing, reroutes, repairs)
    size_t expanded = 0;       // states taken from the search heaps
    size_t settled = 0;        // states settled making cost-to-go tables (nodes, by the rest bound without one)
    size_t tables = 0;         // cost-to-go tables made for capped searches
    size_t runs = 0;           // negotiations (orders tried, over all levels)
    size_t levels = 0;         // cage-layer counts tried
    size_t lattices = 0;       // shared lattices built
    size_t lattice_nodes = 0, lattice_edges = 0, lattice_bytes = 0;  // the largest lattice
    size_t workspace_bytes = 0;  // per-edge tables and search buffers of the largest lattice
};

// One negotiation (one route order).  Order-independent set-up is taken
// from `ws` when an earlier run left it there (ws.forget_setup() drops it).
Outcome route_negotiated(const Scene& scene, const NegotiationOptions& opts, RunStats& stats, Workspace& ws);

// The orders in turn with the two early stops; none when `orders` is empty.
std::optional<Candidate> best_over_orders(const Scene& scene, const Orders& orders, double min_orders,
                                          const NegotiationOptions& opts, RunStats& stats, Workspace& ws);

// Every cage-layer count of `levels` in turn (cage_layers of opts is
// ignored), keeping the best; stops at the first clean one.  A scene
// without routes gives an empty outcome.
Candidate route_negotiated_best(const Scene& scene, const Orders& orders, const std::vector<long>& levels,
                                double min_orders, const NegotiationOptions& opts, RunStats& stats);

// 2, max(2, (B + 1) // 2) and max(2, B), sorted and distinct.
std::vector<long> cage_ladder(long routes);
// Every order of 0 .. B-1 in lexicographic order (B <= 10).
Orders all_orders(long routes);

}  // namespace kelvane::negotiated
