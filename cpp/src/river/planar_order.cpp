// Order across the bundle, and whether the ports let the lanes run without
// crossing.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>

#include "river/steps.hpp"

namespace kelvane::river {

namespace {

Point mean_heading(const std::vector<Point>& tangents) {
    Point m{0.0, 0.0};
    for (const Point& t : tangents) {
        const double n = std::hypot(t.x, t.y);
        m.x += t.x / n;
        m.y += t.y / n;
    }
    const double n = std::hypot(m.x, m.y) + 1e-12;
    return {m.x / n, m.y / n};
}

// Position of each point across `heading`, positive to its left.
std::vector<double> across(const std::vector<Point>& pts, Point heading) {
    std::vector<double> out;
    out.reserve(pts.size());
    for (const Point& p : pts) out.push_back(-heading.y * p.x + heading.x * p.y);
    return out;
}

std::vector<std::size_t> ascending(const std::vector<double>& v) {
    std::vector<std::size_t> idx(v.size());
    std::iota(idx.begin(), idx.end(), std::size_t{0});
    std::stable_sort(idx.begin(), idx.end(), [&](std::size_t a, std::size_t b) { return v[a] < v[b]; });
    return idx;
}

void check_points(const std::vector<Point>& pts, std::size_t n, const char* name, bool tangent) {
    if (pts.size() != n)
        throw std::invalid_argument(std::string(name) + ": expected " + std::to_string(n) + " rows, got " +
                                    std::to_string(pts.size()));
    for (std::size_t i = 0; i < n; ++i) {
        const Point p = pts[i];
        if (!std::isfinite(p.x) || !std::isfinite(p.y))
            throw std::invalid_argument(std::string(name) + "[" + std::to_string(i) + "] is not finite");
        if (tangent && ((p.x == 0.0) == (p.y == 0.0)))
            throw std::invalid_argument(std::string(name) + "[" + std::to_string(i) +
                                        "] must be a non-zero axis-parallel heading");
    }
}

}  // namespace

void check_request(const RiverRequest& req) {
    const std::size_t n = req.starts.size();
    check_points(req.starts, n, "starts", false);
    check_points(req.ends, n, "ends", false);
    check_points(req.start_tangents, n, "start_tangents", true);
    check_points(req.end_tangents, n, "end_tangents", true);
    if (!std::isfinite(req.delta) || req.delta < 0) throw std::invalid_argument("delta must be finite and >= 0");
    if (!std::isfinite(req.route_spacing) || req.route_spacing < 0)
        throw std::invalid_argument("route_spacing must be finite and >= 0");
    if (!std::isfinite(req.grid) || req.grid < 0) throw std::invalid_argument("dbu must be finite and > 0");
    for (int side : req.sides)
        if (side < -1 || side > 1) throw std::invalid_argument("sides: each must be -1, 0 or 1");
    if (req.relay_rounds < 0) throw std::invalid_argument("relay_rounds must be >= 0");
    for (std::size_t i = 0; i < n; ++i)
        if (req.starts[i] == req.ends[i])
            throw std::invalid_argument("lane " + std::to_string(i) + ": start and end are the same point");
}

std::vector<std::size_t> planar_order(const RiverRequest& req) {
    return ascending(across(req.starts, mean_heading(req.start_tangents)));
}

bool is_planar(const RiverRequest& req) {
    if (req.starts.size() < 2) return true;
    const std::vector<std::size_t> order = planar_order(req);
    const std::vector<double> at_end = across(req.ends, mean_heading(req.end_tangents));
    const double tol = 1e-9 * (1.0 + std::fabs(at_end[order.front()]) + std::fabs(at_end[order.back()]));
    for (std::size_t k = 1; k < order.size(); ++k)
        if (at_end[order[k]] < at_end[order[k - 1]] - tol) return false;
    return true;
}

}  // namespace kelvane::river
