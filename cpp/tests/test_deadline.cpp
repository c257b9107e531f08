// The time budget of the calling thread and the work that honours it.
#include <thread>

#include "check.hpp"
#include "kelvane/deadline.hpp"
#include "kelvane/lattice.hpp"
#include "kelvane/negotiate.hpp"
#include "kelvane/railbridge.hpp"
#include "kelvane/search.hpp"
#include "route_request.hpp"

using namespace kelvane;

TEST(deadline_scopes_nest_and_record_what_they_cut) {
    CHECK(!deadline::reached() && !deadline::state().active);
    {
        deadline::Scope outer(3600.0);
        const deadline::Clock::time_point at = deadline::state().at;
        CHECK(!deadline::reached());
        {
            deadline::Scope inner(0.0);  // passed at once
            CHECK(deadline::reached() && inner.reached());
            {
                const deadline::Hold finish;  // bounded work that must end
                CHECK(!deadline::reached());
            }
            CHECK(deadline::reached());
        }
        // The inner deadline came first: the outer one was not reached.
        CHECK(deadline::state().active && !deadline::state().reached && !outer.reached());
        {
            deadline::Scope later(7200.0);  // never later than the outer one
            CHECK(deadline::state().at == at);
        }
    }
    CHECK(!deadline::state().active && !deadline::reached());
    {
        deadline::Scope outer(0.0);
        { deadline::Scope inner(10.0); CHECK(deadline::reached()); }  // the outer's time, so the outer's cut
        CHECK(outer.reached());
    }
    // Per thread: a deadline here does not reach another thread.
    deadline::Scope here(0.0);
    bool there = true;
    std::thread([&] { there = deadline::reached(); }).join();
    CHECK(deadline::reached() && !there);
}

// Past the deadline: a lattice search finds nothing, the single-route router
// still returns its least-bad route (its fallback is bounded work) and says
// the budget ran out, a negotiation leaves its routes unrouted after one
// order of one cage level.
TEST(deadline_cuts_searches_routes_and_negotiations_short) {
    std::vector<double> xs, ys;
    for (int i = 0; i < 20; ++i) xs.push_back(i);
    for (int j = 0; j < 10; ++j) ys.push_back(j);
    const Lattice L = build_line_lattice(xs, ys, {}, ObstacleIndex({}, 0.0));
    SearchQuery q;
    q.start = static_cast<std::uint32_t>(L.find({0, 5}));
    q.end = L.find({19, 5});
    SearchWorkspace ws;
    ws.run(L, q);
    CHECK(ws.select_end(static_cast<std::uint32_t>(q.end), kNoDir) != kNoState && !ws.stats().cut_short);

    RouteRequest req = request({0, 0}, {40, 0}, E, E);
    req.obstacles = {Box{10, -5, 12, 5}, Box{20, -8, 22, 3}};
    const RouteResult free = route_rail_bridge(req);
    CHECK(free.info.clean && !free.info.budget_exhausted);

    negotiated::Scene scene;
    for (int i = 0; i < 5; ++i) {
        scene.ports.push_back({Point{0, 4.0 * i}, Point{30, 16.0 - 4.0 * i}});
        scene.tangents.push_back({Point{1, 0}, Point{1, 0}});
    }
    scene.delta = 1.0;
    const negotiated::Orders orders = {{0, 1, 2, 3, 4}, {4, 3, 2, 1, 0}, {2, 0, 1, 4, 3}};

    deadline::Scope now(0.0);
    ws.run(L, q);
    CHECK(ws.select_end(static_cast<std::uint32_t>(q.end), kNoDir) == kNoState && ws.stats().cut_short);
    const RouteResult cut = route_rail_bridge(req);
    CHECK(cut.info.budget_exhausted && cut.skeleton.size() >= 2 && cut.skeleton.front() == req.start &&
          cut.skeleton.back() == req.end);
    negotiated::RunStats stats;
    const negotiated::Candidate c =
        negotiated::route_negotiated_best(scene, orders, negotiated::cage_ladder(5), 2.0, {}, stats);
    CHECK(stats.runs == 1 && stats.levels == 1 && c.key.v[0] == 5.0);
    CHECK(now.reached());
}
