// The negotiation loop and the order search on small scenes.
#include <cmath>

#include "check.hpp"
#include "negotiated/steps.hpp"

using namespace kelvane;
using namespace kelvane::negotiated;

namespace {

Scene swap(int routes) {
    Scene s;
    for (int i = 0; i < routes; ++i) {
        s.ports.push_back({Point{0, 4.0 * i}, Point{60, 4.0 * (routes - 1 - i)}});
        s.tangents.push_back({Point{1, 0}, Point{1, 0}});
    }
    s.delta = 2.0;
    return s;
}

}  // namespace

TEST(negotiation_routes_every_route_along_its_headings) {
    const Scene s = swap(3);
    RunStats stats;
    Workspace ws;
    const Outcome out = route_negotiated(s, NegotiationOptions{}, stats, ws);
    CHECK(out.skels.size() == 3 && out.atomic.size() == 3);
    for (size_t r = 0; r < 3; ++r) {
        CHECK(out.skels[r] && out.atomic[r]);
        const Path& p = *out.skels[r];
        CHECK(p.front() == s.ports[r][0] && p.back() == s.ports[r][1]);
        CHECK(p[1].y == p[0].y && p[1].x > p[0].x);                  // leaves heading +x
        CHECK(p[p.size() - 2].y == p.back().y && p[p.size() - 2].x < p.back().x);  // arrives heading +x
    }
    CHECK(count_crossings(out.atomic).overlaps == 0);
    CHECK(stats.lattices == 1 && stats.searches >= 3);
}

TEST(reused_set_up_gives_the_same_outcome) {
    const Scene s = swap(4);
    NegotiationOptions o;
    o.relax_order = std::vector<long>{3, 1, 2, 0};
    RunStats stats;
    Workspace ws;
    const Outcome first = route_negotiated(s, NegotiationOptions{}, stats, ws);
    const Outcome reused = route_negotiated(s, o, stats, ws);  // lattice and first routing kept
    Workspace fresh;
    const Outcome alone = route_negotiated(s, o, stats, fresh);
    CHECK(stats.lattices == 2 && reused.skels == alone.skels && reused.atomic == alone.atomic);
    CHECK(first.skels.size() == 4);
}

TEST(runnable_refuses_too_many_passes_and_penalties_a_search_refuses) {
    NegotiationOptions o;
    CHECK(runnable(swap(2), o));
    o.iters = kMostPasses + 1;
    CHECK(!runnable(swap(2), o));
    o.iters = 20;
    o.turn_pen = -1.0;
    CHECK(!runnable(swap(2), o) && runnable(Scene{}, o));  // no routes: no search to refuse it
    o.turn_pen = std::nullopt;
    o.node_pen = std::nan("");
    CHECK(!runnable(swap(2), o));
    o.overlap_pen = 5.0;  // overlap_pen given: node_pen still reaches the search as the crossing penalty
    CHECK(!runnable(swap(2), o));
}
