"""The functions of the negotiated module one by one: lattice, views, port owners, metrics,
repair, finalisation, order search and the public entries' edge cases."""

import dataclasses
import itertools
import math
import random

import numpy as np
import pytest

from kelvane.manhattan_router import graph
from kelvane.manhattan_router import negotiated as n

E, N, W, S = 0, 1, 2, 3
EAST = (1, 0)


def scene(pc, pt=None, d=1.0, obstacles=(), dbu=None):
    pc = np.asarray(pc, dtype=float)
    pt = np.asarray(pt if pt is not None else [[EAST, EAST]] * len(pc), dtype=float)
    return n._Scene(pc, pt, float(d), [tuple(map(float, o)) for o in obstacles], dbu)


@dataclasses.dataclass
class Lines:
    """A per-route graph as the lattice builder reads it."""
    h_lines: list
    v_lines: list
    obs_list: list = dataclasses.field(default_factory=list)


@pytest.fixture
def own_lines(monkeypatch):
    """Replace the per-route graphs by fixed lines."""
    def use(h, v, obs=()):
        monkeypatch.setattr(n, "_per_route_graphs", lambda sc: [Lines(list(h), list(v), list(obs))] * len(sc.port_centers))
    return use


@dataclasses.dataclass
class View:
    adj: object
    start: tuple
    end: tuple
    end_port: tuple = None
    start_dir: object = None
    end_dir: object = None


# ------------------------------------------------------------------ shared lattice

def test_lattice_snaps_half_to_even_and_adds_cage_rings(own_lines):
    own_lines([2.5, 3.5], [0.0, 10.0])
    H, V, adj, nodes, graphs = n.build_shared_lattice(scene([[[0, 0], [10, 0]]], dbu=1.0), behind=False, lane_mids=False)
    assert H == [-5.0, -3.0, 2.0, 3.0, 4.0, 5.0] and V == [-5.0, -3.0, 0.0, 10.0, 13.0, 15.0]
    # The port points lie on no horizontal line: they follow the crossings, by (y, x).
    keys = list(adj)
    assert len(keys) == 38 and keys[:2] == [(-5.0, -5.0), (-3.0, -5.0)] and keys[-2:] == [(0.0, 0.0), (10.0, 0.0)]
    assert set(nodes) == set(keys) and (0.0, 0.0) in nodes
    # Each list: horizontal neighbours (west, east), then vertical (south, north).
    assert adj[(0.0, 0.0)] == [((10.0, 0.0), 10.0), ((0.0, -3.0), 3.0), ((0.0, 2.0), 2.0)]
    assert adj[(0.0, 2.0)] == [((-3.0, 2.0), 3.0), ((10.0, 2.0), 10.0), ((0.0, 0.0), 2.0), ((0.0, 3.0), 1.0)]


@pytest.mark.parametrize("dbu, line, expect", [(None, 2.0004, 2.0), (None, 2.0006, 2.001), (0.5, 1.25, 1.0),
                                               (0.5, 1.75, 2.0)])
def test_lattice_grid_without_and_with_dbu(own_lines, dbu, line, expect):
    own_lines([line], [0.0])
    H = n.build_shared_lattice(scene([[[0, 0], [10, 0]]], dbu=dbu), behind=False, lane_mids=False)[0]
    assert expect in H and line not in H


@pytest.mark.parametrize("gap, mid", [(2.0, None), (2.002, 1001 * 0.001)])  # snapped as round(y / snap) * snap
def test_mid_line_only_above_twice_delta(own_lines, gap, mid):
    own_lines([0.0, gap], [0.0, gap])
    H, V = n.build_shared_lattice(scene([[[0, 0], [10, 0]]]), behind=False)[:2]
    inner = [h for h in H if 0 < h < gap]
    assert inner == ([] if mid is None else [mid]) and [v for v in V if 0 < v < gap] == inner


def test_lines_behind_ports(own_lines):
    own_lines([], [])
    H, V = n.build_shared_lattice(scene([[[0, 0], [10, 0]]]), lane_mids=False, cage_layers=3)[:2]
    # Start facing +x at (0, 0): -1, -3, -5; end at (10, 0) entered heading +x: 9, 7, 5.
    assert V == [-7.0, -5.0, -3.0, -1.0, 5.0, 7.0, 9.0, 13.0, 15.0, 17.0]
    assert H == [-7.0, -5.0, -3.0, 0.0, 3.0, 5.0, 7.0]


