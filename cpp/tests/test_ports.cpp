#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "check.hpp"
#include "kelvane/ports.hpp"

using namespace kelvane::ports;
using Idx = std::vector<std::size_t>;

TEST(ports_quarter_turn_axes_and_wrap) {
    const double deg[] = {0, 90, 180, 270, 360, -360, -90, 44.9, 45.1, 720, -270, 1e300, -1e300};
    const int want[] = {0, 1, 2, 3, 0, 0, 3, 0, 1, 0, 1, 0, 0};
    for (int i = 0; i < 13; ++i) CHECK(quarter_turn(deg[i]) == want[i]);
}

TEST(ports_quarter_turn_diagonals_round_half_to_even) {
    // 0.5 -> 0, 1.5 -> 2, 2.5 -> 2, 3.5 -> 4 -> 0, -0.5 -> 0, -1.5 -> -2 -> 2, 4.5 -> 4 -> 0
    const double deg[] = {45, 135, 225, 315, -45, -135, 405, 495};
    const int want[] = {0, 2, 2, 0, 0, 2, 0, 2};
    for (int i = 0; i < 8; ++i) CHECK(quarter_turn(deg[i]) == want[i]);
    // just off the diagonal goes to the nearer quarter
    CHECK(quarter_turn(std::nextafter(45.0, 90.0)) == 1);
    CHECK(quarter_turn(std::nextafter(315.0, 0.0)) == 3);
}

TEST(ports_quarter_turn_not_finite) {
    CHECK(quarter_turn(std::numeric_limits<double>::infinity()) == -1);
    CHECK(quarter_turn(-std::numeric_limits<double>::infinity()) == -1);
    CHECK(quarter_turn(std::nan("")) == -1);
}

TEST(ports_floor_mod4) {
    CHECK(floor_mod4(-1) == 3);
    CHECK(floor_mod4(-4) == 0);
    CHECK(floor_mod4(-5) == 3);
    CHECK(floor_mod4(4) == 0);
    CHECK(floor_mod4(5) == 1);
}

TEST(ports_span_centre_is_box_centre) {
    const double xs[] = {0, 1, 10};
    CHECK_NEAR(span_centre(xs, 3), 5.0, 0);  // the mean would be 3.67
    const double one[] = {-2.5};
    CHECK_NEAR(span_centre(one, 1), -2.5, 0);
    const double nan = std::nan("");
    const double mid_nan[] = {1, nan, 3};  // NaN never wins a comparison
    CHECK_NEAR(span_centre(mid_nan, 3), 2.0, 0);
    const double lead_nan[] = {nan, 1, 3};  // a leading NaN stays the extreme
    CHECK(std::isnan(span_centre(lead_nan, 3)));
}

TEST(ports_bank_key_rows) {
    CHECK(bank_key(0).axis == 1 && !bank_key(0).negate);
    CHECK(bank_key(1).axis == 0 && bank_key(1).negate);
    CHECK(bank_key(2).axis == 1 && bank_key(2).negate);
    CHECK(bank_key(3).axis == 0 && !bank_key(3).negate);
    CHECK(bank_key(7).axis == 0 && !bank_key(7).negate);
}

TEST(ports_stable_order_keeps_equal_keys) {
    const double keys[] = {2, 1, 2, 1, -0.0, 0.0};
    Idx order;
    stable_order(keys, 6, order);
    CHECK((order == Idx{4, 5, 1, 3, 0, 2}));
    double nan_keys[] = {1, std::nan("")};
    CHECK(has_nan(nan_keys, 2));
    CHECK(!has_nan(keys, 6));
}

