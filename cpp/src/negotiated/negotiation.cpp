// The negotiated-congestion loop: the first independent routing, the
// rip-up-and-reroute passes and the finishing polish.
//
// Penalties are kept per edge and per node in flat arrays, updated where a
// path comes or goes rather than rebuilt for every reroute:
//   users[e]   routes whose current path uses edge e (the rerouted route's
//              own path taken out while it is searched)
//   hist[e]    congestion history, with the order in which entries arose
//   owner[e]   -1: no port square, -2: several routes' squares, r: route r's only
//   pen[e]     ((hist + block) + overlap_pen * users) for the route being
//              searched, recomputed for edges whose parts changed
//   chords     per node, the crossing cost of each own chord (ChordTable)
// The values equal those of the penalty maps the search would be handed
// (same operations in the same order), so the outcome does not depend on
// whether the maps or the arrays are used.
//
// A reroute is a capped search (SearchQuery::capped).  Its rest bound is the
// search's own, until it lets one of the route's searches flood the
// lattice; from then on the route's searches read a table of costs to go:
// the exact cost of the rest of the route from every state under the same
// penalties without the history (which is never negative), found from the
// end backwards as far as a capped search can go.  Ports that several
// routes share cost BLOCK_PEN on every route, and such forced costs near
// the ends are what a bound that does not know the way in misses; the
// table knows them.  Without history the table depends only on the other
// routes' paths, the route's own rules and its bans, so it serves every
// pass in which those did not change (routes whose conflicts cannot clear
// settle and are rerouted pass after pass), in every order.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_map>

#include "kelvane/deadline.hpp"
#include "negotiated/steps.hpp"
#include "kelvane/obstacles.hpp"
#include "kelvane/polish.hpp"

namespace kelvane::negotiated {

// Kept cost-to-go tables: two a route (a reroute's and its repair's) and
// more up to kTableMemory bytes, but never above kTableMemoryMost.
constexpr size_t kTableMemory = size_t{32} << 20;
// A search that works through more states and nodes than the lattice has
// nodes, and than this, flooded it (below, a flood costs less than a table).
constexpr size_t kFloodFloor = 20000;
constexpr size_t kTableMemoryMost = size_t{512} << 20;
constexpr double kTableBeyond = 16.0;               // turns' worth of costs past the cheapest a table is exact for

struct NodePathHash {
    size_t operator()(const NodePath& p) const noexcept {
        std::uint64_t h = 1469598103934665603ull;
        for (std::uint32_t n : p) h = (h ^ n) * 1099511628211ull;
        return static_cast<size_t>(h);
    }
};

// Crossing costs per node for an own chord of each side pair (0..5): the
// crossing penalty once per other route's chord sharing no side with it.
struct ChordTable {
    std::vector<std::int32_t> slot;  // per node: -1 or index into count / cost
    std::vector<std::array<std::uint32_t, 6>> count;
    std::vector<std::array<double, 6>> cost;
    std::vector<std::uint32_t> used;  // nodes with a slot
    double cross_pen = 0.0;
    void reset(size_t nodes, double cross);
    void add(std::uint32_t node, int pair, int delta);
};

// Costs to go of one route under one occupancy (see above).
struct RestTable {
    size_t route = 0;
    long as = 0;
    int mode = 0;                         // whose paths count, see occupancy_mode
    std::vector<std::uint64_t> versions;  // path versions of the routes that count
    Bans bans;                            // sorted
    double cross_pen = 0.0, turn_pen = 0.0;
    std::vector<double> values;
    unsigned long used = 0;  // serial of the last reroute that read it
};

struct NegotiationState {
    // Set-up, the same for every order of one order search.
    bool has_setup = false;
    SharedLattice lat;
    std::vector<RouteView> views;
    PortOwners owners;
    std::vector<std::int32_t> owner;                // per edge
    std::vector<std::vector<std::uint32_t>> owned;  // per route: edges that route alone owns
    std::vector<std::optional<NodePath>> first;     // the first routing

