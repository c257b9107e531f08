// The single-route router's lattice: implicit, over the track lines, with
// edge penalties computed on first use.
#pragma once

#include <utility>
#include <vector>

#include "kelvane/obstacles.hpp"
#include "kelvane/tracks.hpp"
#include "railbridge/zones.hpp"

namespace kelvane::rail {

// Implicit lattice over track lines with lazily computed edge penalties.
//
// Lines are sparse: a zone side's line is needed only along that side and on
// until it runs into another zone (the classic track graph, which keeps the
// shortest rectilinear routes); port, jog, cage and bridge lines run through
// everything.  Node (i, j) exists where vertical line i and horizontal line j
// both reach; stepping along a line goes from one existing node to the next.
class RailLattice {
public:
    RailLattice(const TrackLines& tl, std::vector<Zone> zones, double eps);
    int nx() const { return static_cast<int>(xs_.size()); }
    int ny() const { return static_cast<int>(ys_.size()); }
    double x(int i) const { return xs_[i]; }
    double y(int j) const { return ys_[j]; }
    const std::vector<double>& xs() const { return xs_; }
    const std::vector<double>& ys() const { return ys_; }

    // From node (i, j) to the next node along its line heading d; false at
    // the end of the line.  `len` is the step's length, `pen` its penalty.
    bool step(int& i, int& j, int d, double* len, double* pen);

private:
    struct Line {
        std::vector<int> at;         // indices of the crossing lines where nodes exist
        std::vector<double> prefix;  // penalty accumulated from the first node
        bool ready = false;
    };
    struct Reach {
        double lo, hi;
    };

    // Grows each bounded line from its zone sides until it runs into a zone.
    std::vector<Reach> extend(const std::vector<std::pair<double, double>>& span, const std::vector<double>& at,
                              bool vertical) const;

    bool present(int i, int j) const;

    const Line& nodes_of(bool horizontal, int k);

    // Penalty of every atomic edge (between neighbouring crossing lines) of a line.
    void fill_line(bool horizontal, int k, std::vector<double>& pen) const;

    std::vector<double> xs_, ys_;
    std::vector<Zone> zones_;
    double eps_;
    ObstacleIndex index_;
    std::vector<Reach> vreach_, hreach_;  // extent of each vertical / horizontal line
    std::vector<Line> hline_, vline_;
    std::vector<double> scratch_;
};

}  // namespace kelvane::rail