TEST(ports_stable_order_large_matches_comparison_sort) {
    // radix path: negatives, duplicates, signed zeros, huge and tiny magnitudes
    const double pool[] = {-3.5, 0.0, -0.0, 2.0, 1e300, -1e300, 5e-324, -5e-324, 2.0, 7.25, -3.5};
    std::vector<double> keys;
    unsigned s = 12345;
    for (int i = 0; i < 5000; ++i) {
        s = s * 1103515245u + 12345u;
        keys.push_back(pool[(s >> 16) % 11] + ((s >> 8) % 3 == 0 ? 0.0 : double((s >> 4) % 7)));
    }
    Idx want(keys.size());
    for (std::size_t i = 0; i < want.size(); ++i) want[i] = i;
    std::stable_sort(want.begin(), want.end(), [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    Idx got;
    stable_order(keys.data(), keys.size(), got);
    CHECK(got == want);
    // already ascending and strictly descending inputs
    std::vector<double> up(1000), down(1000);
    for (int i = 0; i < 1000; ++i) up[i] = i / 3, down[i] = -i;
    stable_order(up.data(), up.size(), got);
    CHECK(got[0] == 0 && got[999] == 999 && got[500] == 500);
    stable_order(down.data(), down.size(), got);
    CHECK(got[0] == 999 && got[999] == 0);
}

TEST(ports_exact_mean_only_when_every_order_sums_alike) {
    // column 1 of a row-major 3 x 2 table: a stride of two values
    const double rows[] = {9, 1, 9, -2, 9, 4};
    double mean = 0;
    CHECK(exact_mean(reinterpret_cast<const char*>(rows + 1), 2 * sizeof(double), 3, false, mean) && mean == 1.0);
    const double signed_zeros[] = {-0.0, -0.0};
    CHECK(exact_mean(reinterpret_cast<const char*>(signed_zeros), sizeof(double), 2, false, mean) && std::signbit(mean));
    const double fraction[] = {1, 0.5}, huge[] = {9007199254740991.0, 2}, nan[] = {1, std::nan("")};
    CHECK(!exact_mean(reinterpret_cast<const char*>(fraction), sizeof(double), 2, false, mean));
    CHECK(!exact_mean(reinterpret_cast<const char*>(huge), sizeof(double), 2, false, mean));
    CHECK(!exact_mean(reinterpret_cast<const char*>(nan), sizeof(double), 2, false, mean));
    const float singles[] = {16777215.0f, 1.0f}, small[] = {3.0f, -6.0f};
    CHECK(!exact_mean(reinterpret_cast<const char*>(singles), sizeof(float), 2, true, mean));
    CHECK(exact_mean(reinterpret_cast<const char*>(small), sizeof(float), 2, true, mean) && mean == -1.5);
}

TEST(ports_group_sides_floored) {
    CHECK((group_sides(0) == std::array<int, 4>{3, 0, 1, 2}));
    CHECK((group_sides(1) == std::array<int, 4>{0, 1, 2, 3}));
    CHECK((group_sides(3) == std::array<int, 4>{2, 3, 0, 1}));
    CHECK((group_sides(-1) == std::array<int, 4>{2, 3, 0, 1}));
}

TEST(ports_start_target_side_table) {
    // (end side, vx, vy) -> start side; a zero offset gives the side opposite the end facing
    CHECK(start_target_side(0, -1, 0) == 0);
    CHECK(start_target_side(0, 0, 0) == 2);
    CHECK(start_target_side(0, 1, 0) == 2);
    CHECK(start_target_side(1, 0, -1) == 1);
    CHECK(start_target_side(1, 0, 0) == 3);
    CHECK(start_target_side(2, 1, 0) == 2);
    CHECK(start_target_side(2, 0, 0) == 0);
    CHECK(start_target_side(3, 0, 1) == 3);
    CHECK(start_target_side(3, 0, 0) == 1);
}

TEST(ports_sort_bank_rows) {
    // +x side at y = 3, 1, 2 -> ascending y; +y side at x = 1, 3, 2 -> descending x
    std::vector<Port> px = {{0, 3, 0}, {0, 1, 0}, {0, 2, 0}};
    CHECK((sort_bank(px, {0, 1, 2}) == Idx{1, 2, 0}));
    std::vector<Port> py = {{1, 0, 90}, {3, 0, 90}, {2, 0, 90}};
    CHECK((sort_bank(py, {0, 1, 2}) == Idx{1, 2, 0}));
    // descending rows keep equal keys in input order (negated key, not a reversed sort)
    std::vector<Port> eq = {{0, 5, 180}, {1, 5, 180}, {2, 7, 180}};
    CHECK((sort_bank(eq, {0, 1, 2}) == Idx{2, 0, 1}));
    // the first port decides the row for the whole bank
    std::vector<Port> mixed = {{3, 0, 270}, {1, 9, 0}, {2, -9, 0}};
    CHECK((sort_bank(mixed, {0, 1, 2}) == Idx{1, 2, 0}));
    CHECK(sort_bank(px, {}).empty());
}

TEST(ports_sort_group_side_order) {
    // one port per side: +x (0), +y (1), -x (2), -y (3)
    std::vector<Port> g = {{1, 0, 0}, {0, 1, 90}, {-1, 0, 180}, {0, -1, 270}};
    CHECK((sort_group(g, 1, true) == Idx{0, 1, 2, 3}));
    CHECK((sort_group(g, 1, false) == Idx{3, 2, 1, 0}));
    CHECK((sort_group(g, 0, true) == Idx{3, 0, 1, 2}));
    CHECK((sort_group(g, 2, true) == Idx{1, 2, 3, 0}));
}

TEST(ports_match_groups_facing) {
    // start ports face +x at x = 0, end ports face -x at x = 10: pair by ascending y
    std::vector<Port> s = {{0, 2, 0}, {0, 0, 0}, {0, 1, 0}};
    std::vector<Port> e = {{10, 1, 180}, {10, 2, 180}, {10, 0, 180}};
    auto [so, eo] = match_groups(s, e);
    CHECK((so == Idx{1, 2, 0}));
    CHECK((eo == Idx{2, 0, 1}));
    auto [s1, e1] = match_groups({{5, 5, 0}}, {{0, 0, 90}});
    CHECK((s1 == Idx{0}) && (e1 == Idx{0}));
    bool threw = false;
    try {
        match_groups(s, {});
    } catch (const std::invalid_argument&) {
        threw = true;
    }
    CHECK(threw);
}
