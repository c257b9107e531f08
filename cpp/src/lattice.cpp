#include "kelvane/lattice.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace kelvane {

namespace {

struct DirectedEdge {
    std::uint32_t from, to, eid;
    double len;
};

void require_finite(Point p, const char* what) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y))
        throw std::invalid_argument(std::string(what) + " must have finite coordinates");
}

void sorted_distinct(std::vector<double>& v, const char* what) {
    for (double c : v)
        if (!std::isfinite(c)) throw std::invalid_argument(std::string(what) + " must be finite");
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

// Bounding-box figures shared by both builders.
void finish_bounds(Lattice& L) {
    if (L.nodes.empty()) return;
    double x0 = L.nodes[0].x, x1 = x0, y0 = L.nodes[0].y, y1 = y0;
    for (const Point& p : L.nodes) {
        x0 = std::min(x0, p.x);
        x1 = std::max(x1, p.x);
        y0 = std::min(y0, p.y);
        y1 = std::max(y1, p.y);
    }
    L.extent = (x1 - x0) + (y1 - y0);
}

// CSR from directed entries listed in the order they must keep per node.
void fill_csr(Lattice& L, const std::vector<DirectedEdge>& entries) {
    const size_t n = L.nodes.size();
    L.offsets.assign(n + 1, 0);
    for (const DirectedEdge& e : entries) ++L.offsets[e.from + 1];
    for (size_t i = 0; i < n; ++i) L.offsets[i + 1] += L.offsets[i];
    const size_t m = entries.size();
    L.neighbour.resize(m);
    L.length.resize(m);
    L.dir.resize(m);
    L.edge_id.resize(m);
    std::vector<std::uint32_t> fill(L.offsets.begin(), L.offsets.end() - 1);
    L.lengths_at_least_manhattan = true;
    L.axis_parallel = true;
    for (const DirectedEdge& e : entries) {
        const std::uint32_t k = fill[e.from]++;
        const Point a = L.nodes[e.from], b = L.nodes[e.to];
        L.neighbour[k] = e.to;
        L.length[k] = e.len;
        L.dir[k] = static_cast<std::uint8_t>(direction_of(a, b));
        L.edge_id[k] = e.eid;
        if (e.len < manhattan(a, b)) L.lengths_at_least_manhattan = false;
        if (a.x != b.x && a.y != b.y) L.axis_parallel = false;
    }
}

}  // namespace

long Lattice::find(Point p) const {
    if (!xs.empty() && !ys.empty()) {
        const auto ix = std::lower_bound(xs.begin(), xs.end(), p.x);
        if (ix != xs.end() && *ix == p.x) {
            const auto iy = std::lower_bound(ys.begin(), ys.end(), p.y);
            if (iy != ys.end() && *iy == p.y)
                return static_cast<long>(static_cast<size_t>(iy - ys.begin()) * xs.size() +
                                         static_cast<size_t>(ix - xs.begin()));
        }
    }
    if (id_of.empty()) return -1;
    const auto it = id_of.find(p);
    return it == id_of.end() ? -1 : static_cast<long>(it->second);
}

long Lattice::edge_between(std::uint32_t a, std::uint32_t b) const {
    if (a >= nodes.size()) return -1;
    for (std::uint32_t k = offsets[a]; k < offsets[a + 1]; ++k)
        if (neighbour[k] == b) return static_cast<long>(edge_id[k]);
    return -1;
}

size_t Lattice::memory_bytes() const {
    size_t bytes = sizeof(Lattice) + nodes.capacity() * sizeof(Point) + offsets.capacity() * 4 +
                   neighbour.capacity() * 4 + length.capacity() * 8 + dir.capacity() + edge_id.capacity() * 4 +
                   (xs.capacity() + ys.capacity()) * 8;
    // Hash index: one bucket pointer per bucket, one heap node per entry.
    bytes += id_of.bucket_count() * sizeof(void*) + id_of.size() * (sizeof(Point) + 2 * sizeof(void*) + 8);
    return bytes;
}

