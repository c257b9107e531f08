// Explicit track lattice: nodes with integer ids and a CSR adjacency.
//
// Built either from track lines (every crossing of a horizontal and a vertical
// line is a node, neighbours along a line are joined unless an obstacle blocks
// the segment) or from a caller's adjacency lists.  Neighbour order is kept
// exactly as built: the search breaks ties on it.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <unordered_map>
#include <vector>

#include "kelvane/geometry.hpp"
#include "kelvane/obstacles.hpp"

namespace kelvane {

struct PointHash {
    size_t operator()(const Point& p) const noexcept {
        std::uint64_t a, b;
        static_assert(sizeof(double) == 8, "64-bit doubles");
        double x = p.x == 0.0 ? 0.0 : p.x, y = p.y == 0.0 ? 0.0 : p.y;  // -0.0 == 0.0
        std::memcpy(&a, &x, 8);
        std::memcpy(&b, &y, 8);
        std::uint64_t h = a * 0x9E3779B97F4A7C15ull ^ (b + 0x7F4A7C159E3779B9ull + (a << 6) + (a >> 2));
        h ^= h >> 31;
        return static_cast<size_t>(h * 0xBF58476D1CE4E5B9ull);
    }
};

using PointIndex = std::unordered_map<Point, std::uint32_t, PointHash>;

struct Lattice {
    std::vector<Point> nodes;                    // node id -> coordinates
    std::vector<std::uint32_t> offsets;          // CSR: neighbours of n are [offsets[n], offsets[n+1])
    std::vector<std::uint32_t> neighbour;        // target node id
    std::vector<double> length;                  // edge length as given; empty: every edge is as long
                                                 // as the Manhattan distance of its ends (line lattices)
    std::vector<std::uint8_t> dir;               // travel direction of the step (E, N, W, S)
    std::vector<std::uint32_t> edge_id;          // undirected edge id shared by both directions
    std::uint32_t num_edges = 0;                 // number of undirected edges
    bool lengths_at_least_manhattan = true;      // enables the A* distance bound
    bool axis_parallel = true;                   // every edge is horizontal or vertical (enables the turn bound)
    double extent = 0.0;                         // x range + y range of the nodes (turn-bias scale)
    // Node look-up.  Line lattices keep their sorted line coordinates (the
    // crossing of column i and row j is node j * |xs| + i) and index only
    // the extra points in id_of; other lattices index every node there.
    std::vector<double> xs, ys;
    PointIndex id_of;

    size_t size() const { return nodes.size(); }
    long find(Point p) const;
    double edge_length(std::uint32_t from, std::uint32_t k) const {
        return length.empty() ? manhattan(nodes[from], nodes[neighbour[k]]) : length[k];
    }
    // Undirected edge id between neighbours a and b, or -1.
    long edge_between(std::uint32_t a, std::uint32_t b) const;
    // Bytes held by the lattice's arrays and index.
    size_t memory_bytes() const;
};

// Explicit lattices above this many nodes are refused (std::invalid_argument)
// before anything is allocated: every crossing is stored with its
// neighbours, and a search over the lattice keeps four states per node (a
// few hundred bytes per node together, about 1 GB at the limit).
constexpr double kMaxLatticeNodes = 4e6;

// Lattice over the crossings of `xs` (vertical lines) and `ys` (horizontal
// lines), plus `extra` points.  Node order: extra points are appended after
// the grid in the order given (duplicates of grid nodes are dropped).
// Edges: horizontal lines from the lowest y up, each from low x to high x;
// then vertical lines from the lowest x up, each from low y to high y.  A
// segment blocked by `index` is not entered.
//
// `xs` and `ys` may come unsorted and with repeats; the grid uses their sorted
// distinct values, node id = row * |xs| + column with rows from the lowest y.
// Extra points join the lines through their own coordinates (an extra point
// off every grid line still meets other extra points on its x or y).  Each
// node's neighbour list follows the global edge order, so it reads: west,
// east, south, north neighbour (those that exist).  Zero-length edges never
// occur; every edge length is the Manhattan distance of its ends.
// Throws std::invalid_argument for non-finite coordinates and for more than
// kMaxLatticeNodes nodes (before allocating them).
// Neighbour lists are filled in place (no per-edge scratch), and lengths
// are not stored (they are the Manhattan distances): a line lattice holds
// about 60 bytes per node.
Lattice build_line_lattice(const std::vector<double>& xs, const std::vector<double>& ys, const std::vector<Point>& extra,
                           const ObstacleIndex& index);

// The same with any segment test: blocked(a, b) true means the segment
// between the neighbours a and b (a before b along its line) is not entered.
using SegmentTest = std::function<bool(Point, Point)>;
Lattice build_line_lattice(const std::vector<double>& xs, const std::vector<double>& ys, const std::vector<Point>& extra,
                           const SegmentTest& blocked);

// Lattice from adjacency lists: node i of `nodes` has neighbours adj[i] as
// (node id, length) pairs, kept in the order given.  Directions come from the
// coordinates (dominant axis).  Both directions of a pair of nodes share one
// undirected edge id, numbered in order of first appearance.  Throws
// std::invalid_argument for duplicate or non-finite nodes, neighbour ids out
// of range, a node listing itself, and negative or non-finite lengths.
Lattice build_lattice_from_lists(std::vector<Point> nodes,
                                 const std::vector<std::vector<std::pair<std::uint32_t, double>>>& adj);

// The same from flat lists: the neighbours of node i are targets[k] with
// lengths[k] for k in [offsets[i], offsets[i + 1]).  A non-empty `id_of`
// must be the index of `nodes` (node -> position) and is taken over as it is.
Lattice build_lattice_from_csr(std::vector<Point> nodes, const std::vector<std::uint32_t>& offsets,
                               const std::vector<std::uint32_t>& targets, const std::vector<double>& lengths,
                               PointIndex id_of = {});

}  // namespace kelvane
