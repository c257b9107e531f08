// Rectangular obstacles and a gridded index answering segment queries.
//
// Notions of contact used across the router:
//  * blocked  (ObstacleIndex::blocked): the segment shares a stretch of
//    positive length with a box: it runs through the open interior or along
//    a side (a waveguide may not run along a device face; the seam where two
//    boxes abut is such a side).  Meeting a box at one point is allowed,
//    which lets a route leave a port that sits on a device outline.  A box of
//    zero width or height also blocks a segment that crosses it strictly.
//  * touches  (segment_touches): the segment meets the closed box, sides and
//    corners included.  Used where "near" matters more than "through", such
//    as the squares around ports.
//  The single-route router grows obstacles by a clearance and searches its
//  own zones (zones.hpp): there running along a zone's side is allowed, a
//  seam between two abutting zones is not.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "kelvane/geometry.hpp"

namespace kelvane {

// Tolerance used for contact tests: 1e-9 without a grid, else a thousandth
// of the grid step (coordinates on a grid differ by whole steps).
double contact_tolerance(double dbu);

// Length of the part of [a, b] (a <= b) lying in the open interval (c, d)
// (c <= d), with degenerate intervals handled as points; negative when the
// two do not share interior.
bool open_overlap(double a, double b, double c, double d, double eps, double* length = nullptr);

// Does the axis-parallel segment p-q run through the open interior of box?
bool segment_blocked_by(Point p, Point q, const Box& box, double eps, double* inside_length = nullptr);

// Length of the axis-parallel segment p-q that runs along a seam: a stretch
// with one box's side on it from one side and another box's side from the
// other (abutting cells form one solid wall).
double seam_length(Point p, Point q, const std::vector<const Box*>& boxes, double eps);

// Does the segment p-q meet the closed box?
bool segment_touches(Point p, Point q, const Box& box, double eps);

// Does the axis-parallel segment p-q run along a side of box for a length
// above eps?
bool segment_along_side(Point p, Point q, const Box& box, double eps);

class ObstacleIndex {
public:
    ObstacleIndex() = default;
    ObstacleIndex(std::vector<Box> boxes, double dbu);

    const std::vector<Box>& boxes() const { return boxes_; }
    // Smallest box holding every box (all zero when empty).
    const Box& bounds() const { return bounds_; }
    double eps() const { return eps_; }
    size_t size() const { return boxes_.size(); }

    // True when the segment runs through the interior or along a side of any box.
    bool blocked(Point p, Point q) const;
    // Index of the first box (in input order) blocking p-q, or -1.
    long first_blocking(Point p, Point q) const;
    // Calls fn(box_index) once for every box whose closed extent meets the
    // closed rectangle [x0,x1] x [y0,y1].
    template <class Fn>
    void for_each_near(double x0, double y0, double x1, double y1, Fn&& fn) const;

    // Casts a ray along the line at c (x = c when vertical, else y = c) from
    // `from` towards +inf (sign > 0) or -inf.  `hit(box_index)` is called for
    // the boxes in the cells the ray crosses, nearest cells first, each box
    // once; it returns where that box stops the ray (or NaN when it does not).
    // The walk ends once no farther cell can hold a nearer stop; the nearest
    // stop is returned (+-inf when nothing stops the ray).  With a `limit`
    // (in the ray's direction), stops beyond it are not looked for and the
    // limit is returned when nothing stops the ray before.
    template <class Fn>
    double cast(bool vertical, double c, double from, double sign, Fn&& hit,
                double limit = std::numeric_limits<double>::quiet_NaN()) const;

private:
    void cell_range(double x0, double y0, double x1, double y1, int& cx0, int& cy0, int& cx1, int& cy1) const;

