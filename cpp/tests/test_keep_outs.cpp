#include "check.hpp"
#include "kelvane/bundle.hpp"

using namespace kelvane;
using namespace kelvane::bundle;

namespace {

bool same(const std::vector<Box>& a, const std::vector<Box>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].x0 != b[i].x0 || a[i].y0 != b[i].y0 || a[i].x1 != b[i].x1 || a[i].y1 != b[i].y1) return false;
    return true;
}

}  // namespace

TEST(keep_outs_reach_past_inner_corners_only) {
    CHECK(same(skeleton_keep_outs({{0, 0}, {10, 0}}, 1, std::nullopt), {{0, -1, 10, 1}}));
    CHECK(same(skeleton_keep_outs({{0, 0}, {10, 0}, {10, 10}}, 1, std::nullopt), {{0, -1, 11, 1}, {9, -1, 11, 10}}));
    // Drawn backwards: the extension stays with its own end point.
    CHECK(same(skeleton_keep_outs({{10, 10}, {10, 0}, {0, 0}}, 1, std::nullopt), {{9, -1, 11, 10}, {0, -1, 11, 1}}));
}

TEST(keep_outs_narrow_at_the_ports_by_the_pitch) {
    CHECK(same(skeleton_keep_outs({{0, 0}, {10, 0}, {10, 10}}, 1, 1.0), {{0, -0.8, 10.8, 0.8}, {9.2, -0.8, 10.8, 10}}));
    // Middle segment keeps the full spacing; a pitch of 0 is ignored.
    CHECK(same(skeleton_keep_outs({{0, 0}, {10, 0}, {10, 10}, {20, 10}}, 2, 1.0),
               {{0, -0.8, 10.8, 0.8}, {8, -2, 12, 12}, {9.2, 9.2, 20, 10.8}}));
    CHECK(same(skeleton_keep_outs({{0, 0}, {10, 0}}, 2, 0.0), {{0, -2, 10, 2}}));
    CHECK(skeleton_keep_outs({{0, 0}}, 2, 1.0).empty());
}
