// Rounding, repair score, corner points and the self-intersection repair loop.
#include <cmath>

#include "check.hpp"
#include "negotiated/steps.hpp"

using namespace kelvane;
using namespace kelvane::negotiated;

TEST(rounding_to_six_decimals_as_the_host_does) {
    CHECK(round_decimals(0.0078125, 6) == 0.007812);  // an exact tie: to even
    CHECK(round_decimals(1.0000005, 6) == 1.000001);  // just above the tie in binary
    CHECK(round_decimals(2.5e-7, 6) == 0.0);
    CHECK(round_decimals(-1e-7, 6) == 0.0 && std::signbit(round_decimals(-1e-7, 6)));
    CHECK(round_decimals(0.1 + 0.2, 6) == 0.3);
}

TEST(repair_score_counts_crossings_and_intrusions) {
    const std::vector<MaybePath> accepted{Path{{5, -5}, {5, 5}}, std::nullopt, Path{{0, 0}, {10, 0}}};
    const Path p{{0, 0}, {10, 0}, {10, 2}};
    CHECK((repair_score(p, 2, accepted, {Box{6, -1, 8, 1}}) == std::pair<long, long>{1, 1}));
    CHECK((repair_score(p, 2, accepted, {Box{6, -1, 8, 0}}) == std::pair<long, long>{1, 0}));  // along the top edge
}

TEST(corner_points_of_lattice_paths) {
    CHECK((finalize_simple({{0, 0}, {1, 0}, {2, 0}, {2, 1}}, {2, 2}) == Path{{0, 0}, {2, 0}, {2, 2}}));
    CHECK((finalize_simple({{2, 1}}, {2, 1}) == Path{{2, 1}, {2, 1}}));
    CHECK((finalize_simple({{0, 0}, {1, 0}, {0, 0}}, {0, 0}) == Path{{0, 0}, {1, 0}, {0, 0}}));  // reversal kept
    CHECK((corner_indices({{0, 0}, {0.1 + 0.2, 0}, {0.6, 1e-7}}) == std::vector<size_t>{0, 2}));
}

TEST(repair_loop_accumulates_bans_and_keeps_the_path_without_a_search) {
    const Path eight{{0, 1}, {1, 1}, {2, 1}, {2, 2}, {1, 2}, {1, 1}, {1, 0}};
    int calls = 0;
    auto none = [&](const PointBans&) -> std::optional<Path> {
        ++calls;
        return std::nullopt;
    };
    CHECK(!repair_self_intersections(eight, 4, none) && calls == 1);
    CHECK(!repair_self_intersections({{0, 0}, {1, 0}}, 4, none) && calls == 1);
    size_t last_bans = 0;
    calls = 0;
    auto again = [&](const PointBans& b) -> std::optional<Path> {
        ++calls;
        last_bans = b.size();
        return eight;  // never repaired
    };
    // The same path again brings no new ban: a further search would repeat
    // this one, so the loop ends after one.
    const auto out = repair_self_intersections(eight, 3, again);
    CHECK(out && *out == eight && last_bans == 4 && calls == 1);
    // A path crossing itself elsewhere adds bans and is searched again.
    const Path eight_up{{0, 2}, {1, 2}, {2, 2}, {2, 3}, {1, 3}, {1, 2}, {1, 1}};
    calls = 0;
    auto by_bans = [&](const PointBans& b) -> std::optional<Path> {
        ++calls;
        last_bans = b.size();
        return b.size() == 4 ? eight_up : eight;
    };
    const auto out2 = repair_self_intersections(eight, 4, by_bans);
    CHECK(out2 && *out2 == eight && calls == 2 && last_bans == 8);
}