    std::vector<Box> boxes_;
    Box bounds_;
    double eps_ = 1e-9;
    // Uniform grid over the boxes' extent; cell (cx, cy) lists box indices.
    double gx0_ = 0, gy0_ = 0, cell_w_ = 1, cell_h_ = 1;
    int nx_ = 0, ny_ = 0;
    double inv_w_ = 1, inv_h_ = 1;
    std::vector<std::uint32_t> cell_start_;  // CSR offsets, nx_*ny_ + 1
    std::vector<std::uint32_t> cell_items_;
    mutable std::vector<std::uint32_t> stamp_;  // per-box visit marks for dedupe
    mutable std::uint32_t stamp_now_ = 0;
};

template <class Fn>
void ObstacleIndex::for_each_near(double x0, double y0, double x1, double y1, Fn&& fn) const {
    if (boxes_.empty()) return;
    int cx0, cy0, cx1, cy1;
    cell_range(x0, y0, x1, y1, cx0, cy0, cx1, cy1);
    if (cx0 > cx1 || cy0 > cy1) return;
    if (++stamp_now_ == 0) {
        std::fill(stamp_.begin(), stamp_.end(), 0u);
        stamp_now_ = 1;
    }
    for (int cy = cy0; cy <= cy1; ++cy) {
        for (int cx = cx0; cx <= cx1; ++cx) {
            const size_t c = static_cast<size_t>(cy) * nx_ + cx;
            for (std::uint32_t k = cell_start_[c]; k < cell_start_[c + 1]; ++k) {
                const std::uint32_t b = cell_items_[k];
                if (stamp_[b] == stamp_now_) continue;
                stamp_[b] = stamp_now_;
                const Box& bx = boxes_[b];
                if (bx.x1 < x0 - eps_ || bx.x0 > x1 + eps_ || bx.y1 < y0 - eps_ || bx.y0 > y1 + eps_) continue;
                fn(static_cast<size_t>(b));
            }
        }
    }
}

template <class Fn>
double ObstacleIndex::cast(bool vertical, double c, double from, double sign, Fn&& hit, double limit) const {
    const double none = limit == limit ? limit
                        : sign > 0     ? std::numeric_limits<double>::infinity()
                                       : -std::numeric_limits<double>::infinity();
    if (boxes_.empty()) return none;
    // Cells across the ray that can hold a box touching the line at c.
    const double g0 = vertical ? gx0_ : gy0_, inv = vertical ? inv_w_ : inv_h_;
    const int nacross = vertical ? nx_ : ny_, nalong = vertical ? ny_ : nx_;
    const double a0 = vertical ? gy0_ : gx0_, size_along = vertical ? cell_h_ : cell_w_, inv_along = vertical ? inv_h_ : inv_w_;
    auto clampi = [](double v, int hi) { return static_cast<int>(std::max(0.0, std::min(static_cast<double>(hi), v))); };
    const double across_hi = g0 + (vertical ? cell_w_ : cell_h_) * nacross;
    if (c + eps_ < g0 || c - eps_ > across_hi) return none;
    const int k0 = clampi(std::floor((c - eps_ - g0) * inv), nacross - 1);
    const int k1 = clampi(std::floor((c + eps_ - g0) * inv), nacross - 1);
    const double along_hi = a0 + size_along * nalong;
    if (sign > 0 ? from - eps_ > along_hi : from + eps_ < a0) return none;
    int cell = clampi(std::floor((from - a0) * inv_along), nalong - 1);
    if (++stamp_now_ == 0) {
        std::fill(stamp_.begin(), stamp_.end(), 0u);
        stamp_now_ = 1;
    }
    double stop = none;
    for (; cell >= 0 && cell < nalong; cell += sign > 0 ? 1 : -1) {
        // The nearest coordinate of this cell along the ray.
        const double near = sign > 0 ? a0 + size_along * cell : a0 + size_along * (cell + 1);
        if (sign > 0 ? near - eps_ > stop : near + eps_ < stop) break;
        for (int k = k0; k <= k1; ++k) {
            const size_t cc = vertical ? static_cast<size_t>(cell) * nx_ + k : static_cast<size_t>(k) * nx_ + cell;
            for (std::uint32_t it = cell_start_[cc]; it < cell_start_[cc + 1]; ++it) {
                const std::uint32_t b = cell_items_[it];
                if (stamp_[b] == stamp_now_) continue;
                stamp_[b] = stamp_now_;
                const double at = hit(static_cast<size_t>(b));
                if (at == at) stop = sign > 0 ? std::min(stop, at) : std::max(stop, at);
            }
        }
    }
    return stop;
}

}  // namespace kelvane
