"""Seams: every helper is looked up in the module when called, replacements get the documented
argument forms and their results are used, and a run with nothing replaced stays native."""

import threading
import time

import numpy as np
import pytest

from kelvane.manhattan_router import negotiated as n

EAST = (1, 0)
# Four routes that swap order between two devices: passes, repairs, crossings and polish all run.
PC = [[[0, 4 * i], [80, 4 * (3 - i)]] for i in range(4)]
PT = [[EAST, EAST]] * 4
OBS = [(-20, -10, 0, 22), (80, -10, 100, 22)]

# name -> the call forms (positional count, keyword names) its callers use
FORMS = {
    "route_negotiated_best": {(4, ("n_orders",))},  # negotiate_routes hands its keywords on
    "_orders_for": {(3, ())},
    "_cage_ladder": {(1, ())},
    "_best_over_orders": {(2, ("cage_layers",))},
    "route_negotiated": {(1, ("cage_layers", "relax_order"))},
    "count_crossings_atomic": {(1, ())},
    "_manhattan_length": {(1, ())},
    "_count_turns": {(1, ())},
    "build_shared_lattice": {(1, ("cage_layers", "cage_margin"))},
    "_per_route_graphs": {(1, ())},
    "_build_rail_bridge_graph": {(6, ("dbu", "enforce_min_segment_length", "sliding_bias"))},
    "_ObstacleIndex": {(2, ())},
    "_shared_view": {(5, ())},
    "_port_block_owners": {(3, ())},
    "_route_pen": {(3, ("turn_pen",)), (3, ("cross_pen", "node_chords", "turn_pen")),
                   (3, ("blocked_passthrough", "cross_pen", "node_chords", "turn_pen"))},
    "_repair_self_intersections": {(6, ("turn_pen",))},
    "_self_intersections": {(1, ())},
    "_run_dijkstra": {(3, ("cross_pen", "edge_pen", "node_chords", "turn_pen"))},
    "_select_end_state": {(3, ("turn_pen",))},
    "_reconstruct_path": {(3, ())},
    "_atomic_edges": {(1, ())},
    "_finalize_simple": {(2, ())},
    "Obstacle": {(4, ())},
    "_extend_short_segments": {(3, ())},
    "_repair_score": {(4, ())},
}


def same(a, b):
    return len(a) == len(b) and all(x is None and y is None or np.array_equal(x, y) for x, y in zip(a, b))


@pytest.fixture(scope="module")
def native():
    return n.negotiate_routes(PC, PT, 2.0, OBS, n_orders=2)


@pytest.mark.parametrize("name", sorted(FORMS))
def test_replaced_helper_gets_the_documented_forms(name, native, monkeypatch):
    calls = []
    original = getattr(n, name)

    def recorder(*args, **kw):
        calls.append((len(args), tuple(sorted(kw))))
        return original(*args, **kw)

    monkeypatch.setattr(n, name, recorder)
    result = n.negotiate_routes(PC, PT, 2.0, OBS, n_orders=2)
    assert calls and set(calls) <= FORMS[name], set(calls) - FORMS[name]
    assert same(result, native)  # through Python or not, the same routes


def test_values_handed_to_a_replaced_search(monkeypatch):
    seen = []
    original = n._route_pen

    def recorder(g, turn_bias, edge_pen, **kw):
        seen.append((g, turn_bias, edge_pen, kw))
        return original(g, turn_bias, edge_pen, **kw)

    monkeypatch.setattr(n, "_route_pen", recorder)
    n.route_negotiated(n._Scene(np.asarray(PC, float), np.asarray(PT, float), 2.0, OBS), turn_bias="start")
    g, turn_bias, edge_pen, kw = seen[-1]
    assert type(g).__name__ == "RailBridgeGraph" and g.end == g.end_port and g.end_approach_len == 0.0
    assert g.start in g.adj and turn_bias == "start" and g.h_lines == sorted(g.h_lines)
    assert all(type(k) is tuple and len(k) == 2 and k == n._ekey(*k) and type(v) is float for k, v in edge_pen.items())
    assert all(type(c) is tuple and c[0] < c[1] for chords in kw["node_chords"].values() for c in chords)
    assert [len(s[2]) for s in seen[:4]] and all(v == n.BLOCK_PEN for s in seen[:4] for v in s[2].values())


def test_results_of_replacements_are_used(monkeypatch):
    monkeypatch.setattr(n, "_orders_for", lambda B, n_orders, seed: [[3, 2, 1, 0]])
    monkeypatch.setattr(n, "_cage_ladder", lambda B: [3])
    levels = []
    original = n._best_over_orders
    monkeypatch.setattr(n, "_best_over_orders", lambda *a, **k: levels.append(k["cage_layers"]) or original(*a, **k))
    skels, atomic, order = n.route_negotiated_best(PC, PT, 2.0, OBS)
    assert order == [3, 2, 1, 0] and levels == [3]

    monkeypatch.setattr(n, "route_negotiated", lambda scene, **kw: ([None] * 4, [None] * 4))
    assert n.route_negotiated_best(PC, PT, 2.0, OBS) == ([None] * 4, [None] * 4, [3, 2, 1, 0])


def test_module_constants_are_read_per_call(monkeypatch):
    seen = []
    original = n._route_pen
    monkeypatch.setattr(n, "_route_pen", lambda g, tb, pen, **kw: seen.append(set(pen.values())) or original(g, tb, pen, **kw))
    monkeypatch.setattr(n, "BLOCK_PEN", 7.0)
    n.route_negotiated(n._Scene(np.asarray(PC, float), np.asarray(PT, float), 2.0, OBS), iters=0)
    assert seen[0] == {7.0}
    monkeypatch.setattr(n, "_SNAP", 0.5)
    H = n.build_shared_lattice(n._Scene(np.asarray([[[0, 0.2], [10, 0.2]]]), np.asarray([[EAST, EAST]], float), 1.0, []))[0]
    assert all(h * 2 == round(h * 2) for h in H)


