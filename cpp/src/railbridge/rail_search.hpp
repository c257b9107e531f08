// The single-route router's search: A* over (node, heading) states of the
// track lattice, with straight-run "jumps" after every bend so that the
// run-length rules hold by construction.
#pragma once

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "kelvane/railbridge.hpp"
#include "kelvane/search_common.hpp"
#include "railbridge/track_lattice.hpp"

namespace kelvane::rail {

struct Label {
    double g;
    std::uint64_t state;
    std::int64_t parent;  // label index, -1 = the start point
    int position;         // of the node along the line of its heading
};

// Map from 64-bit state ids to label slots: a dense table while the lattice is
// small enough, an open-addressing hash map beyond.  The dense table is never
// cleared: an entry counts only when the label it names carries that state,
// so stale entries of earlier searches are harmless.
class StateMap {
public:
    void reset(std::uint64_t num_states) {
        dense_ = num_states <= kDenseLimit;
        if (dense_) {
            if (slot_.size() < num_states) slot_.resize(num_states, ~0u);
            return;
        }
        const size_t cap = 1 << 16;
        if (keys_.size() != cap) {
            keys_.assign(cap, kEmpty);
            vals_.assign(cap, 0);
        } else {
            std::fill(keys_.begin(), keys_.end(), kEmpty);
        }
        size_ = 0;
    }
    // Returns the slot for `key`, inserting `fresh` when absent (then *inserted = true).
    std::uint32_t find_or_insert(std::uint64_t key, std::uint32_t fresh, const std::vector<Label>& labels,
                                 bool* inserted) {
        if (dense_) {
            const std::uint32_t s = slot_[key];
            if (s < labels.size() && labels[s].state == key) {
                *inserted = false;
                return s;
            }
            slot_[key] = fresh;
            *inserted = true;
            return fresh;
        }
        if ((size_ + 1) * 2 > keys_.size()) grow();
        size_t h = hash(key) & (keys_.size() - 1);
        while (true) {
            if (keys_[h] == kEmpty) {
                keys_[h] = key;
                vals_[h] = fresh;
                ++size_;
                *inserted = true;
                return fresh;
            }
            if (keys_[h] == key) {
                *inserted = false;
                return vals_[h];
            }
            h = (h + 1) & (keys_.size() - 1);
        }
    }

private:
    static constexpr std::uint64_t kEmpty = ~0ull;
    static constexpr std::uint64_t kDenseLimit = 16u << 20;  // 16M states: a 64 MB table
    static size_t hash(std::uint64_t k) {
        k ^= k >> 33;
        k *= 0xff51afd7ed558ccdull;
        k ^= k >> 33;
        return static_cast<size_t>(k);
    }
    void grow() {
        std::vector<std::uint64_t> ok = std::move(keys_);
        std::vector<std::uint32_t> ov = std::move(vals_);
        keys_.assign(ok.size() * 2, kEmpty);
        vals_.assign(ok.size() * 2, 0);
        for (size_t i = 0; i < ok.size(); ++i) {
            if (ok[i] == kEmpty) continue;
            size_t h = hash(ok[i]) & (keys_.size() - 1);
            while (keys_[h] != kEmpty) h = (h + 1) & (keys_.size() - 1);
            keys_[h] = ok[i];
            vals_[h] = ov[i];
        }
    }
    bool dense_ = false;
    std::vector<std::uint32_t> slot_;
    std::vector<std::uint64_t> keys_;
    std::vector<std::uint32_t> vals_;
    size_t size_ = 0;
};

// Budget units charged for lattice work: examining a crossing while a line
// is built costs about a sixty-fourth of expanding a state.
constexpr std::size_t kCrossingsPerUnit = 64;

// Buffers reused by every search on this thread.
struct SearchBuffers {
    StateMap map;
    std::vector<Label> labels;
    SearchHeap heap;
};
// The buffers of this thread: `second` gives a separate set, for a search
// that runs while another one is paused.
SearchBuffers& buffers(bool second = false);

// Minimum straight runs: after leaving the start, between two bends, and
// before arriving at the end; and the arc radii of bends (0: corners only).
struct RunRules {
    double port_run, inner_run, end_run;
    double arc_radius = 0.0, port_arc_radius = 0.0;  // inner bends; bends next to a port
};

// A stretch a route may not run through: no run along the axis
// (`horizontal` or not) holds a point of the segment a-b (both closed,
// compared exactly), or with `through` no run passes a point of it between
// its ends (one may still end or bend there); a `through` segment is a
// point or runs across that axis.
struct RunBan {
    Point a, b;
    bool horizontal;
    bool through = false;
};

class RailSearch {
public:
    RailSearch(RailLattice& lat, const ZoneSet& zones, const RouteRequest& req, int si, int sj, int ei, int ej,
               double turn_cost, double scale, SearchBuffers& buffers)
        : L_(lat), zones_(zones), req_(req), si_(si), sj_(sj), ei_(ei), ej_(ej), T_(turn_cost), scale_(scale),
          tol_(1e-9 * (1.0 + scale)), B_(buffers) {}

