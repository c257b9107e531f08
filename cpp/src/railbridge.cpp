#include "kelvane/railbridge.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "kelvane/obstacles.hpp"
#include "kelvane/tracks.hpp"

namespace kelvane {

namespace {

// Zone weights: entering a zone costs `fixed` per lattice edge plus
// `per_unit` per unit of length inside.  Obstacles and keep-outs outweigh
// spacing bands; all of them outweigh any detour in a sane layout.
constexpr double kHardFixed = 1e9, kHardPerUnit = 1e6;
constexpr double kSpacingFixed = 1e7, kSpacingPerUnit = 1e4;

struct Zone {
    Box box;
    double fixed, per_unit;
};

// ---------------------------------------------------------------------------
// Implicit lattice over track lines with lazily computed edge penalties.
//
// Lines are sparse: a zone side's line is needed only along that side and on
// until it runs into another zone (the classic track graph, which keeps the
// shortest rectilinear routes); port, jog, cage and bridge lines run through
// everything.  Node (i, j) exists where vertical line i and horizontal line j
// both reach; stepping along a line goes from one existing node to the next.
class RailLattice {
public:
    RailLattice(const TrackLines& tl, std::vector<Zone> zones, double eps)
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
    int nx() const { return static_cast<int>(xs_.size()); }
    int ny() const { return static_cast<int>(ys_.size()); }
    double x(int i) const { return xs_[i]; }
    double y(int j) const { return ys_[j]; }
    const std::vector<double>& xs() const { return xs_; }
    const std::vector<double>& ys() const { return ys_; }

