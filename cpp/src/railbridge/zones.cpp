#include "railbridge/zones.hpp"

#include <algorithm>
#include <cmath>

namespace kelvane::rail {

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

namespace {

void add_band(Point a, Point b, double hw, double ext_a, double ext_b, std::vector<Box>* out) {
    if (std::fabs(a.y - b.y) <= std::fabs(a.x - b.x)) {
        const double lo = a.x <= b.x ? a.x - ext_a : b.x - ext_b, hi = a.x <= b.x ? b.x + ext_b : a.x + ext_a;
        out->push_back({lo, a.y - hw, hi, a.y + hw});
    } else {
        const double lo = a.y <= b.y ? a.y - ext_a : b.y - ext_b, hi = a.y <= b.y ? b.y + ext_b : a.y + ext_a;
        out->push_back({a.x - hw, lo, a.x + hw, hi});
    }
}

}  // namespace

// Spacing band around each segment of an earlier route: half-width
// `spacing`, reaching `spacing` past inner corners but not past its ends.
// Next to the earlier route's ports the band narrows to 80 % of the distance
// between that port segment and this route's own port, over the stretch a
// route needs to leave its port and jog out to full spacing (2r + spacing),
// so neighbouring ports of a bundle closer than the spacing can still be
// left cleanly.
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

RouteInfo ZoneSet::measure(const Path& path, double eps, double* violation) const {
    RouteInfo info;
    info.obstacle_overlap = overlap_length(path, real, eps);
    info.clearance_overlap = std::max(0.0, overlap_length(path, grown, eps) - info.obstacle_overlap);
    info.keep_out_overlap = overlap_length(path, *keep_outs, eps);
    info.spacing_overlap = overlap_length(path, bands, eps);
    *violation = violation_score(info);
    return info;
}

ZoneSet make_zone_set(const RouteRequest& req, double eps) {
    ZoneSet all;
    all.keep_outs = &req.keep_outs;
    const double margin = req.obstacle_margin >= 0 ? req.obstacle_margin : 0.5 * req.route_spacing;
    for (const Box& b : req.obstacles) {
        Box g = b.inflated(margin);
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
    for (const Path& pv : req.pivots)
        add_spacing_bands(pv, req.route_spacing, req.bend_radius, req.start, req.end, &all.bands);
    for (const Box& b : all.bands) all.zones.push_back({b, kSpacingFixed, kSpacingPerUnit});
    return all;
}

}  // namespace kelvane::rail

namespace kelvane {

double violation_score(const RouteInfo& info) {
    using namespace rail;
    return kHardPerUnit * (info.obstacle_overlap + info.clearance_overlap + info.keep_out_overlap) +
           kSpacingPerUnit * info.spacing_overlap;
}

}  // namespace kelvane