Lattice build_line_lattice(const std::vector<double>& xs, const std::vector<double>& ys, const std::vector<Point>& extra,
                           const ObstacleIndex& index) {
    return build_line_lattice(xs, ys, extra, [&index](Point a, Point b) { return index.blocked(a, b); });
}

Lattice build_line_lattice(const std::vector<double>& xs_in, const std::vector<double>& ys_in,
                           const std::vector<Point>& extra, const SegmentTest& blocked) {
    Lattice L;
    L.xs = xs_in;
    L.ys = ys_in;
    sorted_distinct(L.xs, "xs");
    sorted_distinct(L.ys, "ys");
    for (const Point& p : extra) require_finite(p, "extra point");
    const std::vector<double>& xs = L.xs;
    const std::vector<double>& ys = L.ys;
    const size_t nx = xs.size(), ny = ys.size();
    const size_t grid = nx * ny;
    if (static_cast<double>(nx) * static_cast<double>(ny) + static_cast<double>(extra.size()) > kMaxLatticeNodes)
        throw std::invalid_argument("the lattice would have more than 4e6 nodes (" + std::to_string(nx) + " x " +
                                    std::to_string(ny) + " lines)");
    if (grid == 0) {  // no crossings: the look-up goes through the index alone
        L.xs.clear();
        L.ys.clear();
    }
    L.nodes.reserve(grid + extra.size());
    for (size_t j = 0; j < ny && grid; ++j)
        for (size_t i = 0; i < nx; ++i) L.nodes.push_back({xs[i], ys[j]});
    std::vector<std::uint32_t> extras;
    for (const Point& p : extra) {
        if (L.find(p) >= 0) continue;
        L.id_of.emplace(p, static_cast<std::uint32_t>(L.nodes.size()));
        extras.push_back(static_cast<std::uint32_t>(L.nodes.size()));
        L.nodes.push_back(p);
    }
    const auto& P = L.nodes;
    auto by_yx = [&P](std::uint32_t a, std::uint32_t b) { return P[a].y < P[b].y || (P[a].y == P[b].y && P[a].x < P[b].x); };
    auto by_xy = [&P](std::uint32_t a, std::uint32_t b) { return P[a] < P[b]; };
    std::vector<std::uint32_t> extras_yx = extras, extras_xy = extras;
    std::sort(extras_yx.begin(), extras_yx.end(), by_yx);
    std::sort(extras_xy.begin(), extras_xy.end(), by_xy);

    // Consecutive nodes on one line, in the global edge order: every node in
    // row order (y, then x), then in column order (x, then y), the grid in
    // place and the few extra points merged in; fn(a, b) for each pair.
    auto for_each_candidate = [&](auto&& fn) {
        auto line_walk = [&](size_t outer, size_t inner, bool rows, const std::vector<std::uint32_t>& ex, auto&& less) {
            long prev = -1;
            auto visit = [&](std::uint32_t id) {
                if (prev >= 0) {
                    const Point a = P[static_cast<std::uint32_t>(prev)], b = P[id];
                    if (rows ? a.y == b.y : a.x == b.x) fn(static_cast<std::uint32_t>(prev), id);
                }
                prev = id;
            };
            size_t e = 0;
            for (size_t o = 0; o < outer && grid; ++o)
                for (size_t k = 0; k < inner; ++k) {
                    const std::uint32_t g = static_cast<std::uint32_t>(rows ? o * nx + k : k * nx + o);
                    while (e < ex.size() && less(ex[e], g)) visit(ex[e++]);
                    visit(g);
                }
            while (e < ex.size()) visit(ex[e++]);
        };
        line_walk(ny, nx, true, extras_yx, by_yx);
        line_walk(nx, ny, false, extras_xy, by_xy);
    };
    // Pass 1 decides each candidate once (the segment test may be costly)
    // and counts degrees; pass 2 fills the neighbour lists in order.
    const size_t n = P.size();
    std::vector<bool> accepted;
    accepted.reserve(2 * n);
    L.offsets.assign(n + 1, 0);
    for_each_candidate([&](std::uint32_t a, std::uint32_t b) {
        const bool ok = manhattan(P[a], P[b]) >= 1e-9 && !blocked(P[a], P[b]);
        accepted.push_back(ok);
        if (ok) {
            ++L.offsets[a + 1];
            ++L.offsets[b + 1];
        }
    });
    for (size_t i = 0; i < n; ++i) L.offsets[i + 1] += L.offsets[i];
    const size_t m = L.offsets[n];
    L.neighbour.resize(m);
    L.dir.resize(m);
    L.edge_id.resize(m);
    std::vector<std::uint32_t> fill(L.offsets.begin(), L.offsets.end() - 1);
    size_t cand = 0;
    for_each_candidate([&](std::uint32_t a, std::uint32_t b) {
        if (!accepted[cand++]) return;
        const std::uint32_t eid = L.num_edges++;
        for (const auto& [from, to] : {std::pair{a, b}, std::pair{b, a}}) {
            const std::uint32_t k = fill[from]++;
            L.neighbour[k] = to;
            L.dir[k] = static_cast<std::uint8_t>(direction_of(P[from], P[to]));
            L.edge_id[k] = eid;
        }
    });
    finish_bounds(L);
    return L;
}

