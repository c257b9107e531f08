#include <cmath>

#include "check.hpp"
#include "kelvane/bundle.hpp"

using namespace kelvane;
using namespace kelvane::bundle;

namespace {

bool same(const Path& a, const Path& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::fabs(a[i].x - b[i].x) > 1e-12 || std::fabs(a[i].y - b[i].y) > 1e-12) return false;
    return true;
}

bool axis_parallel(const Path& p) {
    for (size_t i = 0; i + 1 < p.size(); ++i) {
        const double dx = std::fabs(p[i + 1].x - p[i].x), dy = std::fabs(p[i + 1].y - p[i].y);
        if ((dx > 1e-12) == (dy > 1e-12)) return false;  // diagonal or zero length
    }
    return true;
}

}  // namespace

TEST(offset_l_backbone_with_differing_offsets_meets_at_one_corner) {
    const Path bb{{0, 0}, {10, 0}, {10, 10}};
    const Path lane = offset_skeleton(bb, 2, 5, 99);  // the connect offset plays no part
    CHECK(same(lane, {{0, 2}, {5, 2}, {5, 10}}));
    CHECK(same(offset_skeleton(bb, 2, 2, 0), {{0, 2}, {8, 2}, {8, 10}}));
}

TEST(offset_straight_backbone_jogs_between_its_offsets) {
    const Path bb{{0, 0}, {100, 0}};
    // Moving left (up for +x travel): the jog moves back by the connect offset.
    CHECK(same(offset_skeleton(bb, 2, 6, 3), {{0, 2}, {47, 2}, {47, 6}, {100, 6}}));
    // Moving right: forward by it.
    CHECK(same(offset_skeleton(bb, 6, 2, 3), {{0, 6}, {53, 6}, {53, 2}, {100, 2}}));
    // Kept within the middle 80%.
    CHECK(same(offset_skeleton(bb, 0, 5, 70), {{0, 0}, {10, 0}, {10, 5}, {100, 5}}));
    // Equal offsets stay straight; a zero offset is the backbone itself.
    CHECK(same(offset_skeleton(bb, 3, 3, 7), {{0, 3}, {100, 3}}));
    CHECK(same(offset_skeleton(bb, 0, 0, 7), bb));
}

TEST(offset_neighbouring_jogs_are_one_pitch_apart_and_lanes_stay_axis_parallel) {
    // Four lanes at an uneven start pitch onto an even end pitch (3 apart),
    // connect offsets one pitch apart: the lanes moving right (down) jog
    // lowest first, one pitch apart; the backbone lane stays straight.
    const Path bb{{0, 0}, {100, 0}};
    const double starts[] = {-5, -1, 0, 7}, ends[] = {-6, -3, 0, 3}, connect[] = {-6, -3, 0, 3};
    const double jog_at[] = {44, 47, -1, 53};
    for (int i = 0; i < 4; ++i) {
        const Path lane = offset_skeleton(bb, starts[i], ends[i], connect[i]);
        CHECK(axis_parallel(lane));
        CHECK(lane.front() == (Point{0, starts[i]}) && lane.back() == (Point{100, ends[i]}));
        CHECK(lane.size() == (jog_at[i] < 0 ? 2u : 4u));
        if (jog_at[i] >= 0) CHECK(lane[1].x == jog_at[i] && lane[2].x == jog_at[i]);
    }
}

// The left normal of a step, by its dominant axis; ties and a zero step as
// direction_of reads them.
TEST(side_normal_is_the_left_unit_normal) {
    const struct {
        Point b, want;
    } cases[] = {{{4, 1}, {0, 1}}, {{-4, 1}, {0, -1}}, {{1, 4}, {-1, 0}}, {{1, -4}, {1, 0}},
                 {{2, 2}, {-1, 0}}, {{0, 0}, {1, 0}}};
    for (const auto& c : cases) CHECK(same({side_normal({0, 0}, c.b)}, {c.want}));
}
