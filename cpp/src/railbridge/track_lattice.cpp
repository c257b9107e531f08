#include "railbridge/track_lattice.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kelvane::rail {

RailLattice::RailLattice(const TrackLines& tl, std::vector<Zone> zones, double eps)
    : xs_(tl.xs), ys_(tl.ys), zones_(std::move(zones)), eps_(eps) {
    std::vector<Box> boxes;
    boxes.reserve(zones_.size());
    for (const Zone& z : zones_) boxes.push_back(z.box);
    index_ = ObstacleIndex(std::move(boxes), 0.0);
    vreach_ = extend(tl.x_span, xs_, /*vertical=*/true);
    hreach_ = extend(tl.y_span, ys_, /*vertical=*/false);
    hline_.resize(ys_.size());
    vline_.resize(xs_.size());
}

// From node (i, j) to the next node along its line heading d; false at the
// end of the line.
bool RailLattice::step(int& i, int& j, int d, double* len, double* pen) {
    const bool horizontal = is_horizontal(d);
    const Line& line = horizontal ? nodes_of(true, j) : nodes_of(false, i);
    const int here = horizontal ? i : j;
    const auto it = std::lower_bound(line.at.begin(), line.at.end(), here);
    if (it == line.at.end() || *it != here) return false;  // not a node of this line
    const size_t k = static_cast<size_t>(it - line.at.begin());
    const bool forward = d == E || d == N;
    if (forward ? k + 1 >= line.at.size() : k == 0) return false;
    const size_t nk = forward ? k + 1 : k - 1;
    const int next = line.at[nk];
    const std::vector<double>& along = horizontal ? xs_ : ys_;
    *len = std::fabs(along[next] - along[here]);
    *pen = std::fabs(line.prefix[nk] - line.prefix[k]);
    (horizontal ? i : j) = next;
    return true;
}

// Grows each bounded line from its zone sides until it runs into a zone.
std::vector<RailLattice::Reach> RailLattice::extend(const std::vector<std::pair<double, double>>& span, const std::vector<double>& at,
                          bool vertical) const {
    constexpr double inf = std::numeric_limits<double>::infinity();
    std::vector<Reach> out(at.size());
    for (size_t k = 0; k < at.size(); ++k) {
        const double c = at[k];
        double lo = span[k].first, hi = span[k].second;
        if (std::isinf(lo) || std::isinf(hi)) {
            out[k] = {-inf, inf};
            continue;
        }
        double up = inf, down = -inf;
        auto visit = [&](size_t zi) {
            const Box& b = zones_[zi].box;
            const double p0 = vertical ? b.x0 : b.y0, p1 = vertical ? b.x1 : b.y1;
            const double a0 = vertical ? b.y0 : b.x0, a1 = vertical ? b.y1 : b.x1;
            if (!open_overlap(c, c, p0, p1, eps_)) return;
            if (a1 > hi + eps_) up = std::min(up, std::max(a0, hi));
            if (a0 < lo - eps_) down = std::max(down, std::min(a1, lo));
        };
        const double far = 1e300;
        if (vertical) index_.for_each_near(c, -far, c, far, visit);
        else index_.for_each_near(-far, c, far, c, visit);
        out[k] = {down, up};
    }
    return out;
}

bool RailLattice::present(int i, int j) const {
    const double tx = 1e-9 * (1.0 + std::fabs(xs_[i])), ty = 1e-9 * (1.0 + std::fabs(ys_[j]));
    return ys_[j] >= vreach_[i].lo - ty && ys_[j] <= vreach_[i].hi + ty && xs_[i] >= hreach_[j].lo - tx &&
           xs_[i] <= hreach_[j].hi + tx;
}

const RailLattice::Line& RailLattice::nodes_of(bool horizontal, int k) {
    Line& line = horizontal ? hline_[k] : vline_[k];
    if (line.ready) return line;
    line.ready = true;
    const std::vector<double>& along = horizontal ? xs_ : ys_;
    std::vector<double>& pen = scratch_;
    pen.assign(along.size() > 0 ? along.size() - 1 : 0, 0.0);
    fill_line(horizontal, k, pen);
    double acc = 0.0;
    for (size_t a = 0; a < along.size(); ++a) {
        if (a > 0) acc += pen[a - 1];
        const bool here = horizontal ? present(static_cast<int>(a), k) : present(k, static_cast<int>(a));
        if (!here) continue;
        line.at.push_back(static_cast<int>(a));
        line.prefix.push_back(acc);
    }
    return line;
}

// Penalty of every atomic edge (between neighbouring crossing lines) of a line.
void RailLattice::fill_line(bool horizontal, int k, std::vector<double>& pen) const {
    const std::vector<double>& along = horizontal ? xs_ : ys_;
    const double c = horizontal ? ys_[k] : xs_[k];
    if (along.size() < 2 || zones_.empty()) return;
    const double lo = along.front(), hi = along.back();
    // Edges of this line running along a zone side, from below (left) and
    // from above (right): an edge with a zone on both sides lies on a
    // seam between abutting zones, inside their union.
    std::vector<std::pair<size_t, double>> side_low, side_high;
    auto edges_over = [&](double a0, double a1, auto&& fn) {
        size_t e0 = static_cast<size_t>(std::upper_bound(along.begin(), along.end(), a0) - along.begin());
        e0 = e0 > 0 ? e0 - 1 : 0;
        size_t e1 = static_cast<size_t>(std::lower_bound(along.begin(), along.end(), a1) - along.begin());
        e1 = std::min(e1 + 1, along.size() - 1);
        for (size_t e = e0; e < e1; ++e) {
            double len = 0.0;
            if (open_overlap(along[e], along[e + 1], a0, a1, eps_, &len)) fn(e, len);
        }
    };
    auto visit = [&](size_t zi) {
        const Zone& z = zones_[zi];
        const double p0 = horizontal ? z.box.y0 : z.box.x0, p1 = horizontal ? z.box.y1 : z.box.x1;
        const double a0 = horizontal ? z.box.x0 : z.box.y0, a1 = horizontal ? z.box.x1 : z.box.y1;
        if (open_overlap(c, c, p0, p1, eps_)) {
            edges_over(a0, a1, [&](size_t e, double len) { pen[e] += z.fixed + z.per_unit * len; });
        } else if (p1 - p0 > eps_ && (std::fabs(p1 - c) <= eps_ || std::fabs(p0 - c) <= eps_)) {
            auto& sides = std::fabs(p1 - c) <= eps_ ? side_low : side_high;
            edges_over(a0, a1, [&](size_t e, double) { sides.emplace_back(e, z.fixed); });
        }
    };
    if (horizontal) index_.for_each_near(lo, c, hi, c, visit);
    else index_.for_each_near(c, lo, c, hi, visit);
    if (side_low.empty() || side_high.empty()) return;
    std::sort(side_low.begin(), side_low.end());
    for (const auto& [e, fixed] : side_high) {
        auto it = std::lower_bound(side_low.begin(), side_low.end(), std::make_pair(e, -1.0));
        if (it == side_low.end() || it->first != e) continue;
        const double w = std::min(fixed, it->second);
        pen[e] += w + w * 1e-3 * (along[e + 1] - along[e]);
    }
}

}  // namespace kelvane::rail