@pytest.mark.parametrize("routes, layers", [(1, 2), (2, 2), (5, 5)])
def test_cage_layers_default(own_lines, routes, layers):
    own_lines([], [])
    pc = [[[0, 2 * i], [10, 2 * i]] for i in range(routes)]
    V = n.build_shared_lattice(scene(pc), behind=False, lane_mids=False)[1]
    assert len(V) == 2 * layers


def test_blocked_edges_leave_gaps_both_ways(own_lines):
    own_lines([0.0, 1.0, 2.0, 3.0], [0.0, 1.0, 2.0, 3.0], [graph.Obstacle(1, 1, 2, 2)])
    adj = n.build_shared_lattice(scene([[[0, 0], [3, 3]]]), behind=False, lane_mids=False, cage_layers=0)[2]
    edges = {graph._ekey(a, b) for a in adj for b, _ in adj[a]}
    sides = {((1.0, 1.0), (2.0, 1.0)), ((1.0, 2.0), (2.0, 2.0)), ((1.0, 1.0), (1.0, 2.0)), ((2.0, 1.0), (2.0, 2.0))}
    assert len(edges) == 24 - 4 and not edges & sides
    assert ((0.0, 1.0), (1.0, 1.0)) in edges  # meets the box at a corner only
    assert all(any(m == a for m, _ in adj[b]) for a in adj for b, _ in adj[a])  # symmetric


def test_coinciding_ports_make_one_node_and_no_empty_edge(own_lines):
    own_lines([], [])
    pc = [[[0, 0.25], [10, 0.25]], [[10, 0.25], [20, 0.25]]]
    adj = n.build_shared_lattice(scene(pc), behind=False, lane_mids=False, cage_layers=0)[2]
    assert list(adj) == [(0.0, 0.25), (10.0, 0.25), (20.0, 0.25)]
    assert adj[(10.0, 0.25)] == [((0.0, 0.25), 10.0), ((20.0, 0.25), 10.0)]


def test_lattice_of_no_routes_or_huge_cages_is_refused():
    with pytest.raises(ValueError, match="no routes"):
        n.build_shared_lattice(scene(np.zeros((0, 2, 2)), np.zeros((0, 2, 2))))
    with pytest.raises(ValueError, match="cage_layers"):  # refused before a billion lines are made
        n.build_shared_lattice(scene([[[0, 0], [10, 0]]]), cage_layers=10**9)
    with pytest.raises(ValueError, match="port_clearance"):
        n.route_negotiated(scene([[[0, 0], [10, 0]]]), port_clearance=-1.0)


# ------------------------------------------------------------------ views and port owners

def test_shared_view_snaps_to_the_first_nearest_node():
    g = graph._build_rail_bridge_graph((0, 0), (10, 0), (1, 0), (1, 0), 1.0, [])
    adj = graph._line_lattice([0.0, 9.5, 10.5], [0.0, 1.0])
    for order in ([(9.5, 0.0), (10.5, 0.0)], [(10.5, 0.0), (9.5, 0.0)]):
        v = n._shared_view(g, [0.0, 1.0], [0.0, 9.5, 10.5], adj, order + [(0.0, 0.0), (0.0, 1.0)])
        assert v.end_port == order[0]  # (10, 0) is 0.5 from both
    assert v.start is g.start and v.adj is adj and type(v) is type(g)
    v.h_bridges.append(99.0)
    assert 99.0 not in g.h_bridges


@pytest.mark.parametrize("clearance, half", [(None, 1.0), (0.25, 0.25)])
def test_port_squares(clearance, half):
    adj = graph._line_lattice([0.0, 3.0, 6.0, 9.0], [-half, 5.0])
    sc = scene([[[0, 5], [3, 5]], [[6, 5], [9, 5]], [[1.5, 0], [7.5, 0]]], d=2.0)
    owners = n._port_block_owners(sc, adj, clearance)
    # y = -half runs along the bottom of route 2's squares, y = 5 through the others' ports.
    assert owners[((0.0, -half), (3.0, -half))] == {2} and owners[((6.0, -half), (9.0, -half))] == {2}
    assert ((3.0, -half), (6.0, -half)) not in owners and owners[((0.0, -half), (0.0, 5.0))] == {0}
    assert owners[((3.0, 5.0), (6.0, 5.0))] == {0, 1} and owners[((0.0, 5.0), (3.0, 5.0))] == {0}
    assert list(owners)[0] == ((0.0, -half), (3.0, -half))  # the order adj lists the edges in


