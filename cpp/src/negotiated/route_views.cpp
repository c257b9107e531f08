// Per-route views of the shared lattice and the edges near each route's ports.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "negotiated/steps.hpp"
#include "kelvane/obstacles.hpp"

namespace kelvane::negotiated {

long nearest_node(const Lattice& L, Point p) {
    if (L.size() == 0) return -1;
    long best = 0;
    double best_d = std::fabs(L.nodes[0].x - p.x) + std::fabs(L.nodes[0].y - p.y);
    for (size_t i = 1; i < L.size(); ++i) {
        const double dd = std::fabs(L.nodes[i].x - p.x) + std::fabs(L.nodes[i].y - p.y);
        if (dd < best_d) {
            best_d = dd;
            best = static_cast<long>(i);
        }
    }
    return best;
}

namespace {

long snap_nearest(const Lattice& L, Point p) {
    const long known = L.find(p);
    if (known >= 0) return known;
    const long near = nearest_node(L, p);
    if (near < 0) throw std::invalid_argument("the lattice has no nodes to snap to");
    return near;
}

}  // namespace

RouteView shared_view(const RouteLines& g, const Lattice& L) {
    RouteView v;
    v.start = snap_nearest(L, g.start);
    v.end = snap_nearest(L, g.end);
    v.end_port_node = snap_nearest(L, g.end_port);
    v.end_port = L.nodes[v.end_port_node];
    v.start_dir = g.start_dir;
    v.end_dir = g.end_dir;
    v.end_approach_len = g.end_approach_len;
    v.obstacles = g.obstacles;
    return v;
}

PortOwners port_block_owners(const Scene& scene, const Lattice& L, double half) {
    if (!std::isfinite(half) || half < 0) throw std::invalid_argument("port_clearance must be finite and >= 0");
    // Two squares per route, start then end; square i belongs to route i / 2.
    std::vector<Box> squares;
    squares.reserve(2 * scene.size());
    for (const auto& pr : scene.ports)
        for (const Point& c : pr) squares.push_back({c.x - half, c.y - half, c.x + half, c.y + half});
    const ObstacleIndex index(squares, scene.dbu);
    const double eps = contact_tolerance(scene.dbu);

    PortOwners out;
    std::vector<std::uint32_t> owners;
    std::vector<bool> seen(L.num_edges, false);  // each edge once, where the adjacency lists it first
    for (std::uint32_t n = 0; n < L.size(); ++n) {
        const Point a = L.nodes[n];
        for (std::uint32_t k = L.offsets[n]; k < L.offsets[n + 1]; ++k) {
            if (seen[L.edge_id[k]]) continue;
            seen[L.edge_id[k]] = true;
            const std::uint32_t m = L.neighbour[k];
            const Point b = L.nodes[m];
            owners.clear();
            index.for_each_near(std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y),
                                [&](size_t i) {
                                    if (segment_touches(a, b, squares[i], eps))
                                        owners.push_back(static_cast<std::uint32_t>(i / 2));
                                });
            if (owners.empty()) continue;
            std::sort(owners.begin(), owners.end());
            owners.erase(std::unique(owners.begin(), owners.end()), owners.end());
            out.edges.push_back(L.edge_id[k]);
            out.ends.push_back(b < a ? std::array{m, n} : std::array{n, m});  // as the edge key lists them
            out.routes.insert(out.routes.end(), owners.begin(), owners.end());
            out.offsets.push_back(static_cast<std::uint32_t>(out.routes.size()));
        }
    }
    return out;
}

}  // namespace kelvane::negotiated
