// Route metrics: crossings of segments, self-intersections, crossings and
// shared edges between lattice paths, length and turns of a skeleton.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <unordered_map>

#include "negotiated/steps.hpp"

namespace kelvane::negotiated {

namespace {

int step_direction(Point a, Point b) {
    if (a == b) throw std::invalid_argument("a path repeats a point: a step has no direction");
    return direction_of(a, b);
}

struct EdgeKey {
    Point a, b;  // a before b in (x, y) order
    bool operator==(const EdgeKey& o) const { return a == o.a && b == o.b; }
};
struct EdgeKeyHash {
    size_t operator()(const EdgeKey& k) const noexcept {
        const PointHash h;
        return h(k.a) * 0x9E3779B97F4A7C15ull ^ h(k.b);
    }
};
EdgeKey edge_key(Point u, Point w) {
    return w < u ? EdgeKey{w, u} : EdgeKey{u, w};
}

// numpy's pairwise summation of a contiguous float64 run: blocks of eight
// partial sums up to 128 values, halves (cut at a multiple of eight) above.
double pairwise_sum(const double* a, size_t n) {
    if (n < 8) {
        double res = 0.0;
        for (size_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

}  // namespace

bool seg_crosses(Point a1, Point a2, Point b1, Point b2, double tol) {
    const bool a_h = std::fabs(a1.y - a2.y) < tol;
    const bool b_h = std::fabs(b1.y - b2.y) < tol;
    if (a_h == b_h) return false;
    const Point h1 = a_h ? a1 : b1, h2 = a_h ? a2 : b2, v1 = a_h ? b1 : a1, v2 = a_h ? b2 : a2;
    const double vx = v1.x, hy = h1.y;
    return std::min(h1.x, h2.x) - tol < vx && vx < std::max(h1.x, h2.x) + tol &&
           std::min(v1.y, v2.y) - tol < hy && hy < std::max(v1.y, v2.y) + tol;
}

PointBans self_intersections(const Path& path) {
    std::unordered_map<Point, std::vector<int>, PointHash> sides;
    for (size_t i = 0; i + 1 < path.size(); ++i) {
        const int d = step_direction(path[i], path[i + 1]);
        sides[path[i]].push_back(d);
        sides[path[i + 1]].push_back(opposite(d));
    }
    PointBans out;
    for (const auto& [node, dirs] : sides) {
        if (dirs.size() <= 2) continue;
        unsigned mask = 0;
        for (int d : dirs) mask |= 1u << d;
        for (int d = 0; d < 4; ++d)
            if ((mask >> d & 1u) && (mask >> opposite(d) & 1u)) out.emplace_back(node, d);
    }
    return out;
}

CrossCount count_crossings(const std::vector<MaybePath>& atomic) {
    struct Stub {
        std::uint32_t route;
        unsigned mask;
    };
    std::unordered_map<Point, std::vector<Stub>, PointHash> at_node;
    std::unordered_map<EdgeKey, std::vector<std::uint32_t>, EdgeKeyHash> on_edge;
    for (std::uint32_t r = 0; r < atomic.size(); ++r) {
        if (!atomic[r]) continue;
        const Path& p = *atomic[r];
        auto stub = [&](Point n, int d) {
            auto& list = at_node[n];
            if (list.empty() || list.back().route != r) list.push_back({r, 0});
            list.back().mask |= 1u << d;
        };
        for (size_t a = 0; a + 1 < p.size(); ++a) {
            const int d = step_direction(p[a], p[a + 1]);
            stub(p[a], d);
            stub(p[a + 1], opposite(d));
            auto& users = on_edge[edge_key(p[a], p[a + 1])];
            if (users.empty() || users.back() != r) users.push_back(r);
        }
    }
    CrossCount out;
    for (const auto& [key, users] : on_edge) {
        const long k = static_cast<long>(users.size());
        out.overlaps += k * (k - 1) / 2;
    }
    auto two_lowest = [](unsigned mask, int& lo, int& hi) {
        lo = hi = -1;
        for (int d = 0; d < 4; ++d)
            if (mask >> d & 1u) {
                if (lo < 0) lo = d;
                else if (hi < 0) hi = d;
            }
    };
    for (const auto& [node, stubs] : at_node) {
        for (size_t i = 0; i < stubs.size(); ++i) {
            if (__builtin_popcount(stubs[i].mask) < 2) continue;
            int a0, a1;
            two_lowest(stubs[i].mask, a0, a1);
            for (size_t j = i + 1; j < stubs.size(); ++j) {
                if (__builtin_popcount(stubs[j].mask) < 2) continue;
                int b0, b1;
                two_lowest(stubs[j].mask, b0, b1);
                if (chords_interleave(a0, a1, b0, b1)) ++out.crossings;
            }
        }
    }
    return out;
}

double manhattan_length(const Path& skel) {
    if (skel.size() < 2) return 0.0;
    std::vector<double> steps;
    steps.reserve(2 * (skel.size() - 1));
    for (size_t i = 0; i + 1 < skel.size(); ++i) {
        steps.push_back(std::fabs(skel[i + 1].x - skel[i].x));
        steps.push_back(std::fabs(skel[i + 1].y - skel[i].y));
    }
    return pairwise_sum(steps.data(), steps.size());
}

long count_turns(const Path& s) {
    long n = 0;
    auto norm = [](Point a, Point b) {
        const double dx = b.x - a.x, dy = b.y - a.y;
        return std::sqrt(dx * dx + dy * dy);
    };
    for (size_t i = 1; i + 1 < s.size(); ++i)
        if (norm(s[i - 1], s[i]) > 1e-9 && norm(s[i], s[i + 1]) > 1e-9) ++n;
    return n;
}

double host_sum(const std::vector<double>& values, bool compensated) {
    if (values.empty()) return 0.0;
    double f = values[0], c = 0.0;
    for (size_t i = 1; i < values.size(); ++i) {
        const double x = values[i];
        if (!compensated) {
            f += x;
            continue;
        }
        const double t = f + x;
        if (std::fabs(f) >= std::fabs(x)) c += (f - t) + x;
        else c += (x - t) + f;
        f = t;
    }
    if (compensated && c != 0.0 && std::isfinite(c)) f += c;
    return f;
}

}  // namespace kelvane::negotiated
