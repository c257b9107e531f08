#include "railbridge/track_lattice.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace kelvane::rail {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

using Interval = std::pair<double, double>;

// Intervals covered by both unions, ascending.
std::vector<Interval> common(std::vector<Interval> a, std::vector<Interval> b) {
    auto merge = [](std::vector<Interval>& v) {
        std::sort(v.begin(), v.end());
        std::vector<Interval> out;
        for (const Interval& iv : v) {
            if (!out.empty() && iv.first <= out.back().second) out.back().second = std::max(out.back().second, iv.second);
            else out.push_back(iv);
        }
        v.swap(out);
    };
    merge(a);
    merge(b);
    std::vector<Interval> out;
    for (size_t i = 0, j = 0; i < a.size() && j < b.size();) {
        const double lo = std::max(a[i].first, b[j].first), hi = std::min(a[i].second, b[j].second);
        if (lo < hi) out.push_back({lo, hi});
        (a[i].second < b[j].second ? i : j)++;
    }
    return out;
}

}  // namespace

RailLattice::RailLattice(const TrackLines& tl, const ZoneSet& zones, double keep_away, double hug,
                         double sliding_bias, const std::vector<Box>* within)
    : xs_(tl.xs), ys_(tl.ys), zones_(zones), eps_(zones.eps()), keep_away_(keep_away), hug_(hug),
      sliding_bias_(sliding_bias) {
    for (const Follow& f : zones.request().follow) {
        const Path path = simplify_path(f.path);
        if (path.size() < 2 || !(f.reach > 0) || !(f.weight > 0)) continue;
        FollowRuns runs{{}, {}, f.reach, f.weight};
        for (size_t k = 1; k < path.size(); ++k) {
            const Point a = path[k - 1], b = path[k];
            if (std::fabs(a.y - b.y) <= eps_) runs.h.push_back({a.y, std::min(a.x, b.x), std::max(a.x, b.x)});
            else runs.v.push_back({a.x, std::min(a.y, b.y), std::max(a.y, b.y)});
        }
        std::sort(runs.h.begin(), runs.h.end());
        std::sort(runs.v.begin(), runs.v.end());
        follows_.push_back(std::move(runs));
    }
    // The stretch of the line at c (vertical or not) from the first box of
    // `within` it crosses to the last (all of it without `within`).
    auto hull = [&](double c, bool vertical) {
        if (!within) return kEverywhere;
        Reach h{kInf, -kInf};
        for (const Box& b : *within) {
            const double p0 = vertical ? b.x0 : b.y0, p1 = vertical ? b.x1 : b.y1;
            if (c < p0 - eps_ || c > p1 + eps_) continue;
            h.lo = std::min(h.lo, (vertical ? b.y0 : b.x0) - eps_);
            h.hi = std::max(h.hi, (vertical ? b.y1 : b.x1) + eps_);
        }
        return h;
    };
    auto reach_of = [&](double c, bool fixed, std::pair<double, double> span, bool vertical) {
        const Reach h = hull(c, vertical);
        if (!(h.lo <= h.hi)) return h;  // no box crosses the line: no nodes
        Reach r = fixed ? Reach{span.first, span.second} : extend(c, span.first, span.second, vertical, h);
        return Reach{std::max(r.lo, h.lo), std::min(r.hi, h.hi)};
    };
    vreach_.resize(xs_.size());
    hreach_.resize(ys_.size());
    for (size_t k = 0; k < xs_.size(); ++k) vreach_[k] = reach_of(xs_[k], tl.x_fixed[k], tl.x_span[k], true);
    for (size_t k = 0; k < ys_.size(); ++k) hreach_[k] = reach_of(ys_[k], tl.y_fixed[k], tl.y_span[k], false);
    hline_.resize(ys_.size());
    vline_.resize(xs_.size());
}

