#include "kelvane/tracks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kelvane {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Line {
    double v;
    bool anchor;         // through an end point: exact, never snapped or dropped
    double lo = -kInf;   // stretch along the line where it is needed (a zone
    double hi = kInf;    // side's own extent; unbounded for every other line)
};

double tol_for(double v) { return 1e-9 * (1.0 + std::fabs(v)); }

std::vector<Line> settle(std::vector<Line> lines, double grid, double min_gap) {
    for (Line& l : lines)
        if (!l.anchor && grid > 0) l.v = snap_to_grid(l.v, grid);
    std::sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) {
        return a.v < b.v || (a.v == b.v && a.anchor && !b.anchor);
    });
    std::vector<Line> merged;
    for (const Line& l : lines) {
        // Near-equal lines merge, except two end-point lines: both must stay exact.
        if (!merged.empty() && l.v - merged.back().v <= tol_for(l.v) && !(l.anchor && merged.back().anchor &&
                                                                          l.v != merged.back().v)) {
            Line& m = merged.back();
            const double lo = std::min(m.lo, l.lo), hi = std::max(m.hi, l.hi);
            if (l.anchor && !m.anchor) m = l;
            m.lo = lo;
            m.hi = hi;
            continue;
        }
        merged.push_back(l);
    }
    if (min_gap <= 0) return merged;
    std::vector<Line> out;
    out.reserve(merged.size());
    // Keep every anchor, then any other line at least min_gap from what is kept.
    std::vector<double> anchors;
    for (const Line& l : merged)
        if (l.anchor) anchors.push_back(l.v);
    for (const Line& l : merged) {
        if (l.anchor) { out.push_back(l); continue; }
        bool ok = out.empty() || l.v - out.back().v >= min_gap - tol_for(l.v);
        auto it = std::lower_bound(anchors.begin(), anchors.end(), l.v);
        if (it != anchors.end() && *it - l.v < min_gap - tol_for(l.v)) ok = false;
        if (ok) out.push_back(l);
    }
    return out;
}

// Adds a bridge (unbounded) in every gap wider than min_gap and returns the
// lines in ascending order.
std::vector<Line> add_bridges(std::vector<Line> rails, std::vector<double>& bridges, double min_gap, double bias,
                              double grid) {
    std::vector<Line> extra;
    for (size_t k = 1; k < rails.size(); ++k) {
        const double a = rails[k - 1].v, b = rails[k].v;
        if (b - a <= min_gap + tol_for(b)) continue;
        double m = a + bias * (b - a);
        if (grid > 0) m = snap_to_grid(m, grid);
        if (m - a <= tol_for(m) || b - m <= tol_for(m)) continue;
        extra.push_back({m, false});
        bridges.push_back(m);
    }
    rails.insert(rails.end(), extra.begin(), extra.end());
    std::sort(rails.begin(), rails.end(), [](const Line& p, const Line& q) { return p.v < q.v; });
    return rails;
}

void split(const std::vector<Line>& lines, std::vector<double>& at, std::vector<std::pair<double, double>>& span) {
    for (const Line& l : lines) {
        at.push_back(l.v);
        span.emplace_back(l.lo, l.hi);
    }
}

}  // namespace

TrackLines make_track_lines(const TrackInputs& in) {
    const double r = in.bend_radius;
    std::vector<Line> xl{{in.start.x, true}, {in.end.x, true}};
    std::vector<Line> yl{{in.start.y, true}, {in.end.y, true}};
    // The first (last) bend sits at least the port run p in front of its
    // port: lines at p and 2p in front (a run of p, or of 2p before a
    // wiggle), and a 2r jog to either side of the p line.
    const double rp = in.port_radius >= 0 ? in.port_radius : r;
    auto add_port_line = [&](Point p, int dir, double sign) {
        if (rp <= 0 && r <= 0) return;
        std::vector<Line>& lines = is_horizontal(dir) ? xl : yl;
        const double coord = is_horizontal(dir) ? p.x : p.y;
        const double ahead = sign * (is_horizontal(dir) ? dir_dx(dir) : dir_dy(dir));
        for (double off : {rp, 2.0 * rp, rp + 2.0 * r, rp - 2.0 * r}) lines.push_back({coord + ahead * off, false});
    };
    add_port_line(in.start, in.start_dir, +1.0);  // first bend no closer than r
    add_port_line(in.end, in.end_dir, -1.0);      // last bend r before the end
    // The shortest jog off a port line is 2r (room for two bends).
    auto add_jog_lines = [&](Point p, int dir) {
        if (r <= 0) return;
        if (is_horizontal(dir)) {
            yl.push_back({p.y + 2 * r, false});
            yl.push_back({p.y - 2 * r, false});
        } else {
            xl.push_back({p.x + 2 * r, false});
            xl.push_back({p.x - 2 * r, false});
        }
    };
    add_jog_lines(in.start, in.start_dir);
    add_jog_lines(in.end, in.end_dir);

    double x0 = std::min(in.start.x, in.end.x), x1 = std::max(in.start.x, in.end.x);
    double y0 = std::min(in.start.y, in.end.y), y1 = std::max(in.start.y, in.end.y);
    if (in.zones) {
        for (const Box& b : *in.zones) {
            xl.push_back({b.x0, false, b.y0, b.y1});
            xl.push_back({b.x1, false, b.y0, b.y1});
            yl.push_back({b.y0, false, b.x0, b.x1});
            yl.push_back({b.y1, false, b.x0, b.x1});
            x0 = std::min(x0, b.x0); x1 = std::max(x1, b.x1);
            y0 = std::min(y0, b.y0); y1 = std::max(y1, b.y1);
        }
    }
    for (const Line& l : xl) { x0 = std::min(x0, l.v); x1 = std::max(x1, l.v); }
    for (const Line& l : yl) { y0 = std::min(y0, l.v); y1 = std::max(y1, l.v); }
    if (in.cage) {
        const double extent = (x1 - x0) + (y1 - y0);
        const double m = r > 0 ? 2.0 * r : std::max(1.0, 0.05 * extent);
        xl.push_back({x0 - m, false});
        xl.push_back({x1 + m, false});
        yl.push_back({y0 - m, false});
        yl.push_back({y1 + m, false});
    }
    TrackLines out;
    const double bridge_gap = std::max(2.0 * r, in.min_line_gap * 2.0);
    split(add_bridges(settle(std::move(xl), in.grid, in.min_line_gap), out.x_bridges, bridge_gap, in.sliding_bias,
                      in.grid),
          out.xs, out.x_span);
    split(add_bridges(settle(std::move(yl), in.grid, in.min_line_gap), out.y_bridges, bridge_gap, in.sliding_bias,
                      in.grid),
          out.ys, out.y_span);
    return out;
}

}  // namespace kelvane
