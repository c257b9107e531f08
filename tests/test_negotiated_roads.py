"""The module's two roads agree: with a helper replaced by a pass-through wrapper the Python
body runs the loop, and gives the routes of the native road."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from kelvane.manhattan_router import negotiated as n
from test_negotiated_scenes import OPTIONS, small_scenes


def same(a, b):
    return len(a) == len(b) and all(x is None and y is None or np.array_equal(x, y) for x, y in zip(a, b))


@settings(max_examples=25, deadline=None)
@given(small_scenes(), OPTIONS, st.sampled_from(["_shared_view", "_direction", "_finalize_simple"]))
def test_the_python_loop_routes_as_the_native_road(sc, options, name):
    pc, pt, delta, obstacles = sc
    if "relax_order" in options:
        options["relax_order"] = [r for r in options["relax_order"] if -len(pc) <= r < len(pc)]
    scene = n._Scene(np.asarray(pc, float), np.asarray(pt, float), delta, [tuple(map(float, o)) for o in obstacles])
    skels, atomic = n.route_negotiated(scene, **options)
    own = getattr(n, name)
    calls = []
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(n, name, lambda *a, **k: calls.append(1) or own(*a, **k))
        py_skels, py_atomic = n.route_negotiated(scene, **options)
    assert calls or name != "_shared_view"  # the others need a turn or a routed path
    assert py_atomic == atomic and same(py_skels, skels)


ONE = ([[[0, 0], [9, 0]]], [[[1, 0], [1, 0]]], 1.0)


def no_orders(mp):
    mp.setattr(n, "_orders_for", lambda B, n_orders, seed: [])
    return n.route_negotiated_best(*ONE)


@pytest.mark.parametrize("call, message", [
    (lambda mp: n.route_negotiated(n._Scene(np.zeros((0, 2, 2)), np.zeros((0, 2, 2)), 1.0, [])), "no routes"),
    (lambda mp: n.route_negotiated(n._Scene(*map(np.asarray, ONE[:2]), 1.0, []), iters=10001), "at most 10000"),
    (no_orders, "no route order was tried"),
])
@pytest.mark.parametrize("replaced", [False, True])
def test_both_roads_refuse_the_same_input(call, message, replaced, monkeypatch):
    if replaced:
        own = n._atomic_edges
        monkeypatch.setattr(n, "_atomic_edges", lambda p: own(p))
    with pytest.raises(ValueError, match=message):
        call(monkeypatch)


SCENE_ONE = n._Scene(*map(np.asarray, ONE[:2]), 1.0, [])


@pytest.mark.parametrize("call, name", [
    (lambda: n.route_negotiated(SCENE_ONE, hist_decay="x"), "hist_decay"),
    (lambda: n.route_negotiated(SCENE_ONE, overlap_pen=[]), "overlap_pen"),
    (lambda: n.route_negotiated(SCENE_ONE, hist_weight=object()), "hist_weight"),
    (lambda: n.route_negotiated(SCENE_ONE, node_pen="x"), "node_pen"),  # overlap_pen comes from it
    (lambda: n._best_over_orders(SCENE_ONE, [[0], [0]], min_orders="x", cage_layers=2), "min_orders"),
])
@pytest.mark.parametrize("replaced", [False, True])
def test_both_roads_name_a_value_the_loop_uses(call, name, replaced, monkeypatch):
    if replaced:
        own = n._atomic_edges
        monkeypatch.setattr(n, "_atomic_edges", lambda p: own(p))
    with pytest.raises(TypeError, match=f"{name} must be a number"):
        call()