# ------------------------------------------------------------------ search, metrics

def test_route_pen_keeps_port_headings():
    adj = graph._line_lattice([0.0, 1.0, 2.0], [0.0, 1.0])
    g = View(adj, (0.0, 0.0), (2.0, 0.0), start_dir=N, end_dir=S)
    assert n._route_pen(g, None, {}) == [(0.0, 0.0), (0.0, 1.0), (1.0, 1.0), (2.0, 1.0), (2.0, 0.0)]
    assert n._route_pen(dataclasses.replace(g, end_dir=N), None, {}) is None  # nothing arrives heading north


def test_atomic_edges_and_self_intersections():
    assert n._atomic_edges([(1.0, 0.0), (0.0, 0.0), (0.0, 1.0)]) == [((0.0, 0.0), (1.0, 0.0)), ((0.0, 0.0), (0.0, 1.0))]
    assert n._atomic_edges([(0.0, 0.0)]) == []
    eight = [(0, 1), (1, 1), (2, 1), (2, 2), (1, 2), (1, 1), (1, 0)]
    assert n._self_intersections(eight) == {((1.0, 1.0), d) for d in (E, N, W, S)}
    assert n._self_intersections(eight[:5]) == set()


@pytest.mark.parametrize("a, b, expect", [
    (((0, 0), (10, 0)), ((5, -5), (5, 5)), True),
    (((0, 0), (10, 0)), ((10, 0), (10, 5)), True),    # an L meeting counts
    (((0, 0), (10, 0)), ((5, 0), (5, 5)), True),      # a T as well
    (((0, 0), (10, 0)), ((11, -5), (11, 5)), False),
    (((0, 0), (10, 0)), ((5, 0), (15, 0)), False),    # parallel, overlapping
])
def test_seg_crosses(a, b, expect):
    assert n._seg_crosses(*a, *b) is expect and n._seg_crosses(*b, *a) is expect


@pytest.mark.parametrize("paths, expect", [
    ([None, None], (0, 0)),
    ([[(0, 0), (1, 0), (2, 0)]], (0, 0)),
    ([[(0, 0), (1, 0), (2, 0)], [(1, 0), (2, 0), (3, 0)]], (0, 1)),             # one shared edge
    ([[(0, 1), (1, 1), (2, 1)], [(1, 0), (1, 1), (1, 2)]], (1, 0)),             # straight through each other
    ([[(0, 1), (1, 1), (1, 2)], [(2, 1), (1, 1), (1, 0)]], (0, 0)),             # turning away at one node
    ([[(0, 1), (1, 1), (2, 1)], [(1, 0), (1, 1)]], (0, 0)),                     # one ends on the other
    ([[(0, 0), (1, 0), (2, 0)]] * 3, (0, 6)),                                   # three on two edges: 3 pairs each
])
def test_count_crossings_atomic(paths, expect):
    assert n.count_crossings_atomic(paths) == expect


def test_manhattan_length_and_turns():
    assert n._manhattan_length([(0, 0), (3, 0), (3, 4)]) == 7.0 and n._manhattan_length([(1, 1)]) == 0.0
    assert n._count_turns([(0, 0), (0, 0), (5, 0), (5, 5)]) == 1
    assert n._count_turns([(0, 0), (5, 0), (10, 0)]) == 1  # a point on a straight run counts
    rng = random.Random(5)
    for count in list(range(1, 40)) + [129, 130, 257, 300]:
        pts = np.array([[rng.randint(-10**6, 10**6) * 0.001, rng.randint(-10**6, 10**6) * 0.0013] for _ in range(count)])
        assert n._manhattan_length(pts) == float(np.sum(np.abs(np.diff(pts, axis=0))))  # bit for bit


# ------------------------------------------------------------------ repair and finalisation

