#include "check.hpp"
#include "kelvane/bundle.hpp"

using namespace kelvane;
using namespace kelvane::bundle;

TEST(lane_order_walks_the_ranking) {
    const std::vector<size_t> r4{7, 8, 9, 6}, r5{0, 1, 2, 3, 4};
    CHECK((lane_order(r4, 4, OrderRule::OutsideIn) == std::vector<size_t>{7, 6, 8, 9}));
    CHECK((lane_order(r4, 4, OrderRule::CenterOut) == std::vector<size_t>{9, 6, 8, 7}));
    CHECK((lane_order(r5, 5, OrderRule::OutsideIn) == std::vector<size_t>{0, 4, 1, 3, 2}));
    CHECK((lane_order(r5, 5, OrderRule::CenterOut) == std::vector<size_t>{2, 3, 1, 4, 0}));
    CHECK((lane_order({5, 6, 7}, 3, OrderRule::Reverse) == std::vector<size_t>{2, 1, 0}));
    CHECK((lane_order({}, 1, OrderRule::OutsideIn) == std::vector<size_t>{0}));
    CHECK(lane_order({}, 0, OrderRule::OutsideIn).empty());
}

TEST(lane_order_projections_and_gaps) {
    const Point axis = across(mean_direction({{1, 0}, {1, 0}}));
    CHECK(axis.x == 0 && axis.y > 0.999999 && axis.y < 1);
    CHECK(mean_direction({{1, 0}, {-1, 0}}).x == 0);
    const std::vector<double> proj = project({{0, 5}, {0, 0}, {0, 7}}, {0, 1});
    CHECK((stable_ranking(proj) == std::vector<size_t>{1, 0, 2}));
    CHECK(smallest_gap(proj, 3.0) == 2.0 && smallest_gap({4.0}, 3.0) == 3.0);
    CHECK(!ranking_has_near_ties(proj, stable_ranking(proj), 1e-9));
    CHECK(ranking_has_near_ties({1.0, 1.0 + 1e-12, 3.0}, {0, 1, 2}, 1e-9));
}