bool RailLattice::Walk::leap(double min_run, double tol, double* len, double* pen) {
    if (!valid_) return false;
    const auto& at = line_->at;
    const std::vector<double>& along = *along_;
    const double from = along[at[k_]];
    auto far_enough = [&](size_t k) {
        const double run = std::fabs(along[at[k]] - from);
        return run >= min_run && run > tol;
    };
    size_t nk;
    if (forward_) {
        // First node ahead that is far enough: gallop to a node that is,
        // then bisect the last stretch.
        const size_t n = at.size();
        size_t lo = k_ + 1, probe = lo, step = 1;
        while (probe < n && !far_enough(probe)) {
            lo = probe + 1;
            probe += step;
            step *= 2;
        }
        size_t hi = std::min(probe, n);
        while (lo < hi) {
            const size_t mid = lo + (hi - lo) / 2;
            if (far_enough(mid)) hi = mid;
            else lo = mid + 1;
        }
        if (lo == n) return false;
        nk = lo;
    } else {
        // Last node behind that is far enough (nodes are in ascending order).
        if (k_ == 0) return false;
        size_t hi = k_, step = 1;  // nodes from hi on are too close
        std::ptrdiff_t probe = static_cast<std::ptrdiff_t>(k_) - 1;
        while (probe >= 0 && !far_enough(static_cast<size_t>(probe))) {
            hi = static_cast<size_t>(probe);
            probe -= static_cast<std::ptrdiff_t>(step);
            step *= 2;
        }
        size_t lo = probe < 0 ? 0 : static_cast<size_t>(probe);  // candidates [lo, hi)
        while (lo < hi) {
            const size_t mid = lo + (hi - lo) / 2;
            if (far_enough(mid)) lo = mid + 1;
            else hi = mid;
        }
        if (lo == 0) return false;
        nk = lo - 1;
    }
    *len = std::fabs(along[at[nk]] - from);
    *pen = std::fabs(line_->prefix[nk] - line_->prefix[k_]);
    k_ = nk;
    (horizontal_ ? i : j) = at[nk];
    return true;
}

bool RailLattice::Walk::ahead(int target, double* len, double* pen) const {
    if (!valid_) return false;
    const auto& at = line_->at;
    const int found = line_->find(target);
    if (found < 0) return false;
    const size_t tk = static_cast<size_t>(found);
    if (forward_ ? tk <= k_ : tk >= k_) return false;
    *len = std::fabs((*along_)[target] - (*along_)[at[k_]]);
    *pen = std::fabs(line_->prefix[tk] - line_->prefix[k_]);
    return true;
}

RailLattice::Reach RailLattice::extend(double c, double lo, double hi, bool vertical, Reach limit) const {
    if (std::isinf(lo) || std::isinf(hi)) return kEverywhere;
    const auto& zs = zones_.zones();
    // A zone stops the line where it starts beyond the stretch (a zone the
    // stretch already overlaps stops it at the stretch's end), except a
    // pivot's stretch the line may cross at right angles: routes cross it
    // on such lines.
    auto stop_at = [&](double from, double sign) {
        return zones_.index().cast(vertical, c, from, sign, [&](size_t zi) {
            if (zs[zi].crossed_by(!vertical)) return std::numeric_limits<double>::quiet_NaN();
            const Box& box = zs[zi].box;
            const double p0 = vertical ? box.x0 : box.y0, p1 = vertical ? box.x1 : box.y1;
            const double a0 = vertical ? box.y0 : box.x0, a1 = vertical ? box.y1 : box.x1;
            if (!open_overlap(c, c, p0, p1, eps_)) return std::numeric_limits<double>::quiet_NaN();
            if (sign > 0) return a1 > from + eps_ ? std::max(a0, from) : std::numeric_limits<double>::quiet_NaN();
            return a0 < from - eps_ ? std::min(a1, from) : std::numeric_limits<double>::quiet_NaN();
        }, sign > 0 ? limit.hi : limit.lo);
    };
    return {stop_at(lo, -1.0), stop_at(hi, 1.0)};
}

