// Module kelvane.manhattan_router.negotiated, shared by its binding parts:
// the seams of the module and PyRun, the core's Seams with Python behind the
// replaced ones.
//
// Every call from one function of the module to another module-level name
// is a seam (a Seam object per name).  At the entry of a module function
// (a Python call) each seam is decided once: it goes through Python when
// the name, or any name below it in the call tree, has been replaced;
// otherwise it is the core's own code.  A run in which nothing was replaced
// is handed to the core with plain Seams and the GIL released.  Otherwise
// PyRun answers the core's seam calls: a replaced name is called with the
// argument forms its documentation gives, built from the core's values
// (Python views of the lattice, penalty maps, paths), and what it returns
// is converted back.  A name that is only above a replaced one is called as
// the module's own function through Python, so its own seams are decided
// again at its entry.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "convert_negotiated.hpp"
#include "graph_types.hpp"
#include "kelvane/negotiate.hpp"
#include "seam.hpp"

namespace kelvane::py::negotiated_module {

namespace core = kelvane::negotiated;

enum SeamId {
    kBuildRailBridgeGraph,
    kPerRouteGraphs,
    kObstacleIndex,
    kBuildSharedLattice,
    kSharedView,
    kPortBlockOwners,
    kRunDijkstra,
    kSelectEndState,
    kReconstructPath,
    kRoutePen,
    kSelfIntersections,
    kRepairSelfIntersections,
    kAtomicEdges,
    kFinalizeSimple,
    kObstacle,
    kExtendShortSegments,
    kRepairScore,
    kRouteNegotiated,
    kCountCrossingsAtomic,
    kManhattanLength,
    kCountTurns,
    kBestOverOrders,
    kOrdersFor,
    kCageLadder,
    kRouteNegotiatedBest,
    kNumSeams
};

// Binds every seam to its module attribute (module init, after the names exist).
void bind_seams(nb::module_& m);
Seam& seam(SeamId id);
// Module attributes read when a call happens.
double module_float(const char* name);  // BLOCK_PEN, _SNAP
nb::object module_attr(const char* name);

// Which seams go through Python, decided at one entry.
struct SeamPlan {
    std::array<bool, kNumSeams> py{};
    static SeamPlan now();
    bool any(std::initializer_list<SeamId> ids) const {
        for (SeamId i : ids)
            if (py[i]) return true;
        return false;
    }
};

// Python values a run hands on to replaced names as it received them.
struct PyArgs {
    nb::object scene;
    nb::object turn_bias, node_pen, turn_pen;            // route_negotiated's (pens resolved when None)
    nb::object cage_margin, cage_layers, port_clearance;  // route_negotiated's
    nb::object route_kw;                                  // keywords for route_negotiated (a dict)
    nb::object orders;                                    // list of the orders (their objects)
    nb::object levels;                                    // list of the cage-layer counts
    nb::object best_kw;                                   // keywords for _best_over_orders (a dict)
};

// Runs `check` (true: passed); false when it returns false or raises (the
// error is dropped).
template <class F>
bool passes(F&& check) {
    try {
        return check();
    } catch (const nb::python_error&) {
    } catch (const nb::builtin_exception&) {
    }
    return false;
}

// The values route_negotiated only hands on, checked as the functions that
// receive them read them: the lattice builder (cage_margin, cage_layers),
// the port squares (port_clearance) and the search (turn_bias and turn_pen,
// and node_pen as the passes' cross_pen).
enum class HandedOnTo { Lattice, PortSquares, FirstSearch, Search };
void check_handed_on(const PyArgs& a, HandedOnTo to);
bool handed_on_ok(const PyArgs& a);  // every check passes

class PyRun final : public core::Seams {
public:
    PyRun(const SeamPlan& plan, PyArgs args) : plan_(plan), a_(std::move(args)) {}

    // Some handed-on value did not pass its check: the module's own code
    // checks it again where it uses it, so the error comes where the
    // function receiving it would raise it (after any replaced helper that
    // runs before).
    bool check_handed_on = false;

