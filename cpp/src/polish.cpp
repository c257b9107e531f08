#include "kelvane/polish.hpp"

#include <cmath>

namespace kelvane {

namespace {

// Zero length, and the largest sideways offset still counted as axis-parallel.
constexpr double kTol = 1e-9;

// One segment seen as a run along an axis.
struct Run {
    int axis = -1;      // 0: horizontal (x varies), 1: vertical (y varies), -1: neither
    double sign = 0.0;  // +1 or -1 along the axis
    double len = 0.0;
};

double& coord(Point& p, int axis) { return axis == 0 ? p.x : p.y; }

Run run_of(const Path& p, std::size_t k) {
    const double dx = p[k + 1].x - p[k].x, dy = p[k + 1].y - p[k].y;
    const double ax = std::fabs(dx), ay = std::fabs(dy);
    if (ax > kTol && ay <= kTol) return {0, dx > 0 ? 1.0 : -1.0, ax};
    if (ay > kTol && ax <= kTol) return {1, dy > 0 ? 1.0 : -1.0, ay};
    return {-1, 0.0, ax + ay};
}

}  // namespace

double min_segment_length(std::size_t k, std::size_t n, double delta) {
    if (n <= 1) return 0.0;
    return (k == 0 || k + 1 == n) ? delta : 2.0 * delta;
}

bool shift_neighbour(Path& path, std::size_t k, Shift how, double delta, const SegmentBlocked& blocked) {
    if (path.size() < 4 || !(delta > 0)) return false;
    const std::size_t n = path.size() - 1;  // number of segments
    if (k >= n) return false;

    const Run sk = run_of(path, k);
    if (sk.axis < 0) return false;
    const double min_k = min_segment_length(k, n, delta);
    if (!(sk.len < min_k - kTol)) return false;

    // j: the neighbour segment that slides; m: the segment beyond it, parallel
    // to k, whose far end stays in place.  a, b: the two points that move.
    std::size_t j, m, a, b;
    if (how == Shift::Forward) {
        if (k + 2 >= n) return false;  // point k+2 would be the end point
        j = k + 1; m = k + 2; a = k + 1; b = k + 2;
    } else {
        if (k < 2) return false;  // point k-1 would be the start point
        j = k - 1; m = k - 2; a = k - 1; b = k;
    }
    const Run sj = run_of(path, j), sm = run_of(path, m);
    if (sj.axis != 1 - sk.axis || sm.axis != sk.axis) return false;

    // New position of the sliding segment along segment k's axis: segment k
    // ends up exactly min_k long.
    const int ax = sk.axis;
    const double c = how == Shift::Forward ? coord(path[k], ax) + sk.sign * min_k
                                           : coord(path[k + 1], ax) - sk.sign * min_k;

    // Segment m after the move: it must keep its direction and a length.
    const double m_from = how == Shift::Forward ? c : coord(path[m], ax);
    const double m_to = how == Shift::Forward ? coord(path[m + 1], ax) : c;
    const double m_len = (m_to - m_from) * sm.sign;
    if (!(m_len > kTol)) return false;
    if (m_len < sm.len && m_len < min_segment_length(m, n, delta) - kTol) return false;

    Point na = path[a], nb = path[b];
    coord(na, ax) = c;
    coord(nb, ax) = c;

    // The three changed segments in path order, tested in full.
    const Point before = how == Shift::Forward ? path[k] : path[m];
    const Point after = how == Shift::Forward ? path[m + 1] : path[k + 1];
    if (blocked) {
        if (blocked(before, na) || blocked(na, nb) || blocked(nb, after)) return false;
    }
    path[a] = na;
    path[b] = nb;
    return true;
}

Path extend_short_segments(const Path& pts, double delta, const SegmentBlocked& blocked) {
    Path p = simplify_path(pts);
    if (p.size() < 4 || !(delta > 0)) return p;
    const std::size_t n = p.size() - 1;
    // Each accepted shift fixes one short segment without making another, so
    // at most n passes change something; the bound only guards against that
    // reasoning being defeated by rounding.
    for (std::size_t pass = 0; pass <= n; ++pass) {
        bool changed = false;
        for (std::size_t k = 0; k < n; ++k) {
            if (shift_neighbour(p, k, Shift::Forward, delta, blocked) ||
                shift_neighbour(p, k, Shift::Backward, delta, blocked))
                changed = true;
        }
        if (!changed) break;
    }
    return simplify_path(p);
}

}  // namespace kelvane