def test_repair_returns_the_path_itself_when_there_is_nothing_to_repair(monkeypatch):
    calls = []
    monkeypatch.setattr(n, "_route_pen", lambda *a, **k: calls.append(k) or None)
    clean = [(0.0, 0.0), (1.0, 0.0)]
    assert n._repair_self_intersections(None, clean, None, {}, None, 0.0) is clean and calls == []
    eight = [(0, 1), (1, 1), (2, 1), (2, 2), (1, 2), (1, 1), (1, 0)]
    assert n._repair_self_intersections(None, eight, None, {}, None, 5.0, turn_pen=2.0) is eight
    assert calls == [{"node_chords": None, "cross_pen": 5.0, "turn_pen": 2.0,
                      "blocked_passthrough": frozenset((((1.0, 1.0), d) for d in (E, N, W, S)))}]
    assert n._repair_self_intersections(None, eight, None, {}, None, 0.0, max_tries=0) is eight and len(calls) == 1


def test_repair_bans_accumulate_until_the_tries_run_out(monkeypatch):
    adj = graph._line_lattice([0.0, 1.0, 2.0, 3.0], [0.0, 1.0, 2.0, 3.0])
    g = View(adj, (0.0, 1.0), (1.0, 0.0), start_dir=E, end_dir=S)
    eight = [(0.0, 1.0), (1.0, 1.0), (2.0, 1.0), (2.0, 2.0), (1.0, 2.0), (1.0, 1.0), (1.0, 0.0)]
    fixed = n._repair_self_intersections(g, eight, None, {}, None, 0.0)
    assert fixed == [(0.0, 1.0), (1.0, 1.0), (1.0, 0.0)] and n._self_intersections(fixed) == set()


def test_repair_score():
    accepted = [[(5, -5), (5, 5)], None, "ignored: its own entry"]
    path = [(0, 0), (10, 0), (10, 2)]
    assert n._repair_score(path, 2, accepted, [(6, -1, 8, 1)]) == (1, 1)
    assert n._repair_score(path, 2, accepted, [(6, -1, 8, 0)]) == (1, 0)   # along the top edge
    assert n._repair_score(path, 0, accepted[:2], [(10, -1, 12, 1)]) == (0, 0)  # reaches a side only


@pytest.mark.parametrize("path, end_port, expect", [
    ([(0, 0), (1, 0), (2, 0), (2, 1)], (2, 1), [(0, 0), (2, 0), (2, 1)]),
    ([(0, 0), (1, 0), (2, 0), (2, 1)], (2, 2), [(0, 0), (2, 0), (2, 2)]),
    ([(2, 1)], (2, 1), [(2, 1), (2, 1)]),
    ([(0, 0), (1, 0), (0, 0)], (0, 0), [(0, 0), (1, 0), (0, 0)]),          # a reversal stays a corner
    ([(0.0, 0.0), (0.1 + 0.2, 0.0), (0.6, 1e-7)], (0.6, 1e-7), [(0.0, 0.0), (0.6, 1e-7)]),  # rounded to 6 places
])
def test_finalize_simple(path, end_port, expect):
    assert n._finalize_simple(path, View(None, None, None, end_port)) == expect
    with pytest.raises(IndexError):
        n._finalize_simple([], View(None, None, None, end_port))


# ------------------------------------------------------------------ order search

@pytest.mark.parametrize("B, ladder", [(-3, [2]), (0, [2]), (1, [2]), (2, [2]), (3, [2, 3]), (4, [2, 4]),
                                       (5, [2, 3, 5]), (8, [2, 4, 8]), (9, [2, 5, 9])])
def test_cage_ladder(B, ladder):
    assert n._cage_ladder(B) == ladder


def host_orders(B, n_orders, seed):
    rng, base = random.Random(seed), list(range(B))
    orders, seen = [base], {tuple(base)}
    while len(orders) < n_orders:
        o = list(base)
        rng.shuffle(o)
        if tuple(o) not in seen:
            seen.add(tuple(o))
            orders.append(o)
    return orders


@pytest.mark.parametrize("B, n_orders, seed", [(5, 8, 0), (6, 8, 0), (6, 8, 1), (7, 3, "text"), (9, 20, 12345),
                                               (5, 120, 3), (5, 1, 0), (12, 5, 2**70)])
def test_orders_follow_the_hosts_generator(B, n_orders, seed):
    assert n._orders_for(B, n_orders, seed) == host_orders(B, n_orders, seed)


def test_orders_small_and_beyond_all_permutations():
    assert n._orders_for(3, 1, 0) == [list(p) for p in itertools.permutations(range(3))]
    assert n._orders_for(0, 8, 0) == [[]] and len(n._orders_for(4, 1, None)) == 24
    every = n._orders_for(5, 121, 0)  # more than the 120 that exist: all of them, not a loop forever
    assert every == [list(p) for p in itertools.permutations(range(5))]
    assert n._orders_for(6, 10**9, None) == [list(p) for p in itertools.permutations(range(6))]


