// One lane of a bundle from its backbone: sideways shifts per segment,
// corners where the shifted segments meet.
#include <algorithm>
#include <cmath>

#include "kelvane/bundle.hpp"

namespace kelvane::bundle {

Point side_normal(Point a, Point b) {
    const int left = turn_left(direction_of(a, b));
    return {dir_dx(left), dir_dy(left)};
}

namespace {

Point shifted(Point p, Point n, double d) { return {p.x + n.x * d, p.y + n.y * d}; }

// Drops every point whose neighbouring steps are not perpendicular (a
// zero-length step, a straight-through point or a reversal), judged on the
// unfiltered neighbours.
Path keep_right_angle_corners(const Path& route) {
    if (route.size() <= 2) return route;
    Path clean{route.front()};
    for (std::size_t i = 1; i + 1 < route.size(); ++i) {
        const double d1x = route[i].x - route[i - 1].x, d1y = route[i].y - route[i - 1].y;
        const double d2x = route[i + 1].x - route[i].x, d2y = route[i + 1].y - route[i].y;
        if (std::hypot(d1x, d1y) < 1e-6 || std::hypot(d2x, d2y) < 1e-6) continue;
        if (std::fabs(d1x * d2x + d1y * d2y) < 1e-6) clean.push_back(route[i]);
    }
    clean.push_back(route.back());
    return clean;
}

// A straight backbone whose lane changes its offset on the way.
Path jogged_lane(Point a, Point b, double start_offset, double end_offset, double connect_offset) {
    const Point n = side_normal(a, b);
    const Point u{n.y, -n.x};  // direction of travel
    const double length = std::fabs(b.x - a.x) + std::fabs(b.y - a.y);
    const double moving_left = end_offset > start_offset ? 1.0 : -1.0;
    const double t = std::clamp(0.5 * length - moving_left * connect_offset, 0.1 * length, 0.9 * length);
    if (!(length > 0)) return {shifted(a, n, start_offset), shifted(b, n, end_offset)};
    // Both runs are at least a tenth of the segment and the jog is longer
    // than 1e-9: every step is a true axis-parallel step.
    const Point at{a.x + u.x * t, a.y + u.y * t};
    return {shifted(a, n, start_offset), shifted(at, n, start_offset), shifted(at, n, end_offset),
            shifted(b, n, end_offset)};
}

// The backbone without zero-length steps and with straight-through points
// merged (both would get a side of their own and break the corners), each
// merged segment flagged when any of its parts was.
void merge_straight_runs(const Path& backbone, const std::vector<bool>& flipped, Path& pts, std::vector<bool>& flags) {
    pts = {backbone[0]};
    flags.clear();
    Point last_side{0, 0};
    for (std::size_t k = 0; k + 1 < backbone.size(); ++k) {
        const Point a = backbone[k], b = backbone[k + 1];
        if (manhattan(a, b) <= 1e-9) continue;
        const bool flag = k < flipped.size() && flipped[k];
        const Point s = side_normal(a, b);
        if (!flags.empty() && s == last_side) {
            pts.back() = b;
            flags.back() = flags.back() || flag;
            continue;
        }
        pts.push_back(b);
        flags.push_back(flag);
        last_side = s;
    }
}

}  // namespace

Path offset_skeleton(const Path& raw_backbone, double start_offset, double end_offset, double connect_offset,
                     const std::vector<bool>& raw_flipped) {
    if (raw_backbone.size() < 2) return raw_backbone;
    if (std::fabs(start_offset) < 1e-9 && std::fabs(end_offset) < 1e-9) return raw_backbone;
    Path backbone;
    std::vector<bool> flipped;
    merge_straight_runs(raw_backbone, raw_flipped, backbone, flipped);
    if (backbone.size() < 2) {
        backbone = raw_backbone;
        flipped = raw_flipped;
    }
    const std::size_t n = backbone.size();
    if (n == 2 && std::fabs(start_offset - end_offset) > 1e-9)
        return jogged_lane(backbone[0], backbone[1], start_offset, end_offset, connect_offset);

    const std::size_t n_segs = n - 1;
    auto is_primary = [&](std::size_t k) { return k == 0 || k == n_segs - 1; };
    // Only inner segments change side; the end segments carry the ports.
    auto side = [&](std::size_t k) {
        return !is_primary(k) && k < flipped.size() && flipped[k] ? -1.0 : 1.0;
    };
    Path route;
    route.reserve(n);
    route.push_back(shifted(backbone[0], side_normal(backbone[0], backbone[1]), start_offset));
    for (std::size_t i = 1; i + 1 < n; ++i) {
        Point before = side_normal(backbone[i - 1], backbone[i]);
        Point after = side_normal(backbone[i], backbone[i + 1]);
        const double sb = side(i - 1), sa = side(i);
        before = {before.x * sb, before.y * sb};
        after = {after.x * sa, after.y * sa};
        const bool bp = is_primary(i - 1), ap = is_primary(i);
        const double d_before = bp ? start_offset : connect_offset;
        const double d_after = ap ? end_offset : connect_offset;
        route.push_back(shifted(shifted(backbone[i], before, d_before), after, d_after));
    }
    route.push_back(shifted(backbone[n - 1], side_normal(backbone[n - 2], backbone[n - 1]), end_offset));
    return keep_right_angle_corners(route);
}

}  // namespace kelvane::bundle