    core::SharedLattice shared_lattice(const core::Scene& scene, const core::LatticeOptions& opts) override;
    core::RouteView shared_view(const core::SharedLattice& lat, size_t r) override;
    void view_to_port(size_t r) override;
    core::PortOwners port_block_owners(const core::Scene& scene, const core::SharedLattice& lat,
                                       std::optional<double> port_clearance) override;
    std::optional<core::NodePath> route_pen(const core::Reroute& rr, const core::Bans& bans) override;
    core::NodePath repair_self_intersections(const core::Reroute& rr, const core::NodePath& path) override;
    std::vector<std::uint32_t> atomic_edges(const Lattice& lattice, const core::NodePath& path) override;
    Path finalize_simple(size_t r, const Lattice& lattice, const core::NodePath& path,
                         const core::RouteView& view) override;
    Path polish_candidate(size_t r, const std::vector<core::MaybePath>& accepted, const core::RouteView& view,
                          const core::Scene& scene) override;
    bool repair_not_worse(const Path& candidate, size_t r, const std::vector<core::MaybePath>& accepted,
                          const std::vector<Box>& real_obs) override;
    core::Outcome route_negotiated(const core::Scene& scene, size_t order, const core::NegotiationOptions& opts,
                                   core::Workspace& ws) override;
    core::CrossCount count_crossings(const core::Outcome& out) override;
    double manhattan_length(const core::Outcome& out, size_t r) override;
    double count_turns(const core::Outcome& out, size_t r) override;
    std::optional<core::Candidate> best_over_orders(const core::Scene& scene, const core::Orders& orders,
                                                    size_t level, long cage_layers, double min_orders,
                                                    const core::NegotiationOptions& opts,
                                                    core::Workspace& ws) override;

    // Results as Python values: an outcome of route_negotiated (skels,
    // atomic) and a candidate (key, skels, atomic, order).
    nb::tuple outcome_tuple(const core::Outcome& out);
    nb::tuple candidate_tuple(const core::Candidate& c);

private:
    const Lattice& lattice() const { return *lat_->lattice; }
    nb::object node(std::uint32_t id);
    nb::list node_list(const core::NodePath& path);
    nb::object edge_key(std::uint32_t edge);
    nb::object lattice_part(int which);  // 0 H, 1 V, 2 adj, 3 nodes, 4 graphs
    nb::object view(size_t r);
    void penalty_maps(const core::Reroute& rr);
    nb::list accepted_list(const std::vector<core::MaybePath>& accepted);
    nb::object skel(const core::Outcome& out, size_t r);
    nb::object atomic(const core::Outcome& out);

    SeamPlan plan_;
    PyArgs a_;
    // The lattice of the run and its Python side, made when first needed.
    const core::SharedLattice* lat_ = nullptr;
    std::array<nb::object, 5> lat_py_;
    bool lattice_from_python_ = false;
    std::vector<nb::object> views_;
    std::vector<bool> to_port_;
    std::vector<nb::object> nodes_;
    std::vector<std::array<std::uint32_t, 2>> edge_ends_;
    // Penalty maps of the reroute in progress, shared by its search and repair.
    unsigned long maps_for_ = 0;
    nb::object edge_pen_, chords_, last_path_;
    core::NodePath last_ids_;
    nb::object candidate_;  // the last polish candidate as the polish returned it
    // Results that came from replaced functions, by tag - 1.
    std::vector<nb::object> foreign_;
};

// Installs the functions of the module's table, in table order.
void bind_functions(nb::module_& m);

// Arguments as build_shared_lattice and _port_block_owners read them.
core::LatticeOptions lattice_options(nb::handle cage_margin, nb::handle behind, nb::handle lane_mids,
                                     nb::handle cage_layers, nb::handle cage_step);
std::optional<double> port_clearance_of(nb::handle port_clearance);

// Functions of the table that PyRun also calls.
nb::object per_route_graphs(nb::handle scene);
nb::tuple build_shared_lattice(nb::handle scene, nb::handle cage_margin, nb::handle behind, nb::handle lane_mids,
                               nb::handle cage_layers, nb::handle cage_step);
nb::object shared_view(nb::handle g, nb::handle H, nb::handle V, nb::handle adj, nb::handle nodes);

// Small helpers of the binding parts.
std::vector<double> numbers(nb::handle seq, const std::string& what);
nb::list new_list(nb::handle iterable);  // list(iterable): always a new list
nb::dict keywords(const char* func, const char* first, nb::handle value, nb::handle kw);  // {first: value, **kw}
nb::object call_kw(nb::handle f, nb::tuple args, nb::dict kw);

// Keyword arguments as a dict: kwd("a", x, "b", y).
inline void kwd_fill(nb::dict&) {}
template <class V, class... R>
void kwd_fill(nb::dict& d, const char* key, V&& value, R&&... rest) {
    d[key] = std::forward<V>(value);
    kwd_fill(d, std::forward<R>(rest)...);
}
template <class... R>
nb::dict kwd(R&&... items) {
    nb::dict d;
    kwd_fill(d, std::forward<R>(items)...);
    return d;
}

// What the lattice builder reads from a per-route graph record.
core::RouteLines route_lines(nb::handle g);

// A LatticeAdjacency (the graph module's mapping type) over a core lattice.
nb::object adjacency(std::shared_ptr<const Lattice> lattice);

}  // namespace kelvane::py::negotiated_module