    // From node (i, j) to the next node along its line heading d; false at
    // the end of the line.  `len` is the step's length, `pen` its penalty.
    bool step(int& i, int& j, int d, double* len, double* pen) {
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

    bool present(int i, int j) const {
        const double tx = 1e-9 * (1.0 + std::fabs(xs_[i])), ty = 1e-9 * (1.0 + std::fabs(ys_[j]));
        return ys_[j] >= vreach_[i].lo - ty && ys_[j] <= vreach_[i].hi + ty && xs_[i] >= hreach_[j].lo - tx &&
               xs_[i] <= hreach_[j].hi + tx;
    }

    const Line& nodes_of(bool horizontal, int k) {
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
    void fill_line(bool horizontal, int k, std::vector<double>& pen) const {
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

    std::vector<double> xs_, ys_;
    std::vector<Zone> zones_;
    double eps_;
    ObstacleIndex index_;
    std::vector<Reach> vreach_, hreach_;  // extent of each vertical / horizontal line
    std::vector<Line> hline_, vline_;
    std::vector<double> scratch_;
};

struct Label {
    double g;
    std::uint64_t state;
    std::int64_t parent;  // label index, -1 = the start point
};

// ---------------------------------------------------------------------------
// Map from 64-bit state ids to label slots: a dense table while the lattice is
// small enough, an open-addressing hash map beyond.  The dense table is never
// cleared: an entry counts only when the label it names carries that state,
// so stale entries of earlier searches are harmless.
class StateMap {
public:
    void reset(std::uint64_t num_states) {
        dense_ = num_states <= kDenseLimit;
        if (dense_) {
            if (slot_.size() < num_states) slot_.assign(num_states, ~0u);
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

struct HeapEntry {
    double f, g;
    std::uint32_t label;
};

// Min-heap on f; among equal f the larger g (closer to the goal) first.
struct HeapLess {
    bool operator()(const HeapEntry& a, const HeapEntry& b) const {
        if (a.f != b.f) return a.f > b.f;
        if (a.g != b.g) return a.g < b.g;
        return a.label > b.label;
    }
};

// Buffers reused by every search on this thread.
struct SearchBuffers {
    StateMap map;
    std::vector<Label> labels;
    std::vector<HeapEntry> heap;
};
thread_local SearchBuffers t_buffers;

struct RunRules {
    double port_run, inner_run, end_run;
};

// Fewest bends to reach `target` heading `target_dir` from a node at offset
// (vx, vy) = target - node, currently heading d, with free turns allowed here.
int min_turns(int d, double vx, double vy, int target_dir, double tol) {
    const double dx = dir_dx(d), dy = dir_dy(d);
    const double along = vx * dx + vy * dy;
    const double perp = -vx * dy + vy * dx;
    const bool at = std::fabs(vx) <= tol && std::fabs(vy) <= tol;
    if (d == target_dir) {
        if (at) return 0;
        if (std::fabs(perp) <= tol && along > tol) return 0;
        if (along > tol) return 2;
        return 4;
    }
    if (d == opposite(target_dir)) return std::fabs(perp) > tol ? 2 : 4;
    const double ahead_after = vx * dir_dx(target_dir) + vy * dir_dy(target_dir);
    return (along >= -tol && ahead_after > tol) ? 1 : 3;
}

class RailSearch {
public:
    RailSearch(RailLattice& lat, const RouteRequest& req, int si, int sj, int ei, int ej, double turn_cost,
               double scale)
        : L_(lat), req_(req), si_(si), sj_(sj), ei_(ei), ej_(ej), T_(turn_cost), scale_(scale),
          tol_(1e-9 * (1.0 + scale)) {}

    // Runs one A* search of at most `budget` expansions; returns false when
    // no route reaches the end.
    bool run(const RunRules& rules, size_t budget, Path* out, size_t* expanded) {
        rules_ = rules;
        SearchBuffers& B = t_buffers;
        B.map.reset(static_cast<std::uint64_t>(L_.nx()) * L_.ny() * 4);
        B.labels.clear();
        B.heap.clear();
        best_cost_ = std::numeric_limits<double>::infinity();
        best_parent_ = -2;
        size_t pops = 0;
        // Leaving the start along its tangent; a route with no bend at all
        // needs no minimum run.
        jump(si_, sj_, req_.start_dir, rules_.port_run, 0.0, -1, /*end_run=*/0.0);
        while (!B.heap.empty()) {
            std::pop_heap(B.heap.begin(), B.heap.end(), HeapLess());
            const HeapEntry top = B.heap.back();
            B.heap.pop_back();
            if (top.f >= best_cost_) break;
            const Label lab = B.labels[top.label];
            if (top.g > lab.g) continue;  // stale entry
            if (++pops > budget) break;
            expand(top.label, lab);
        }
        *expanded = pops;
        if (best_parent_ == -2) return false;
        // Corner points: start, every label node along the parent chain, end.
        std::vector<Point> rev{end_point()};
        for (std::int64_t l = best_parent_; l >= 0; l = B.labels[l].parent) {
            const std::uint64_t node = B.labels[l].state >> 2;
            const int i = static_cast<int>(node % L_.nx()), j = static_cast<int>(node / L_.nx());
            rev.push_back({L_.x(i), L_.y(j)});
        }
        rev.push_back(start_point());
        std::reverse(rev.begin(), rev.end());
        *out = simplify_path(rev, 0.0);
        return true;
    }

private:
    Point start_point() const { return {L_.x(si_), L_.y(sj_)}; }
    Point end_point() const { return {L_.x(ei_), L_.y(ej_)}; }

    std::uint64_t state_id(int i, int j, int d) const {
        return ((static_cast<std::uint64_t>(j) * L_.nx() + static_cast<std::uint64_t>(i)) << 2) | static_cast<unsigned>(d);
    }

    bool step(int& i, int& j, int d, double* len, double* pen) { return L_.step(i, j, d, len, pen); }

    double heuristic(int i, int j, int d) const {
        const double vx = L_.x(ei_) - L_.x(i), vy = L_.y(ej_) - L_.y(j);
        return std::fabs(vx) + std::fabs(vy) + T_ * min_turns(d, vx, vy, req_.end_dir, tol_);
    }

    void relax(int i, int j, int d, double g, std::int64_t parent) {
        SearchBuffers& B = t_buffers;
        bool inserted = false;
        const std::uint32_t fresh = static_cast<std::uint32_t>(B.labels.size());
        const std::uint32_t slot = B.map.find_or_insert(state_id(i, j, d), fresh, B.labels, &inserted);
        if (inserted) {
            B.labels.push_back({g, state_id(i, j, d), parent});
        } else {
            if (g >= B.labels[slot].g) return;
            B.labels[slot].g = g;
            B.labels[slot].parent = parent;
        }
        const double f = g + heuristic(i, j, d);
        if (f >= best_cost_) return;
        B.heap.push_back({f, g, slot});
        std::push_heap(B.heap.begin(), B.heap.end(), HeapLess());
    }

    void finish(double cost, std::int64_t parent) {
        if (cost < best_cost_) {
            best_cost_ = cost;
            best_parent_ = parent;
        }
    }

    // Turn (or start) at (i, j) into heading d and run straight for at least
    // `min_run`; the state where that run first reaches `min_run` is relaxed.
    // Reaching the end on the way, heading along the end tangent after at
    // least `end_run`, finishes the route.
    void jump(int i, int j, int d, double min_run, double g0, std::int64_t parent, double end_run) {
        double acc = 0.0, pen = 0.0, len = 0.0, p = 0.0;
        int ci = i, cj = j;
        while (step(ci, cj, d, &len, &p)) {
            acc += len;
            pen += p;
            if (ci == ei_ && cj == ej_ && d == req_.end_dir && acc >= end_run - tol_) finish(g0 + acc + pen, parent);
            if (acc >= min_run - tol_ && acc > tol_) {
                relax(ci, cj, d, g0 + acc + pen, parent);
                return;
            }
        }
    }

    void expand(std::uint32_t li, const Label& lab) {
        const std::uint64_t node = lab.state >> 2;
        const int d = static_cast<int>(lab.state & 3);
        const int i = static_cast<int>(node % L_.nx()), j = static_cast<int>(node / L_.nx());
        // Straight on.
        int ni = i, nj = j;
        double len = 0.0, pen = 0.0;
        if (step(ni, nj, d, &len, &pen)) {
            const double g = lab.g + len + pen;
            if (ni == ei_ && nj == ej_ && d == req_.end_dir) finish(g, li);
            relax(ni, nj, d, g, lab.parent);
        }
        // Bend left or right here.
        const double bend = T_ + turn_bias_cost(req_.turn_bias, {L_.x(i), L_.y(j)}, start_point(), end_point(), scale_);
        for (int nd : {turn_left(d), turn_right(d)})
            jump(i, j, nd, rules_.inner_run, lab.g + bend, li, rules_.end_run);
    }

    RailLattice& L_;
    const RouteRequest& req_;
    int si_, sj_, ei_, ej_;
    double T_, scale_, tol_;
    RunRules rules_{};
    double best_cost_ = 0.0;
    std::int64_t best_parent_ = -2;
};

int index_of(const std::vector<double>& v, double x) {
    auto it = std::lower_bound(v.begin(), v.end(), x);
    if (it == v.end() || *it != x) throw std::logic_error("end point is not on a track line");
    return static_cast<int>(it - v.begin());
}

// Length of `path` inside the open interiors of `boxes` or along seams
// between abutting boxes.
double overlap_length(const Path& path, const std::vector<Box>& boxes, double eps) {
    double total = 0.0;
    std::vector<const Box*> sides;
    for (size_t k = 1; k < path.size(); ++k) {
        sides.clear();
        for (const Box& b : boxes) {
            double len = 0.0;
            if (segment_blocked_by(path[k - 1], path[k], b, eps, &len)) total += std::max(len, eps);
            else if (segment_touches(path[k - 1], path[k], b, eps)) sides.push_back(&b);
        }
        if (sides.size() >= 2) total += seam_length(path[k - 1], path[k], sides, eps);
    }
    return total;
}

bool runs_ok(const Path& p, double port_radius, double r, double tol) {
    if (p.size() <= 2) return true;
    for (size_t k = 1; k < p.size(); ++k) {
        const double len = manhattan(p[k - 1], p[k]);
        const bool port = k == 1 || k + 1 == p.size();
        if (len < (port ? port_radius : 2.0 * r) - tol) return false;
    }
    return true;
}

// Spacing band around each segment of an earlier route: half-width
// `spacing`, reaching `spacing` past inner corners but not past its ends.
// Next to the earlier route's ports the band narrows to 80 % of the distance
// between that port segment and this route's own port, over the stretch a
// route needs to leave its port and jog out to full spacing (2r + spacing),
// so neighbouring ports of a bundle closer than the spacing can still be
// left cleanly.
void add_band(Point a, Point b, double hw, double ext_a, double ext_b, std::vector<Box>* out) {
    if (std::fabs(a.y - b.y) <= std::fabs(a.x - b.x)) {
        const double lo = a.x <= b.x ? a.x - ext_a : b.x - ext_b, hi = a.x <= b.x ? b.x + ext_b : a.x + ext_a;
        out->push_back({lo, a.y - hw, hi, a.y + hw});
    } else {
        const double lo = a.y <= b.y ? a.y - ext_a : b.y - ext_b, hi = a.y <= b.y ? b.y + ext_b : a.y + ext_a;
        out->push_back({a.x - hw, lo, a.x + hw, hi});
    }
}

void add_spacing_bands(const Path& pivot, double spacing, double bend_radius, Point own_start, Point own_end,
                       std::vector<Box>* out) {
    const Path p = simplify_path(pivot);
    if (p.size() < 2 || spacing <= 0) return;
    const size_t n = p.size() - 1;
    const double stretch = 2.0 * bend_radius + spacing;
    for (size_t k = 0; k < n; ++k) {
        Point a = p[k], b = p[k + 1];
        const bool horizontal = std::fabs(a.y - b.y) <= std::fabs(a.x - b.x);
        const double seg_len = manhattan(a, b);
        auto narrow_hw = [&](Point own) {
            const double dist = horizontal ? std::fabs(own.y - a.y) : std::fabs(own.x - a.x);
            return dist > 1e-9 ? std::min(spacing, 0.8 * dist) : spacing;
        };
        double ext_a = k > 0 ? spacing : 0.0, ext_b = k + 1 < n ? spacing : 0.0;
        // Narrowed stretches at a port end of the earlier route.
        if (k == 0) {
            const double hw = narrow_hw(own_start);
            if (hw < spacing) {
                const double t = std::min(1.0, stretch / seg_len);
                const Point m{a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t};
                add_band(a, m, hw, 0.0, 0.0, out);
                a = m;
                ext_a = 0.0;
                if (t >= 1.0) continue;
            }
        }
        if (k + 1 == n) {
            const double hw = narrow_hw(own_end);
            if (hw < spacing) {
                const double t = std::min(1.0, stretch / manhattan(a, b));
                const Point m{b.x + (a.x - b.x) * t, b.y + (a.y - b.y) * t};
                add_band(m, b, hw, 0.0, 0.0, out);
                b = m;
                ext_b = 0.0;
                if (t >= 1.0) continue;
            }
        }
        add_band(a, b, spacing, ext_a, ext_b, out);
    }
}

}  // namespace

namespace {

struct Measured {
    RouteResult result;
    double violation = std::numeric_limits<double>::infinity();
    double cost = 0.0;  // length + turn cost per bend
};

// All zones of a request and the box lists used to report what a route entered.
struct ZoneSet {
    std::vector<Zone> zones;
    std::vector<Box> grown, real, bands;
    const std::vector<Box>* keep_outs = nullptr;

    RouteInfo measure(const Path& path, double eps, double* violation) const {
        RouteInfo info;
        info.obstacle_overlap = overlap_length(path, real, eps);
        info.clearance_overlap = std::max(0.0, overlap_length(path, grown, eps) - info.obstacle_overlap);
        info.keep_out_overlap = overlap_length(path, *keep_outs, eps);
        info.spacing_overlap = overlap_length(path, bands, eps);
        *violation = violation_score(info);
        return info;
    }
};

// Searches the lattice made from `zones` (a subset of all zones), relaxing the
// run rules level by level while the route is not clean; every candidate is
// measured against all zones.
Measured solve(const RouteRequest& req, const ZoneSet& all, std::vector<Zone> zones, double eps, size_t* budget) {
    const double r = req.bend_radius, rp = req.port_radius >= 0 ? req.port_radius : r;
    std::vector<Box> zone_boxes;
    zone_boxes.reserve(zones.size());
    for (const Zone& z : zones) zone_boxes.push_back(z.box);
    TrackInputs ti(req.start, req.end, req.start_dir, req.end_dir, r, &zone_boxes, req.sliding_bias, req.grid);
    ti.port_radius = rp;
    TrackLines tl = make_track_lines(ti);

    RailLattice lat(tl, std::move(zones), eps);
    const int si = index_of(lat.xs(), req.start.x), sj = index_of(lat.ys(), req.start.y);
    const int ei = index_of(lat.xs(), req.end.x), ej = index_of(lat.ys(), req.end.y);
    const double scale = (lat.xs().back() - lat.xs().front()) + (lat.ys().back() - lat.ys().front());
    // Bends cost one bend radius; the tiny extra keeps "fewest bends" as the
    // tie-break when the radius is zero.
    const double turn_cost = (req.turn_cost >= 0 ? req.turn_cost : r) + 1e-7 * scale;
    RailSearch search(lat, req, si, sj, ei, ej, turn_cost, scale);

    const RunRules levels[3] = {{rp, 2.0 * r, rp}, {rp, r, rp}, {0.0, 0.0, 0.0}};
    Measured best;
    size_t total_expanded = 0;
    for (int level = 0; level < 3; ++level) {
        if (level > 0 && r <= 0 && rp <= 0) break;
        Path path;
        size_t expanded = 0;
        const bool found = search.run(levels[level], *budget, &path, &expanded);
        total_expanded += expanded;
        *budget -= std::min(*budget, expanded);
        if (!found) continue;
        double violation = 0.0;
        RouteInfo info = all.measure(path, eps, &violation);
        info.relax_level = level;
        if (violation < best.violation) {
            best.violation = violation;
            best.result.skeleton = std::move(path);
            best.result.info = info;
        }
        if (violation == 0.0 || *budget == 0) break;
    }
    RouteInfo& info = best.result.info;
    info.lattice_x = lat.xs().size();
    info.lattice_y = lat.ys().size();
    info.states_expanded = total_expanded;
    if (std::isfinite(best.violation)) {
        info.length = path_length(best.result.skeleton);
        info.bends = static_cast<int>(best.result.skeleton.size()) - 2;
        info.bends_ok = runs_ok(best.result.skeleton, rp, r, 1e-9 * (1.0 + scale));
        info.clean = best.violation == 0.0 && info.bends_ok;
        best.cost = info.length + turn_cost * info.bends;
    }
    return best;
}

}  // namespace

double violation_score(const RouteInfo& info) {
    return kHardPerUnit * (info.obstacle_overlap + info.clearance_overlap + info.keep_out_overlap) +
           kSpacingPerUnit * info.spacing_overlap;
}

RouteResult route_rail_bridge(const RouteRequest& req) {
    if (req.start == req.end) throw std::invalid_argument("start and end are the same point");
    const double r = req.bend_radius;
    const double eps = contact_tolerance(req.grid);

    ZoneSet all;
    all.keep_outs = &req.keep_outs;
    for (const Box& b : req.obstacles) {
        Box g = b.inflated(req.obstacle_margin);
        // An obstacle holding one of our own ports in its margin keeps only its interior.
        if (g.contains_closed(req.start, eps) || g.contains_closed(req.end, eps)) g = b;
        all.grown.push_back(g);
        all.real.push_back(b);
        all.zones.push_back({g, kHardFixed, kHardPerUnit});
    }
    for (const Box& b : req.exact_obstacles) {
        all.real.push_back(b);
        all.grown.push_back(b);
        all.zones.push_back({b, kHardFixed, kHardPerUnit});
    }
    for (const Box& b : req.keep_outs) all.zones.push_back({b, kHardFixed, kHardPerUnit});
    for (const Path& pv : req.pivots) add_spacing_bands(pv, req.route_spacing, r, req.start, req.end, &all.bands);
    for (const Box& b : all.bands) all.zones.push_back({b, kSpacingFixed, kSpacingPerUnit});

    // Search a window around the end points first: only zones meeting it give
    // track lines, which keeps the lattice small.  A clean route found there
    // is optimal overall when no route leaving the window can be cheaper:
    // leaving the end points' box by m costs at least 2m extra length.
    double zx0 = std::min(req.start.x, req.end.x), zx1 = std::max(req.start.x, req.end.x);
    double zy0 = std::min(req.start.y, req.end.y), zy1 = std::max(req.start.y, req.end.y);
    const double bx0 = zx0, bx1 = zx1, by0 = zy0, by1 = zy1;
    for (const Zone& z : all.zones) {
        zx0 = std::min(zx0, z.box.x0); zx1 = std::max(zx1, z.box.x1);
        zy0 = std::min(zy0, z.box.y0); zy1 = std::max(zy1, z.box.y1);
    }
    const double direct = manhattan(req.start, req.end);
    double m = std::max({4.0 * r + 2.0 * req.route_spacing, 0.2 * direct, 1e-6});
    size_t expanded = 0, budget = req.max_states;
    Measured best;
    auto better = [](const Measured& a, const Measured& b) {
        return a.violation < b.violation || (a.violation == b.violation && a.cost < b.cost);
    };
    while (true) {
        const bool whole = bx0 - m <= zx0 && bx1 + m >= zx1 && by0 - m <= zy0 && by1 + m >= zy1;
        std::vector<Zone> subset;
        if (whole) {
            subset = all.zones;
        } else {
            for (const Zone& z : all.zones)
                if (z.box.x1 >= bx0 - m && z.box.x0 <= bx1 + m && z.box.y1 >= by0 - m && z.box.y0 <= by1 + m)
                    subset.push_back(z);
        }
        Measured got = solve(req, all, std::move(subset), eps, &budget);
        expanded += got.result.info.states_expanded;
        const bool certified = got.result.info.clean && got.cost <= direct + 2.0 * m;
        if (std::isfinite(got.violation) && (!std::isfinite(best.violation) || certified || better(got, best)))
            best = std::move(got);
        if (whole || certified || budget == 0) {
            if (!std::isfinite(best.violation))
                throw std::invalid_argument(budget == 0 ? "route search budget exhausted before any route was found"
                                                        : "no route exists on the track lattice");
            best.result.info.states_expanded = expanded;
            best.result.info.budget_exhausted = budget == 0 && !certified;
            return best.result;
        }
        m *= 2.5;
    }
}

}  // namespace kelvane
