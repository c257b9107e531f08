#include "kelvane/tracks.hpp"

#include <algorithm>
#include <cmath>

namespace kelvane {

namespace {

struct Line {
    double v;
    bool anchor;  // through an end point: exact, never snapped or dropped
};

double tol_for(double v) { return 1e-9 * (1.0 + std::fabs(v)); }

std::vector<double> settle(std::vector<Line> lines, double grid, double min_gap) {
    for (Line& l : lines)
        if (!l.anchor && grid > 0) l.v = snap_to_grid(l.v, grid);
    std::sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) {
        return a.v < b.v || (a.v == b.v && a.anchor && !b.anchor);
    });
    std::vector<Line> merged;
    for (const Line& l : lines) {
        if (!merged.empty() && l.v - merged.back().v <= tol_for(l.v)) {
            if (l.anchor && !merged.back().anchor) merged.back() = l;
            continue;
        }
        merged.push_back(l);
    }
    std::vector<double> out;
    out.reserve(merged.size());
    if (min_gap <= 0) {
        for (const Line& l : merged) out.push_back(l.v);
        return out;
    }
    // Keep every anchor, then any other line at least min_gap from what is kept.
    std::vector<double> anchors;
    for (const Line& l : merged)
        if (l.anchor) anchors.push_back(l.v);
    for (const Line& l : merged) {
        if (l.anchor) { out.push_back(l.v); continue; }
        bool ok = out.empty() || l.v - out.back() >= min_gap - tol_for(l.v);
        auto it = std::lower_bound(anchors.begin(), anchors.end(), l.v);
        if (it != anchors.end() && *it - l.v < min_gap - tol_for(l.v)) ok = false;
        if (ok) out.push_back(l.v);
    }
    return out;
}

void add_bridges(std::vector<double>& rails, std::vector<double>& bridges, double min_gap, double bias, double grid) {
    std::vector<double> extra;
    for (size_t k = 1; k < rails.size(); ++k) {
        const double a = rails[k - 1], b = rails[k];
        if (b - a <= min_gap + tol_for(b)) continue;
        double m = a + bias * (b - a);
        if (grid > 0) m = snap_to_grid(m, grid);
        if (m - a <= tol_for(m) || b - m <= tol_for(m)) continue;
        extra.push_back(m);
    }
    bridges = extra;
    rails.insert(rails.end(), extra.begin(), extra.end());
    std::sort(rails.begin(), rails.end());
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
            xl.push_back({b.x0, false});
            xl.push_back({b.x1, false});
            yl.push_back({b.y0, false});
            yl.push_back({b.y1, false});
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
    out.xs = settle(std::move(xl), in.grid, in.min_line_gap);
    out.ys = settle(std::move(yl), in.grid, in.min_line_gap);
    const double bridge_gap = std::max(2.0 * r, in.min_line_gap * 2.0);
    add_bridges(out.xs, out.x_bridges, bridge_gap, in.sliding_bias, in.grid);
    add_bridges(out.ys, out.y_bridges, bridge_gap, in.sliding_bias, in.grid);
    return out;
}

}  // namespace kelvane
