"""Module frame of kelvane.manhattan_router.negotiated: names, constants, the scene record, signatures."""

import dataclasses
import inspect
import subprocess
import sys

import numpy as np
import pytest

from kelvane.manhattan_router import graph
from kelvane.manhattan_router import negotiated as n

GRAPH_NAMES = ["_DIR_IDX", "_OPP", "Obstacle", "_build_rail_bridge_graph", "_direction", "_ekey",
               "_extend_short_segments", "_interleaved_pos", "_ObstacleIndex", "_reconstruct_path", "_run_dijkstra",
               "_segment_blocked", "_select_end_state"]

SIGNATURES = {
    "_route_pen": "(g, turn_bias, edge_pen, node_chords=None, cross_pen=0.0, blocked_passthrough=frozenset(), "
                  "turn_pen=0.0)",
    "_atomic_edges": "(path)",
    "_self_intersections": "(path)",
    "_repair_self_intersections": "(g, path, turn_bias, edge_pen, node_chords, cross_pen, max_tries=4, turn_pen=0.0)",
    "_seg_crosses": "(a1, a2, b1, b2, tol=1e-09)",
    "_repair_score": "(path, r, accepted, real_obs, tol=1e-09)",
    "_finalize_simple": "(path, g)",
    "_per_route_graphs": "(scene)",
    "build_shared_lattice": "(scene, cage_margin=None, behind=True, lane_mids=True, cage_layers=None, cage_step=None)",
    "_shared_view": "(g, H, V, adj, nodes)",
    "_port_block_owners": "(scene, adj, port_clearance=None)",
    "route_negotiated": "(scene, turn_bias='center', iters=20, overlap_pen=None, node_pen=None, hist_weight=None, "
                        "hist_decay=0.5, turn_pen=None, gauss_seidel=True, avoid_ports=True, relax_order=None, "
                        "cage_margin=None, cage_layers=None, port_clearance=None, route_to_port=True)",
    "count_crossings_atomic": "(atomic_paths)",
    "_manhattan_length": "(skel)",
    "_count_turns": "(skel)",
    "_cage_ladder": "(B)",
    "_orders_for": "(B, n_orders, seed)",
    "_best_over_orders": "(scene, orders, min_orders=2, **kw)",
    "route_negotiated_best": "(port_centers, port_tangents, delta, obstacles=None, *, n_orders=8, seed=0, dbu=None, "
                             "**kw)",
    "negotiate_routes": "(port_centers, port_tangents, delta, obstacles=None, **kw)",
}


def test_module_names_in_order():
    names = [k for k in vars(n) if not k.startswith("__")]
    expected = (["dataclasses", "itertools", "random", "dataclass", "np"] + GRAPH_NAMES
                + ["BLOCK_PEN", "_SNAP", "_Scene"] + list(SIGNATURES))
    assert names == expected
    for name in GRAPH_NAMES:
        assert getattr(n, name) is getattr(graph, name)
    assert n.np is np and n.dataclass is dataclasses.dataclass
    assert type(n.BLOCK_PEN) is float and n.BLOCK_PEN == 1e6
    assert type(n._SNAP) is float and n._SNAP == 0.001


def test_missing_graph_name_fails_the_import():
    code = ("import kelvane.manhattan_router.graph as g\n"
            "del g._segment_blocked\n"
            "import kelvane.manhattan_router.negotiated\n")
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert res.returncode != 0
    assert "ImportError" in res.stderr and "_segment_blocked" in res.stderr


def test_scene_record():
    fields = dataclasses.fields(n._Scene)
    assert [f.name for f in fields] == ["port_centers", "port_tangents", "delta", "obstacles", "dbu"]
    assert [f.type for f in fields] == ["np.ndarray", "np.ndarray", "float", "list", "float"]
    assert [f.default for f in fields][4] is None
    assert all(f.default is dataclasses.MISSING for f in fields[:4])
    s = n._Scene(1, 2, 3.0, [])
    assert (s.port_centers, s.port_tangents, s.delta, s.obstacles, s.dbu) == (1, 2, 3.0, [], None)
    assert s == n._Scene(1, 2, 3.0, [], None) and s != n._Scene(1, 2, 3.0, [], 0.5)
    assert n._Scene.__hash__ is None  # eq without frozen: unhashable, and no ordering
    with pytest.raises(TypeError):
        s < s  # noqa: B015
    s.dbu = 1.0  # mutable
    assert s.dbu == 1.0 and n._Scene.__module__ == n.__name__


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_signatures(name):
    f = getattr(n, name)
    assert str(inspect.signature(f)) == SIGNATURES[name]
    assert f.__name__ == name and f.__doc__


def test_route_pen_default_bans_are_one_shared_frozenset():
    a = inspect.signature(n._route_pen).parameters["blocked_passthrough"].default
    b = inspect.signature(n._route_pen).parameters["blocked_passthrough"].default
    assert a is b and a == frozenset() and type(a) is frozenset


@pytest.mark.parametrize("call, message", [
    (lambda: n._cage_ladder(), "missing 1 required positional argument"),
    (lambda: n._cage_ladder(1, 2), "takes 1 positional argument but 2 were given"),
    (lambda: n._seg_crosses((0, 0), (1, 0), (0, 0), (0, 1), tolerance=1), "unexpected keyword argument"),
    (lambda: n._orders_for(1, 2, 3, B=1), "multiple values for argument"),
    (lambda: n.route_negotiated_best([], [], 1.0, None, 8), "positional"),
])
def test_argument_errors_are_the_hosts(call, message):
    with pytest.raises(TypeError, match=message):
        call()