    // Buffers of one run.
    SearchWorkspace search;
    std::vector<std::optional<NodePath>> paths;
    std::vector<std::vector<std::uint32_t>> path_edges;
    std::vector<double> hist;
    std::vector<std::uint8_t> has_hist;
    std::vector<std::uint32_t> hist_order;
    std::vector<std::uint32_t> users;
    ChordTable chords;
    std::vector<double> pen;
    long pen_route = -1;
    std::vector<std::uint32_t> dirty;
    std::vector<std::uint8_t> is_dirty;
    std::vector<std::uint32_t> seen;  // per edge stamp for distinct edges
    std::uint32_t seen_now = 0;
    std::vector<std::uint32_t> node_seen;  // per node stamp for repeated nodes
    std::uint32_t node_seen_now = 0;
    double overlap_pen = 0.0, block_pen = kBlockPen;
    unsigned long serial = 0;

    // Costs to go, kept while their inputs stand (a few tables; memory-bound).
    // Per route, the number of its path's content (0: no path): a path
    // that comes back, in a later pass or order, has its old number.
    std::vector<std::uint64_t> path_version;
    std::unordered_map<NodePath, std::uint64_t, NodePathHash> path_numbers;
    bool history_free_tables = true;  // history never negative: tables without it are bounds
    std::vector<RestTable> tables;
    std::vector<double> table_pen;  // penalties without history, for the table being made
    std::vector<std::uint8_t> flooded;  // per route: the rest bound let one of its searches flood (kept over levels)
};

Workspace::Workspace() : state(std::make_unique<NegotiationState>()) {}
Workspace::~Workspace() = default;
void Workspace::forget_setup() {
    state->has_setup = false;
    state->tables.clear();
    state->path_numbers.clear();
    state->lat = SharedLattice{};
    state->views.clear();
    state->owners = PortOwners{};
    state->first.clear();
}

// One search of the loop: which route, with which penalties.
struct Reroute {
    size_t route = 0;     // the route searched (its view)
    long as = 0;          // the route number its penalties are for (a negative order entry stays negative)
    const RouteView* view = nullptr;
    bool first = false;   // the first routing: other routes' port squares only, no crossings
    long exclude = -1;    // route left out of the occupancy (Gauss-Seidel), -1: none (Jacobi)
    double cross_pen = 0.0, turn_pen = 0.0;
    TurnBias turn_bias;
    NegotiationState* state = nullptr;
    unsigned long serial = 0;  // distinct for every reroute of a run
};


// ------------------------------------------------------------ chord table

void ChordTable::reset(size_t nodes, double cross) {
    for (std::uint32_t n : used)
        if (n < slot.size()) slot[n] = -1;
    used.clear();
    count.clear();
    cost.clear();
    if (slot.size() < nodes) slot.resize(nodes, -1);
    cross_pen = cross;
}

void ChordTable::add(std::uint32_t node, int pair, int delta) {
    if (slot[node] < 0) {
        slot[node] = static_cast<std::int32_t>(count.size());
        count.push_back({});
        cost.push_back({});
        used.push_back(node);
    }
    const std::int32_t s = slot[node];
    count[s][pair] = static_cast<std::uint32_t>(static_cast<long>(count[s][pair]) + delta);
    // An own chord of the other two sides meets this one on no common side.
    double c = 0.0;
    for (std::uint32_t i = 0; i < count[s][pair]; ++i) c += cross_pen;
    cost[s][5 - pair] = c;
}

// ------------------------------------------------------------ penalties

Penalties resolve_penalties(const Scene& scene, const NegotiationOptions& o) {
    const double d = scene.delta;
    Penalties p{};
    if (o.node_pen) {
        p.node_pen = *o.node_pen;
    } else {
        double x0 = scene.ports[0][0].x, x1 = x0, y0 = scene.ports[0][0].y, y1 = y0;
        for (const auto& pr : scene.ports)
            for (const Point& q : pr) {
                x0 = std::min(x0, q.x); x1 = std::max(x1, q.x);
                y0 = std::min(y0, q.y); y1 = std::max(y1, q.y);
            }
        const double span = (x1 - x0) + (y1 - y0);
        p.node_pen = 4.0 * span > 30.0 * d ? 4.0 * span : 30.0 * d;
    }
    p.overlap_pen = o.overlap_pen ? *o.overlap_pen : 2.0 * p.node_pen;
    p.hist_weight = o.hist_weight ? *o.hist_weight : 1.0 * d;
    p.turn_pen = o.turn_pen ? *o.turn_pen : 1.0 * d;
    return p;
}

bool runnable(const Scene& scene, const NegotiationOptions& o) {
    if (o.iters > kMostPasses) return false;
    if (scene.size() == 0) return true;
    const Penalties p = resolve_penalties(scene, o);
    const auto searchable = [](double pen) { return std::isfinite(pen) && pen >= 0; };
    return searchable(p.turn_pen) && searchable(p.node_pen);
}

namespace {

// The loop's steps (below the loop).
std::optional<NodePath> route_pen(const Reroute& rr, const Bans& bans, RunStats& stats);
NodePath repair_self_intersections(const Reroute& rr, const NodePath& path, RunStats& stats);
std::vector<std::uint32_t> atomic_edges(const Lattice& L, const NodePath& path);
Path polish_candidate(size_t r, const std::vector<MaybePath>& accepted, const RouteView& view, const Scene& scene);

void touch(NegotiationState& s, std::uint32_t e) {
    if (!s.is_dirty[e]) {
        s.is_dirty[e] = 1;
        s.dirty.push_back(e);
    }
}

double compose(const NegotiationState& s, std::uint32_t e, long r) {
    double v = s.hist[e];
    const std::int32_t o = s.owner[e];
    if (o == -2 || (o >= 0 && o != r)) v = v + s.block_pen;
    const std::uint32_t n = s.users[e];
    if (n) v = v + s.overlap_pen * static_cast<double>(n);
    if (!(v >= 0))
        throw std::invalid_argument("edge penalties must be >= 0 (check hist_weight, overlap_pen, BLOCK_PEN)");
    return v;
}

// Brings pen up to date for route r.
void penalties_for(NegotiationState& s, long r) {
    if (r != s.pen_route) {
        for (long q : {s.pen_route, r})
            if (q >= 0 && q < static_cast<long>(s.owned.size()))
                for (std::uint32_t e : s.owned[q]) touch(s, e);
        s.pen_route = r;
    }
    for (std::uint32_t e : s.dirty) {
        s.pen[e] = compose(s, e, r);
        s.is_dirty[e] = 0;
    }
    s.dirty.clear();
}

// Distinct edges of a path in order of first use.
std::vector<std::uint32_t> distinct_edges(NegotiationState& s, std::vector<std::uint32_t> edges) {
    if (++s.seen_now == 0) {
        std::fill(s.seen.begin(), s.seen.end(), 0u);
        s.seen_now = 1;
    }
    size_t w = 0;
    for (std::uint32_t e : edges)
        if (s.seen[e] != s.seen_now) {
            s.seen[e] = s.seen_now;
            edges[w++] = e;
        }
    edges.resize(w);
    return edges;
}

// The side a path arrives from and the side it leaves by at each interior
// node, as a side-pair index; nothing where it doubles back.
template <class Fn>
void for_each_chord(const Lattice& L, const NodePath& p, Fn&& fn) {
    for (size_t k = 1; k + 1 < p.size(); ++k) {
        const int a = opposite(direction_of(L.nodes[p[k - 1]], L.nodes[p[k]]));
        const int b = direction_of(L.nodes[p[k]], L.nodes[p[k + 1]]);
        if (a != b) fn(p[k], side_pair_index(a, b));
    }
}

void occupy(NegotiationState& s, size_t r, int delta, bool with_chords) {
    if (!s.paths[r]) return;
    for (std::uint32_t e : s.path_edges[r]) {
        s.users[e] = static_cast<std::uint32_t>(static_cast<long>(s.users[e]) + delta);
        touch(s, e);
    }
    if (with_chords)
        for_each_chord(*s.lat.lattice, *s.paths[r], [&](std::uint32_t n, int pair) { s.chords.add(n, pair, delta); });
}

void set_path(NegotiationState& s, size_t r, std::optional<NodePath> p) {
    s.path_version[r] = 0;
    if (p) {
        s.path_version[r] = s.path_numbers.try_emplace(*p, s.path_numbers.size() + 1).first->second;
    }
    s.paths[r] = std::move(p);
    s.path_edges[r] = s.paths[r] ? distinct_edges(s, atomic_edges(*s.lat.lattice, *s.paths[r]))
                                 : std::vector<std::uint32_t>{};
}

// Empty tables: no history, no occupancy, only the port squares priced.
void reset_tables(NegotiationState& s, double cross_pen) {
    const size_t E = s.lat.lattice->num_edges;
    s.hist.assign(E, 0.0);
    s.has_hist.assign(E, 0);
    s.hist_order.clear();
    s.users.assign(E, 0);
    s.pen.assign(E, 0.0);
    s.is_dirty.assign(E, 0);
    s.dirty.clear();
    s.pen_route = -1;
    s.seen.assign(E, 0);
    s.seen_now = 0;
    for (std::uint32_t e : s.owners.edges) touch(s, e);
    s.chords.reset(s.lat.lattice->size(), cross_pen);
}

// Set-up that does not depend on the route order.
void set_up(const Scene& scene, const NegotiationOptions& opts, const Penalties& pv, RunStats& stats,
            NegotiationState& s) {
    LatticeOptions lo;
    lo.cage_margin = opts.cage_margin;
    lo.cage_layers = opts.cage_layers;
    lo.snap = opts.snap;
    {
        std::vector<RouteLines> graphs = per_route_graphs(scene);
        const ObstacleIndex index(graphs.at(0).obstacles, scene.dbu);
        s.lat = build_shared_lattice(scene, std::move(graphs), lo,
                                     [&](Point a, Point b) { return index.blocked(a, b); });
    }
    const Lattice& L = *s.lat.lattice;
    ++stats.lattices;
    stats.lattice_nodes = std::max(stats.lattice_nodes, L.size());
    stats.lattice_edges = std::max<size_t>(stats.lattice_edges, L.num_edges);
    stats.lattice_bytes = std::max(stats.lattice_bytes, L.memory_bytes());
    s.views.clear();
    for (const RouteLines& g : s.lat.graphs) s.views.push_back(shared_view(g, L));
    if (opts.route_to_port)
        for (size_t r = 0; r < s.views.size(); ++r) {
            RouteView& v = s.views[r];
            if (v.end_port_node < 0) continue;
            v.end = v.end_port_node;
            v.end_approach_len = 0.0;
            v.to_port = true;
        }
    const size_t B = s.views.size();
    s.owners = opts.avoid_ports ? port_block_owners(scene, L, opts.port_clearance.value_or(0.5 * scene.delta))
                                : PortOwners{};
    s.owner.assign(L.num_edges, -1);
    s.owned.assign(B, {});
    for (size_t i = 0; i < s.owners.edges.size(); ++i) {
        const std::uint32_t e = s.owners.edges[i];
        const std::uint32_t n = s.owners.offsets[i + 1] - s.owners.offsets[i];
        if (n == 0) continue;
        const std::uint32_t only = s.owners.routes[s.owners.offsets[i]];
        s.owner[e] = n > 1 ? -2 : static_cast<std::int32_t>(only);
        if (n == 1 && only < B) s.owned[only].push_back(e);
    }
    s.has_setup = true;

    // The first routing: each route alone against the other routes' ports.
    s.first.assign(B, std::nullopt);
    reset_tables(s, 0.0);
    for (size_t r = 0; r < B; ++r) {
        Reroute rr;
        rr.route = r;
        rr.as = static_cast<long>(r);
        rr.view = &s.views[r];
        rr.first = true;
        rr.turn_pen = pv.turn_pen;
        rr.turn_bias = opts.turn_bias;
        rr.state = &s;
        rr.serial = ++s.serial;
        penalties_for(s, static_cast<long>(r));
        s.first[r] = route_pen(rr, {}, stats);
    }
}

}  // namespace

// ------------------------------------------------------------ the loop

Outcome route_negotiated(const Scene& scene, const NegotiationOptions& opts, RunStats& stats, Workspace& ws) {
    NegotiationState& s = *ws.state;
    if (scene.size() == 0) throw std::invalid_argument("build_shared_lattice: the scene has no routes");
    const Penalties pv = resolve_penalties(scene, opts);
    s.overlap_pen = pv.overlap_pen;
    s.block_pen = opts.block_pen;
    if (!s.has_setup) set_up(scene, opts, pv, stats, s);
    ++stats.runs;
    const Lattice& L = *s.lat.lattice;
    const size_t B = s.views.size();
    const double d = scene.delta;

    reset_tables(s, pv.node_pen);
    // Per edge: history, its flag, users, owner, penalty, dirty flag, stamp;
    // per node: four search states (cost, predecessor, stamp) and a chord slot.
    const size_t table_bytes = L.num_edges * (8 + 1 + 4 + 4 + 8 + 1 + 4) + L.size() * (4 * 16 + 4);
    stats.workspace_bytes = std::max(stats.workspace_bytes, table_bytes);
    s.paths.assign(B, std::nullopt);
    s.path_version.assign(B, 0);
    s.flooded.resize(B, 0);
    s.path_edges.assign(B, {});
    s.history_free_tables = pv.hist_weight >= 0 && opts.hist_decay >= 0;
    for (size_t r = 0; r < B; ++r) set_path(s, r, s.first[r]);
    for (size_t r = 0; r < B; ++r) occupy(s, r, +1, true);

    std::vector<long> order;
    if (opts.relax_order) order = *opts.relax_order;
    else for (size_t r = 0; r < B; ++r) order.push_back(static_cast<long>(r));
    const double hist_eps = 0.001 * d;

    // Route r searched with the penalties of route `as` (its own ports
    // free, its own use not counted) and the occupancy without `exclude`.
    auto reroute = [&](size_t r, long as, long exclude, bool repair) {
        Reroute rr;
        rr.route = r;
        rr.as = as;
        rr.view = &s.views[r];
        rr.exclude = exclude;
        rr.cross_pen = pv.node_pen;
        rr.turn_pen = pv.turn_pen;
        rr.turn_bias = opts.turn_bias;
        rr.state = &s;
        rr.serial = ++s.serial;
        penalties_for(s, as);
        std::optional<NodePath> p = route_pen(rr, {}, stats);
        if (p && repair) p = repair_self_intersections(rr, *p, stats);
        return p;
    };

    for (long pass = 1; pass <= opts.iters; ++pass) {
        if (deadline::reached()) break;  // past the time budget: the paths as they are
        long changed = 0;
        if (opts.hist_decay != 1.0) {
            size_t w = 0;
            for (std::uint32_t e : s.hist_order) {
                const double v = s.hist[e] * opts.hist_decay;
                touch(s, e);
                if (v > hist_eps) {
                    s.hist[e] = v;
                    s.hist_order[w++] = e;
                } else {
                    s.hist[e] = 0.0;
                    s.has_hist[e] = 0;
                }
            }
            s.hist_order.resize(w);
        }
        if (opts.gauss_seidel) {
            for (long idx : order) {
                // An entry indexes the per-route lists as a list index does
                // (negative from the end), while the occupancy leaves out and
                // the port squares spare only the route whose number equals
                // it: a negative entry's route meets its own path and ports.
                const long B_l = static_cast<long>(B);
                if (idx < -B_l || idx >= B_l) throw std::out_of_range("list index out of range");
                const size_t r = static_cast<size_t>(idx < 0 ? idx + B_l : idx);
                const bool own = idx >= 0;
                if (own) occupy(s, r, -1, true);
                std::optional<NodePath> p = reroute(r, idx, idx, true);
                if (p) {
                    if (*p != s.paths[r]) ++changed;
                    if (!own) occupy(s, r, -1, true);
                    set_path(s, r, std::move(p));
                    occupy(s, r, +1, true);
                } else if (own) {
                    occupy(s, r, +1, true);
                }
            }
        } else {
            std::vector<std::optional<NodePath>> fresh(B);
            for (size_t r = 0; r < B; ++r) {
                occupy(s, r, -1, false);  // its own edges do not count against it; its chords do
                fresh[r] = reroute(r, static_cast<long>(r), -1, false);
                occupy(s, r, +1, false);
                if (fresh[r] && *fresh[r] != s.paths[r]) ++changed;
            }
            for (size_t r = 0; r < B; ++r) {
                if (!fresh[r]) continue;
                occupy(s, r, -1, true);
                set_path(s, r, std::move(fresh[r]));
                occupy(s, r, +1, true);
            }
        }
        // Congestion: excess users per edge, remembered in the history.
        long ov = 0;
        if (++s.seen_now == 0) {
            std::fill(s.seen.begin(), s.seen.end(), 0u);
            s.seen_now = 1;
        }
        for (size_t r = 0; r < B; ++r)
            for (std::uint32_t e : s.path_edges[r]) {
                if (s.seen[e] == s.seen_now) continue;
                s.seen[e] = s.seen_now;
                const std::uint32_t n = s.users[e];
                if (n <= 1) continue;
                ov += n - 1;
                if (!s.has_hist[e]) {
                    s.has_hist[e] = 1;
                    s.hist_order.push_back(e);
                }
                s.hist[e] = s.hist[e] + pv.hist_weight * static_cast<double>(n - 1);
                touch(s, e);
            }
        if (ov == 0 && changed == 0) break;
    }

    // Finishing: corner points, then short segments lengthened where that
    // does not add crossings or obstacle intrusions.
    Outcome out;
    out.atomic.resize(B);
    std::vector<MaybePath> accepted(B);
    for (size_t r = 0; r < B; ++r) {
        if (!s.paths[r]) continue;
        out.atomic[r] = points_of(L, *s.paths[r]);
        accepted[r] = finalize_simple(points_of(L, *s.paths[r]), s.views[r].end_port);
    }
    const std::vector<Box> real_obs = s.lat.graphs.empty() ? std::vector<Box>{} : s.lat.graphs[0].obstacles;
    for (size_t r = 0; r < B; ++r) {
        if (!accepted[r]) continue;
        Path candidate = polish_candidate(r, accepted, s.views[r], scene);
        const long rl = static_cast<long>(r);
        if (repair_score(candidate, rl, accepted, real_obs) <= repair_score(*accepted[r], rl, accepted, real_obs))
            accepted[r] = std::move(candidate);
    }
    out.skels = std::move(accepted);
    return out;
}

// ------------------------------------------------------------ the steps

namespace {

// Whose paths the occupancy of a reroute holds: 0 every other route's
// (Gauss-Seidel), 1 every route's (a negative order entry), 2 every other
// route's edges and every route's chords (Jacobi).
int occupancy_mode(const Reroute& rr) { return rr.exclude < 0 ? 2 : (rr.as >= 0 ? 0 : 1); }

// Edge penalties of route `as` as compose() makes them, from no history.
void penalties_without_history(const NegotiationState& s, long as, std::vector<double>& out) {
    out.resize(s.owner.size());
    for (size_t e = 0; e < out.size(); ++e) {
        double v = 0.0;
        const std::int32_t o = s.owner[e];
        if (o == -2 || (o >= 0 && o != as)) v = v + s.block_pen;
        if (const std::uint32_t n = s.users[e]) v = v + s.overlap_pen * static_cast<double>(n);
        out[e] = v;
    }
}

// The costs to go of this reroute's query: a kept table whose inputs still
// stand, or a new one (in the least recently read slot once the slots are
// used up).  Null on a lattice with stored lengths.
const double* rest_table_for(NegotiationState& s, const Reroute& rr, const SearchQuery& q, RunStats& stats) {
    const Lattice& L = *s.lat.lattice;
    if (!L.length.empty()) return nullptr;
    const int mode = occupancy_mode(rr);
    std::vector<std::uint64_t> versions = s.path_version;
    if (mode == 0) versions[rr.route] = 0;
    Bans bans = q.blocked_passthrough;
    std::sort(bans.begin(), bans.end());
    auto same = [&](const RestTable& t) {
        return t.route == rr.route && t.as == rr.as && t.mode == mode && t.cross_pen == q.cross_pen &&
               t.turn_pen == q.turn_pen && t.versions == versions && t.bans == bans;
    };
    if (s.history_free_tables)
        for (RestTable& t : s.tables)
            if (same(t)) {
                t.used = rr.serial;
                return t.values.data();
            }
    const size_t table_bytes = (4 * L.size() + 1) * sizeof(double);
    const size_t slots = std::max<size_t>(
        1, std::min(std::max(kTableMemory / table_bytes, 2 * s.views.size() + 2), kTableMemoryMost / table_bytes));
    RestTable* t = nullptr;
    if (s.tables.size() < slots) {
        t = &s.tables.emplace_back();
    } else {
        t = &*std::min_element(s.tables.begin(), s.tables.end(),
                               [](const RestTable& a, const RestTable& b) { return a.used < b.used; });
    }
    SearchQuery tq = q;
    tq.capped = false;
    tq.known_route = nullptr;
    if (s.history_free_tables) {
        penalties_without_history(s, rr.as, s.table_pen);
        tq.edge_cost = s.table_pen.data();
        t->route = rr.route;
        t->as = rr.as;
        t->mode = mode;
        t->versions = std::move(versions);
        t->bans = std::move(bans);
        t->cross_pen = q.cross_pen;
        t->turn_pen = q.turn_pen;
    } else {
        t->route = static_cast<size_t>(-1);  // made for this query only: never matches another
    }
    t->used = rr.serial;
    // Exact where a capped search can go (a cap of at most the known
    // route's cost, and not far above the cheapest cost: the route's own
    // history and the turn-bias tie-break), a bound elsewhere.
    s.search.cost_to_go(L, tq, t->values, s.search.known_cost(L, q), kTableBeyond * q.turn_pen);
    ++stats.tables;
    stats.settled += s.search.stats().settled;
    return t->values.data();
}

std::optional<NodePath> route_pen(const Reroute& rr, const Bans& bans, RunStats& stats) {
    NegotiationState& s = *rr.state;
    const RouteView& v = *rr.view;
    if (v.start < 0) throw std::invalid_argument("the route's start is not a node of the lattice");
    SearchQuery q;
    q.start = static_cast<std::uint32_t>(v.start);
    q.start_dir = v.start_dir;
    q.end = v.end;
    q.end_dir = v.end_dir;
    q.turn_pen = rr.turn_pen;
    q.cross_pen = rr.first ? 0.0 : rr.cross_pen;
    q.turn_bias = rr.turn_bias;
    q.edge_cost = s.pen.data();
    if (!rr.first) {
        q.chord_slot = s.chords.slot.data();
        q.chord_cost = s.chords.cost.data();
    }
    q.blocked_passthrough = bans;
    // The route's current path caps the search (the result stays the same).
    q.capped = !rr.first;
    if (!rr.first && rr.route < s.paths.size() && s.paths[rr.route]) q.known_route = &*s.paths[rr.route];
    // The rest bound serves most reroutes; a route for which it let a search
    // flood the lattice (kFloodFloor) gets tables from then on, in every run
    // and cage level of the order search.
    const bool tables = q.capped && rr.route < s.flooded.size() && s.flooded[rr.route];
    if (tables) q.rest_table = rest_table_for(s, rr, q, stats);
    ++stats.searches;
    s.search.run(*s.lat.lattice, q);
    if (q.capped && !tables && rr.route < s.flooded.size() &&
        s.search.stats().expanded + s.search.stats().settled > std::max(s.lat.lattice->size(), kFloodFloor))
        s.flooded[rr.route] = 1;
    stats.expanded += s.search.stats().expanded;
    stats.settled += s.search.stats().settled;
    if (v.end < 0) return std::nullopt;
    const std::uint32_t best = s.search.select_end(static_cast<std::uint32_t>(v.end), v.end_dir);
    if (best == kNoState) return std::nullopt;
    return s.search.path_to(best);
}

NodePath repair_self_intersections(const Reroute& rr, const NodePath& path, RunStats& stats) {
    const Lattice& L = *rr.state->lat.lattice;
    // A path that meets no node twice has nothing to repair.
    NegotiationState& s = *rr.state;
    if (s.node_seen.size() < L.size()) s.node_seen.assign(L.size(), 0);
    if (++s.node_seen_now == 0) {
        std::fill(s.node_seen.begin(), s.node_seen.end(), 0u);
        s.node_seen_now = 1;
    }
    bool twice = false;
    for (std::uint32_t n : path) {
        twice = s.node_seen[n] == s.node_seen_now;
        if (twice) break;
        s.node_seen[n] = s.node_seen_now;
    }
    if (!twice) return path;
    std::optional<NodePath> last;
    const std::optional<Path> p =
        negotiated::repair_self_intersections(points_of(L, path), 4, [&](const PointBans& bans) -> std::optional<Path> {
            std::optional<NodePath> found = route_pen(rr, node_bans(L, bans), stats);
            if (!found) return std::nullopt;
            last = std::move(found);
            return points_of(L, *last);
        });
    return p ? *last : path;
}

std::vector<std::uint32_t> atomic_edges(const Lattice& L, const NodePath& path) {
    std::vector<std::uint32_t> out;
    out.reserve(path.size());
    for (size_t i = 0; i + 1 < path.size(); ++i) {
        const long e = L.edge_between(path[i], path[i + 1]);
        if (e < 0) throw std::invalid_argument("a path step is not an edge of the lattice");
        out.push_back(static_cast<std::uint32_t>(e));
    }
    return out;
}

// Route r's corner points with short segments lengthened where the other
// routes (as thin boxes) and the obstacles leave room.
Path polish_candidate(size_t r, const std::vector<MaybePath>& accepted, const RouteView& view, const Scene& scene) {
    std::vector<Box> boxes = view.obstacles;
    for (size_t r2 = 0; r2 < accepted.size(); ++r2) {
        if (r2 == r || !accepted[r2]) continue;
        const Path& o = *accepted[r2];
        for (size_t i = 0; i + 1 < o.size(); ++i) {
            const Point a = o[i], b = o[i + 1];
            if (std::fabs(a.y - b.y) < 1e-9)
                boxes.push_back({std::min(a.x, b.x), a.y - 0.5, std::max(a.x, b.x), a.y + 0.5});
            else
                boxes.push_back({a.x - 0.5, std::min(a.y, b.y), a.x + 0.5, std::max(a.y, b.y)});
        }
    }
    const Path& pts = *accepted[r];
    if (pts.size() < 2) return pts;
    const ObstacleIndex index(std::move(boxes), scene.dbu);
    return extend_short_segments(pts, scene.delta, [&](Point a, Point b) { return index.blocked(a, b); });
}

}  // namespace

}  // namespace kelvane::negotiated
