// The single-route router's lattice: implicit, over the track lines, with
// edge penalties computed on first use.
//
// Lines are sparse: a zone side's line (and every other bounded line) is
// needed only along its own stretch and on until it runs into a zone (the
// classic track graph, which keeps the shortest rectilinear routes); port,
// jog and cage lines run through everything.  Node (i, j) exists where
// vertical line i and horizontal line j both reach; stepping along a line
// goes from one existing node to the next.  Nothing is materialised up
// front: a line's nodes and penalties are computed when the search first
// steps along it, from the request's zone index, so the work follows the
// region the search explores rather than the number of zones.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "kelvane/tracks.hpp"
#include "railbridge/zones.hpp"

namespace kelvane::rail {

class RailLattice {
public:
    // Routes of equal cost prefer to run, between two obstacles closer than
    // keep_away on both sides, at sliding_bias across the channel, and
    // elsewhere at least `hug` from an obstacle (0: no preference).
    // `within`: when a search on this lattice enters only these boxes,
    // each line stops at the outermost of the boxes it crosses (a run
    // between two nodes inside is the same; lines are shorter to build).
    RailLattice(const TrackLines& tl, const ZoneSet& zones, double keep_away = 0.0, double hug = 0.0,
                double sliding_bias = 0.5, const std::vector<Box>* within = nullptr);
    int nx() const { return static_cast<int>(xs_.size()); }
    int ny() const { return static_cast<int>(ys_.size()); }
    double x(int i) const { return xs_[i]; }
    double y(int j) const { return ys_[j]; }
    const std::vector<double>& xs() const { return xs_; }
    const std::vector<double>& ys() const { return ys_; }

    struct Line;

    // A walk along one line from a node, heading d: each next() moves to the
    // following node (false at the end of the line, or when (i, j) is no
    // node of that line) and gives the step's length and penalty.  The walk
    // is inline: the search takes a few of them per state.
    class Walk {
    public:
        int i, j;
        bool next(double* len, double* pen) {
            if (!valid_) return false;
            const auto& at = line_->at;
            if (forward_ ? k_ + 1 >= at.size() : k_ == 0) return false;
            const size_t nk = forward_ ? k_ + 1 : k_ - 1;
            const int here = at[k_], next = at[nk];
            *len = std::fabs((*along_)[next] - (*along_)[here]);
            *pen = std::fabs(line_->prefix[nk] - line_->prefix[k_]);
            k_ = nk;
            (horizontal_ ? i : j) = next;
            return true;
        }
        // Where the walk stands along its line (for walk_from).
        int position() const { return static_cast<int>(k_); }
        // Moves on to the first node at least `min_run` (and more than
        // `tol`) ahead, giving the distance and penalty from here; false
        // (the walk unmoved) when the line ends before.  Galloping, then
        // binary search: on dense lines a bend's run may pass hundreds of
        // nodes, but mostly it lands a few nodes on.
        bool leap(double min_run, double tol, double* len, double* pen);
        // Distance and penalty from here to the node at crossing index
        // `target`, when that is a node of the line ahead of the walk.
        bool ahead(int target, double* len, double* pen) const;

    private:
        friend class RailLattice;
        Walk(const RailLattice& L, const Line& line, int i, int j, int d, int position)
            : i(i), j(j), line_(&line), along_(is_horizontal(d) ? &L.xs_ : &L.ys_), horizontal_(is_horizontal(d)),
              forward_(d == E || d == N) {
            if (position < 0) position = line.find(horizontal_ ? i : j);
            valid_ = position >= 0;
            k_ = valid_ ? static_cast<size_t>(position) : 0;
        }
        const Line* line_;
        const std::vector<double>* along_;
        size_t k_ = 0;
        bool horizontal_, forward_, valid_;
    };
    Walk walk(int i, int j, int d) { return walk_from(i, j, d, -1); }
    // The same from a known position of (i, j) along the line heading d.
    Walk walk_from(int i, int j, int d, int position) {
        return Walk(*this, is_horizontal(d) ? nodes_of(true, j) : nodes_of(false, i), i, j, d, position);
    }
    // Position of (i, j) along the line heading d (-1: no node there).
    int position_of(int i, int j, int d) {
        return is_horizontal(d) ? nodes_of(true, j).find(i) : nodes_of(false, i).find(j);
    }

    // Work done so far: crossings examined while building lines (the
    // router's budget counts it beside the states it expands).
    std::size_t work() const { return work_; }

    struct Line {
        std::vector<int> at;         // indices of the crossing lines where nodes exist
        std::vector<double> prefix;  // penalty accumulated from the first node
        // Position of each crossing index from at.front() on (-1: no node),
        // kept when the nodes are not too sparse for it; empty otherwise.
        std::vector<int> pos;
        bool ready = false;
        // Position of the node at crossing index c (-1: none).
        int find(int c) const {
            if (!pos.empty()) {
                const size_t o = static_cast<size_t>(static_cast<unsigned>(c - at.front()));
                return o < pos.size() ? pos[o] : -1;
            }
            const auto it = std::lower_bound(at.begin(), at.end(), c);
            return it != at.end() && *it == c ? static_cast<int>(it - at.begin()) : -1;
        }
    };

private:
    struct Reach {
        double lo, hi;
    };
    static constexpr Reach kEverywhere{-std::numeric_limits<double>::infinity(),
                                       std::numeric_limits<double>::infinity()};

    // Grows a bounded stretch [lo, hi] of the line at c until it runs into a
    // zone (or reaches `limit`).
    Reach extend(double c, double lo, double hi, bool vertical, Reach limit = kEverywhere) const;
    const Line& nodes_of(bool horizontal, int k) {
        const Line& line = horizontal ? hline_[k] : vline_[k];
        return line.ready ? line : build_line(horizontal, k);
    }
    const Line& build_line(bool horizontal, int k);
    // Penalty of each edge between consecutive nodes `along` of the line at c.
    void fill_line(bool horizontal, double c, const std::vector<double>& along, std::vector<double>& pen) const;
    void add_keep_away(bool horizontal, double c, const std::vector<double>& along, std::vector<double>& pen) const;
    void add_follow(bool horizontal, double c, const std::vector<double>& along, std::vector<double>& pen) const;

    std::vector<double> xs_, ys_;
    const ZoneSet& zones_;
    double eps_;
    std::vector<Reach> vreach_, hreach_;  // extent of each vertical / horizontal line
    std::vector<Line> hline_, vline_;
    std::size_t work_ = 0;
    double keep_away_, hug_, sliding_bias_;
    // Runs of each path to follow (RouteRequest::follow), by the
    // coordinate of their line: (c, lo, hi), ascending in c.
    struct Run {
        double c, lo, hi;
        bool operator<(const Run& o) const { return c < o.c; }
    };
    struct FollowRuns {
        std::vector<Run> h, v;
        double reach, weight;
    };
    std::vector<FollowRuns> follows_;
    mutable std::vector<double> scratch_below_, scratch_above_;
};

}  // namespace kelvane::rail
