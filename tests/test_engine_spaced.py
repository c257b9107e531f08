"""engine.negotiate_spaced through Python: reversed banks of routes, the time budget, bad input."""

import time

import numpy as np
import pytest

from kelvane import engine
from kelvane.check import check_routes
from kelvane.scene import parse_scene

# Two routes between facing device boxes with their ports in swapped order.
STARTS, ENDS = [(0, 0), (0, 20)], [(200, 20), (200, 0)]
EAST = [(1, 0), (1, 0)]
DEVICES = [(-30, -10, 0, 30), (200, -10, 230, 30)]


def test_swapped_pair_crosses_once_at_right_angles_in_open_space():
    routes, info = engine.negotiate_spaced(STARTS, ENDS, EAST, EAST, 5.0, DEVICES, route_spacing=3.0)
    assert info["clean"] and info["conflicts"] == 0 and info["crossings"] == 1
    assert info["crossing_cost"] == 10.0  # 2 * delta by default
    assert [i["crossings"] for i in info["infos"]] == [1, 1]
    scene = parse_scene({"delta": 5.0, "spacing": 3.0, "obstacles": [list(b) for b in DEVICES],
                         "routes": [{"name": f"r{k}", "start": list(s), "start_heading": [1, 0], "end": list(e),
                                     "end_heading": [1, 0]} for k, (s, e) in enumerate(zip(STARTS, ENDS))]})
    findings = check_routes(scene, routes).findings
    assert [f.kind for f in findings] == ["crossing"]
    at = np.array(findings[0].at)
    for route in routes:
        # At least 2 delta from every bend and port of both routes.
        assert np.abs(np.asarray(route) - at).sum(axis=1).min() >= 10.0


def test_a_detour_round_a_device_dearer_crossing_is_counted():
    # At 1000 a crossing (a quarter of it for this forced one) costs more
    # than going round the back of device B; info says so.
    routes, info = engine.negotiate_spaced(STARTS, ENDS, EAST, EAST, 5.0, DEVICES, crossing_cost=1000.0)
    assert info["clean"] and info["crossings"] == 0 and info["detours"] == 1
    assert max(r[:, 0].max() for r in routes) > 230.0  # behind device B


def test_nested_u_turns_reverse_their_order_without_a_forced_crossing():
    # Out east and back west: the reversed order is the planar one.
    routes, info = engine.negotiate_spaced([(0, 0), (0, 10)], [(0, 40), (0, 30)], [(1, 0)] * 2, [(-1, 0)] * 2, 5.0,
                                           [(-30, -10, 0, 50)])
    assert info["clean"] and info["crossings"] == 0 and info["detours"] == 0
    assert routes[1][:, 0].max() < routes[0][:, 0].max()  # the inner lane inside


def reversed_bank(n, length):
    """n routes between facing device boxes, port k on one reaching port n-1-k on the other (pitch 10)."""
    starts = [(0.0, 10.0 * k) for k in range(n)]
    ends = [(float(length), 10.0 * (n - 1 - k)) for k in range(n)]
    devices = [(-30.0, -10.0, 0.0, 10.0 * n), (float(length), -10.0, length + 30.0, 10.0 * n)]
    return starts, ends, [(1, 0)] * n, [(1, 0)] * n, 5.0, devices


@pytest.mark.parametrize("n, length", [(4, 100), (16, 250)])  # 16: laid in order, the last one loops round
def test_reversed_bank_crosses_each_pair_once_between_the_devices(n, length):
    starts, ends, st, et, delta, devices = reversed_bank(n, length)
    routes, info = engine.negotiate_spaced(starts, ends, st, et, delta, devices, route_spacing=3.0)
    forced = n * (n - 1) // 2  # every pair once
    assert info["clean"] and info["conflicts"] == 0 and info["detours"] == 0 and info["crossings"] == forced
    scene = parse_scene({"delta": delta, "spacing": 3.0, "obstacles": [list(b) for b in devices],
                         "routes": [{"name": f"r{k}", "start": list(s), "start_heading": [1, 0], "end": list(e),
                                     "end_heading": [1, 0]} for k, (s, e) in enumerate(zip(starts, ends))]})
    findings = check_routes(scene, routes).findings
    assert [f.kind for f in findings] == ["crossing"] * forced
    ports = np.array(starts + ends)
    for f in findings:  # 2 delta + spacing from every port
        assert np.abs(ports - np.array(f.at)).sum(axis=1).min() >= 13.0
    for route in routes:  # none goes round the back of a device
        assert np.all((route[:, 0] >= 0.0) & (route[:, 0] <= length))


