// Shortest-route search on an explicit lattice over (node, heading) states.
//
// A state is a node together with the heading the route had when it arrived
// there.  State ids are flat integers: node * 4 + heading (E, N, W, S), and
// the start without a heading has the id 4 * |nodes|.
//
// Port headings are rules, not costs: with a start_dir the route leaves the
// start only along it (no turn, no reversal at the start), and with an
// end_dir only an arrival heading end_dir counts as reaching the end.  A
// query without them leaves the first move and the arrival free.
//
// Cost of one step from node n to neighbour m, leaving n heading d2:
//   edge length + edge penalty of the undirected edge
//   + turn_pen + turn-bias tie-break   when d2 differs from the arriving heading
//   + cross_pen per other route's chord at n that shares no side with this
//     route's chord (side arrived from, side left by): a crossing (the
//     chords interleave) or two routes turning away from each other at one
//     node (a corner kiss: the waveguides touch).  Chords sharing a side
//     share an edge, which edge penalties price.  None at the start node and
//     none at the end node.
// Never reversing (d2 opposite to the arriving heading), and never passing
// straight through a (node, heading) pair listed in blocked_passthrough.
//
// The search is A* towards the end node with a consistent bound: Manhattan
// distance (when every edge is at least that long) plus turn_pen times the
// fewest turns still needed to arrive along end_dir (when every edge is
// axis-parallel).  Heap ties go to the larger travelled cost, then to the
// smaller state id, so results are deterministic.  With stop_early the
// search ends as soon as no state left in the heap can beat (or tie) the
// best end state; the stored distances are then exact for every end state
// that can still matter under this query's end and end_dir (exact_for tells).
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "kelvane/geometry.hpp"
#include "kelvane/lattice.hpp"
#include "kelvane/search_common.hpp"

namespace kelvane {

struct SearchQuery {
    std::uint32_t start = 0;
    int start_dir = kNoDir;          // kNoDir: no heading, any first move is free
    long end = -1;                   // -1: no end node (only the start state is set)
    int end_dir = kNoDir;
    double turn_pen = 0.0;           // >= 0
    double cross_pen = 0.0;          // >= 0
    TurnBias turn_bias{false, 0.5};  // tie-break scale is the lattice extent
    // Added cost per undirected edge id (repeats add up; +inf closes the edge).
    std::vector<std::pair<std::uint32_t, double>> edge_pen;
    // Chords (i0, i1) of other routes at a node (side indices 0..3).
    std::vector<std::pair<std::uint32_t, std::array<std::uint8_t, 2>>> node_chords;
    // (node id, heading): arriving with that heading and leaving straight on is banned.
    std::vector<std::pair<std::uint32_t, std::uint8_t>> blocked_passthrough;
    bool stop_early = true;
    // Tables kept by a caller that runs many searches on one lattice (the
    // negotiated router), read in place instead of edge_pen / node_chords:
    // edge_cost[e] is the added cost of undirected edge e; chord_slot[n] is
    // -1 or the index into chord_cost of node n's costs, one per own chord
    // (side pair index 0..5, side_pair_index); cross_pen only gates them.
    const double* edge_cost = nullptr;
    const std::int32_t* chord_slot = nullptr;
    const std::array<double, 6>* chord_cost = nullptr;
};

struct SearchStats {
    std::size_t expanded = 0;   // states taken from the heap and expanded
    std::size_t pushed = 0;     // heap insertions
    std::size_t reached = 0;    // distinct states given a distance
    bool stopped_early = false; // the heap still held states when the search ended
};

constexpr std::uint32_t kNoState = std::numeric_limits<std::uint32_t>::max();

// Buffers of one search and its result.  Reusable: run() overwrites the
// previous result without clearing lattice-sized arrays (generation stamps).
class SearchWorkspace {
public:
    void run(const Lattice& lattice, const SearchQuery& query);

    std::size_t num_nodes() const { return n_; }
    std::uint32_t start() const { return start_; }
    std::uint32_t headless_state() const { return static_cast<std::uint32_t>(4 * n_); }
    // State id of (node, heading), or kNoState if there is no such state
    // (heading kNoDir only names the start without heading).
    std::uint32_t state(std::uint32_t node, int heading) const;
    std::uint32_t node_of(std::uint32_t s) const { return s == headless_state() ? start_ : s >> 2; }
    int heading_of(std::uint32_t s) const { return s == headless_state() ? kNoDir : static_cast<int>(s & 3); }

    bool reached(std::uint32_t s) const { return s < stamp_.size() && s <= 4 * n_ && stamp_[s] == gen_; }
    double dist(std::uint32_t s) const {
        return reached(s) ? dist_[s] : std::numeric_limits<double>::infinity();
    }
    // Predecessor state, kNoState for the initial state and for unreached states.
    std::uint32_t prev(std::uint32_t s) const { return reached(s) ? prev_[s] : kNoState; }
    // Reached states in the order they were first reached.
    const std::vector<std::uint32_t>& reached_states() const { return order_; }

    // The cheapest reached state at `end` arriving along end_dir (any
    // heading, lowest first on equal cost, when end_dir is kNoDir), or kNoState.
    std::uint32_t select_end(std::uint32_t end, int end_dir) const;
    // Are the stored distances enough to select the end state for these values?
    bool exact_for(long end, int end_dir) const;
    // Node ids from the start to the node of s; empty if s was not reached.
    std::vector<std::uint32_t> path_to(std::uint32_t s) const;

    const SearchStats& stats() const { return stats_; }
    long end() const { return end_; }
    int end_dir() const { return end_dir_; }
    double turn_pen() const { return turn_pen_; }

private:
    void reset_marks();
    void prepare(const Lattice& L, const SearchQuery& q);
    double bound(const Lattice& L, std::uint32_t node, int heading) const;
    void push(double f, double g, std::uint32_t s);

    std::size_t n_ = 0;
    std::uint32_t start_ = 0;
    long end_ = -1;
    int end_dir_ = kNoDir;
    double turn_pen_ = 0.0;
    bool use_dist_bound_ = false, use_turn_bound_ = false;
    Point end_pt_{};

    std::uint32_t gen_ = 0;
    std::vector<std::uint32_t> stamp_;
    std::vector<double> dist_;
    std::vector<std::uint32_t> prev_;
    std::vector<std::uint32_t> order_;
    SearchHeap heap_;

    // Per-query marks, cleared through the touched lists.
    std::vector<double> edge_pen_;
    std::vector<std::uint32_t> touched_edges_;
    std::vector<std::uint8_t> banned_;  // bit d: no straight pass heading d
    std::vector<std::int32_t> chord_slot_;
    std::vector<std::uint32_t> touched_nodes_;
    std::vector<std::array<double, 6>> chord_cost_;  // per slot, per own chord (pair index)

    SearchStats stats_;
};

// Index 0..5 of the side pair {a, b} (a != b, both 0..3).
int side_pair_index(int a, int b);

}  // namespace kelvane
