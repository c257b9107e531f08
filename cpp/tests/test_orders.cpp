// The order search over route orders and cage sizes.
#include "check.hpp"
#include "kelvane/negotiate.hpp"

using namespace kelvane;
using namespace kelvane::negotiated;

TEST(order_search_stops_early_and_ladder) {
    Scene s;
    for (int i = 0; i < 3; ++i) {
        s.ports.push_back({Point{0, 4.0 * i}, Point{20, 4.0 * i}});
        s.tangents.push_back({Point{1, 0}, Point{1, 0}});
    }
    s.delta = 1.0;
    RunStats stats;
    const Candidate c = route_negotiated_best(s, all_orders(3), cage_ladder(3), 2.0, NegotiationOptions{}, stats);
    CHECK(c.key.clean() && stats.runs == 2 && stats.levels == 1 && c.order == 0);
    CHECK((cage_ladder(8) == std::vector<long>{2, 4, 8}) && (cage_ladder(-1) == std::vector<long>{2}));
    CHECK(all_orders(3).size() == 6 && all_orders(0).size() == 1 && (all_orders(3)[1] == std::vector<long>{0, 2, 1}));
    const Candidate none = route_negotiated_best(Scene{}, {}, {2}, 2.0, NegotiationOptions{}, stats);
    CHECK(none.outcome.skels.empty());
}
