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

long Lattice::edge_between(std::uint32_t a, std::uint32_t b) const {
    if (a >= nodes.size()) return -1;
    for (std::uint32_t k = offsets[a]; k < offsets[a + 1]; ++k)
        if (neighbour[k] == b) return static_cast<long>(edge_id[k]);
    return -1;
}

Lattice build_line_lattice(const std::vector<double>& xs_in, const std::vector<double>& ys_in,
                           const std::vector<Point>& extra, const ObstacleIndex& index) {
    std::vector<double> xs(xs_in), ys(ys_in);
    sorted_distinct(xs, "xs");
    sorted_distinct(ys, "ys");
    for (const Point& p : extra) require_finite(p, "extra point");

    Lattice L;
    const size_t nx = xs.size(), ny = ys.size();
    const size_t grid = nx * ny;
    if (static_cast<double>(nx) * static_cast<double>(ny) + static_cast<double>(extra.size()) > kMaxLatticeNodes)
        throw std::invalid_argument("the lattice would have more than 4e6 nodes (" + std::to_string(nx) + " x " +
                                    std::to_string(ny) + " lines)");
    L.nodes.reserve(grid + extra.size());
    L.id_of.reserve(grid + extra.size());
    for (size_t j = 0; j < ny; ++j)
        for (size_t i = 0; i < nx; ++i) {
            const Point p{xs[i], ys[j]};
            L.id_of.emplace(p, static_cast<std::uint32_t>(L.nodes.size()));
            L.nodes.push_back(p);
        }
    std::vector<std::uint32_t> extras;
    for (const Point& p : extra) {
        auto ins = L.id_of.emplace(p, static_cast<std::uint32_t>(L.nodes.size()));
        if (!ins.second) continue;
        extras.push_back(ins.first->second);
        L.nodes.push_back(p);
    }

    const auto& P = L.nodes;
    auto by_yx = [&P](std::uint32_t a, std::uint32_t b) { return P[a].y < P[b].y || (P[a].y == P[b].y && P[a].x < P[b].x); };
    auto by_xy = [&P](std::uint32_t a, std::uint32_t b) { return P[a].x < P[b].x || (P[a].x == P[b].x && P[a].y < P[b].y); };

    // Row order (y, then x) and column order (x, then y): the grid already
    // comes in row order; the few extra points are merged in.
    std::vector<std::uint32_t> rows(grid), cols(grid);
    for (size_t k = 0; k < grid; ++k) rows[k] = static_cast<std::uint32_t>(k);
    for (size_t i = 0, k = 0; i < nx; ++i)
        for (size_t j = 0; j < ny; ++j) cols[k++] = static_cast<std::uint32_t>(j * nx + i);
    if (!extras.empty()) {
        std::vector<std::uint32_t> e = extras;
        std::sort(e.begin(), e.end(), by_yx);
        rows.insert(rows.end(), e.begin(), e.end());
        std::inplace_merge(rows.begin(), rows.begin() + grid, rows.end(), by_yx);
        std::sort(extras.begin(), extras.end(), by_xy);
        cols.insert(cols.end(), extras.begin(), extras.end());
        std::inplace_merge(cols.begin(), cols.begin() + grid, cols.end(), by_xy);
    }

    std::vector<DirectedEdge> entries;
    entries.reserve(4 * L.nodes.size());
    auto add_edge = [&](std::uint32_t a, std::uint32_t b) {
        const double dd = manhattan(P[a], P[b]);
        if (dd < 1e-9) return;
        if (index.blocked(P[a], P[b])) return;
        const std::uint32_t eid = L.num_edges++;
        entries.push_back({a, b, eid, dd});
        entries.push_back({b, a, eid, dd});
    };
    for (size_t k = 1; k < rows.size(); ++k)
        if (P[rows[k - 1]].y == P[rows[k]].y) add_edge(rows[k - 1], rows[k]);
    for (size_t k = 1; k < cols.size(); ++k)
        if (P[cols[k - 1]].x == P[cols[k]].x) add_edge(cols[k - 1], cols[k]);

    fill_csr(L, entries);
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
