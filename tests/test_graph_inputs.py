"""Hostile and unusual inputs to graph and waypoints: containers changed while
they are read, None where a number belongs, grids too fine for the
coordinates, arrays of boxes, oversized lattices."""

import dataclasses
from types import SimpleNamespace

import numpy as np
import pytest

from kelvane.manhattan_router import graph, waypoints


class Clears:
    """A number whose conversion empties the container it sits in."""

    def __init__(self, container):
        self.container = container

    def __float__(self):
        self.container.clear()
        return 1.0


def mutating_adjacency():
    adj = {}
    adj[(0.0, 0.0)] = [((1.0, 0.0), Clears(adj))]
    adj[(1.0, 0.0)] = [((0.0, 0.0), 1.0)]
    return adj


def mutating_neighbour_list():
    first = []
    adj = {(0.0, 0.0): first, (1.0, 0.0): [((0.0, 0.0), 1.0)], (2.0, 0.0): []}
    first.extend([((1.0, 0.0), Clears(first)), ((2.0, 0.0), 1.0)])
    return adj


@pytest.mark.parametrize("make_adj", [mutating_adjacency, mutating_neighbour_list])
def test_adjacency_changed_during_conversion_is_read_as_it_was(make_adj):
    g = SimpleNamespace(adj=make_adj(), start=(0, 0), end=(1, 0))
    dist, prev = graph._run_dijkstra(g, None, ())
    best = graph._select_end_state(g, dist, None)
    assert graph._reconstruct_path(prev, best, g.start) == [(0, 0), (1.0, 0.0)]


def test_penalties_and_chords_changed_during_conversion():
    g = SimpleNamespace(adj=graph._line_lattice([0, 1, 2], [0, 1]), start=(0.0, 0.0), end=(2.0, 0.0))
    edge_pen = {}
    edge_pen[((0.0, 0.0), (1.0, 0.0))] = Clears(edge_pen)
    edge_pen[((1.0, 0.0), (2.0, 0.0))] = 2.0
    chords = {}
    chords[(1.0, 0.0)] = [(1, 3), (Clears(chords), 3)]
    dist, _ = graph._run_dijkstra(g, None, (), edge_pen=edge_pen)
    # Both penalties were read from the snapshot: 2 + 1 + 2.
    assert dist[((2.0, 0.0), 0)] == 5.0
    with pytest.raises(TypeError, match="node_chords"):
        graph._run_dijkstra(g, None, (), node_chords=chords, cross_pen=1.0)


ROUTE = dict(start=(0, 0), end=(10, 5), start_tangent=(1, 0), end_tangent=(1, 0), delta=1.0)


@pytest.mark.parametrize(
    "change, exc, text",
    [
        (dict(delta=None), TypeError, "delta must be a number"),
        (dict(start=None), TypeError, "start"),
        (dict(route_spacing=None), TypeError, "route_spacing"),
        (dict(dbu=5e-324), ValueError, "dbu 5e-324 is too small"),
        (dict(dbu=0), ValueError, "dbu must be positive or None, got 0"),
        (dict(dbu=-0.5), ValueError, "dbu must be positive or None"),
        (dict(dbu=1e-20, end=(1e6, 0)), ValueError, "too small for coordinates up to 1000000.0"),
        (dict(end=(0.0, 1e-13), dbu=1e-12), ValueError, "same point"),
    ],
)
def test_router_bad_input_names_the_argument(change, exc, text):
    with pytest.raises(exc, match=text):
        graph.rail_bridge_v2(**{**ROUTE, **change})


def test_waypoints_none_means_no_waypoints_and_none_delta_is_named():
    skel, info = waypoints.route_waypoints_v2((0, 0), (10, 5), (1, 0), (1, 0), None, 1.0)
    assert info["clean"] and tuple(skel[-1]) == (10.0, 5.0)
    with pytest.raises(TypeError, match="delta"):
        waypoints.route_waypoints_v2((0, 0), (10, 5), (1, 0), (1, 0), [(5, 5)], None)


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64])
def test_boxes_as_an_array(dtype):
    boxes = np.array([[3, -1, 6, 1], [20, 20, 21, 21]], dtype=dtype)
    as_list = [tuple(map(float, b)) for b in boxes]
    got, info = graph.rail_bridge_v2((0, 0), (10, 0), (1, 0), (1, 0), 1.0, boxes, route_spacing=1.0)
    want, _ = graph.rail_bridge_v2((0, 0), (10, 0), (1, 0), (1, 0), 1.0, as_list, route_spacing=1.0)
    assert info["clean"] and np.array_equal(got, want) and len(got) > 2
    assert len(graph._ObstacleIndex(boxes, None)) == 2


@pytest.mark.parametrize(
    "boxes, text",
    [(np.array([[3.0, 1, 2, 2]]), r"obstacles\[0\] has min > max"),
     (np.array([[0.0, 0, 1, np.nan]]), r"obstacles\[0\] must be finite"),
     (np.array([[3.0, 1, 2]]), r"obstacles\[0\] must have 4 numbers")],
)
def test_bad_box_arrays_name_the_row(boxes, text):
    with pytest.raises(ValueError, match=text):
        graph._ObstacleIndex(boxes, None)


def test_oversized_lattices_are_refused_before_building():
    with pytest.raises(ValueError, match="4e6 nodes"):
        graph._line_lattice(list(range(3000)), list(range(3000)))


def test_route_graph_is_a_dataclass_of_the_graph_module():
    g = graph._build_rail_bridge_graph((0, 0), (10, 5), (1, 0), (1, 0), 1.0, [(3, 1, 4, 2)])
    assert type(g).__module__ == "kelvane.manhattan_router.graph"
    assert dataclasses.replace(g, end=g.end_port).end == (10.0, 5.0)
    # The search targets the approach node one bend radius before the port.
    assert g.end == (9.0, 5.0) and g.end_approach_len == 1.0
