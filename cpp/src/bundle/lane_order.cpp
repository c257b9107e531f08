// Position of the ports across a bundle and the order in which its routes
// are routed.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "kelvane/bundle.hpp"

namespace kelvane::bundle {

Point mean_direction(const std::vector<Point>& tangents) {
    Point m{0.0, 0.0};
    if (tangents.empty()) return m;
    for (const Point& t : tangents) {
        m.x += t.x;
        m.y += t.y;
    }
    const double n = static_cast<double>(tangents.size());
    m = {m.x / n, m.y / n};
    const double len = std::sqrt(m.x * m.x + m.y * m.y) + 1e-12;
    return {m.x / len, m.y / len};
}

std::vector<double> project(const std::vector<Point>& pts, Point axis) {
    std::vector<double> out;
    out.reserve(pts.size());
    for (const Point& p : pts) out.push_back(p.x * axis.x + p.y * axis.y);
    return out;
}

std::vector<std::size_t> stable_ranking(const std::vector<double>& values) {
    std::vector<std::size_t> idx(values.size());
    std::iota(idx.begin(), idx.end(), std::size_t{0});
    std::stable_sort(idx.begin(), idx.end(), [&](std::size_t a, std::size_t b) { return values[a] < values[b]; });
    return idx;
}

bool ranking_is_clear(const std::vector<Point>& starts, const std::vector<double>& proj,
                      const std::vector<std::size_t>& ranking) {
    double scale = 1.0;
    for (const Point& q : starts) scale = std::max(scale, std::fabs(q.x) + std::fabs(q.y));
    for (std::size_t k = 0; k + 1 < ranking.size(); ++k)
        if (!(proj[ranking[k + 1]] - proj[ranking[k]] > 1e-9 * scale)) return false;  // NaN counts as a tie
    return true;
}

std::optional<OrderRule> order_rule(std::string_view name) {
    if (name == "given") return OrderRule::Given;
    if (name == "reverse") return OrderRule::Reverse;
    if (name == "outside-in") return OrderRule::OutsideIn;
    if (name == "center-out") return OrderRule::CenterOut;
    return std::nullopt;
}

std::vector<std::size_t> lane_order(const std::vector<std::size_t>& ranking, std::size_t count, OrderRule rule) {
    std::vector<std::size_t> order;
    if (count == 1) return {0};
    switch (rule) {
        case OrderRule::Given:
            for (std::size_t i = 0; i < count; ++i) order.push_back(i);
            break;
        case OrderRule::Reverse:
            for (std::size_t i = count; i-- > 0;) order.push_back(i);
            break;
        case OrderRule::OutsideIn: {
            if (ranking.empty()) break;
            std::size_t lo = 0, hi = ranking.size() - 1;
            while (lo <= hi) {
                order.push_back(ranking[lo]);
                if (lo != hi) order.push_back(ranking[hi]);
                ++lo;
                if (hi-- == 0) break;
            }
            break;
        }
        case OrderRule::CenterOut: {
            const std::size_t n = ranking.size();
            const std::size_t mid = n / 2;
            order.push_back(ranking.at(mid));
            for (std::size_t off = 1; off < n; ++off) {
                if (mid + off < n) order.push_back(ranking[mid + off]);
                if (off <= mid) order.push_back(ranking[mid - off]);
            }
            break;
        }
    }
    return order;
}

std::vector<std::size_t> lane_order(std::size_t count, OrderRule rule) {
    std::vector<std::size_t> positions(count);
    std::iota(positions.begin(), positions.end(), std::size_t{0});
    return lane_order(positions, count, rule);
}

double smallest_gap(std::vector<double> values, double fallback) {
    if (values.size() < 2) return fallback;
    std::sort(values.begin(), values.end());
    double best = values[1] - values[0];
    for (std::size_t i = 2; i < values.size(); ++i) best = std::min(best, values[i] - values[i - 1]);
    return best;
}

}  // namespace kelvane::bundle
