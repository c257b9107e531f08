// Union of boxes: pieces are disjoint, cover exactly the union, and overlap
// collapses to few pieces.
#include <random>

#include "check.hpp"
#include "kelvane/box_union.hpp"

using namespace kelvane;

namespace {

bool same(const Box& a, const Box& b) { return a.x0 == b.x0 && a.y0 == b.y0 && a.x1 == b.x1 && a.y1 == b.y1; }

bool inside_open(const Box& b, double x, double y) { return x > b.x0 && x < b.x1 && y > b.y0 && y < b.y1; }

// Sample points off every box side: each lies in the union exactly when it
// lies in one piece, and never in two.
void check_same_union(const std::vector<Box>& boxes, const std::vector<Box>& pieces, double lo, double hi) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(lo, hi);
    int wrong = 0, doubled = 0;
    for (int k = 0; k < 20000; ++k) {
        const double x = u(rng), y = u(rng);
        bool in = false;
        for (const Box& b : boxes) in = in || inside_open(b, x, y);
        int hits = 0;
        for (const Box& p : pieces) hits += inside_open(p, x, y);
        wrong += in != (hits > 0);
        doubled += hits > 1;
    }
    CHECK(wrong == 0);
    CHECK(doubled == 0);
}

}  // namespace

TEST(union_pieces_keep_separate_boxes_and_merge_stacked_ones) {
    // Two apart, one stacked exactly on the first (a seam), one degenerate.
    const std::vector<Box> boxes{{0, 0, 2, 1}, {5, 0, 6, 3}, {0, 1, 2, 4}, {8, 0, 8, 5}};
    const std::vector<Box> got = union_pieces(boxes);
    CHECK(got.size() == 3);
    CHECK(same(got[0], Box{0, 0, 2, 4}));
    CHECK(same(got[1], Box{5, 0, 6, 3}));
    CHECK(same(got[2], Box{8, 0, 8, 5}));
}

TEST(union_pieces_of_a_cross_are_three_slabs) {
    const std::vector<Box> boxes{{0, 4, 10, 6}, {4, 0, 6, 10}};
    const std::vector<Box> got = union_pieces(boxes);
    CHECK(got.size() == 3);
    CHECK(same(got[0], Box{0, 4, 4, 6}));
    CHECK(same(got[1], Box{4, 0, 6, 10}));
    CHECK(same(got[2], Box{6, 4, 10, 6}));
}

TEST(union_pieces_cover_random_overlapping_boxes_exactly) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> at(0, 100), size(2, 30);
    for (int n : {3, 40, 400}) {
        std::vector<Box> boxes;
        for (int k = 0; k < n; ++k) {
            const double x = at(rng), y = at(rng);
            // Some boxes share sides exactly: snap a quarter of them to a grid of 10.
            const bool snap = k % 4 == 0;
            const double x0 = snap ? 10 * std::floor(x / 10) : x, y0 = snap ? 10 * std::floor(y / 10) : y;
            boxes.push_back({x0, y0, x0 + (snap ? 10 : size(rng)), y0 + (snap ? 10 : size(rng))});
        }
        const std::vector<Box> pieces = union_pieces(boxes);
        check_same_union(boxes, pieces, -5, 135);
    }
}

TEST(union_pieces_collapse_a_heavily_overlapping_heap) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> at(0, 200), size(20, 80);
    std::vector<Box> boxes;
    for (int k = 0; k < 5000; ++k) {
        const double x = at(rng), y = at(rng);
        boxes.push_back({x, y, x + size(rng), y + size(rng)});
    }
    const std::vector<Box> pieces = union_pieces(boxes);
    CHECK(pieces.size() < 600);  // the heap's ragged rim, not its 5000 boxes
    check_same_union(boxes, pieces, -5, 285);
}
