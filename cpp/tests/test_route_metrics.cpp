// Route metrics of the negotiated router.
#include <cmath>

#include "check.hpp"
#include "negotiated/steps.hpp"

using namespace kelvane;
using namespace kelvane::negotiated;

TEST(segments_cross_or_touch_when_perpendicular) {
    CHECK(seg_crosses({0, 0}, {10, 0}, {5, -5}, {5, 5}));
    CHECK(seg_crosses({0, 0}, {10, 0}, {10, 0}, {10, 5}));  // L meeting
    CHECK(!seg_crosses({0, 0}, {10, 0}, {5, 0}, {15, 0}));  // parallel
    CHECK(!seg_crosses({0, 0}, {10, 0}, {10.1, -1}, {10.1, 1}));
}

TEST(crossings_and_shared_edges_between_lattice_paths) {
    const Path a{{0, 1}, {1, 1}, {2, 1}}, b{{1, 0}, {1, 1}, {1, 2}}, c{{0, 1}, {1, 1}, {1, 2}}, d{{2, 1}, {1, 1}, {1, 0}};
    CHECK(count_crossings({a, b}).crossings == 1);
    CHECK(count_crossings({c, d}).crossings == 0);                    // turning away: no interleaving
    CHECK(count_crossings({a, a, std::nullopt, a}).overlaps == 6);    // 3 pairs x 2 edges
    CHECK(count_crossings({Path{{1, 0}, {1, 1}}, a}).crossings == 0);  // ends on the other
}

TEST(self_intersections_of_a_figure_eight) {
    const Path eight{{0, 1}, {1, 1}, {2, 1}, {2, 2}, {1, 2}, {1, 1}, {1, 0}};
    const PointBans bans = self_intersections(eight);
    CHECK(bans.size() == 4);
    for (const auto& [p, d] : bans) CHECK(p == (Point{1, 1}));
    CHECK(self_intersections({{0, 0}, {1, 0}}).empty());
}

TEST(length_is_numpys_pairwise_sum_and_turns) {
    const Path p{{311.9, 776.78},  {713.33, 170.94}, {484.9, 791.57},  {621.35, 820.14},
                 {761.33, 85.88},  {793.77, 17.25},  {615.03, 339.94}, {721.92, 307.14},
                 {251.32, 939.98}, {616.38, 709.06}, {720.41, 624.36}, {520.53, 837.63}};
    CHECK(manhattan_length(p) == 5939.08);  // a running sum gives 5939.080000000002
    CHECK(manhattan_length({{0, 0}}) == 0.0);
    CHECK(count_turns({{0, 0}, {0, 0}, {5, 0}, {5, 5}}) == 1);
    const std::vector<double> tenths(10, 0.1);
    CHECK(host_sum(tenths, true) == 1.0);
    CHECK(host_sum(tenths, false) == 0.9999999999999999);
}
