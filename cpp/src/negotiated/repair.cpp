// Self-intersection repair, the repair score and the corner points of a path.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "negotiated/steps.hpp"

namespace kelvane::negotiated {

double round_decimals(double v, int digits) {
    if (!std::isfinite(v) || v == 0.0) return v;
    // printf rounds the exact binary value correctly (ties to even), as the
    // host's round() does; reading the digits back gives the nearest double.
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    return std::strtod(buf, nullptr);
}

std::pair<long, long> repair_score(const Path& p, long r, const std::vector<MaybePath>& accepted,
                                   const std::vector<Box>& real_obs, double tol) {
    long crossings = 0, intrusions = 0;
    for (size_t k = 0; k < accepted.size(); ++k) {
        if (static_cast<long>(k) == r || !accepted[k]) continue;
        const Path& o = *accepted[k];
        for (size_t i = 0; i + 1 < p.size(); ++i)
            for (size_t j = 0; j + 1 < o.size(); ++j)
                if (seg_crosses(p[i], p[i + 1], o[j], o[j + 1])) ++crossings;
    }
    for (size_t i = 0; i + 1 < p.size(); ++i) {
        const double x1 = p[i].x, y1 = p[i].y, x2 = p[i + 1].x, y2 = p[i + 1].y;
        for (const Box& o : real_obs) {
            if (std::fabs(y1 - y2) < tol) {
                if (o.y0 < y1 && y1 < o.y1 && std::max(x1, x2) > o.x0 + tol && std::min(x1, x2) < o.x1 - tol)
                    ++intrusions;
            } else if (std::fabs(x1 - x2) < tol) {
                if (o.x0 < x1 && x1 < o.x1 && std::max(y1, y2) > o.y0 + tol && std::min(y1, y2) < o.y1 - tol)
                    ++intrusions;
            }
        }
    }
    return {crossings, intrusions};
}

std::vector<size_t> corner_indices(const Path& full) {
    std::vector<size_t> keep{0};
    // Two steps continue straight on when, with every difference rounded to
    // six decimals, their cross product is zero and their dot product
    // positive.  Differences that are exactly zero or well above the
    // rounding only matter by their sign; others are rounded exactly.
    auto plain = [](double v) { return v == 0.0 || std::fabs(v) >= 1e-5; };
    auto sign = [](double v) { return v > 0 ? 1.0 : (v < 0 ? -1.0 : 0.0); };
    for (size_t i = 1; i + 1 < full.size(); ++i) {
        const Point a = full[keep.back()], b = full[i], c = full[i + 1];
        double d1[2] = {b.x - a.x, b.y - a.y}, d2[2] = {c.x - b.x, c.y - b.y};
        const bool axis = (d1[0] == 0.0 || d1[1] == 0.0) && (d2[0] == 0.0 || d2[1] == 0.0);
        if (axis && plain(d1[0]) && plain(d1[1]) && plain(d2[0]) && plain(d2[1])) {
            for (double* v : {&d1[0], &d1[1], &d2[0], &d2[1]}) *v = sign(*v);
        } else {
            for (double* v : {&d1[0], &d1[1], &d2[0], &d2[1]}) *v = round_decimals(*v, 6);
        }
        const bool collinear = d1[0] * d2[1] - d1[1] * d2[0] == 0 && d1[0] * d2[0] + d1[1] * d2[1] > 0;
        if (!collinear) keep.push_back(i);
    }
    if (full.size() > 1) keep.push_back(full.size() - 1);
    else keep.push_back(0);  // one point: it is the first and the last
    return keep;
}

Path finalize_simple(const Path& path, Point end_port) {
    if (path.empty()) throw std::out_of_range("finalize_simple: the path is empty");
    Path full = path;
    if (end_port != full.back()) full.push_back(end_port);
    Path pts;
    for (size_t i : corner_indices(full)) pts.push_back(full[i]);
    return pts;
}

Path points_of(const Lattice& L, const NodePath& path) {
    Path out;
    out.reserve(path.size());
    for (std::uint32_t n : path) out.push_back(L.nodes[n]);
    return out;
}

Bans node_bans(const Lattice& L, const PointBans& bans) {
    Bans out;
    for (const auto& [p, d] : bans) {
        const long id = L.find(p);
        if (id >= 0) out.emplace_back(static_cast<std::uint32_t>(id), static_cast<std::uint8_t>(d));
    }
    return out;
}

std::optional<Path> repair_self_intersections(Path path, long max_tries,
                                              const std::function<std::optional<Path>(const PointBans&)>& search) {
    PointBans blocked;
    bool searched = false;
    for (long t = 0; t < max_tries; ++t) {
        const PointBans bad = self_intersections(path);
        if (bad.empty()) break;
        const size_t had = blocked.size();
        for (const auto& b : bad)
            if (std::find(blocked.begin(), blocked.end(), b) == blocked.end()) blocked.push_back(b);
        // The same bans again: the search would find this path again.
        if (searched && blocked.size() == had) break;
        std::optional<Path> p = search(blocked);
        if (!p) break;
        path = std::move(*p);
        searched = true;
    }
    if (!searched) return std::nullopt;
    return path;
}

}  // namespace kelvane::negotiated
