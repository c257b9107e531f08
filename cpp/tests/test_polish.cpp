#include <vector>

#include "check.hpp"
#include "kelvane/geometry.hpp"
#include "kelvane/obstacles.hpp"
#include "kelvane/polish.hpp"

using namespace kelvane;

namespace {

bool same_path(const Path& a, const Path& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::fabs(a[i].x - b[i].x) > 1e-12 || std::fabs(a[i].y - b[i].y) > 1e-12) return false;
    return true;
}

const SegmentBlocked kFree = [](Point, Point) { return false; };

SegmentBlocked by_index(const ObstacleIndex& idx) {
    return [&idx](Point p, Point q) { return idx.blocked(p, q); };
}

}  // namespace

TEST(polish_minimum_lengths_by_position) {
    CHECK_NEAR(min_segment_length(0, 1, 2.0), 0.0, 0.0);
    CHECK_NEAR(min_segment_length(0, 3, 2.0), 2.0, 0.0);
    CHECK_NEAR(min_segment_length(1, 3, 2.0), 4.0, 0.0);
    CHECK_NEAR(min_segment_length(2, 3, 2.0), 2.0, 0.0);
}

TEST(polish_forward_shift_shortens_a_parallel_follower) {
    // Z: short first run, the vertical jog slides right, the last run shrinks.
    Path p{{0, 0}, {0.5, 0}, {0.5, 5}, {10, 5}};
    CHECK(shift_neighbour(p, 0, Shift::Forward, 1.0, kFree));
    CHECK(same_path(p, {{0, 0}, {1, 0}, {1, 5}, {10, 5}}));
    // Already long enough: nothing to do.
    CHECK(!shift_neighbour(p, 0, Shift::Forward, 1.0, kFree));
}

TEST(polish_forward_shift_lengthens_an_opposite_follower) {
    Path p{{0, 0}, {0.25, 0}, {0.25, 10}, {0, 10}};  // hairpin
    CHECK(shift_neighbour(p, 0, Shift::Forward, 1.0, kFree));
    CHECK(same_path(p, {{0, 0}, {1, 0}, {1, 10}, {0, 10}}));
}

TEST(polish_backward_shift_moves_the_previous_segment) {
    // Last run (x from 9.5 to 10) too short; the vertical at x = 9.5 slides left.
    Path p{{0, 0}, {9.5, 0}, {9.5, 5}, {10, 5}};
    CHECK(shift_neighbour(p, 2, Shift::Backward, 1.0, kFree));
    CHECK(same_path(p, {{0, 0}, {9, 0}, {9, 5}, {10, 5}}));
}

TEST(polish_end_points_are_never_moved) {
    Path z{{0, 0}, {5, 0}, {5, 1}, {10, 1}};  // middle jog of 1 < 2
    const Path orig = z;
    CHECK(!shift_neighbour(z, 1, Shift::Forward, 1.0, kFree));   // would move (10, 1)
    CHECK(!shift_neighbour(z, 1, Shift::Backward, 1.0, kFree));  // would move (0, 0)
    CHECK(!shift_neighbour(z, 0, Shift::Backward, 1.0, kFree));
    CHECK(!shift_neighbour(z, 2, Shift::Forward, 1.0, kFree));
    CHECK(same_path(z, orig));
    CHECK(same_path(extend_short_segments(z, 1.0, kFree), orig));
}

TEST(polish_refuses_a_follower_falling_below_its_minimum) {
    // Lengthening the jog by 1 would cut the last run from 1.5 to 0.5 < delta.
    Path p{{0, 0}, {5, 0}, {5, 1}, {10, 1}, {10, 2.5}};
    CHECK(!shift_neighbour(p, 1, Shift::Forward, 1.0, kFree));
    // With a longer last run the same move goes through.
    Path q{{0, 0}, {5, 0}, {5, 1}, {10, 1}, {10, 3}};
    CHECK(shift_neighbour(q, 1, Shift::Forward, 1.0, kFree));
    CHECK(same_path(q, {{0, 0}, {5, 0}, {5, 2}, {10, 2}, {10, 3}}));
}

TEST(polish_refuses_a_follower_that_would_vanish_or_reverse) {
    Path p{{0, 0}, {0.5, 0}, {0.5, 5}, {1, 5}};  // last run exactly `need` long
    CHECK(!shift_neighbour(p, 0, Shift::Forward, 1.0, kFree));
    Path q{{0, 0}, {0.5, 0}, {0.5, 5}, {0.75, 5}};
    CHECK(!shift_neighbour(q, 0, Shift::Forward, 1.0, kFree));
}

TEST(polish_short_follower_may_grow_but_not_shrink) {
    // Both port runs are short; the first fix lengthens the opposite last run.
    Path p{{0, 0}, {0.5, 0}, {0.5, 10}, {0.25, 10}};
    CHECK(shift_neighbour(p, 0, Shift::Forward, 1.0, kFree));
    CHECK(same_path(p, {{0, 0}, {1, 0}, {1, 10}, {0.25, 10}}));
    // A short follower running the same way may not get shorter still.
    Path q{{0, 0}, {0.5, 0}, {0.5, 5}, {1.25, 5}, {1.25, 10}};
    CHECK(!shift_neighbour(q, 0, Shift::Forward, 1.0, kFree));
}

