#include "kelvane/ports.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <stdexcept>

namespace kelvane::ports {

int floor_mod4(long long v) {
    const long long m = v % 4;
    return static_cast<int>(m < 0 ? m + 4 : m);
}

int quarter_turn(double orientation_deg) {
    const double q = orientation_deg / 90.0;
    if (!std::isfinite(q)) return -1;
    // Nearest integer, ties to even: round half away from zero, then move the
    // exact halves to the even neighbour.  q - r is exact here.
    double r = std::round(q);
    if (std::fabs(q - r) == 0.5) r = 2.0 * std::round(q / 2.0);
    double m = std::fmod(r, 4.0);  // exact for integral r, in (-4, 4)
    if (m < 0) m += 4.0;
    return static_cast<int>(m);
}

double span_centre(const double* v, std::size_t n) {
    double lo = v[0], hi = v[0];
    for (std::size_t i = 1; i < n; ++i)
        if (v[i] < lo) lo = v[i];
    for (std::size_t i = 1; i < n; ++i)
        if (v[i] > hi) hi = v[i];
    return (lo + hi) / 2.0;
}

BankKey bank_key(int side) {
    switch (side) {
        case 0: return {1, false};
        case 1: return {0, true};
        case 2: return {1, true};
        default: return {0, false};
    }
}

namespace {

// Unsigned image of a double whose order is the numeric order (-0.0 folded
// into 0.0 so that equal keys stay equal).
inline std::uint64_t ordered_bits(double k) {
    if (k == 0) k = 0.0;
    std::uint64_t u;
    std::memcpy(&u, &k, sizeof u);
    return (u >> 63) ? ~u : (u | (std::uint64_t{1} << 63));
}

}  // namespace

void stable_order(const double* keys, std::size_t n, std::vector<std::size_t>& order) {
    order.resize(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    bool ascending = true;
    for (std::size_t i = 1; i < n && ascending; ++i) ascending = !(keys[i] < keys[i - 1]);
    if (ascending) return;
    if (n < 256) {
        std::stable_sort(order.begin(), order.end(),
                         [keys](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
        return;
    }
    // LSD radix sort on 11-bit digits (stable by construction); passes whose
    // digit is the same for every key are skipped.
    constexpr int kBits = 11, kPasses = 6;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    struct Item {
        std::uint64_t key;
        std::size_t index;
    };
    std::vector<Item> a(n), b(n);
    std::vector<std::size_t> count(kBuckets * kPasses, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = ordered_bits(keys[i]);
        a[i] = {k, i};
        for (int p = 0; p < kPasses; ++p) ++count[p * kBuckets + ((k >> (p * kBits)) & (kBuckets - 1))];
    }
    for (int p = 0; p < kPasses; ++p) {
        std::size_t* c = &count[p * kBuckets];
        if (c[(a[0].key >> (p * kBits)) & (kBuckets - 1)] == n) continue;
        std::size_t sum = 0;
        for (std::size_t d = 0; d < kBuckets; ++d) {
            const std::size_t here = c[d];
            c[d] = sum;
            sum += here;
        }
        for (const Item& it : a) b[c[(it.key >> (p * kBits)) & (kBuckets - 1)]++] = it;
        a.swap(b);
    }
    for (std::size_t i = 0; i < n; ++i) order[i] = a[i].index;
}

bool has_nan(const double* v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (std::isnan(v[i])) return true;
    return false;
}

bool exact_mean(const char* at, std::ptrdiff_t stride, std::size_t n, bool single, double& mean) {
    const double limit = single ? 16777216.0 : 9007199254740992.0;
    double sum = 0, total = 0;
    for (std::size_t i = 0; i < n; ++i, at += stride) {
        double v;
        if (single) {
            float f;
            std::memcpy(&f, at, sizeof f);
            v = f;
        } else {
            std::memcpy(&v, at, sizeof v);
        }
        const double mag = std::fabs(v);
        if (!(mag < limit)) return false;  // also rejects inf and NaN
        if (static_cast<double>(static_cast<long long>(v)) != v) return false;  // not integral
        total += mag;
        if (!(total < limit)) return false;
        sum = i == 0 ? v : sum + v;
    }
    mean = sum / static_cast<double>(n);
    return n > 0;
}

std::array<int, 4> group_sides(long long target_side) {
    const int t = floor_mod4(target_side);
    return {floor_mod4(t - 1), t, floor_mod4(t + 1), floor_mod4(t + 2)};
}

int start_target_side(int end_side, double vx, double vy) {
    switch (end_side) {
        case 0: return vx < 0 ? 0 : 2;
        case 1: return vy < 0 ? 1 : 3;
        case 2: return vx > 0 ? 2 : 0;
        default: return vy > 0 ? 3 : 1;
    }
}

std::vector<std::size_t> sort_bank(const std::vector<Port>& ports, const std::vector<std::size_t>& bank) {
    if (bank.empty()) return {};
    const BankKey k = bank_key(quarter_turn(ports[bank[0]].orientation));
    std::vector<double> keys(bank.size());
    for (std::size_t i = 0; i < bank.size(); ++i) {
        const Port& p = ports[bank[i]];
        const double c = k.axis == 0 ? p.x : p.y;
        keys[i] = k.negate ? -c : c;
    }
    std::vector<std::size_t> order;
    stable_order(keys.data(), keys.size(), order);
    for (std::size_t& i : order) i = bank[i];
    return order;
}

std::vector<std::size_t> sort_group(const std::vector<Port>& ports, long long target_side, bool clockwise) {
    std::array<std::vector<std::size_t>, 4> banks;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const int side = quarter_turn(ports[i].orientation);
        if (side < 0) throw std::invalid_argument("port orientation must be finite");
        banks[static_cast<std::size_t>(side)].push_back(i);
    }
    std::vector<std::size_t> out;
    out.reserve(ports.size());
    for (int side : group_sides(target_side)) {
        const std::vector<std::size_t> part = sort_bank(ports, banks[static_cast<std::size_t>(side)]);
        out.insert(out.end(), part.begin(), part.end());
    }
    if (!clockwise) std::reverse(out.begin(), out.end());
    return out;
}

std::pair<std::vector<std::size_t>, std::vector<std::size_t>> match_groups(const std::vector<Port>& start,
                                                                           const std::vector<Port>& end) {
    if (start.size() != end.size()) throw std::invalid_argument("start and end groups must have equal size");
    const std::size_t n = start.size();
    if (n < 2) {
        std::vector<std::size_t> id(n);
        std::iota(id.begin(), id.end(), std::size_t{0});
        return {id, id};
    }
    auto centre = [](const std::vector<Port>& g, int axis) {
        std::vector<double> v(g.size());
        for (std::size_t i = 0; i < g.size(); ++i) v[i] = axis == 0 ? g[i].x : g[i].y;
        return span_centre(v.data(), v.size());
    };
    const double vx = centre(start, 0) - centre(end, 0);
    const double vy = centre(start, 1) - centre(end, 1);
    const int end_side = quarter_turn(end[0].orientation);
    if (end_side < 0) throw std::invalid_argument("port orientation must be finite");
    return {sort_group(start, start_target_side(end_side, vx, vy), true), sort_group(end, end_side, false)};
}

}  // namespace kelvane::ports