Lattice build_lattice_from_lists(std::vector<Point> nodes,
                                 const std::vector<std::vector<std::pair<std::uint32_t, double>>>& adj) {
    if (adj.size() != nodes.size()) throw std::invalid_argument("adjacency lists and nodes differ in number");
    std::vector<std::uint32_t> offsets{0}, targets;
    std::vector<double> lengths;
    for (const auto& list : adj) {
        for (const auto& [b, len] : list) {
            targets.push_back(b);
            lengths.push_back(len);
        }
        offsets.push_back(static_cast<std::uint32_t>(targets.size()));
    }
    return build_lattice_from_csr(std::move(nodes), offsets, targets, lengths);
}

Lattice build_lattice_from_csr(std::vector<Point> nodes, const std::vector<std::uint32_t>& offsets,
                               const std::vector<std::uint32_t>& targets, const std::vector<double>& lengths,
                               PointIndex id_of) {
    if (nodes.size() >= std::numeric_limits<std::uint32_t>::max()) throw std::invalid_argument("lattice too large");
    if (offsets.size() != nodes.size() + 1 || offsets.front() != 0 || offsets.back() != targets.size() ||
        lengths.size() != targets.size())
        throw std::invalid_argument("inconsistent adjacency arrays");
    Lattice L;
    L.nodes = std::move(nodes);
    const std::uint32_t n = static_cast<std::uint32_t>(L.nodes.size());
    for (const Point& p : L.nodes) require_finite(p, "node");
    if (!id_of.empty()) {
        if (id_of.size() != n) throw std::invalid_argument("node index does not match the nodes");
        L.id_of = std::move(id_of);
    } else {
        L.id_of.reserve(n);
        for (std::uint32_t i = 0; i < n; ++i)
            if (!L.id_of.emplace(L.nodes[i], i).second) throw std::invalid_argument("duplicate node");
    }
    std::unordered_map<std::uint64_t, std::uint32_t> pair_id;
    pair_id.reserve(targets.size());
    std::vector<DirectedEdge> entries;
    entries.reserve(targets.size());
    for (std::uint32_t a = 0; a < n; ++a) {
        if (offsets[a + 1] < offsets[a]) throw std::invalid_argument("inconsistent adjacency arrays");
        for (std::uint32_t k = offsets[a]; k < offsets[a + 1]; ++k) {
            const std::uint32_t b = targets[k];
            const double len = lengths[k];
            if (b >= n) throw std::invalid_argument("neighbour id out of range");
            if (b == a) throw std::invalid_argument("node lists itself as a neighbour");
            if (!std::isfinite(len) || len < 0) throw std::invalid_argument("edge length must be finite and >= 0");
            const std::uint64_t key = (static_cast<std::uint64_t>(std::min(a, b)) << 32) | std::max(a, b);
            auto ins = pair_id.emplace(key, L.num_edges);
            if (ins.second) ++L.num_edges;
            entries.push_back({a, b, ins.first->second, len});
        }
    }
    fill_csr(L, entries);
    finish_bounds(L);
    return L;
}

}  // namespace kelvane