const RailLattice::Line& RailLattice::build_line(bool horizontal, int k) {
    Line& line = horizontal ? hline_[k] : vline_[k];
    line.ready = true;
    const std::vector<double>& along = horizontal ? xs_ : ys_;
    const std::vector<Reach>& cross = horizontal ? vreach_ : hreach_;
    const Reach own = horizontal ? hreach_[k] : vreach_[k];
    const double c = horizontal ? ys_[k] : xs_[k];
    const double tc = 1e-9 * (1.0 + std::fabs(c));
    // Crossing lines within this line's reach that reach this line.
    const size_t a0 = static_cast<size_t>(
        std::lower_bound(along.begin(), along.end(), own.lo - 1e-9 * (1.0 + std::fabs(own.lo))) - along.begin());
    const size_t a1 = std::max(a0, static_cast<size_t>(std::upper_bound(along.begin(), along.end(),
                                                                         own.hi + 1e-9 * (1.0 + std::fabs(own.hi))) -
                                                        along.begin()));
    work_ += a1 - a0;
    std::vector<double> coords;
    coords.reserve(std::min<size_t>(a1 - a0, 256));
    line.at.reserve(coords.capacity());
    for (size_t a = a0; a < a1; ++a) {
        if (c < cross[a].lo - tc || c > cross[a].hi + tc) continue;
        line.at.push_back(static_cast<int>(a));
        coords.push_back(along[a]);
    }
    // A direct index from crossing index to position, when it costs at
    // most a few entries per node.
    if (!line.at.empty()) {
        const size_t span = static_cast<size_t>(line.at.back() - line.at.front()) + 1;
        if (span <= 4 * line.at.size() + 16) {
            line.pos.assign(span, -1);
            for (size_t p = 0; p < line.at.size(); ++p) line.pos[static_cast<size_t>(line.at[p] - line.at.front())] = static_cast<int>(p);
        }
    }
    std::vector<double> pen(coords.size() > 1 ? coords.size() - 1 : 0, 0.0);
    if (!pen.empty()) fill_line(horizontal, c, coords, pen);
    line.prefix.assign(coords.size(), 0.0);
    for (size_t e = 0; e < pen.size(); ++e) line.prefix[e + 1] = line.prefix[e] + pen[e];
    return line;
}

void RailLattice::fill_line(bool horizontal, double c, const std::vector<double>& along, std::vector<double>& pen) const {
    const auto& zs = zones_.zones();
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
    // Solid sides lying on this line, from below (left) and from above
    // (right): where both cover it, the line runs along a seam.
    std::vector<Interval> side_low, side_high;
    auto visit = [&](size_t zi) {
        const Zone& z = zs[zi];
        const double p0 = horizontal ? z.box.y0 : z.box.x0, p1 = horizontal ? z.box.y1 : z.box.x1;
        const double a0 = horizontal ? z.box.x0 : z.box.y0, a1 = horizontal ? z.box.x1 : z.box.y1;
        if (z.crossed_by(horizontal)) {
            // Across a crossable stretch, its ends included: the band's
            // width costs crossing_cost, however its edges cut it.
            if (c < p0 - eps_ || c > p1 + eps_) return;
            const double rate = z.crossing_rate(zones_.request().crossing_cost);
            edges_over(a0, a1, [&](size_t e, double len) { pen[e] += rate * len; });
        } else if (open_overlap(c, c, p0, p1, eps_)) {
            const double fixed = z.fixed(), per_unit = z.per_unit();
            edges_over(a0, a1, [&](size_t e, double len) { pen[e] += fixed + per_unit * len; });
        } else if (z.solid() && p1 - p0 > eps_) {
            if (std::fabs(p1 - c) <= eps_) side_low.push_back({a0, a1});
            else if (std::fabs(p0 - c) <= eps_) side_high.push_back({a0, a1});
        }
    };
    const double lo = along.front(), hi = along.back();
    if (horizontal) zones_.index().for_each_near(lo, c, hi, c, visit);
    else zones_.index().for_each_near(c, lo, c, hi, visit);
    if (!side_low.empty() && !side_high.empty())
        for (const auto& [s0, s1] : common(std::move(side_low), std::move(side_high)))
            edges_over(s0, s1, [&](size_t e, double len) { pen[e] += kHardFixed + kHardPerUnit * len; });
    add_keep_away(horizontal, c, along, pen);
    add_follow(horizontal, c, along, pen);
}

