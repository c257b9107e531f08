#include "kelvane/obstacles.hpp"

#include <algorithm>
#include <cmath>

namespace kelvane {

double contact_tolerance(double dbu) { return dbu > 0 ? 1e-3 * dbu : 1e-9; }

bool open_overlap(double a, double b, double c, double d, double eps, double* length) {
    const bool seg_point = (b - a) <= eps;
    const bool box_point = (d - c) <= eps;
    double len = 0.0;
    bool hit;
    if (!seg_point && !box_point) {
        len = std::min(b, d) - std::max(a, c);
        hit = len > eps;
    } else if (seg_point && !box_point) {
        hit = a > c + eps && a < d - eps;
    } else if (!seg_point && box_point) {
        hit = c > a + eps && c < b - eps;
    } else {
        hit = std::fabs(a - c) <= eps;
    }
    if (length) *length = hit ? std::max(len, 0.0) : 0.0;
    return hit;
}

bool segment_blocked_by(Point p, Point q, const Box& box, double eps, double* inside_length) {
    const double ax = std::min(p.x, q.x), bx = std::max(p.x, q.x);
    const double ay = std::min(p.y, q.y), by = std::max(p.y, q.y);
    double lx = 0, ly = 0;
    if (!open_overlap(ax, bx, box.x0, box.x1, eps, &lx)) return false;
    if (!open_overlap(ay, by, box.y0, box.y1, eps, &ly)) return false;
    if (inside_length) *inside_length = lx + ly;  // one of them is zero for axis-parallel segments
    return true;
}

double seam_length(Point p, Point q, const std::vector<const Box*>& boxes, double eps) {
    const bool horizontal = std::fabs(p.y - q.y) <= std::fabs(p.x - q.x);
    const double c = horizontal ? p.y : p.x;
    const double a = horizontal ? std::min(p.x, q.x) : std::min(p.y, q.y);
    const double b = horizontal ? std::max(p.x, q.x) : std::max(p.y, q.y);
    // Stretches of [a, b] covered by a box ending on the line (below / left of
    // it) and by one starting on it (above / right).
    std::vector<std::pair<double, double>> low, high;
    for (const Box* box : boxes) {
        const double lo_side = horizontal ? box->y0 : box->x0, hi_side = horizontal ? box->y1 : box->x1;
        const double s0 = std::max(a, horizontal ? box->x0 : box->y0), s1 = std::min(b, horizontal ? box->x1 : box->y1);
        if (s1 - s0 <= eps || hi_side - lo_side <= eps) continue;
        if (std::fabs(hi_side - c) <= eps) low.emplace_back(s0, s1);
        else if (std::fabs(lo_side - c) <= eps) high.emplace_back(s0, s1);
    }
    if (low.empty() || high.empty()) return 0.0;
    // Length of (union of low) intersected with (union of high), by sweeping.
    std::vector<std::pair<double, int>> ev;
    for (auto& [s0, s1] : low) { ev.emplace_back(s0, 1); ev.emplace_back(s1, -1); }
    for (auto& [s0, s1] : high) { ev.emplace_back(s0, 2); ev.emplace_back(s1, -2); }
    std::sort(ev.begin(), ev.end());
    int nl = 0, nh = 0;
    double total = 0.0, prev = a;
    for (auto& [x, k] : ev) {
        if (nl > 0 && nh > 0) total += x - prev;
        prev = x;
        if (k == 1) ++nl; else if (k == -1) --nl; else if (k == 2) ++nh; else --nh;
    }
    return total > eps ? total : 0.0;
}

bool segment_touches(Point p, Point q, const Box& box, double eps) {
    const double ax = std::min(p.x, q.x), bx = std::max(p.x, q.x);
    const double ay = std::min(p.y, q.y), by = std::max(p.y, q.y);
    return std::max(ax, box.x0) <= std::min(bx, box.x1) + eps && std::max(ay, box.y0) <= std::min(by, box.y1) + eps;
}

ObstacleIndex::ObstacleIndex(std::vector<Box> boxes, double dbu) : boxes_(std::move(boxes)), eps_(contact_tolerance(dbu)) {
    if (boxes_.empty()) return;
    double x0 = boxes_[0].x0, y0 = boxes_[0].y0, x1 = boxes_[0].x1, y1 = boxes_[0].y1;
    for (const Box& b : boxes_) {
        x0 = std::min(x0, b.x0); y0 = std::min(y0, b.y0);
        x1 = std::max(x1, b.x1); y1 = std::max(y1, b.y1);
    }
    bounds_ = {x0, y0, x1, y1};
    // About one box per cell on average, at most 1024 cells a side.
    const double n = static_cast<double>(boxes_.size());
    const int side = std::max(1, std::min(1024, static_cast<int>(std::ceil(std::sqrt(n)))));
    nx_ = ny_ = side;
    gx0_ = x0; gy0_ = y0;
    cell_w_ = std::max((x1 - x0) / nx_, 1e-12);
    cell_h_ = std::max((y1 - y0) / ny_, 1e-12);
    inv_w_ = 1.0 / cell_w_;
    inv_h_ = 1.0 / cell_h_;
    const size_t ncell = static_cast<size_t>(nx_) * ny_;
    std::vector<std::uint32_t> count(ncell + 1, 0);
    auto each_cell = [&](const Box& b, auto&& f) {
        int cx0, cy0, cx1, cy1;
        cell_range(b.x0, b.y0, b.x1, b.y1, cx0, cy0, cx1, cy1);
        for (int cy = cy0; cy <= cy1; ++cy)
            for (int cx = cx0; cx <= cx1; ++cx) f(static_cast<size_t>(cy) * nx_ + cx);
    };
    for (const Box& b : boxes_) each_cell(b, [&](size_t c) { ++count[c + 1]; });
    for (size_t c = 0; c < ncell; ++c) count[c + 1] += count[c];
    cell_start_ = count;
    cell_items_.assign(count[ncell], 0);
    std::vector<std::uint32_t> fill(count.begin(), count.end() - 1);
    for (std::uint32_t i = 0; i < boxes_.size(); ++i) each_cell(boxes_[i], [&](size_t c) { cell_items_[fill[c]++] = i; });
    stamp_.assign(boxes_.size(), 0);
}

void ObstacleIndex::cell_range(double x0, double y0, double x1, double y1, int& cx0, int& cy0, int& cx1, int& cy1) const {
    auto clampi = [](double v, int hi) { return static_cast<int>(std::max(0.0, std::min(static_cast<double>(hi), v))); };
    cx0 = clampi(std::floor((x0 - eps_ - gx0_) * inv_w_), nx_ - 1);
    cx1 = clampi(std::floor((x1 + eps_ - gx0_) * inv_w_), nx_ - 1);
    cy0 = clampi(std::floor((y0 - eps_ - gy0_) * inv_h_), ny_ - 1);
    cy1 = clampi(std::floor((y1 + eps_ - gy0_) * inv_h_), ny_ - 1);
    // A query entirely outside the grid's extent meets no box.
    const double gx1 = gx0_ + cell_w_ * nx_, gy1 = gy0_ + cell_h_ * ny_;
    if (x1 + eps_ < gx0_ || x0 - eps_ > gx1) { cx0 = 1; cx1 = 0; }
    if (y1 + eps_ < gy0_ || y0 - eps_ > gy1) { cy0 = 1; cy1 = 0; }
}

bool segment_along_side(Point p, Point q, const Box& box, double eps) {
    const bool horizontal = std::fabs(p.y - q.y) <= std::fabs(p.x - q.x);
    const double c = horizontal ? p.y : p.x;
    const double lo_side = horizontal ? box.y0 : box.x0, hi_side = horizontal ? box.y1 : box.x1;
    if (std::fabs(c - lo_side) > eps && std::fabs(c - hi_side) > eps) return false;
    const double a = horizontal ? std::min(p.x, q.x) : std::min(p.y, q.y);
    const double b = horizontal ? std::max(p.x, q.x) : std::max(p.y, q.y);
    const double s0 = std::max(a, horizontal ? box.x0 : box.y0), s1 = std::min(b, horizontal ? box.x1 : box.y1);
    return s1 - s0 > eps;
}

long ObstacleIndex::first_blocking(Point p, Point q) const {
    long found = -1;
    for_each_near(std::min(p.x, q.x), std::min(p.y, q.y), std::max(p.x, q.x), std::max(p.y, q.y), [&](size_t b) {
        if (found >= 0 && static_cast<long>(b) > found) return;
        if (segment_blocked_by(p, q, boxes_[b], eps_) || segment_along_side(p, q, boxes_[b], eps_))
            found = static_cast<long>(b);
    });
    return found;
}

bool ObstacleIndex::blocked(Point p, Point q) const { return first_blocking(p, q) >= 0; }

}  // namespace kelvane
