// The turn bound and the heap order shared by both search kernels.
#include <algorithm>
#include <array>
#include <cstdio>
#include <random>
#include <vector>

#include "check.hpp"
#include "kelvane/search.hpp"
#include "kelvane/search_common.hpp"

using namespace kelvane;

// The turn bound equals the fewest turns found by brute force on a grid
// roomy enough to hold every shortest-turn route (targets within 2 of the
// start, grid out to 5).
TEST(turn_bound_matches_brute_force) {
    const int R = 5, side = 2 * R + 1;
    auto at = [&](int x, int y, int h) { return ((y + R) * side + (x + R)) * 4 + h; };
    for (int d = 0; d < 4; ++d) {
        // 0-1 BFS over (cell, heading), cost = turns.
        std::vector<int> turns(side * side * 4, 1 << 20);
        std::vector<std::array<int, 3>> dq, next;
        turns[at(0, 0, d)] = 0;
        dq.push_back({0, 0, d});
        for (int level = 0; !dq.empty(); ++level) {
            for (size_t i = 0; i < dq.size(); ++i) {  // dq grows with same-level moves
                const auto [x, y, h] = dq[i];
                if (turns[at(x, y, h)] != level) continue;
                for (int h2 = 0; h2 < 4; ++h2) {
                    if (h2 == opposite(h)) continue;
                    const int nx = x + static_cast<int>(dir_dx(h2)), ny = y + static_cast<int>(dir_dy(h2));
                    if (nx < -R || nx > R || ny < -R || ny > R) continue;
                    const int c = level + (h2 != h);
                    if (c < turns[at(nx, ny, h2)]) {
                        turns[at(nx, ny, h2)] = c;
                        (c == level ? dq : next).push_back({nx, ny, h2});
                    }
                }
            }
            dq.swap(next);
            next.clear();
        }
        for (int e = kNoDir; e < 4; ++e)
            for (int tx = -2; tx <= 2; ++tx)
                for (int ty = -2; ty <= 2; ++ty) {
                    int want = 1 << 20;
                    for (int a = 0; a < 4; ++a)
                        if (e == kNoDir || a == e) want = std::min(want, turns[at(tx, ty, a)]);
                    const int got = turns_to_arrive(tx, ty, d, e);
                    if (got != want) {
                        std::printf("    heading %d end_dir %d target (%d, %d): bound %d, brute force %d\n", d, e, tx, ty,
                                    got, want);
                        CHECK(got == want);
                    }
                }
    }
}

TEST(heap_pops_lowest_f_then_largest_g_then_lowest_id) {
    SearchHeap h;
    std::mt19937 rng(7);
    std::vector<HeapItem> items;
    for (std::uint32_t i = 0; i < 300; ++i)
        items.push_back({static_cast<double>(rng() % 5), static_cast<double>(rng() % 4), i});
    for (const HeapItem& it : items) h.push(it);
    std::sort(items.begin(), items.end(), [](const HeapItem& a, const HeapItem& b) { return heap_later(b, a); });
    bool ordered = true;
    for (const HeapItem& want : items) {
        const HeapItem got = h.pop();
        ordered = ordered && got.id == want.id;
    }
    CHECK(ordered);
    CHECK(h.empty());
}

// Pushes and pops interleaved as a search does them, ties included: every
// pop gives the least entry still in, as a sorted reference says.
TEST(heap_interleaved_pops_follow_sorted_reference) {
    SearchHeap h;
    std::mt19937 rng(11);
    std::vector<HeapItem> in;  // the reference: entries still in the heap
    bool ordered = true;
    std::uint32_t next_id = 0;
    int pops = 0;
    for (int round = 0; round < 2000; ++round) {
        if (in.empty() || rng() % 3 != 0) {
            const HeapItem it{static_cast<double>(rng() % 6), static_cast<double>(rng() % 3), next_id++};
            h.push(it);
            in.push_back(it);
        } else {
            const auto least = std::min_element(in.begin(), in.end(),
                                                [](const HeapItem& a, const HeapItem& b) { return heap_later(b, a); });
            ordered = ordered && h.top().id == least->id;
            ordered = ordered && h.pop().id == least->id;
            in.erase(least);
            ++pops;
        }
        ordered = ordered && h.size() == in.size();
    }
    CHECK(ordered);
    CHECK(pops > 500);  // the heap emptied and refilled along the way, not only grew
}

// The indexed heap holds a state once: pushing it again lowers its entry
// in place, pops follow (f, then larger g, then id), and reset() empties it
// for reuse.
TEST(state_heap_lowers_entries_in_place) {
    StateHeap h;
    for (int use = 0; use < 2; ++use) {
        h.reset(8);
        for (std::uint32_t id = 0; id < 8; ++id) h.push(10.0 + id, 1.0, id);
        h.push(3.0, 1.0, 6);  // lowered: one entry
        h.push(3.0, 2.0, 7);  // same f, larger g: before 6
        h.push(11.0, 4.0, 5); // f of id 1, larger g: before 1
        CHECK(h.size() == 8);
        const std::uint32_t want[] = {7, 6, 0, 5, 1, 2, 3, 4};
        bool ordered = true;
        for (std::uint32_t id : want) ordered = ordered && h.pop().id == id;
        CHECK(ordered);
        CHECK(h.empty());
        if (use == 0) h.push(1.0, 0.0, 2);  // left in: reset() must clear it
    }
}
