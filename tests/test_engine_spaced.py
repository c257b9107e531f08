"""engine.negotiate_spaced through Python: a reversed pair of routes, the time budget, bad input."""

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


def test_time_budget_returns_the_best_set_so_far_flagged():
    # Eight routes along one line: the first routing overlaps them all.
    starts = [(0.0, 10.0 * k) for k in range(8)]
    ends = [(300.0, 70.0 - 10.0 * k) for k in range(8)]
    east = [(1, 0)] * 8
    routes, info = engine.negotiate_spaced(starts, ends, east, east, 5.0, time_budget=1e-9)
    assert info["timed_out"] and info["best_pass"] == 0 and info["searches"] == 8
    assert len(routes) == 8 and all(np.array_equal(r[0], s) and np.array_equal(r[-1], e)
                                    for r, s, e in zip(routes, starts, ends))


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