# ------------------------------------------------------------------ public entries

SPAN_SCENE = [[[0, 0], [10, 0]], [[0, 5], [10, 5]]]  # ports span 10 x 5


def test_route_negotiated_default_penalties(monkeypatch):
    calls = []
    original = n._route_pen
    monkeypatch.setattr(n, "_route_pen", lambda *a, **k: calls.append((a, k)) or original(*a, **k))
    n.route_negotiated(scene(SPAN_SCENE))
    first, passes = calls[:2], calls[2:]
    assert [sorted(k) for _, k in first] == [["turn_pen"]] * 2 and first[0][1]["turn_pen"] == 1.0
    assert passes and all(k["cross_pen"] == 60.0 and k["turn_pen"] == 1.0 for _, k in passes)
    assert all(v == n.BLOCK_PEN for a, _ in first for v in a[2].values()) and first[0][0][2]

    calls.clear()
    n.route_negotiated(scene(SPAN_SCENE), avoid_ports=False, iters=0)
    assert len(calls) == 2 and all(a[2] == {} for a, _ in calls)


def test_entries_with_no_routes_and_one_route():
    assert n.route_negotiated_best(np.zeros((0, 2, 2)), np.zeros((0, 2, 2)), 1.0) == ([], [], [])
    assert n.negotiate_routes([], [], 1.0) == []
    skels, atomic, order = n.route_negotiated_best([[[0, 0], [10, 0]]], [[EAST, EAST]], 1.0)
    assert order == [0] and skels[0].tolist() == [[0.0, 0.0], [10.0, 0.0]] and atomic[0][-1] == (10.0, 0.0)


def test_cage_layers_and_min_orders_reach_the_loop_once(monkeypatch):
    calls = []
    original = n.route_negotiated
    monkeypatch.setattr(n, "route_negotiated", lambda *a, **k: calls.append(k) or original(*a, **k))
    pc = [[[0, 0], [20, 0]], [[0, 4], [20, 4]], [[0, 8], [20, 8]]]
    n.negotiate_routes(pc, [[EAST, EAST]] * 3, 1.0, cage_layers=3)
    # Three routes that never meet: clean at once, so two orders (min_orders) and one level.
    assert [k["cage_layers"] for k in calls] == [3, 3] and [k["relax_order"] for k in calls] == [[0, 1, 2], [0, 2, 1]]
    calls.clear()
    n.route_negotiated_best(pc, [[EAST, EAST]] * 3, 1.0, min_orders=4)
    assert len(calls) == 4 and all(k["cage_layers"] == 2 and "min_orders" not in k for k in calls)


@pytest.mark.parametrize("kw, error, match", [
    ({"relax_order": [0]}, TypeError, "multiple values for keyword argument 'relax_order'"),
    ({"speed": 3}, TypeError, "unexpected keyword argument 'speed'"),
    ({"cage_layers": 2.5}, TypeError, "integer"),
    ({"iters": 2**63}, ValueError, r"iters: at most 10000 passes, got 9223372036854775808"),
    ({"iters": 10001}, ValueError, "iters: at most 10000"),
    ({"dbu": 0}, ValueError, "dbu must be positive or None, got 0"),
    ({"dbu": 0.0}, ValueError, "dbu must be positive or None"),
])
def test_bad_keywords(kw, error, match):
    with pytest.raises(error, match=match):
        n.negotiate_routes(SPAN_SCENE, [[EAST, EAST]] * 2, 1.0, **kw)


@pytest.mark.parametrize("B, n_orders, match", [
    (8, 2**63, r"n_orders: at most 10000 route orders are tried \(8 routes have 40320\), got 9223372036854775808"),
    (12, 1e8, r"\(12 routes have 479001600\), got 100000000.0"),
])
def test_order_counts_beyond_reach_are_refused(B, n_orders, match):
    pc = [[[0, 4 * r], [40, 4 * r]] for r in range(B)]
    with pytest.raises(ValueError, match=match):
        n.negotiate_routes(pc, [[EAST, EAST]] * B, 1.0, n_orders=n_orders)
    assert len(n._orders_for(7, 10**9, 0)) == 5040 and len(n._orders_for(3, 2**63, 0)) == 6  # all there are


