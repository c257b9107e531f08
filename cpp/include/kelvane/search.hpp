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

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
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
    // Capped search, for queries whose penalties dwarf the lengths (the
    // distance bound then lets the search flood most of the lattice): a
    // probe ordered by a lower bound on the rest of the route (penalties and
    // crossings included, see rest_grow) finds the cheapest cost first, and
    // the search proper leaves out every state whose cost plus that bound
    // exceeds it.  States on a cheapest route are never left out, and heap
    // order and label updates are those of the plain search, so the route
    // found, its cost and its predecessors are the same; the distances of
    // states off every cheapest route are not.  Line lattices only (lengths
    // not stored); others ignore it.
    bool capped = false;
    // A route the capped probe may take as a first cap (node ids from start
    // to end, e.g. the route's previous one); ignored when it is no route
    // of this query.
    const std::vector<std::uint32_t>* known_route = nullptr;
    // For a capped search, a lower bound on the rest of the route's cost
    // from every state (index node * 4 + heading, 4 * |nodes| the start
    // without heading) in place of the rest bound, e.g. the cost_to_go of
    // a query whose costs are nowhere higher.
    const double* rest_table = nullptr;
};

struct SearchStats {
    std::size_t expanded = 0;   // states taken from the heap and expanded
    std::size_t pushed = 0;     // heap insertions
    std::size_t reached = 0;    // distinct states given a distance
    std::size_t settled = 0;    // nodes settled by the rest bound of a capped search, states by cost_to_go
    bool stopped_early = false; // the heap still held states when the search ended
    bool cut_short = false;     // the time budget (kelvane/deadline.hpp) ended it: nothing was found
};

constexpr std::uint32_t kNoState = std::numeric_limits<std::uint32_t>::max();

// The open list of the lattice search: a QuadHeap indexed by state, in
// heap_later order (lowest f, then highest g, then lowest id) holding each
// state at most once; a cheaper entry for a state moves it up instead of
// adding a copy.  Costs are never negative, so their bit patterns order as
// unsigned integers do; keys are compared as integers.
class StateHeap {
public:
    struct Item {
        std::uint64_t f, ng;  // bits of f; complement of the bits of g
        std::uint32_t id;
        double fval() const { return from_bits(f); }
        double gval() const { return from_bits(~ng); }
    };
    // `states` ids, all absent.
    void reset(size_t states) {
        std::vector<std::uint32_t>& pos = heap_.places().pos;
        for (const Item& it : heap_.items()) pos[it.id] = kAbsent;
        heap_.clear();
        if (pos.size() < states) pos.resize(states, kAbsent);
    }
    bool empty() const { return heap_.empty(); }
    size_t size() const { return heap_.size(); }
    const Item& top() const { return heap_.top(); }

    // Inserts id, or lowers its entry (the caller only ever lowers it).
    void push(double f, double g, std::uint32_t id) {
        const Item it{bits(f), ~bits(g), id};
        const std::uint32_t i = heap_.places().pos[id];
        if (i == kAbsent)
            heap_.push(it);
        else
            heap_.lower(i, it);
    }

    Item pop() { return heap_.pop(); }

private:
    static constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;
    struct Before {
        bool operator()(const Item& a, const Item& b) const {
            if (a.f != b.f) return a.f < b.f;
            if (a.ng != b.ng) return a.ng < b.ng;
            return a.id < b.id;
        }
    };
    struct Places {
        std::vector<std::uint32_t> pos;  // per id: index in the heap, or kAbsent
        void moved(const Item& it, size_t i) { pos[it.id] = static_cast<std::uint32_t>(i); }
        void left(const Item& it) { pos[it.id] = kAbsent; }
    };
    static std::uint64_t bits(double v) {
        std::uint64_t b;
        std::memcpy(&b, &v, 8);
        return b;
    }
    static double from_bits(std::uint64_t b) {
        double v;
        std::memcpy(&v, &b, 8);
        return v;
    }
    QuadHeap<Item, Before, Places> heap_;
};

