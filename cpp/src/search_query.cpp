#include "kelvane/search_query.hpp"

#include <mutex>
#include <stdexcept>

#include "kelvane/repr.hpp"

namespace kelvane {

Lattice lattice_from_points(std::vector<Point> nodes, const std::vector<std::uint32_t>& offsets,
                            const std::vector<Point>& targets, const std::vector<double>& lengths,
                            const std::string& name) {
    PointIndex ids;
    ids.reserve(nodes.size());
    for (std::uint32_t i = 0; i < nodes.size(); ++i)
        if (!ids.emplace(nodes[i], i).second)
            throw std::invalid_argument(name + " has the node " + point_repr(nodes[i]) + " twice");
    std::vector<std::uint32_t> target_ids(targets.size());
    for (std::uint32_t i = 0; i + 1 < offsets.size(); ++i) {
        auto where = [&] { return name + "[" + point_repr(nodes[i]) + "]"; };
        for (std::uint32_t k = offsets[i]; k < offsets[i + 1]; ++k) {
            auto it = ids.find(targets[k]);
            if (it == ids.end())
                throw std::invalid_argument(where() + ": neighbour " + point_repr(targets[k]) + " is not a node of " +
                                            name);
            if (it->second == i) throw std::invalid_argument(where() + " lists the node itself as a neighbour");
            if (lengths[k] < 0)
                throw std::invalid_argument(where() + ": edge length must be >= 0, got " + float_repr(lengths[k]));
            target_ids[k] = it->second;
        }
    }
    return build_lattice_from_csr(std::move(nodes), offsets, target_ids, lengths, std::move(ids));
}

void add_edge_pen(SearchQuery& q, const Lattice& L, Point a, Point b, double pen) {
    if (!(pen >= 0))
        throw std::invalid_argument("edge_pen values must be >= 0 (inf closes an edge), got " + float_repr(pen));
    if (pen == 0.0 || b < a) return;
    const long ia = L.find(a), ib = L.find(b);
    if (ia < 0 || ib < 0) return;
    const long e = L.edge_between(static_cast<std::uint32_t>(ia), static_cast<std::uint32_t>(ib));
    if (e >= 0) q.edge_pen.emplace_back(static_cast<std::uint32_t>(e), pen);
}

void add_blocked_passthrough(SearchQuery& q, const Lattice& L, Point node, int heading) {
    const long id = L.find(node);
    if (id >= 0) q.blocked_passthrough.emplace_back(static_cast<std::uint32_t>(id), static_cast<std::uint8_t>(heading));
}

void add_node_chord(SearchQuery& q, const Lattice& L, Point node, int i0, int i1) {
    const long id = L.find(node);
    if (id >= 0)
        q.node_chords.push_back(
            {static_cast<std::uint32_t>(id), {static_cast<std::uint8_t>(i0), static_cast<std::uint8_t>(i1)}});
}

std::shared_ptr<SearchWorkspace> pooled_workspace() {
    static std::mutex mu;
    static std::vector<std::shared_ptr<SearchWorkspace>> pool;
    std::lock_guard<std::mutex> lock(mu);
    for (auto& w : pool)
        if (w.use_count() == 1) return w;
    auto w = std::make_shared<SearchWorkspace>();
    if (pool.size() < 8) pool.push_back(w);
    return w;
}

}  // namespace kelvane
