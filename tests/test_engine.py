"""kelvane.engine: the time budget of native routing calls."""

import json
import math
import threading
import time
from pathlib import Path

import numpy as np
import pytest

from kelvane import engine
from kelvane.manhattan_router import graph, negotiated

SHARED_PORTS = json.loads((Path(__file__).parents[1] / "bench" / "negotiated_shared_ports_8routes_50boxes.json")
                          .read_text())


def shared_ports():
    a = SHARED_PORTS
    return np.array(a["pc"]), np.array(a["pt"]), a["delta"], a["obs"]


@pytest.mark.parametrize("seconds, error, match", [
    (-1.0, ValueError, ">= 0"),
    (math.nan, ValueError, ">= 0"),
    ("soon", TypeError, "seconds must be a number, got str"),
])
def test_bad_budgets_are_refused(seconds, error, match):
    with pytest.raises(error, match=match):
        engine.time_budget(seconds)


def test_a_budget_cuts_a_negotiation_short_with_every_route():
    # About three seconds of CPU without a budget (conflicts that never clear).
    t = time.perf_counter()
    with engine.time_budget(0.3) as budget:
        assert budget.active and not budget.reached
        skels = negotiated.negotiate_routes(*shared_ports())
    elapsed = time.perf_counter() - t
    assert budget.reached and not budget.active and elapsed < 2.0
    assert all(s is not None and len(s) >= 2 for s in skels)  # the first order's routes, as they stood


def test_no_budget_changes_nothing():
    pc = [[[0, 0], [20, 0]], [[0, 4], [20, 4]]]
    plain = negotiated.negotiate_routes(pc, [[(1, 0), (1, 0)]] * 2, 1.0, [(8, -3, 10, 2)])
    with engine.time_budget(math.inf) as budget:
        within = negotiated.negotiate_routes(pc, [[(1, 0), (1, 0)]] * 2, 1.0, [(8, -3, 10, 2)])
    assert not budget.reached and [s.tolist() for s in within] == [s.tolist() for s in plain]


def test_a_spent_budget_still_gives_a_single_route_and_says_so():
    f32 = lambda v: np.float32(v)
    args = (f32((0, 0)), f32((40, 0)), f32((1, 0)), f32((1, 0)), 1.0, [(10, -5, 12, 5), (20, -8, 22, 3)])
    skel, info = graph.rail_bridge_v2(*args)
    assert not info["budget_exhausted"]
    with engine.time_budget(0.0) as budget:
        cut, cut_info = graph.rail_bridge_v2(*args)
        nothing = negotiated.negotiate_routes([[[0, 0], [20, 0]]], [[(1, 0), (1, 0)]], 1.0)
    assert budget.reached and cut_info["budget_exhausted"]
    assert cut[0].tolist() == [0.0, 0.0] and cut[-1].tolist() == [40.0, 0.0]
    assert nothing == [None]  # the lattice search found nothing in time


def test_budgets_nest_and_stay_on_their_thread():
    with engine.time_budget(3600) as outer:
        with engine.time_budget(0.0) as inner:
            negotiated.negotiate_routes([[[0, 0], [20, 0]]], [[(1, 0), (1, 0)]], 1.0)
        elsewhere = []
        worker = threading.Thread(target=lambda: elsewhere.append(
            negotiated.negotiate_routes([[[0, 0], [20, 0]]], [[(1, 0), (1, 0)]], 1.0)))
        with engine.time_budget(0.0):
            worker.start()
            worker.join()
    assert inner.reached and not outer.reached  # the inner deadline was its own
    assert elsewhere[0][0].tolist() == [[0.0, 0.0], [20.0, 0.0]]  # another thread has no budget
    with pytest.raises(ValueError, match="in use"):
        with outer:
            with outer:
                pass


def test_a_spent_budget_still_gives_every_lane_of_a_bundle():
    from kelvane.manhattan_router import bundle
    ports = ([[0.0, 0.0], [0.0, 3.0]], [[30.0, 0.0], [30.0, 3.0]], [(1, 0)] * 2, [(1, 0)] * 2)
    with engine.time_budget(0.0) as budget:
        lanes, info = bundle.bundle_rail_bridge_v2(*ports, 1.0, [(12.0, -4.0, 14.0, 5.0)])
    assert budget.reached and all(i["budget_exhausted"] for i in info["infos"])
    for lane, s, e in zip(lanes, ports[0], ports[1]):
        assert lane[0].tolist() == s and lane[-1].tolist() == e