// Monotone priority queue over non-negative double keys: a radix heap on
// their bit patterns, which order as the values do.  A key pushed below the
// last key popped is raised to it (the caller's keys only ever fall short
// by rounding).  Entries carry an id and a value; the caller skips stale ones.
class RadixHeap {
public:
    struct Entry {
        std::uint64_t key;
        std::uint32_t id;
        double value;
        double fval() const {
            double v;
            std::memcpy(&v, &key, 8);
            return v;
        }
    };
    void clear() {
        for (std::vector<Entry>& b : buckets_) b.clear();
        used_ = 0;
        size_ = 0;
        last_ = 0;
    }
    bool empty() const { return size_ == 0; }
    void push(double key, std::uint32_t id, double value) {
        std::uint64_t k;
        std::memcpy(&k, &key, 8);
        if (k < last_) k = last_;
        const int b = bucket(k);
        buckets_[b].push_back({k, id, value});
        if (b) used_ |= std::uint64_t{1} << (b - 1);
        ++size_;
    }
    const Entry& top() {
        refill();
        return buckets_[0].back();
    }
    Entry pop() {
        refill();
        const Entry e = buckets_[0].back();
        buckets_[0].pop_back();
        --size_;
        return e;
    }

private:
    // Bucket 0: keys equal to last_; bucket b > 0: keys whose highest bit
    // differing from last_ is bit b - 1 (bit b - 1 of used_ set when it is
    // not empty).
    int bucket(std::uint64_t k) const { return k == last_ ? 0 : 64 - __builtin_clzll(k ^ last_); }
    // When bucket 0 is empty, the lowest non-empty bucket is spread over
    // the buckets below it, last_ becoming its least key.
    void refill() {
        if (!buckets_[0].empty()) return;
        const int i = __builtin_ctzll(used_) + 1;
        std::vector<Entry>& from = buckets_[i];
        std::uint64_t least = from[0].key;
        for (const Entry& e : from) least = std::min(least, e.key);
        last_ = least;
        used_ &= ~(std::uint64_t{1} << (i - 1));
        for (const Entry& e : from) {
            const int b = bucket(e.key);
            buckets_[b].push_back(e);
            if (b) used_ |= std::uint64_t{1} << (b - 1);
        }
        from.clear();
    }
    std::array<std::vector<Entry>, 65> buckets_;
    std::uint64_t used_ = 0;
    std::uint64_t last_ = 0;
    size_t size_ = 0;
};

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

    bool reached(std::uint32_t s) const { return s < label_.size() && s <= 4 * n_ && label_[s].stamp == gen_; }
    double dist(std::uint32_t s) const {
        return reached(s) ? label_[s].dist : std::numeric_limits<double>::infinity();
    }
    // Predecessor state, kNoState for the initial state and for unreached states.
    std::uint32_t prev(std::uint32_t s) const { return reached(s) ? label_[s].prev : kNoState; }

    // The cheapest reached state at `end` arriving along end_dir (any
    // heading, lowest first on equal cost, when end_dir is kNoDir), or kNoState.
    std::uint32_t select_end(std::uint32_t end, int end_dir) const;
    // The cheapest cost from every state to an end state of `q` (index as
    // for rest_table), found from the end backwards, with bans and the
    // turn-bias tie-break left out: a lower bound on the rest of the route
    // for this query and for any query on the same lattice, ends and rules
    // whose edge, crossing and turn costs are nowhere lower and whose bans
    // include q's.  +inf where the end cannot be reached.  The search goes
    // towards the start and stops once every state left has a cost to go
    // plus Manhattan distance from the start above `reach`, or above the
    // start's own cost to go plus `beyond` (a capped search with a cap
    // below that never enters them); those get that much as their bound.
    // Returns where it stopped (+inf: every state is exact).  Line lattices
    // only.
    double cost_to_go(const Lattice& lattice, const SearchQuery& q, std::vector<double>& out,
                      double reach = std::numeric_limits<double>::infinity(),
                      double beyond = std::numeric_limits<double>::infinity());
    // The cost of q's known route with room for rounding, as the capped
    // search takes it for its first cap; +inf without one.
    double known_cost(const Lattice& lattice, const SearchQuery& q);
    // Are the stored distances enough to select the end state for these values?
    bool exact_for(long end, int end_dir) const;
    // Node ids from the start to the node of s; empty if s was not reached.
    std::vector<std::uint32_t> path_to(std::uint32_t s) const;
    // Cost of `route` (node ids) under the last query run, added up step by
    // step as the search adds it; +inf when it is no route of that query
    // (wrong ends, a step that is no edge, a reversal, a banned pass, a
    // closed edge, a wrong first or last heading).
    double route_cost(const Lattice& lattice, const SearchQuery& query, const std::vector<std::uint32_t>& route) const;

    const SearchStats& stats() const { return stats_; }
    long end() const { return end_; }
    int end_dir() const { return end_dir_; }
    double turn_pen() const { return turn_pen_; }

