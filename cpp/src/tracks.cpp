#include "kelvane/tracks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kelvane {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Which way a line moves when it is put on the grid: away from what it
// keeps its distance from (a zone below it rounds up, a port behind it
// rounds forward), so that every rule a line was placed for still holds.
enum Round : signed char { kDown = -1, kNearest = 0, kUp = 1 };

struct Line {
    double v;
    bool anchor;          // through an end point: exact, never snapped or dropped
    double lo = -kInf;    // stretch along the line where it is needed (a zone
    double hi = kInf;     // side's own extent; unbounded for lines needed everywhere)
    Round round = kNearest;
    bool fixed = false;   // the stretch is final: not grown until a zone stops it
    bool rail = true;     // bounds a gap that gets a bridge (arc lines do not:
                          // a channel's bridge stays where sliding_bias puts it)
};

double tol_for(double v) { return 1e-9 * (1.0 + std::fabs(v)); }

double on_grid(double v, double grid, Round round) {
    const double k = v / grid;
    const double slack = 1e-9 * (1.0 + std::fabs(k));  // a value already on the grid stays there
    if (round == kUp) return std::ceil(k - slack) * grid;
    if (round == kDown) return std::floor(k + slack) * grid;
    return snap_to_grid(v, grid);
}

std::vector<Line> settle(std::vector<Line> lines, double grid, double min_gap) {
    for (Line& l : lines)
        if (!l.anchor && grid > 0) l.v = on_grid(l.v, grid, l.round);
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
            const bool fixed = m.fixed && l.fixed, rail = m.rail || l.rail;
            if (l.anchor && !m.anchor) m = l;
            m.lo = lo;
            m.hi = hi;
            m.fixed = fixed;
            m.rail = rail;
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

// Adds a bridge in every gap wider than min_gap between neighbouring lines
// and returns the lines in ascending order.  A bridge is needed where both
// of its neighbours are: over the common stretch of their spans (nowhere
// when they share none), everywhere when both are unbounded.
std::vector<Line> add_bridges(std::vector<Line> rails, std::vector<double>& bridges, double min_gap, double bias,
                              double grid) {
    std::vector<Line> extra;
    std::vector<size_t> bounds;  // the lines that bound gaps
    for (size_t k = 0; k < rails.size(); ++k)
        if (rails[k].rail) bounds.push_back(k);
    for (size_t k = 1; k < bounds.size(); ++k) {
        const Line &a = rails[bounds[k - 1]], &b = rails[bounds[k]];
        if (b.v - a.v <= min_gap + tol_for(b.v)) continue;
        const double lo = std::max(a.lo, b.lo), hi = std::min(a.hi, b.hi);
        if (!(lo < hi)) continue;
        double m = a.v + bias * (b.v - a.v);
        if (grid > 0) m = snap_to_grid(m, grid);
        if (m - a.v <= tol_for(m) || b.v - m <= tol_for(m)) continue;
        extra.push_back({m, false, lo, hi});
        bridges.push_back(m);
    }
    rails.insert(rails.end(), extra.begin(), extra.end());
    std::sort(rails.begin(), rails.end(), [](const Line& p, const Line& q) { return p.v < q.v; });
    return rails;
}

void split(const std::vector<Line>& lines, std::vector<double>& at, std::vector<std::pair<double, double>>& span,
           std::vector<char>& fixed) {
    for (const Line& l : lines) {
        at.push_back(l.v);
        span.emplace_back(l.lo, l.hi);
        fixed.push_back(l.fixed);
    }
}

Round away(double sign) { return sign > 0 ? kUp : kDown; }

// A bend at C turning round the corner R of a box, outside it, has its arc
// (radius r) keep `m` from the box exactly when, with (v, h) the distances of
// C from R along the two axes (both in [m, r)),
//     (r - v)^2 + (r - h)^2 <= (r - m)^2.
// For every line crossing the corner's outer quadrant at a distance v in
// [m, r), the line across it at the tightest h is added (rounded outward),
// spanning from the box to the crossing.  `along` holds the lines across
// which `cross` lines are made (vertical lines give horizontal ones).
void corner_lines(const ArcBox& a, double r, const std::vector<Line>& along, bool along_vertical,
                  std::vector<Line>& cross) {
    const Box& b = a.box;
    const double m = std::max(0.0, a.margin);
    for (double qa : {-1.0, 1.0}) {        // side of the corner along `along`'s axis
        const double ra = along_vertical ? (qa > 0 ? b.x1 : b.x0) : (qa > 0 ? b.y1 : b.y0);
        const double lo = qa > 0 ? ra + m : ra - r, hi = qa > 0 ? ra + r : ra - m;
        auto first = std::lower_bound(along.begin(), along.end(), lo, [](const Line& l, double v) { return l.v < v; });
        for (auto it = first; it != along.end() && it->v <= hi; ++it) {
            const double v = qa * (it->v - ra);
            if (v < m || v >= r) continue;
            const double h = r - std::sqrt(std::max(0.0, (r - m) * (r - m) - (r - v) * (r - v)));
            for (double qc : {-1.0, 1.0}) {  // side of the corner across
                const double rc = along_vertical ? (qc > 0 ? b.y1 : b.y0) : (qc > 0 ? b.x1 : b.x0);
                const double far = along_vertical ? (qa > 0 ? b.x0 : b.x1) : (qa > 0 ? b.y0 : b.y1);
                cross.push_back({rc + qc * h, false, std::min(far, it->v), std::max(far, it->v), away(qc), false,
                                 /*rail=*/false});
            }
        }
    }
}

// Corner lines of every box, and with `diagonals` where a bend hugging a
// corner sits when neither of its runs is held elsewhere: on the diagonal,
// v = h (the least v + h on the circle above).
void add_corner_lines(const std::vector<ArcBox>& boxes, double r, bool diagonals, std::size_t cap,
                      std::vector<Line>& xl, std::vector<Line>& yl) {
    std::vector<Line> new_x, new_y;
    for (const ArcBox& a : boxes) {
        if (new_x.size() + new_y.size() >= cap) break;
        if (a.margin >= r) continue;
        corner_lines(a, r, xl, true, new_y);
        corner_lines(a, r, yl, false, new_x);
        const Box& b = a.box;
        const double d = r - (r - std::max(0.0, a.margin)) / std::sqrt(2.0);
        if (!diagonals) continue;
        new_x.push_back({b.x0 - d, false, b.y0 - r, b.y1 + r, kDown, false, /*rail=*/false});
        new_x.push_back({b.x1 + d, false, b.y0 - r, b.y1 + r, kUp, false, /*rail=*/false});
        new_y.push_back({b.y0 - d, false, b.x0 - r, b.x1 + r, kDown, false, /*rail=*/false});
        new_y.push_back({b.y1 + d, false, b.x0 - r, b.x1 + r, kUp, false, /*rail=*/false});
    }
    xl.insert(xl.end(), new_x.begin(), new_x.end());
    yl.insert(yl.end(), new_y.begin(), new_y.end());
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
        for (double off : {rp, 2.0 * rp, rp + 2.0 * r}) lines.push_back({coord + ahead * off, false, -kInf, kInf, away(ahead)});
        lines.push_back({coord + ahead * (rp - 2.0 * r), false, -kInf, kInf, away(-ahead)});
    };
    add_port_line(in.start, in.start_dir, +1.0);  // first bend no closer than r
    add_port_line(in.end, in.end_dir, -1.0);      // last bend r before the end
    // The shortest jog off a port line is 2r (room for two bends).
    auto add_jog_lines = [&](Point p, int dir) {
        if (r <= 0) return;
        std::vector<Line>& lines = is_horizontal(dir) ? yl : xl;
        const double c = is_horizontal(dir) ? p.y : p.x;
        lines.push_back({c + 2 * r, false, -kInf, kInf, kUp});
        lines.push_back({c - 2 * r, false, -kInf, kInf, kDown});
    };
    add_jog_lines(in.start, in.start_dir);
    add_jog_lines(in.end, in.end_dir);

    double x0 = std::min(in.start.x, in.end.x), x1 = std::max(in.start.x, in.end.x);
    double y0 = std::min(in.start.y, in.end.y), y1 = std::max(in.start.y, in.end.y);
    // Lines along the sides of a box, `off` outside it, rounded outward.
    auto add_sides = [&](const Box& b, double off, bool rail) {
        xl.push_back({b.x0 - off, false, b.y0, b.y1, kDown, false, rail});
        xl.push_back({b.x1 + off, false, b.y0, b.y1, kUp, false, rail});
        yl.push_back({b.y0 - off, false, b.x0, b.x1, kDown, false, rail});
        yl.push_back({b.y1 + off, false, b.x0, b.x1, kUp, false, rail});
    };
    // A route hugging a box side that bends twice comes back parallel to it
    // 2r further out: a line there, off the side as it lands on the grid (so
    // that the two stay 2r apart), over [lo, hi] and on until a zone.
    auto add_beyond = [&](std::vector<Line>& lines, double side, double outward, double lo, double hi) {
        if (in.grid > 0) side = on_grid(side, in.grid, away(outward));
        lines.push_back({side + outward * 2 * r, false, lo, hi, away(outward), false, /*rail=*/false});
    };
    // A route bending twice off a run comes back parallel to it at least 2r
    // away, and twice more another 2r on: lines 2r and 4r to either side of
    // every run of the guide route, rounded away from it, across the guide's
    // extent (and 4r round it) only.
    if (in.guide && r > 0 && !in.guide->empty()) {
        Box g{in.guide->front().x, in.guide->front().y, in.guide->front().x, in.guide->front().y};
        for (const Point& q : *in.guide) {
            g.x0 = std::min(g.x0, q.x); g.x1 = std::max(g.x1, q.x);
            g.y0 = std::min(g.y0, q.y); g.y1 = std::max(g.y1, q.y);
        }
        g = g.inflated(4 * r);
        for (size_t k = 1; k < in.guide->size(); ++k) {
            const Point a = (*in.guide)[k - 1], b = (*in.guide)[k];
            const bool horizontal = std::fabs(a.y - b.y) <= std::fabs(a.x - b.x);
            const double c = horizontal ? a.y : a.x;
            std::vector<Line>& lines = horizontal ? yl : xl;
            const double lo = horizontal ? g.x0 : g.y0, hi = horizontal ? g.x1 : g.y1;
            for (double s : {-2.0, -1.0, 1.0, 2.0}) lines.push_back({c + s * 2 * r, false, lo, hi, away(s), true});
            if (!(in.hug_reach > 0) || !in.zones) continue;
            const double a0 = horizontal ? std::min(a.x, b.x) : std::min(a.y, b.y);
            const double a1 = horizontal ? std::max(a.x, b.x) : std::max(a.y, b.y);
            for (const Box& z : *in.zones) {
                const double z0 = horizontal ? z.x0 : z.y0, z1 = horizontal ? z.x1 : z.y1;
                if (!(std::max(a0, z0) < std::min(a1, z1))) continue;  // not alongside the run
                const double below = horizontal ? z.y1 : z.x1, above = horizontal ? z.y0 : z.x0;
                if (below <= c && c - below <= in.hug_reach) add_beyond(lines, below, 1.0, z0, z1);
                if (above >= c && above - c <= in.hug_reach) add_beyond(lines, above, -1.0, z0, z1);
            }
        }
    }
    if (in.zones) {
        for (const Box& b : *in.zones) {
            add_sides(b, 0.0, true);
            x0 = std::min(x0, b.x0); x1 = std::max(x1, b.x1);
            y0 = std::min(y0, b.y0); y1 = std::max(y1, b.y1);
        }
    }
    if (in.offset_sides && r > 0)
        for (const Box& b : *in.offset_sides) {
            add_beyond(xl, b.x0, -1.0, b.y0, b.y1);
            add_beyond(xl, b.x1, 1.0, b.y0, b.y1);
            add_beyond(yl, b.y0, -1.0, b.x0, b.x1);
            add_beyond(yl, b.y1, 1.0, b.x0, b.x1);
        }
    // A bend hugging a corner keeps its arc clear only one radius out.
    if (in.arc_boxes && in.arc_radius > 0)
        for (const ArcBox& a : *in.arc_boxes)
            if (a.margin < in.arc_radius) add_sides(a.box, in.arc_radius, /*rail=*/false);
    for (const Line& l : xl) { x0 = std::min(x0, l.v); x1 = std::max(x1, l.v); }
    for (const Line& l : yl) { y0 = std::min(y0, l.v); y1 = std::max(y1, l.v); }
    if (in.cage) {
        const double extent = (x1 - x0) + (y1 - y0);
        const double m = r > 0 ? 2.0 * r : std::max(1.0, 0.05 * extent);
        xl.push_back({x0 - m, false, -kInf, kInf, kDown});
        xl.push_back({x1 + m, false, -kInf, kInf, kUp});
        yl.push_back({y0 - m, false, -kInf, kInf, kDown});
        yl.push_back({y1 + m, false, -kInf, kInf, kUp});
    }
    xl = settle(std::move(xl), in.grid, in.min_line_gap);
    yl = settle(std::move(yl), in.grid, in.min_line_gap);
    if (in.arc_boxes && in.arc_radius > 0) {
        add_corner_lines(*in.arc_boxes, in.arc_radius, in.diagonals, in.max_corner_lines, xl, yl);
        xl = settle(std::move(xl), in.grid, in.min_line_gap);
        yl = settle(std::move(yl), in.grid, in.min_line_gap);
    }
    TrackLines out;
    const double bridge_gap = std::max(2.0 * r, in.min_line_gap * 2.0);
    split(add_bridges(std::move(xl), out.x_bridges, bridge_gap, in.sliding_bias, in.grid), out.xs, out.x_span,
          out.x_fixed);
    split(add_bridges(std::move(yl), out.y_bridges, bridge_gap, in.sliding_bias, in.grid), out.ys, out.y_span,
          out.y_fixed);
    return out;
}

}  // namespace kelvane
