#include "kelvane/geometry.hpp"

#include <algorithm>

namespace kelvane {

Point settle_end_point(Point p, double grid) {
    if (grid <= 0) return p;
    auto settle = [&](double v) {
        const double s = snap_to_grid(v, grid);
        return std::fabs(s - v) <= 1e-6 * std::max(1.0, std::fabs(v)) ? s : v;
    };
    return {settle(p.x), settle(p.y)};
}

Path simplify_path(const Path& pts, double tol) {
    Path out;
    out.reserve(pts.size());
    for (const Point& p : pts) {
        if (!out.empty() && manhattan(out.back(), p) <= tol) continue;
        if (out.size() >= 2) {
            const Point& a = out[out.size() - 2];
            const Point& b = out.back();
            const double d1x = b.x - a.x, d1y = b.y - a.y, d2x = p.x - b.x, d2y = p.y - b.y;
            const double cross = d1x * d2y - d1y * d2x;
            const double dot = d1x * d2x + d1y * d2y;
            if (std::fabs(cross) <= tol * (std::fabs(d1x) + std::fabs(d1y) + std::fabs(d2x) + std::fabs(d2y)) &&
                dot > 0) {
                out.back() = p;  // b lies on the straight run a -> p
                continue;
            }
        }
        out.push_back(p);
    }
    if (out.size() == 1 && pts.size() > 1) out.push_back(pts.back());
    return out;
}

int count_bends(const Path& pts) {
    const Path s = simplify_path(pts);
    return s.size() > 2 ? static_cast<int>(s.size()) - 2 : 0;
}

double path_length(const Path& pts) {
    double len = 0.0;
    for (size_t i = 1; i < pts.size(); ++i) len += manhattan(pts[i - 1], pts[i]);
    return len;
}

}  // namespace kelvane
