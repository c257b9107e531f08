"""The single-route router on chip-sized inputs: fields too large for an
exhaustive search, heaps of overlapping boxes, ports shut in by rings."""
import numpy as np
import pytest

from kelvane.manhattan_router import graph
from fields import free_port, rings
from route_checks import check_shape, runs_ok, violations

rail = graph.rail_bridge_v2
E, W = (1, 0), (-1, 0)


def random_field(n, seed, cover=0.15):
    """n boxes of side 5..20 covering about `cover` of a square field."""
    rng = np.random.default_rng(seed)
    side = np.sqrt(n * 12.5**2 / cover)
    xy = rng.uniform(0, side, size=(n, 2))
    wh = rng.uniform(5, 20, size=(n, 2))
    return side, np.hstack([xy, xy + wh])


def test_a_route_across_a_large_field_is_guided_clean_and_close_to_direct():
    side, boxes = random_field(10000, seed=7)
    start = free_port(boxes, 0.12 * side, 0.1 * side)
    end = free_port(boxes, 0.95 * side, 0.6 * side)
    skel, info = rail(start, end, E, E, 2.0, boxes, route_spacing=1.0)
    skel = np.asarray(skel)
    check_shape(skel, start, end, E, E)
    # Too large for an exhaustive search: the weighted search and the
    # piecewise exact search after it give a clean route, told apart in info.
    assert info["guided"] and info["clean"] and not info["budget_exhausted"]
    assert runs_ok(skel, 2.0)
    assert violations(skel, boxes, margin=0.5, ports=(start, end)) == pytest.approx(0.0, abs=1e-9)
    direct = abs(end[0] - start[0]) + abs(end[1] - start[1])
    assert info["length"] < 1.06 * direct
    assert info["bends"] < 60
    assert info["states_expanded"] < 1_000_000 + 20 * len(boxes)


def test_a_small_field_is_searched_exhaustively():
    side, boxes = random_field(200, seed=3)
    start = free_port(boxes, 0.1 * side, 0.1 * side)
    end = free_port(boxes, 0.9 * side, 0.8 * side)
    _, info = rail(start, end, E, E, 2.0, boxes, route_spacing=1.0)
    assert info["clean"] and not info["guided"]


def test_a_heap_of_overlapping_boxes_gives_the_lines_of_its_outline():
    rng = np.random.default_rng(3)
    xy = rng.uniform(0, 200, size=(20000, 2))
    heap = np.hstack([xy, xy + rng.uniform(20, 80, size=(20000, 2))])
    start, end = (-50.0, 100.0), (350.0, 120.0)
    skel, info = rail(start, end, E, E, 2.0, heap, route_spacing=1.0)
    check_shape(np.asarray(skel), start, end, E, E)
    assert info["clean"]
    assert violations(np.asarray(skel), heap, margin=0.5) == pytest.approx(0.0, abs=1e-9)
    # Every box would give two lines per axis; the heap's outline gives few.
    assert max(info["lattice"]) < 400


@pytest.mark.parametrize("shut_in", ["start", "end"])
def test_a_port_shut_in_by_rings_gets_the_least_bad_route_within_its_budget(shut_in):
    boxes, far = rings(2000)
    inside, outside = (0.0, 0.0), (float(far), 5.0)
    if shut_in == "start":
        start, end, st_, et = inside, outside, E, E
    else:
        start, end, st_, et = outside, inside, W, W
    skel, info = rail(start, end, st_, et, 2.0, boxes, route_spacing=1.0)
    check_shape(np.asarray(skel), start, end, st_, et)
    assert not info["clean"] and info["budget_exhausted"]
    assert "obstacle" in info["violations"]
    # Straight out through every ring wall (one unit thick), no detour in them.
    assert info["obstacle_overlap"] == pytest.approx(2000.0)
    # Shut in is told early: far less than the request's budget is spent.
    assert info["states_expanded"] < 300_000