    // Runs one A* search for a route cheaper than `bound` within `budget`
    // (states expanded plus crossings examined / kCrossingsPerUnit);
    // returns false when none reaches the end.
    bool run(const RunRules& rules, size_t budget, Path* out, size_t* expanded,
             double bound = std::numeric_limits<double>::infinity());

    // The same in steps: begin() sets the search up, every advance() goes
    // on for at most `budget` more units and tells why it stopped.
    enum class Stop { Done, OutOfBudget };
    void begin(const RunRules& rules, double bound);
    Stop advance(size_t budget, size_t* expanded);
    // The route found so far (false: none yet).
    bool route(Path* out) const;

    // Keeps the search inside these boxes (states elsewhere are not
    // entered); null: everywhere.
    void confine(const std::vector<Box>* region) { region_ = region; }

    // Runs that hold one of these places are left out (null: none).
    void ban(const std::vector<RunBan>* bans) { bans_ = bans && !bans->empty() ? bans : nullptr; }

    // Orders the open states by g + weight * h (weight >= 1): on lattices
    // too large to search exhaustively the search heads for the end and
    // returns a route at most `weight` times the cheapest one's cost.
    void set_weight(double weight) { weight_ = weight; }

private:
    Point start_point() const { return {L_.x(si_), L_.y(sj_)}; }
    Point end_point() const { return {L_.x(ei_), L_.y(ej_)}; }
    std::uint64_t state_id(int i, int j, int d) const {
        return ((static_cast<std::uint64_t>(j) * L_.nx() + static_cast<std::uint64_t>(i)) << 2) | static_cast<unsigned>(d);
    }
    double heuristic(int i, int j, int d) const;
    // Does the run heading d from node (i, j) to node (ti, tj) meet a banned stretch?
    bool banned(int i, int j, int d, int ti, int tj) const;
    // What every route still pays on the end's last stretch (see begin()).
    double end_toll(int i, int j, int d) const;
    void relax(int i, int j, int d, double g, std::int64_t parent, int position);
    void finish(double cost, std::int64_t parent);
    // The bend a jump starts from: where, from which heading, and the arc
    // cost charged for it (as an inner bend, or as the first one).
    struct Bend {
        Point at;
        int from;
        double charged;
        bool first;
    };
    // Reaching the end makes the bend the last one: its arc is then the
    // smaller one next to the port.
    double last_bend_extra(const Bend* bend, int d) const;
    // `position`: of (i, j) along the line heading d (-1: not known yet).
    void jump(int i, int j, int d, int position, double min_run, double g0, std::int64_t parent, double end_run,
              const Bend* bend);
    void expand(std::uint32_t li, const Label& lab);

    RailLattice& L_;
    const ZoneSet& zones_;
    const RouteRequest& req_;
    int si_, sj_, ei_, ej_;
    double T_, scale_, tol_;
    double weight_ = 1.0;
    RunRules rules_{};
    double best_cost_ = 0.0;
    std::int64_t best_parent_ = -2;
    const std::vector<Box>* region_ = nullptr;
    const std::vector<RunBan>* bans_ = nullptr;
    // A zone on the last end_run before the end is entered by every route:
    // its penalty (end_toll_) is part of the lower bound, except for states
    // already on that stretch heading for the end, which owe only the rest
    // (end_stretch_: crossing index along the end line, penalty from there
    // to the end).
    double end_toll_ = 0.0;
    std::vector<std::pair<int, double>> end_stretch_;
    SearchBuffers& B_;
};

}  // namespace kelvane::rail