def test_a_native_run_releases_the_gil():
    B = 8
    pc = [[[0, 2 * i], [40, 2 * (B - 1 - i)]] for i in range(B)]
    done, ticks = threading.Event(), [0]

    def work():
        n.negotiate_routes(pc, [[EAST, EAST]] * B, 1.0)
        done.set()

    t = threading.Thread(target=work)
    start = time.perf_counter()
    t.start()
    while not done.is_set():
        ticks[0] += 1
    t.join()
    # The loop above only runs while the router does not hold the GIL.
    assert ticks[0] > 1000 or time.perf_counter() - start < 0.05


# ------------------------------------------------- values checked where they are used

class Untouchable:
    """A view that fails the test as soon as anything reads it."""

    def __getattr__(self, name):
        raise AssertionError(f"g.{name} was read")


LOOP = [(0.0, 0.0), (1.0, 0.0), (1.0, 1.0), (0.0, 1.0), (0.0, 0.0), (-1.0, 0.0)]  # passes (0, 0) twice


@pytest.mark.parametrize("path, kw", [(LOOP, {"max_tries": 0}), (LOOP, {"max_tries": -1}),
                                      ([(0.0, 0.0), (1.0, 0.0), (1.0, 1.0)], {})])
@pytest.mark.parametrize("replaced", [False, True])
def test_repair_with_nothing_to_do_reads_nothing(path, kw, replaced, monkeypatch):
    calls = []
    if replaced:  # the road through the replaced search: the same answer, and no search
        monkeypatch.setattr(n, "_route_pen", lambda *a, **k: calls.append(a))
    out = n._repair_self_intersections(Untouchable(), path, "no such bias", None, None, None, **kw)
    assert out is path and not calls


def scene_of(pc):
    return n._Scene(np.asarray(pc, float), np.asarray([[EAST, EAST]] * len(pc), float), 2.0, OBS)


HANDED_ON = [  # (replaced name, route_negotiated keywords, how the replacement sees them, sane arguments)
    ("_route_pen", {"turn_bias": "low", "turn_pen": -1.0},
     lambda a, k: a[1] == "low" and k["turn_pen"] == -1.0,
     lambda a, k: ((a[0], "center", a[2]), {**k, "turn_pen": 2.0})),
    ("build_shared_lattice", {"cage_layers": 2.5, "cage_margin": "wide"},
     lambda a, k: k == {"cage_layers": 2.5, "cage_margin": "wide"},
     lambda a, k: ((a[0],), {})),
    ("_port_block_owners", {"port_clearance": "x"},
     lambda a, k: a[2] == "x",
     lambda a, k: ((a[0], a[1], None), {})),
]


@pytest.mark.parametrize("name, kw, seen, fix", HANDED_ON, ids=[h[0] for h in HANDED_ON])
def test_handed_on_values_reach_a_replaced_helper_as_given(name, kw, seen, fix, monkeypatch):
    original = getattr(n, name)

    def replacement(*args, **k):
        assert seen(args, k)
        replacement.calls += 1
        a, k2 = fix(args, k)
        return original(*a, **k2)

    replacement.calls = 0
    monkeypatch.setattr(n, name, replacement)
    skels, atomic = n.route_negotiated(scene_of(PC), iters=1, **kw)
    assert replacement.calls and all(s is not None for s in skels)


@pytest.mark.parametrize("kw, error, match", [
    ({"turn_bias": "low"}, ValueError, "turn_bias must be"),
    ({"turn_pen": -1.0}, ValueError, "turn_pen must be >= 0"),
    ({"node_pen": -1.0, "overlap_pen": 9.0}, ValueError, "cross_pen must be >= 0"),
    ({"cage_layers": 2.5}, TypeError, "integer"),
    ({"port_clearance": "x"}, TypeError, "port_clearance"),
])
def test_the_own_helpers_refuse_a_handed_on_value_where_they_use_it(kw, error, match, monkeypatch):
    # A replaced helper that runs before the value is used still runs, once per route.
    views = []
    original = n._shared_view
    monkeypatch.setattr(n, "_shared_view", lambda *a: views.append(1) or original(*a))
    with pytest.raises(error, match=match):
        n.route_negotiated(scene_of(PC), **kw)
    assert len(views) == (0 if "cage_layers" in kw else 4)


def test_a_value_no_step_uses_is_not_refused():
    # node_pen is the passes' crossing cost (overlap_pen given): no pass, no use.
    kept = n.negotiate_routes(PC, PT, 2.0, OBS, iters=0, overlap_pen=9.0, n_orders=2)
    assert same(n.negotiate_routes(PC, PT, 2.0, OBS, iters=0, overlap_pen=9.0, node_pen=-1.0, n_orders=2), kept)
    with pytest.raises(ValueError, match="cross_pen"):
        n.negotiate_routes(PC, PT, 2.0, OBS, iters=1, overlap_pen=9.0, node_pen=-1.0, n_orders=2)
    # min_orders is first compared when a second order comes.
    key, *_ = n._best_over_orders(scene_of(PC), [[0, 1, 2, 3]], min_orders="x", cage_layers=2)
    assert key[0] == 0
    with pytest.raises(TypeError, match="min_orders"):
        n._best_over_orders(scene_of(PC), [[0, 1, 2, 3]] * 2, min_orders="x", cage_layers=2)
