"""Routing between two gdsfactory components round a third (skipped without gdsfactory)."""

import numpy as np
import pytest

from kelvane._bends import bends, corner_points
from kelvane.check import check_routes

gf = pytest.importorskip("gdsfactory")


@pytest.fixture(scope="module", autouse=True)
def pdk():
    gf.gpdk.PDK.activate()


def two_devices_and_a_block():
    c = gf.Component()
    left = c << gf.components.nxn(west=0, east=4, north=0, south=0, xsize=10, ysize=40)
    right = c << gf.components.nxn(west=4, east=0, north=0, south=0, xsize=10, ysize=40)
    right.move((200, 60))
    block = c << gf.components.rectangle(size=(30, 150), layer=(2, 0))
    block.move((90, -40))
    return c, left, right


@pytest.mark.parametrize("strategy", ["single", "rail-bridge"])
def test_routes_between_component_ports_round_instances(strategy):
    from kelvane.gdsfactory_adapter import route_ports
    c, left, right = two_devices_and_a_block()
    starts, ends = list(left.ports), list(right.ports)  # each listed from the lowest: no crossing
    before = len(c.insts)
    polygons = {k: len(v) for k, v in c.get_polygons(by="tuple").items()}
    result = route_ports(c, starts, ends, cross_section="strip", strategy=strategy)
    scene = result.scene
    assert scene.obstacles == ((0, 0, 10, 40), (200, 60, 210, 100), (90, -40, 120, 110))
    assert (scene.delta, scene.width, scene.dbu) == (10.0, 0.5, 0.001)
    assert result.strategy == strategy and result.clean
    assert check_routes(scene, result.skeletons).clean
    for r, s, e in zip(scene.routes, starts, ends):
        assert r.start == tuple(s.center) and r.end == tuple(e.center) and r.start_heading == (1, 0)
    # One waveguide per route on the cross-section's layer, with its bends rounded at radius 10.
    assert len(c.insts) == before + 4
    assert {k: len(v) for k, v in c.get_polygons(by="tuple").items()} == {**polygons, (1, 0): polygons[(1, 0)] + 4}
    for inst, skel in zip(list(c.insts)[before:], result.skeletons):
        corners = corner_points(skel)
        assert all(b is not None and b.radius == 10.0 for b in bends(corners, 10.0))
        box = inst.dbbox()
        lo, hi = corners.min(axis=0), corners.max(axis=0)
        assert np.allclose([box.left, box.bottom, box.right, box.top], [lo[0], lo[1] - 0.25, hi[0], hi[1] + 0.25],
                           atol=0.3)


def test_ports_that_cannot_be_routed_are_named():
    from kelvane.gdsfactory_adapter import route_ports
    from kelvane.scene import SceneError
    c, left, right = two_devices_and_a_block()
    with pytest.raises(ValueError, match="equal length"):
        route_ports(c, list(left.ports), list(right.ports)[:2])
    with pytest.raises(SceneError, match=r"routes\[1\].start: route .* has its start port at the same point as "
                                         r"routes\[0\].start"):
        route_ports(c, [left.ports[0], left.ports[0]], list(right.ports)[:2], place=False)
