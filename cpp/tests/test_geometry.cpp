#include "check.hpp"
#include "kelvane/geometry.hpp"
#include "kelvane/obstacles.hpp"

using namespace kelvane;

TEST(chords_interleave_only_for_alternating_distinct_sides) {
    CHECK(chords_interleave(0, 2, 1, 3));   // straight E-W crosses straight N-S
    CHECK(chords_interleave(1, 3, 0, 2));
    CHECK(!chords_interleave(0, 1, 2, 3));  // two corners on opposite quadrants touch nothing
    CHECK(!chords_interleave(0, 2, 0, 1));  // sharing a side is an overlap, not a crossing
    CHECK(!chords_interleave(0, 3, 1, 2));
}

TEST(simplify_drops_collinear_and_zero_steps) {
    Path p{{0, 0}, {1, 0}, {1, 0}, {3, 0}, {3, 2}, {3, 5}};
    Path s = simplify_path(p);
    CHECK(s.size() == 3);
    CHECK(s[1] == (Point{3, 0}));
    CHECK(count_bends(p) == 1);
    CHECK_NEAR(path_length(p), 8.0, 1e-12);
}

TEST(blocked_means_through_the_interior_or_along_a_side) {
    ObstacleIndex idx({{0, 0, 10, 10}}, 0.0);
    CHECK(idx.blocked({-5, 5}, {5, 5}));      // enters the interior
    CHECK(idx.blocked({-5, 10}, {15, 10}));   // runs along the top side
    CHECK(idx.blocked({10, 2}, {10, 3}));     // a short stretch of the right side
    CHECK(!idx.blocked({10, 10}, {10, 20}));  // leaves the corner: one point of contact
    CHECK(!idx.blocked({-5, 5}, {0, 5}));     // ends on the left side
    CHECK(!idx.blocked({-5, 11}, {15, 11}));  // passes above
    CHECK(idx.blocked({5, -3}, {5, 3}));
    ObstacleIndex wall({{5, 0, 5, 10}}, 0.0);  // zero-width wall
    CHECK(wall.blocked({0, 5}, {10, 5}));
    CHECK(!wall.blocked({0, 5}, {5, 5}));
}

TEST(touches_counts_sides_and_corners) {
    Box b{0, 0, 2, 2};
    CHECK(segment_touches({-1, 2}, {0, 2}, b, 1e-9));
    CHECK(segment_touches({2, 2}, {2, 5}, b, 1e-9));
    CHECK(!segment_touches({2.1, 0}, {2.1, 5}, b, 1e-9));
}

// Steps and tangents take their dominant axis; a tie (a diagonal, or no step
// at all) counts as vertical, and a zero step as heading S.
TEST(headings_take_the_dominant_axis_ties_vertical) {
    const struct {
        Point t;
        int want;
    } cases[] = {{{3, 0}, E}, {{0, 2}, N}, {{-1e-9, 0}, W}, {{0, -5}, S}, {{2, -1}, E},
                 {{1, 1}, N}, {{-1, -1}, S}, {{-1, 1}, N}, {{0, 0}, S}};
    for (const auto& c : cases) {
        CHECK(tangent_heading(c.t) == c.want);
        CHECK(direction_of({5, 5}, {5 + c.t.x, 5 + c.t.y}) == c.want);
    }
}

// The step's axis and sign follow direction_of, its tie rule included.
TEST(axis_and_sign_reads_the_step_direction) {
    CHECK((axis_and_sign({1, 1}, {4, 1}) == std::pair<int, int>{0, 1}));
    CHECK((axis_and_sign({1, 1}, {1, -3}) == std::pair<int, int>{1, -1}));
    CHECK((axis_and_sign({0, 0}, {-2, 2}) == std::pair<int, int>{1, 1}));
    CHECK((axis_and_sign({2, 2}, {2, 2}) == std::pair<int, int>{1, -1}));
}