private:
    void reset_marks();
    void prepare(const Lattice& L, const SearchQuery& q);
    double bound(const Lattice& L, std::uint32_t node, int heading) const;
    double turn_bound(const Lattice& L, std::uint32_t node, int heading) const;
    // Chord costs at n for a state that is not the initial one, or null.
    const std::array<double, 6>* chords_at(const SearchQuery& q, std::uint32_t n) const;
    // Rest bound of a capped search: nodes settled in the order of their
    // bound, from the end outwards, until a node's bound exceeds `radius` or
    // `until` is settled.
    void rest_start();
    void rest_grow(const Lattice& L, const SearchQuery& q, double radius, long until = -1);
    // The bound of a settled node; of any other node, the least it can have.
    double rest(const Lattice& L, std::uint32_t n) const {
        const RestLabel& r = rest_[n];
        if (r.stamp == rest_gen_ + 1) return r.value;
        const Point p = L.nodes[n];
        return std::max(rest_floor_ - (std::fabs(p.x - start_pt_.x) + std::fabs(p.y - start_pt_.y)),
                        std::fabs(p.x - end_pt_.x) + std::fabs(p.y - end_pt_.y));
    }
    bool probe(const Lattice& L, const SearchQuery& q, double& cap);
    void relax_back(const Lattice& L, const SearchQuery& q, std::uint32_t m, int d2, std::uint32_t e, double len,
                    double landing, const double* epen, std::vector<double>& out);
    void near_start(const Lattice& L, const SearchQuery& q, const double* epen, size_t states);
    // A lower bound on the cost from the start to state `id` (near_start).
    double toward_start(const Lattice& L, std::uint32_t id) const {
        if (near_done_[id]) return near_[id];
        if (near_cost_ == std::numeric_limits<double>::infinity()) return near_cost_;  // the start never gets there
        const double m = manhattan(L.nodes[id >> 2], start_pt_);
        return std::max(m, near_cost_ + m - near_reach_);
    }
    // The rest bound of state (m, heading d) of a capped search.
    double rest_bound(const Lattice& L, const SearchQuery& q, std::uint32_t m, int d) const {
        return q.rest_table ? q.rest_table[m * 4 + static_cast<std::uint32_t>(d)] : rest(L, m) + turn_bound(L, m, d);
    }
    template <bool kProbe>
    double expand(const Lattice& L, const SearchQuery& q, double cap);

    std::size_t n_ = 0;
    bool cut_ = false;  // this run passed the time budget
    std::uint32_t start_ = 0;
    long end_ = -1;
    int end_dir_ = kNoDir;
    double turn_pen_ = 0.0;
    bool use_dist_bound_ = false, use_turn_bound_ = false;
    Point end_pt_{}, start_pt_{};

    // One label per state, valid while its stamp equals gen_.
    struct Label {
        double dist;
        std::uint32_t prev, stamp;
    };
    std::uint32_t gen_ = 0;
    std::vector<Label> label_;
    std::array<std::array<double, 5>, 9> turn_bound_{};  // [sign class of the offset][heading + 1]
    StateHeap heap_;

    // Per-query marks, cleared through the touched lists.
    std::vector<double> edge_pen_;
    std::vector<std::uint32_t> touched_edges_;
    std::vector<std::uint8_t> banned_;  // bit d: no straight pass heading d
    std::vector<std::int32_t> chord_slot_;
    std::vector<std::uint32_t> touched_nodes_;
    std::vector<std::array<double, 6>> chord_cost_;  // per slot, per own chord (pair index)

    // Rest bound of the capped search; stamp rest_gen_: labelled,
    // rest_gen_ + 1: settled.
    struct RestLabel {
        double value;
        std::uint32_t stamp;
    };
    std::vector<RestLabel> rest_;
    std::uint32_t rest_gen_ = 0;
    double rest_floor_ = 0.0;
    RadixHeap rest_heap_;
    std::vector<std::uint8_t> back_done_;  // states settled by cost_to_go
    std::vector<double> near_;             // near_start's costs from the start
    std::vector<std::uint8_t> near_done_;
    double near_cost_ = 0.0, near_reach_ = 0.0;
    std::vector<std::uint8_t> first_step_;  // per node: headings of the start's first steps landing there
    std::array<std::uint32_t, 4> start_edge_{};  // edge of the start's first step of each heading

    SearchStats stats_;
};

// Index 0..5 of the side pair {a, b} (a != b, both 0..3).
int side_pair_index(int a, int b);

}  // namespace kelvane
