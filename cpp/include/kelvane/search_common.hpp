// Vocabulary shared by the two search kernels (the rail-bridge router's
// implicit lattice search and the explicit lattice search): the turn bound
// of A* and the order in which states leave the heap.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "kelvane/geometry.hpp"

namespace kelvane {

// Fewest turns an axis-parallel route needs from here, heading `heading`, to
// a target at offset (dx, dy) = target - here, arriving there heading
// `end_dir` (any heading when end_dir is kNoDir).  The route may turn where
// it stands and every run has positive length, so this is exact in the open
// plane and a lower bound on any lattice; only the signs of dx and dy matter.
// Consistent: one step never lowers it by more than the turn it pays for.
inline int turns_to_arrive(double dx, double dy, int d, int end_dir) {
    // The target in the frame of d: forward f, to the left l.
    double f, l;
    switch (d) {
        case E: f = dx; l = dy; break;
        case N: f = dy; l = -dx; break;
        case W: f = -dx; l = -dy; break;
        default: f = -dy; l = dx; break;
    }
    // Turns to arrive heading forward, left, right and back (relative to d).
    int t[4];
    if (f == 0 && l == 0) {
        t[0] = 0; t[1] = 3; t[3] = 3; t[2] = 4;
    } else {
        t[0] = f > 0 ? (l == 0 ? 0 : 2) : 4;
        t[1] = (l > 0 && f >= 0) ? 1 : 3;
        t[3] = (l < 0 && f >= 0) ? 1 : 3;
        t[2] = l != 0 ? 2 : 4;
    }
    if (end_dir == kNoDir) return std::min(std::min(t[0], t[1]), std::min(t[2], t[3]));
    return t[(end_dir - d + 4) & 3];
}

// One heap entry: estimated total f, travelled cost g, and the id of the
// state (or label) it names.
struct HeapItem {
    double f, g;
    std::uint32_t id;
};

// Heap order: lowest f first; among equal f the larger g (closer to the
// goal, far fewer expansions); then the lower id, so results are
// deterministic.  True when a must leave the heap after b.
inline bool heap_later(const HeapItem& a, const HeapItem& b) {
    if (a.f != b.f) return a.f > b.f;
    if (a.g != b.g) return a.g < b.g;
    return a.id > b.id;
}

// A heap that keeps no entry's place.
struct Unplaced {
    template <class Item>
    void moved(const Item&, std::size_t) {}
    template <class Item>
    void left(const Item&) {}
};

// Min-heap over a reusable buffer; Before()(a, b) is true when a leaves
// before b.  Four children a node: half the depth of a binary heap, and a
// node's children share a cache line or two, so popping (a search's
// commonest heap operation after pushing) touches fewer lines.  Before must
// be a total order on the entries pushed, so the order of pops is that of
// any other heap.  `Places` is told where every entry moves and when it
// leaves (an indexed heap keeps each id's place there to lower it later).
template <class Item, class Before, class Places = Unplaced>
class QuadHeap {
public:
    void clear() { items_.clear(); }
    bool empty() const { return items_.empty(); }
    std::size_t size() const { return items_.size(); }
    const Item& top() const { return items_.front(); }
    const std::vector<Item>& items() const { return items_; }
    Places& places() { return places_; }

    void push(const Item& it) {
        items_.push_back(it);
        lower(items_.size() - 1, it);
    }

    // Entry i becomes `it`, which leaves no later than the entry it replaces.
    void lower(std::size_t i, const Item& it) {
        while (i > 0) {
            const std::size_t parent = (i - 1) / 4;
            if (!Before()(it, items_[parent])) break;
            place(i, items_[parent]);
            i = parent;
        }
        place(i, it);
    }

    Item pop() {
        const Item top = items_.front();
        places_.left(top);
        const Item last = items_.back();
        items_.pop_back();
        const std::size_t n = items_.size();
        if (n == 0) return top;
        std::size_t i = 0;
        for (;;) {
            const std::size_t first = 4 * i + 1;
            if (first >= n) break;
            std::size_t c = first;
            const std::size_t end = std::min(first + 4, n);
            for (std::size_t k = first + 1; k < end; ++k)
                if (Before()(items_[k], items_[c])) c = k;
            if (!Before()(items_[c], last)) break;
            place(i, items_[c]);
            i = c;
        }
        place(i, last);
        return top;
    }

private:
    void place(std::size_t i, const Item& it) {
        items_[i] = it;
        places_.moved(it, i);
    }
    std::vector<Item> items_;
    Places places_;
};

struct HeapItemBefore {
    bool operator()(const HeapItem& a, const HeapItem& b) const { return heap_later(b, a); }
};
// The open list of the rail-bridge search, in heap_later order.
using SearchHeap = QuadHeap<HeapItem, HeapItemBefore>;

}  // namespace kelvane
