"""The independent checker against hand-made routes with known faults."""

import numpy as np
import pytest

from kelvane.check import check_routes
from kelvane.scene import parse_scene

E, N, W, S = [1, 0], [0, 1], [-1, 0], [0, -1]


def make_scene(routes, obstacles=(), delta=2.0, spacing=3.0):
    return parse_scene({
        "delta": delta, "spacing": spacing, "obstacles": [list(o) for o in obstacles],
        "routes": [{"start": s, "start_heading": sh, "end": e, "end_heading": eh} for s, sh, e, eh in routes],
    })


def found(scene, skeletons):
    report = check_routes(scene, [None if s is None else np.array(s, dtype=float) for s in skeletons])
    return sorted((f.kind, f.route, tuple(round(v, 9) for v in f.at)) for f in report.findings), report


# (routes, obstacles, skeletons, expected findings as (kind, route, place))
CASES = {
    "clean L with its port on an obstacle": (
        [((0, 0), E, (20, 20), N)], [(-10, -5, 0, 5)], [[(0, 0), (20, 0), (20, 20)]], []),
    "ports closer than the spacing": (  # the second route may stay at the port distance 2
        [((0, 0), E, (40, 0), E), ((0, 2), E, (40, 30), E)], [],
        [[(0, 0), (40, 0)], [(0, 2), (10, 2), (10, 30), (40, 30)]], []),
    "collinear points and zero steps are no fault": (
        [((0, 0), E, (20, 20), N)], [], [[(0, 0), (5, 0), (5, 0), (20, 0), (20, 20)]], []),
    "unrouted": ([((0, 0), E, (20, 20), N)], [], [None], [("unrouted", "r0", (0, 0))]),
    "wrong end point": (
        [((0, 0), E, (20, 20), N)], [], [[(0, 0), (20, 0), (20, 19)]], [("end", "r0", (20, 19))]),
    "wrong headings": (
        [((0, 0), E, (20, 20), N)], [], [[(0, 0), (0, 10), (30, 10), (30, 30), (20, 30), (20, 20)]],
        [("heading", "r0", (0, 0)), ("heading", "r0", (20, 20))]),
    "diagonal": ([((0, 0), E, (20, 20), N)], [], [[(0, 0), (20, 20)]], [("diagonal", "r0", (10, 10))]),
    "a NaN point spliced into a clean route": (
        [((0, 0), E, (20, 20), N)], [], [[(0, 0), (10, 0), (np.nan, 0), (20, 0), (20, 20)]],
        [("nonfinite", "r0", (0, 0))]),
    "an infinite point": (
        [((0, 0), E, (20, 0), E)], [], [[(0, 0), (np.inf, 0), (20, 0)]], [("nonfinite", "r0", (0, 0))]),
    "short runs": (  # 3 between two bends needs 2 * delta = 4; 1 at a port needs delta = 2
        [((0, 0), E, (30, 3), E), ((0, 50), E, (1, 70), N)], [],
        [[(0, 0), (10, 0), (10, 3), (30, 3)], [(0, 50), (1, 50), (1, 70)]],
        [("short", "r0", (10, 1.5)), ("short", "r1", (0.5, 50))]),
    "crossing": (
        [((0, 10), E, (40, 10), E), ((20, -10), N, (20, 40), N)], [],
        [[(0, 10), (40, 10)], [(20, -10), (20, 40)]], [("crossing", "r0", (20, 10))]),
    "shared track (touching at its ends is the same fault)": (
        [((0, 0), E, (40, 10), E), ((20, 30), S, (30, -10), S)], [],
        [[(0, 0), (10, 0), (10, 10), (40, 10)], [(20, 30), (20, 10), (30, 10), (30, -10)]],
        [("overlap", "r0", (25, 10))]),
    "spacing: one dip is one place": (
        [((0, 0), E, (60, 0), E), ((0, 20), E, (60, 20), E)], [],
        [[(0, 0), (60, 0)], [(0, 20), (20, 20), (20, 2), (40, 2), (40, 20), (60, 20)]],
        [("spacing", "r0", (20, 1))]),
    "obstacle interior": (
        [((0, 0), E, (40, 0), E)], [(10, -5, 20, 5)], [[(0, 0), (40, 0)]], [("obstacle", "r0", (15, 0))]),
    "obstacle clearance": (  # 1 from the box, needs spacing / 2 = 1.5
        [((0, 0), E, (40, 0), E)], [(10, 1, 20, 6)], [[(0, 0), (40, 0)]], [("clearance", "r0", (15, 0.5))]),
    "route crossing itself": (
        [((0, 0), E, (10, -10), S)], [], [[(0, 0), (20, 0), (20, 20), (10, 20), (10, -10)]],
        [("crossing", "r0", (10, 0))]),
    "route turning back": (
        [((0, 0), E, (10, 10), N)], [], [[(0, 0), (20, 0), (10, 0), (10, 10)]], [("overlap", "r0", (15, 0))]),
}


@pytest.mark.parametrize("name", list(CASES))
def test_each_fault_is_found_once_and_nothing_else(name):
    routes, obstacles, skeletons, expected = CASES[name]
    got, _ = found(make_scene(routes, obstacles), skeletons)
    assert got == sorted((k, r, tuple(float(v) for v in at)) for k, r, at in expected)


def test_amounts_lengths_and_bends():
    routes, obstacles, skeletons, _ = CASES["shared track (touching at its ends is the same fault)"]
    _, report = found(make_scene(routes, obstacles), skeletons)
    assert report.shared_track == 10.0
    assert report.lengths == [50.0, 50.0] and report.bends == [2, 2]
    routes, obstacles, skeletons, _ = CASES["obstacle interior"]
    _, report = found(make_scene(routes, obstacles), skeletons)
    assert [f.amount for f in report.findings] == [10.0]
    assert report.findings[0].other == "obstacle 0"


def test_port_distance_excuses_only_the_port_runs():
    # The start ports are 2 apart (the spacing is 3): the port runs may stay 2
    # apart, but the first route's middle run must keep the full spacing from
    # the second route's last run.
    scene = make_scene([((0, 0), E, (10, -30), W), ((0, 2), E, (32, -40), S)])
    skeletons = [[(0, 0), (30, 0), (30, -30), (10, -30)], [(0, 2), (32, 2), (32, -40)]]
    got, report = found(scene, skeletons)
    assert got == [("spacing", "r0", (31.0, -15.0))]
    assert report.findings[0].amount == 2.0 and report.findings[0].other == "r1"


def test_tolerance_follows_the_grid():
    # With a grid step, float32 noise at the end points is not a wrong end.
    scene = parse_scene({"delta": 2, "dbu": 0.001, "routes": [
        {"start": [0.1, 0], "start_heading": E, "end": [40.3, 0], "end_heading": E}]})
    skel = np.array([[np.float32(0.1), 0], [np.float32(40.3), 0]], dtype=float)
    assert check_routes(scene, [skel]).clean
    assert not check_routes(scene, [skel + [[0, 0], [0.002, 0]]]).clean


def test_wrong_number_of_skeletons_is_refused():
    with pytest.raises(ValueError, match="expected 1 skeletons, got 2"):
        check_routes(make_scene([((0, 0), E, (9, 0), E)]), [None, None])