def test_obstacles_as_an_array_are_boxes():
    pc = [[[0, 0], [20, 0]], [[0, 6], [20, 6]]]
    boxes = [(8.0, -3.0, 10.0, 2.0), (12.0, 4.0, 13.0, 9.0)]
    as_list = n.negotiate_routes(pc, [[EAST, EAST]] * 2, 1.0, boxes)
    as_array = n.negotiate_routes(pc, [[EAST, EAST]] * 2, 1.0, np.array(boxes))
    assert [s.tolist() for s in as_array] == [s.tolist() for s in as_list]
    assert len(as_list[0]) > 2  # the box is in the way
    assert n.negotiate_routes(pc, [[EAST, EAST]] * 2, 1.0, np.zeros((0, 4)))[0].tolist() == [[0.0, 0.0], [20.0, 0.0]]


@pytest.mark.parametrize("pc, pt, delta, obstacles, match", [
    ([[[0, math.nan], [10, 0]]], [[EAST, EAST]], 1.0, None, r"port_centers\[0, 0\]"),
    ([[[0, 0], [math.inf, 0]]], [[EAST, EAST]], 1.0, None, r"port_centers\[0, 1\]"),
    ([[[0, 0], [10, 0]]], [[EAST, (0, 0)]], 1.0, None, r"port_tangents\[0, 1\] must be a non-zero"),
    ([[[0, 0], [10, 0]]], [[EAST, (math.nan, 1)]], 1.0, None, r"port_tangents\[0, 1\]"),
    ([[[0, 0], [10, 0]]], [[(1, 1), EAST]], 1.0, None, r"port_tangents\[0, 0\] must be axis-parallel"),
    ([[[0, 0], [10, 0]]], [[EAST, EAST]], 0.0, None, "delta must be > 0"),
    ([[[0, 0], [10, 0]]], [[EAST, EAST]], -2.0, None, "delta must be > 0"),
    ([[[0, 0], [10, 0]]], [[EAST, EAST]], math.nan, None, "delta must be finite"),
    ([[[0, 0], [10, 0]]], [[EAST, EAST]], 1.0, [(0, 0, math.inf, 1)], r"obstacles\[0\]"),
    ([[[0, 0], [0, 0]]], [[EAST, EAST]], 1.0, None, "same point"),
    ([[0, 0], [10, 0]], [[EAST, EAST]], 1.0, None, r"shape \(B, 2, 2\)"),
])
def test_bad_scenes_name_the_argument(pc, pt, delta, obstacles, match):
    with pytest.raises(ValueError, match=match):
        n.negotiate_routes(pc, pt, delta, obstacles)


def test_solution_key_ranks_outcomes(monkeypatch):
    straight = [[(0.0, 0.0), (10.0, 0.0)], [(0.0, 4.0), (10.0, 4.0)]]
    crossing = [[(0.0, 1.0), (1.0, 1.0), (2.0, 1.0)], [(1.0, 0.0), (1.0, 1.0), (1.0, 2.0)]]
    outcomes = {  # by the first route of the order: (skels, atomic)
        0: ([np.array(straight[0]), None], [straight[0], None]),                    # one route unrouted
        1: ([np.array(p) for p in crossing], crossing),                             # routed, one crossing
        2: ([np.array(p) for p in crossing], crossing),                             # equal key: the earlier wins
    }
    monkeypatch.setattr(n, "route_negotiated", lambda scene, relax_order, **kw: outcomes[relax_order[0]])
    sc = scene(SPAN_SCENE)
    key, skels, atomic, order = n._best_over_orders(sc, [[0, 1], [1, 0], [2, 0]], cage_layers=2)
    assert key == (0, 1, 1, 0, 2, 4.0) and order == [1, 0] and atomic is crossing
    key, *_ = n._best_over_orders(sc, [[0, 1]], cage_layers=2)
    assert key == (1, 0, 0, 0, 0, 10.0) and type(key[5]) is float
    monkeypatch.setattr(n, "route_negotiated", lambda scene, relax_order, **kw: ([None, None], [None, None]))
    key, *_ = n._best_over_orders(sc, [[0, 1]], cage_layers=2)
    assert key == (2, 0, 0, 0, 0, 0) and type(key[5]) is int  # nothing routed: the length is the int 0
    assert n._best_over_orders(sc, []) is None