def test_time_budget_returns_the_best_set_so_far_flagged():
    # Eight routes along one line: the first routing overlaps them all.
    starts = [(0.0, 10.0 * k) for k in range(8)]
    ends = [(300.0, 70.0 - 10.0 * k) for k in range(8)]
    east = [(1, 0)] * 8
    routes, info = engine.negotiate_spaced(starts, ends, east, east, 5.0, time_budget=1e-9)
    assert info["timed_out"] and info["best_pass"] == 0 and info["searches"] == 8
    assert len(routes) == 8 and all(np.array_equal(r[0], s) and np.array_equal(r[-1], e)
                                    for r, s, e in zip(routes, starts, ends))


def test_an_engine_time_budget_ends_the_passes_with_every_route():
    # 16 routes reversed in too little room: conflicts are left after every
    # pass, and 1000 passes take over 20 s without a budget.
    starts, ends, st, et, delta, devices = reversed_bank(16, 100)
    t = time.perf_counter()
    with engine.time_budget(1.0) as budget:  # the first routing takes about 0.3 s
        routes, info = engine.negotiate_spaced(starts, ends, st, et, delta, devices, max_passes=1000)
    elapsed = time.perf_counter() - t
    assert budget.reached and info["timed_out"] and elapsed < 3.0
    assert not info["clean"] and 0 < info["passes"] < 1000
    assert all(np.array_equal(r[0], s) and np.array_equal(r[-1], e) for r, s, e in zip(routes, starts, ends))


def test_a_spent_engine_budget_still_lays_every_route_once():
    starts, ends, st, et, delta, devices = reversed_bank(8, 200)
    with engine.time_budget(0.0) as budget:
        routes, info = engine.negotiate_spaced(starts, ends, st, et, delta, devices)
    assert budget.reached and info["timed_out"]
    assert info["passes"] == 0 and info["searches"] == 8 and len(routes) == 8
    assert all(np.array_equal(r[0], s) and np.array_equal(r[-1], e) for r, s, e in zip(routes, starts, ends))


@pytest.mark.parametrize("change, error, needle", [
    ({"ends": [(200, 20)]}, ValueError, "ends"),
    ({"start_tangents": [(1, 1), (1, 0)]}, ValueError, "start_tangents[0]"),
    ({"delta": -1.0}, ValueError, "delta"),
    ({"crossing_cost": -5.0}, ValueError, "crossing_cost"),
    ({"crossing_cost": "far"}, TypeError, "crossing_cost"),
    ({"time_budget": 0.0}, ValueError, "time_budget"),
    ({"max_passes": -1}, ValueError, "max_passes"),
    ({"ends": [(200, 20), (200, 20)]}, ValueError, "routes 0 and 1"),
])
def test_bad_input_is_refused_naming_the_argument(change, error, needle):
    args = {"starts": STARTS, "ends": ENDS, "start_tangents": EAST, "end_tangents": EAST, "delta": 5.0} | change
    with pytest.raises(error, match=needle.replace("[", r"\[").replace("]", r"\]")):
        engine.negotiate_spaced(**args)


@pytest.mark.parametrize("change, error, needle", [
    ({"delta": "x"}, TypeError, "delta must be a number"),
    ({"route_spacing": -1.0}, ValueError, "route_spacing must be >= 0"),
    ({"sliding_bias": 2.0}, ValueError, "sliding_bias must be in"),
])
def test_river_bad_numbers_are_refused_naming_the_argument(change, error, needle):
    args = {"starts": STARTS, "ends": ENDS, "start_tangents": EAST, "end_tangents": EAST, "delta": 5.0} | change
    with pytest.raises(error, match=needle):
        engine.route_river(**args)
