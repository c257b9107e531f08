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