TEST(polish_refuses_moves_that_break_axis_parallel_shape) {
    // Segment beyond the sliding one is a reversal of it (perpendicular to k).
    Path p{{0, 0}, {0.5, 0}, {0.5, 5}, {0.5, 3}, {4, 3}};
    CHECK(!shift_neighbour(p, 0, Shift::Forward, 1.0, kFree));
    // The neighbour is a reversal of the short segment itself.
    Path q{{0, 0}, {0.5, 0}, {0.2, 0}, {0.2, 5}, {4, 5}};
    CHECK(!shift_neighbour(q, 0, Shift::Forward, 1.0, kFree));
    // Diagonal neighbour.
    Path r{{0, 0}, {0.5, 0}, {1.5, 5}, {9, 5}, {9, 9}};
    CHECK(!shift_neighbour(r, 0, Shift::Forward, 1.0, kFree));
}

TEST(polish_obstacle_refuses_moves_into_or_along_an_obstacle) {
    const Path hairpin{{0, 0}, {0.5, 0}, {0.5, 10}, {0, 10}};
    ObstacleIndex inside({{0.7, 2, 3, 4}}, 0.0);  // the slid run at x = 1 would cross it
    Path p = hairpin;
    CHECK(!shift_neighbour(p, 0, Shift::Forward, 1.0, by_index(inside)));
    CHECK(same_path(p, hairpin));
    CHECK(same_path(extend_short_segments(hairpin, 1.0, by_index(inside)), hairpin));
    ObstacleIndex flush({{1, 2, 3, 4}}, 0.0);  // x = 1 would run along its side
    CHECK(same_path(extend_short_segments(hairpin, 1.0, by_index(flush)), hairpin));
    ObstacleIndex clear({{1.1, 2, 3, 4}}, 0.0);
    CHECK(same_path(extend_short_segments(hairpin, 1.0, by_index(clear)), {{0, 0}, {1, 0}, {1, 10}, {0, 10}}));
}

TEST(polish_tests_changed_segments_in_path_order) {
    std::vector<std::pair<Point, Point>> calls;
    SegmentBlocked spy = [&](Point a, Point b) {
        calls.emplace_back(a, b);
        return false;
    };
    Path p{{0, 0}, {0.5, 0}, {0.5, 5}, {10, 5}};
    CHECK(shift_neighbour(p, 0, Shift::Forward, 1.0, spy));
    CHECK(calls.size() == 3);
    if (calls.size() == 3) {
        CHECK(calls[0].first == (Point{0, 0}) && calls[0].second == (Point{1, 0}));
        CHECK(calls[1].first == (Point{1, 0}) && calls[1].second == (Point{1, 5}));
        CHECK(calls[2].first == (Point{1, 5}) && calls[2].second == (Point{10, 5}));
    }
}

TEST(polish_pass_falls_back_to_backward_and_repeats) {
    // The inner vertical (5,4)-(5,5) of length 1 cannot be fixed forward
    // (the last run would drop to 0.5) but can be fixed backward.
    const Path in{{0, 0}, {0, 4}, {5, 4}, {5, 5}, {10, 5}, {10, 6.5}};
    const Path out = extend_short_segments(in, 1.0, kFree);
    CHECK(same_path(out, {{0, 0}, {0, 3}, {5, 3}, {5, 5}, {10, 5}, {10, 6.5}}));
}

TEST(polish_fixes_several_segments_in_one_pass) {
    const Path in{{0, 0}, {0.5, 0}, {0.5, 3}, {10, 3}, {10, 3.5}, {12, 3.5}, {12, 20}};
    const Path out = extend_short_segments(in, 1.0, kFree);
    CHECK(same_path(out, {{0, 0}, {1, 0}, {1, 3}, {10, 3}, {10, 5}, {12, 5}, {12, 20}}));
}

TEST(polish_later_fix_enables_an_earlier_one_in_the_next_pass) {
    // Segment 1 (length 1) can only grow by taking 1 from segment 3, which is
    // exactly at its minimum 2.  Fixing segment 5 backward lengthens segment 3
    // to 3 (it runs opposite to 5); the second pass then fixes segment 1.
    const Path in{{0, 0}, {5, 0}, {5, 1}, {10, 1}, {10, 3}, {15, 3}, {15, 2}, {20, 2}};
    const Path out = extend_short_segments(in, 1.0, kFree);
    CHECK(same_path(out, {{0, 0}, {5, 0}, {5, 2}, {10, 2}, {10, 4}, {15, 4}, {15, 2}, {20, 2}}));
}

TEST(polish_simplifies_and_leaves_trivial_input) {
    Path in{{0, 0}, {0, 0}, {3, 0}, {6, 0}, {6, 4}};
    CHECK(same_path(extend_short_segments(in, 0.0, kFree), {{0, 0}, {6, 0}, {6, 4}}));
    Path one{{0, 0}, {0.1, 0}};
    CHECK(same_path(extend_short_segments(one, 5.0, kFree), one));
    Path none;
    CHECK(extend_short_segments(none, 1.0, kFree).empty());
    // delta = 0 changes nothing but the simplification.
    Path z{{0, 0}, {0.1, 0}, {0.1, 5}, {10, 5}};
    CHECK(same_path(extend_short_segments(z, 0.0, kFree), z));
    // An empty test function means no obstacles.
    CHECK(same_path(extend_short_segments(z, 1.0, SegmentBlocked{}), {{0, 0}, {1, 0}, {1, 5}, {10, 5}}));
}
