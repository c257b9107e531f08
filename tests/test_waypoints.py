import math

import numpy as np
import pytest

from kelvane.manhattan_router import waypoints as wp
from route_checks import check_shape, runs_ok, violations

E, N, W, S = (1, 0), (0, 1), (-1, 0), (0, -1)


def through(skel, p):
    """True when point p lies on the polyline."""
    for a, b in zip(skel[:-1], skel[1:]):
        if min(a[0], b[0]) - 1e-9 <= p[0] <= max(a[0], b[0]) + 1e-9 and \
           min(a[1], b[1]) - 1e-9 <= p[1] <= max(a[1], b[1]) + 1e-9:
            return True
    return False


def test_route_visits_every_waypoint_in_order():
    pts = [(30, 20), (60, -20)]
    skel, info = wp.route_waypoints_v2((0, 0), (100, 0), E, E, pts, 2.0, [])
    check_shape(skel, (0, 0), (100, 0), E, E)
    assert all(through(skel, p) for p in pts)
    # Order: the distance along the route to the first waypoint is the smaller one.
    along = []
    for p in pts:
        acc = 0.0
        for a, b in zip(skel[:-1], skel[1:]):
            seg = abs(b[0] - a[0]) + abs(b[1] - a[1])
            if through(np.array([a, b]), p):
                along.append(acc + abs(p[0] - a[0]) + abs(p[1] - a[1]))
                break
            acc += seg
    assert along[0] < along[1]
    assert info["clean"] and len(info["legs"]) == 3 and len(info["headings"]) == 2


def test_free_waypoint_on_the_straight_line_costs_nothing():
    skel, info = wp.route_waypoints_v2((0, 0), (50, 0), E, E, [(25, 0)], 1.0, [])
    assert skel.tolist() == [[0, 0], [50, 0]]
    assert info["headings"] == [0]


@pytest.mark.parametrize("pin, heading", [((0, -1), 3), ((0, 1), 1), ((1, 0), 0)])
def test_pin_fixes_the_heading_through_the_waypoint(pin, heading):
    skel, info = wp.route_waypoints_v2((0, 0), (100, 0), E, E, [(50, 30)], 5.0, [], pins=[pin])
    check_shape(skel, (0, 0), (100, 0), E, E)
    assert info["headings"] == [heading]
    # The segment through the waypoint runs along the pinned heading.
    for a, b in zip(skel[:-1], skel[1:]):
        if through(np.array([a, b]), (50, 30)):
            d = np.sign(b - a)
            assert tuple(d) == tuple(float(v) for v in pin)
            break
    else:
        pytest.fail("waypoint not on the route")
    assert runs_ok(skel, 5.0)


def test_waypoint_route_keeps_the_obstacles():
    obs = [(20, -10, 30, 10)]
    skel, info = wp.route_waypoints_v2((0, 0), (100, 0), E, E, [(50, 30)], 5.0, obs, route_spacing=3.0)
    assert info["clean"] and violations(skel, obs, margin=1.5) == 0.0


def test_no_waypoints_is_a_plain_route():
    skel, info = wp.route_waypoints_v2((0, 0), (10, 5), E, E, [], 1.0, [])
    assert skel.tolist() == [[0, 0], [5, 0], [5, 5], [10, 5]]
    assert info["headings"] == [] and len(info["legs"]) == 1


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        (dict(waypoints=[(0, 0)]), ValueError, "coincide"),
        (dict(waypoints=[(1, math.nan)]), ValueError, r"waypoints\[0\]\[1\]"),
        (dict(waypoints=[(5, 9), (5, -2e12)]), ValueError, r"waypoints\[1\] must lie within \+-1e12"),
        (dict(pins=[None, None]), ValueError, "one entry per waypoint"),
        (dict(pins=[True]), ValueError, r"pins\[0\]"),
        (dict(pins=[(1, 1)]), ValueError, r"pins\[0\]"),
        (dict(waypoints=5), TypeError, "waypoints"),
    ],
)
def test_bad_waypoint_input(kwargs, error, text):
    args = dict(start=(0, 0), end=(10, 5), start_tangent=E, end_tangent=E, waypoints=[(5, 9)], delta=1.0,
                obstacles=[])
    args.update(kwargs)
    with pytest.raises(error, match=text):
        wp.route_waypoints_v2(**args)


def test_the_bundle_module_takes_its_native_road_only_with_this_router():
    from kelvane.manhattan_router import bundle
    backbone = bundle.bundle_backbone_v2
    closure = dict(zip(backbone.__code__.co_freevars, (c.cell_contents for c in backbone.__closure__)))
    own = closure["own_waypoint_router"]

    def wrapper(*args, **kwargs):
        return wp.route_waypoints_v2(*args, **kwargs)

    assert own(wp.route_waypoints_v2)
    assert not own(wrapper) and not own(len)