// Among routes of equal cost, the one keeping farther from obstacles: in a
// channel (obstacles within `keep_away_` on both sides) the line at
// `sliding_bias` across it, elsewhere at least `hug_` from the nearest one.
// Keep-outs and earlier routes do not count: routes laid one after another
// pack against them.  A tie-break only: at most kKeepAway per unit of length.
void RailLattice::add_keep_away(bool horizontal, double c, const std::vector<double>& along,
                                std::vector<double>& pen) const {
    const double reach = keep_away_;
    if (!(reach > 0)) return;
    const auto& zs = zones_.zones();
    const size_t n = along.size() - 1;
    std::vector<double>& below = scratch_below_;
    std::vector<double>& above = scratch_above_;
    below.assign(n, -kInf);
    above.assign(n, kInf);
    // Obstacles are seen through their clearance: the obstacle inside
    // counts only where the line runs through the clearance.
    auto mark = [&](const Box& b) {
        const double p0 = horizontal ? b.y0 : b.x0, p1 = horizontal ? b.y1 : b.x1;
        const double a0 = horizontal ? b.x0 : b.y0, a1 = horizontal ? b.x1 : b.y1;
        const bool is_below = p1 <= c + eps_, is_above = p0 >= c - eps_;
        if (!is_below && !is_above) return false;  // the line runs through it: its penalty says enough
        size_t e = static_cast<size_t>(std::upper_bound(along.begin(), along.end(), a0) - along.begin());
        e = e > 0 ? e - 1 : 0;
        for (; e < n && along[e] < a1 - eps_; ++e) {
            if (along[e + 1] <= a0 + eps_) continue;
            if (is_below) below[e] = std::max(below[e], p1);
            if (is_above) above[e] = std::min(above[e], p0);
        }
        return true;
    };
    const ZoneSet::Subset& shells = zones_.shells();
    auto visit = [&](size_t k) {
        const size_t zi = shells.zones[k];
        if (mark(zs[zi].box)) return;
        if (const Zone* inner = zones_.inner_obstacle(zi)) mark(inner->box);
    };
    const double lo = along.front(), hi = along.back();
    const ObstacleIndex& index = shells.index;
    if (horizontal) index.for_each_near(lo, c - reach, hi, c + reach, visit);
    else index.for_each_near(c - reach, lo, c + reach, hi, visit);
    for (size_t e = 0; e < n; ++e) {
        const double dl = c - below[e], dh = above[e] - c;
        double w = 0.0;
        if (dl < reach && dh < reach) {
            const double t = dl + dh > 0 ? dl / (dl + dh) - sliding_bias_ : 0.0;
            w = t * t;
        } else if (hug_ > 0 && std::min(dl, dh) < hug_) {
            // A line within the contact tolerance of a side lies a hair inside it.
            const double t = 1.0 - std::max(0.0, std::min(dl, dh)) / hug_;
            w = t * t;
        }
        pen[e] += kKeepAway * w * (along[e + 1] - along[e]);
    }
}

// Runs near the paths to follow cost less: each edge pays, per path, in
// proportion to its distance from that path's nearest parallel run beside
// it (the full rate at the path's reach or beyond, and where no run lies
// beside it).
void RailLattice::add_follow(bool horizontal, double c, const std::vector<double>& along,
                             std::vector<double>& pen) const {
    const size_t n = along.size() - 1;
    std::vector<double>& near = scratch_below_;
    for (const FollowRuns& f : follows_) {
        near.assign(n, f.reach);
        const std::vector<Run>& runs = horizontal ? f.h : f.v;
        for (auto it = std::lower_bound(runs.begin(), runs.end(), Run{c - f.reach, 0, 0});
             it != runs.end() && it->c < c + f.reach; ++it) {
            const double d = std::fabs(it->c - c);
            size_t e = static_cast<size_t>(std::upper_bound(along.begin(), along.end(), it->lo) - along.begin());
            e = e > 0 ? e - 1 : 0;
            for (; e < n && along[e] < it->hi - eps_; ++e)
                if (along[e + 1] > it->lo + eps_) near[e] = std::min(near[e], d);
        }
        for (size_t e = 0; e < n; ++e) pen[e] += f.weight * (near[e] / f.reach) * (along[e + 1] - along[e]);
    }
}

}  // namespace kelvane::rail
