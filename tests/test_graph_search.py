"""Lattice adjacency, direction helpers and the lattice search of graph."""

import collections.abc
import copy
import dataclasses
import heapq
import math
import random
from types import SimpleNamespace

import pytest

from kelvane.manhattan_router import graph

E, N, W, S = 0, 1, 2, 3
OPP = {0: 2, 1: 3, 2: 0, 3: 1}


@dataclasses.dataclass
class G:
    adj: object
    start: tuple
    end: tuple
    start_dir: object = None
    end_dir: object = None


def grid(nx, ny, obstacles=None, extra=None):
    return graph._line_lattice(list(range(nx)), list(range(ny)), obstacles, extra)


def search(g, turn_pen=0.0, turn_bias=None, blocked=frozenset(), **kw):
    dist, prev = graph._run_dijkstra(g, turn_bias, blocked, turn_pen=turn_pen, **kw)
    best = graph._select_end_state(g, dist, turn_bias, turn_pen=turn_pen)
    if best is None:
        return None, None, dist
    return graph._reconstruct_path(prev, best, g.start), best, dist


def fl(path):
    return [(float(x), float(y)) for x, y in path]


def interleave(a0, a1, b0, b1):
    return a0 < b0 < a1 < b1 or b0 < a0 < b1 < a1


def touches(own, other):
    """Two chords through one node with no side in common: a crossing or a corner kiss."""
    return other[0] != other[1] and not set(own) & set(other)


def step_cost(g, n, m, h, initial, edge_pen, node_chords, cross_pen, turn_pen):
    d2 = graph._direction(n, m)
    length = dict(g.adj[n])[m]
    cost = length + edge_pen.get(graph._ekey(n, m), 0.0)
    if h is not None and d2 != h:
        cost += turn_pen
    if not initial and n != g.start and n != g.end:
        own = (OPP[h], d2)
        cost += cross_pen * sum(touches(own, c) for c in node_chords.get(n, ()))
    return d2, cost


def arrivals(g):
    """Headings that reach g.end: end_dir only when it is set."""
    return (0, 1, 2, 3, None) if g.end_dir is None else (g.end_dir,)


def reference_best(g, edge_pen, node_chords, cross_pen, turn_pen, blocked):
    """Plain Dijkstra over (node, heading) states written from the cost rules."""
    s0 = (g.start, g.start_dir)
    dist = {s0: 0.0}
    heap = [(0.0, 0, s0)]
    done, tick = set(), 1
    while heap:
        c, _, s = heapq.heappop(heap)
        if s in done:
            continue
        done.add(s)
        n, h = s
        for m, _len in g.adj[n]:
            d2 = graph._direction(n, m)
            if h is not None and d2 == OPP[h]:
                continue
            if s == s0 and h is not None and d2 != h:
                continue  # the start is left along start_dir
            if s != s0 and d2 == h and (n, d2) in blocked:
                continue
            _, sc = step_cost(g, n, m, h, s == s0, edge_pen, node_chords, cross_pen, turn_pen)
            if c + sc < dist.get((m, d2), math.inf):
                dist[(m, d2)] = c + sc
                heapq.heappush(heap, (c + sc, tick, (m, d2)))
                tick += 1
    scores = [dist[(g.end, d)] for d in arrivals(g) if (g.end, d) in dist]
    return min(scores) if scores else None


def path_score(g, path, best_dir, edge_pen, node_chords, cross_pen, turn_pen, blocked):
    """Cost of a returned path under the search rules; asserts it is legal."""
    assert path[0] == g.start and path[-1] == g.end
    h, total = g.start_dir, 0.0
    for k in range(len(path) - 1):
        n, m = path[k], path[k + 1]
        assert m in dict(g.adj[n]), "consecutive nodes must be neighbours"
        d2, c = step_cost(g, n, m, h, k == 0, edge_pen, node_chords, cross_pen, turn_pen)
        assert h is None or d2 != OPP[h], "reversal"
        assert k > 0 or h is None or d2 == h, "turn at the start"
        assert k == 0 or not (d2 == h and (n, d2) in blocked), "banned pass-through"
        total += c
        h = d2
    if len(path) > 1:
        assert h == best_dir and h in arrivals(g)
    return total


# ----------------------------------------------------------- small helpers


@pytest.mark.parametrize(
    "a, b, d",
    [((0, 0), (1, 0), E), ((0, 0), (0, 2), N), ((0, 0), (-3, 0), W), ((0, 0), (0, -1), S),
     ((0, 0), (5, 1), E), ((0, 0), (-1, -5), S), ((0, 0), (2, 2), N), ((0, 0), (-2, -2), S)],
)
def test_direction(a, b, d):
    assert graph._direction(a, b) == d
    assert graph._direction(b, a) == graph._OPP[d] or abs(a[0] - b[0]) == abs(a[1] - b[1])


def test_direction_rejects_identical_and_bad_points():
    with pytest.raises(ValueError, match="same point"):
        graph._direction((1.0, 2.0), (1, 2))
    with pytest.raises(ValueError):
        graph._direction((0, math.nan), (1, 0))
    with pytest.raises((TypeError, ValueError)):
        graph._direction("ab", (1, 0))


def test_opp_and_dir_idx_tables():
    assert graph._OPP == {0: 2, 1: 3, 2: 0, 3: 1}
    assert graph._DIR_IDX == {0: 0, 1: 1, 2: 2, 3: 3}


def test_interleaved_pos_truth_table():
    pairs = [(i, j) for i in range(4) for j in range(i + 1, 4)]
    crossing = {((0, 2), (1, 3)), ((1, 3), (0, 2))}
    for p in pairs:
        for q in pairs:
            assert graph._interleaved_pos(p[0], p[1], q[0], q[1]) is ((p, q) in crossing), (p, q)
    assert graph._interleaved_pos(0, 5, 2, 7) and not graph._interleaved_pos(0, 5, 1, 3)
    with pytest.raises(TypeError):
        graph._interleaved_pos(0.5, 2, 1, 3)


def test_ekey_symmetric_float_tuples():
    k = graph._ekey((1, 0), (0, 0))
    assert k == ((0.0, 0.0), (1.0, 0.0)) == graph._ekey((0.0, 0.0), (1, 0))
    assert all(type(c) is float for p in k for c in p)
    assert graph._ekey((0, 1), (0, 0)) == ((0.0, 0.0), (0.0, 1.0))
    assert hash(k) == hash(graph._ekey((0, 0), (1, 0)))
    with pytest.raises(ValueError):
        graph._ekey((0, math.inf), (0, 0))


# ------------------------------------------------------- adjacency mapping


def test_lattice_adjacency_mapping_behaviour():
    adj = grid(3, 2)
    assert isinstance(adj, collections.abc.Mapping)
    assert len(adj) == 6
    assert list(adj) == [(0.0, 0.0), (1.0, 0.0), (2.0, 0.0), (0.0, 1.0), (1.0, 1.0), (2.0, 1.0)]
    # Neighbour order: west, east, south, north.
    assert adj[(1.0, 0.0)] == [((0.0, 0.0), 1.0), ((2.0, 0.0), 1.0), ((1.0, 1.0), 1.0)]
    assert adj[(1, 1)] == [((0.0, 1.0), 1.0), ((2.0, 1.0), 1.0), ((1.0, 0.0), 1.0)]
    assert (2, 1) in adj and (2, 2) not in adj and "xy" not in adj and None not in adj
    assert adj.get((9, 9)) is None and adj.get((9, 9), 5) == 5 and adj.get((0, 0)) == adj[(0, 0)]
    with pytest.raises(KeyError):
        adj[(0.5, 0.0)]
    assert list(adj.keys()) == list(adj) and (0, 1) in adj.keys()
    assert adj.items() == [(n, adj[n]) for n in adj] and adj.values() == [adj[n] for n in adj]
    assert adj == dict(adj.items()) and adj != {} and adj == adj
    assert "6 nodes" in repr(adj) and "7 edges" in repr(adj)
    assert copy.deepcopy(adj) is adj and copy.copy(adj) is adj
    with pytest.raises(TypeError):
        adj[(0, 0)] = []


def test_lattice_adjacency_obstacles_and_extra_points():
    # The box interior covers only the edge (1, 1)-(2, 1); lines along its sides stay.
    adj = grid(3, 3, obstacles=[(1.2, 0.5, 1.8, 1.5)], extra=[(5, 5), (0.5, 0)])
    assert (2.0, 1.0) not in dict(adj[(1.0, 1.0)]) and (1.0, 1.0) not in dict(adj[(2.0, 1.0)])
    assert (2.0, 0.0) in dict(adj[(1.0, 0.0)])
    assert adj[(5, 5)] == []
    # The extra point splits the y = 0 line.
    assert adj[(0.5, 0.0)] == [((0.0, 0.0), 0.5), ((1.0, 0.0), 0.5)]
    assert list(adj)[-2:] == [(5.0, 5.0), (0.5, 0.0)]
    # Every edge is listed from both ends with the same length.
    for n, nbrs in adj.items():
        for m, length in nbrs:
            assert (n, length) in adj[m]


# ----------------------------------------------------------------- search

ROUTES = [
    # name, lattice size, start, end, start_dir, end_dir, turn_pen, expected path
    ("straight", (4, 1), (0, 0), (3, 0), E, E, 1.0, [(0, 0), (1, 0), (2, 0), (3, 0)]),
    ("L", (3, 3), (0, 0), (2, 2), E, N, 1.0, [(0, 0), (1, 0), (2, 0), (2, 1), (2, 2)]),
    ("L upward first", (3, 3), (0, 0), (2, 2), N, E, 1.0, [(0, 0), (0, 1), (0, 2), (1, 2), (2, 2)]),
    ("behind the start", (4, 3), (2, 0), (0, 2), E, W, 1.0, [(2, 0), (3, 0), (3, 1), (3, 2), (2, 2), (1, 2), (0, 2)]),
    ("start is end", (2, 2), (1, 1), (1, 1), None, None, 1.0, [(1, 1)]),
]


@pytest.mark.parametrize("name, size, start, end, sd, ed, tp, expected", ROUTES)
@pytest.mark.parametrize("as_dict", [False, True])
def test_routes_on_small_lattices(name, size, start, end, sd, ed, tp, expected, as_dict):
    adj = grid(*size)
    if as_dict:
        adj = dict(adj.items())
    g = G(adj, tuple(map(float, start)), tuple(map(float, end)), sd, ed)
    path, best, _ = search(g, turn_pen=tp)
    assert path == fl(expected)
    assert best[0] == g.end


def test_turn_pen_steers_to_fewer_bends():
    g = G(grid(3, 3), (0.0, 0.0), (2.0, 2.0))
    path, _, dist = search(g, turn_pen=5.0)
    bends = sum(1 for a, b, c in zip(path, path[1:], path[2:]) if graph._direction(a, b) != graph._direction(b, c))
    assert bends == 1 and len(path) == 5
    assert min(dist[(g.end, d)] for d in (N, E) if (g.end, d) in dist) == 9.0


def test_edge_pen_detour_blocked_passthrough_crossings_and_kisses():
    g = G(grid(4, 2), (0.0, 0.0), (3.0, 0.0), E, E)
    straight = fl([(0, 0), (1, 0), (2, 0), (3, 0)])
    detour = fl([(0, 0), (1, 0), (1, 1), (2, 1), (2, 0), (3, 0)])  # the only other way in heading east
    assert search(g, turn_pen=0.5)[0] == straight
    key = graph._ekey((1.0, 0.0), (2.0, 0.0))
    # The detour scores 7.0: length 5 and four bends.
    for kw in [dict(edge_pen={key: 10.0}), dict(edge_pen={key: math.inf}),
               dict(blocked=frozenset({((1.0, 0.0), E)})),
               dict(node_chords={(1.0, 0.0): [(1, 3)]}, cross_pen=10.0)]:
        path, best, dist = search(g, turn_pen=0.5, **kw)
        assert path == detour and dist[best] == 7.0, kw
    # Cheap enough: straight on, paying the penalty.
    path, best, dist = search(g, turn_pen=0.5, edge_pen={key: 3.5})
    assert path == straight and dist[best] == 6.5
    path, best, dist = search(g, turn_pen=0.5, node_chords={(1.0, 0.0): [(1, 3), (1, 3)]}, cross_pen=1.0)
    assert path == straight and dist[best] == 5.0
    # A reversed key is not an edge key: ignored, like a dict look-up of _ekey.
    assert search(g, turn_pen=0.5, edge_pen={(key[1], key[0]): 10.0})[0] == straight
    # The ban is per heading; a chord sharing a side is no crossing.
    assert search(g, turn_pen=0.5, blocked={((1.0, 0.0), W)})[0] == straight
    path, best, dist = search(g, turn_pen=0.5, node_chords={(1.0, 0.0): [(1, 2), (0, 1)]}, cross_pen=100.0)
    assert path == straight and dist[best] == 3.0
    # A corner kiss costs like a crossing: at (1, 1) the detour turns from S to E
    # (sides 0 and 3); another route turning there on sides 1 and 2 touches it.
    closed = {key: math.inf}
    _, best, dist = search(g, turn_pen=0.5, edge_pen=closed, node_chords={(1.0, 1.0): [(1, 2)]}, cross_pen=5.0)
    assert dist[best] == 12.0
    _, best, dist = search(g, turn_pen=0.5, edge_pen=closed, node_chords={(1.0, 1.0): [(0, 1)]}, cross_pen=5.0)
    assert dist[best] == 7.0
    # No crossing cost at the start and end nodes.
    chords = {(0.0, 0.0): [(1, 3)], (3.0, 0.0): [(1, 3)]}
    _, best, dist = search(g, turn_pen=0.5, node_chords=chords, cross_pen=100.0)
    assert dist[best] == 3.0


def test_port_headings_are_rules():
    # Leaving (0, 0) east on a 2 x 2 square, a route can only circle
    # counter-clockwise: it reaches (0, 1) heading west, never north.
    sq = grid(2, 2)
    assert search(G(sq, (0.0, 0.0), (0.0, 1.0), E, None))[0] == fl([(0, 0), (1, 0), (1, 1), (0, 1)])
    assert search(G(sq, (0.0, 0.0), (0.0, 1.0), E, N))[0] is None
    assert search(G(sq, (0.0, 0.0), (0.0, 1.0), N, N))[0] == fl([(0, 0), (0, 1)])
    # Two routes that must swap (delta 1): neither may leave or enter sideways.
    g = G(grid(7, 3), (0.0, 0.0), (6.0, 2.0), E, E)
    path, best, _ = search(g, turn_pen=1.0)
    assert path[1] == (1.0, 0.0) and path[-2] == (5.0, 2.0) and best[1] == E


def test_never_reverses():
    line = grid(3, 1)
    assert search(G(line, (1.0, 0.0), (0.0, 0.0), E))[0] is None
    assert search(G(line, (1.0, 0.0), (0.0, 0.0)))[0] == [(1.0, 0.0), (0.0, 0.0)]
    # A loop to come back is the only way: east first, then round the block.
    path, _, _ = search(G(grid(3, 2), (1.0, 0.0), (0.0, 0.0), E), turn_pen=1.0)
    assert path == fl([(1, 0), (2, 0), (2, 1), (1, 1), (0, 1), (0, 0)])


def test_unreachable_and_missing_end():
    walled = grid(3, 3, obstacles=[(0.5, -1, 1.5, 3)])  # cuts every horizontal edge x 0..1
    path, best, dist = search(G(walled, (0.0, 0.0), (2.0, 2.0)))
    assert best is None and path is None and len(dist) > 1
    assert search(G(grid(2, 2), (0.0, 0.0), (7.0, 7.0)))[1] is None


def test_turn_bias_places_the_jog():
    # Leaving and entering heading east, the jog lies within x = 1..3.
    for bias, jog in [("start", 1.0), ("center", 2.0), (0.5, 2.0), ("end", 3.0), (1.0, 3.0)]:
        g = G(grid(5, 2), (0.0, 0.0), (4.0, 1.0), E, E)
        path, _, _ = search(g, turn_pen=1.0, turn_bias=bias)
        assert any(a[0] == b[0] == jog for a, b in zip(path, path[1:])), (bias, path)


def test_dict_adjacency_keeps_caller_node_objects():
    a, b, c = (0, 0), (1, 0), (1, 1)
    adj = {a: [(b, 1)], b: [(a, 1), (c, 1)], c: [(b, 1)]}
    g = SimpleNamespace(adj=adj, start=a, end=c)  # no start_dir / end_dir attributes
    path, best, dist = search(g, turn_pen=1.0)
    assert path == [a, b, c] and path[2] is c and best == (c, N)
    assert dist[(c, N)] == 3.0 and dist[((1.0, 1.0), 1)] == 3.0


def test_dist_and_prev_objects():
    g = G(grid(4, 4), (0.0, 0.0), (3.0, 0.0), E, E)
    dist, prev = graph._run_dijkstra(g, "center", set(), turn_pen=1.0)
    assert dist[((3.0, 0.0), E)] == 3.0 and dist[((0.0, 0.0), E)] == 0.0
    assert ((3.0, 0.0), E) in dist and ((3.0, 0.0), W) not in dist
    with pytest.raises(KeyError):
        dist[((3.0, 3.0), W)]
    with pytest.raises(KeyError):
        dist[((9.0, 9.0), E)]
    assert prev[((1.0, 0.0), E)] == ((0.0, 0.0), E) and prev[((0.0, 0.0), E)] is None
    assert len(dist) >= dist.states_expanded >= 4
    assert "expanded=" in repr(dist) and "start=(0.0, 0.0)" in repr(prev)
    # The A* bound keeps a straight run from flooding the lattice.
    assert dist.states_expanded <= 4
    headless = G(grid(2, 1), (0.0, 0.0), (1.0, 0.0))
    d2, _ = graph._run_dijkstra(headless, None, ())
    assert d2[((0.0, 0.0), None)] == 0.0


# ------------------------------------------------ random cross-check


def random_case(rng):
    xs = sorted(rng.sample(range(0, 12), rng.randint(2, 6)))
    ys = sorted(rng.sample(range(0, 12), rng.randint(2, 6)))
    obs = []
    if rng.random() < 0.5:
        x0, y0 = rng.uniform(0, 10), rng.uniform(0, 10)
        obs.append((x0, y0, x0 + rng.uniform(0.5, 4), y0 + rng.uniform(0.5, 4)))
    adj = graph._line_lattice(xs, ys, obs)
    nodes = list(adj)
    g = G(adj, rng.choice(nodes), rng.choice(nodes), rng.choice([None, 0, 1, 2, 3]), rng.choice([None, 0, 1, 2, 3]))
    edge_pen = {}
    chords, blocked = {}, set()
    for n, nbrs in adj.items():
        for m, _ in nbrs:
            if rng.random() < 0.15:
                edge_pen[graph._ekey(n, m)] = rng.uniform(0, 5)
        if rng.random() < 0.25:
            chords[n] = [rng.choice([(0, 2), (1, 3), (0, 1), (2, 3)]) for _ in range(rng.randint(1, 2))]
        if rng.random() < 0.1:
            blocked.add((n, rng.randrange(4)))
    return g, edge_pen, chords, rng.choice([0.0, 3.0]), rng.choice([0.0, 0.5, 2.0]), frozenset(blocked)


@pytest.mark.parametrize("seed", range(12))
def test_search_matches_reference_dijkstra(seed):
    rng = random.Random(seed)
    for _ in range(15):
        g, edge_pen, chords, cross_pen, turn_pen, blocked = random_case(rng)
        want = reference_best(g, edge_pen, chords, cross_pen, turn_pen, blocked)
        results = []
        for adj in (g.adj, dict(g.adj.items())):
            gg = dataclasses.replace(g, adj=adj)
            path, best, dist = search(gg, turn_pen, None, blocked, edge_pen=edge_pen, node_chords=chords,
                                      cross_pen=cross_pen)
            if want is None:
                assert best is None
                continue
            score = dist[best]
            assert score == pytest.approx(want, abs=1e-9)
            assert path_score(gg, path, best[1], edge_pen, chords, cross_pen, turn_pen, blocked) == pytest.approx(
                want, abs=1e-9)
            results.append((path, best))
        assert want is None or results[0] == results[1]  # same lattice order: same result


# ------------------------------------------------------------ bad input


def test_bad_graphs():
    adj = grid(2, 2)
    with pytest.raises(ValueError, match="g.start"):
        graph._run_dijkstra(G(adj, (0.5, 0.0), (1.0, 1.0)), None, ())
    with pytest.raises(ValueError, match="g.start"):
        graph._run_dijkstra(G(adj, (math.nan, 0.0), (1.0, 1.0)), None, ())
    with pytest.raises(TypeError, match="adj"):
        graph._run_dijkstra(SimpleNamespace(start=(0, 0), end=(1, 1)), None, ())
    with pytest.raises(ValueError, match="start_dir"):
        graph._run_dijkstra(G(adj, (0.0, 0.0), (1.0, 1.0), 4), None, ())
    with pytest.raises(TypeError, match="end_dir"):
        graph._run_dijkstra(G(adj, (0.0, 0.0), (1.0, 1.0), None, "N"), None, ())


class ItemsOnly:
    """A mapping as the search reads one: only items(), which may repeat a node."""

    def __init__(self, items):
        self._items = items

    def items(self):
        return self._items


@pytest.mark.parametrize(
    "adj, exc, match",
    [
        ({(0, 0): [((1, 0), 1.0)]}, ValueError, "not a node"),
        ({(0, 0): [((1, 0), -1.0)], (1, 0): []}, ValueError, "length"),
        ({(0, 0): [((1, 0), math.nan)], (1, 0): []}, ValueError, "finite"),
        ({(0, 0): [((1, 0), "x")], (1, 0): []}, TypeError, "length"),
        ({(0, 0): [((1, 0),)], (1, 0): []}, ValueError, "pair"),
        ({(0, 0): 5, (1, 0): []}, TypeError, "sequence"),
        ({(0, 0): [((0, 0), 1.0)]}, ValueError, "itself"),
        ({(0, math.inf): [], (0, 0): []}, ValueError, "finite"),
        ({"ab": [], (0, 0): []}, (TypeError, ValueError), "g.adj"),
        ([(0, 0)], TypeError, "mapping"),
        (ItemsOnly([((0, 0), []), ((0.0, -0.0), [])]), ValueError, r"node \(0\.0, -0\.0\) twice"),
    ],
)
def test_malformed_dict_adjacency(adj, exc, match):
    with pytest.raises(exc, match=match):
        graph._run_dijkstra(SimpleNamespace(adj=adj, start=(0, 0), end=(0, 0)), None, ())


@pytest.mark.parametrize(
    "kw, exc, match",
    [
        (dict(edge_pen=[1, 2]), TypeError, "edge_pen"),
        (dict(edge_pen={(0, 0): 1.0}), (TypeError, ValueError), "edge_pen"),
        (dict(edge_pen={((0, 0), (1, 0)): -1.0}), ValueError, "edge_pen"),
        (dict(edge_pen={((0, 0), (1, 0)): "a"}), TypeError, "edge_pen"),
        (dict(node_chords=5), TypeError, "node_chords"),
        (dict(node_chords={(0, 0): [(1, 5)]}), ValueError, "node_chords"),
        (dict(node_chords={(0, 0): [1]}), TypeError, "node_chords"),
        (dict(cross_pen=-1.0), ValueError, "cross_pen"),
        (dict(turn_pen=math.nan), ValueError, "turn_pen"),
        (dict(turn_pen="big"), TypeError, "turn_pen"),
    ],
)
def test_bad_penalties(kw, exc, match):
    g = G(grid(2, 2), (0.0, 0.0), (1.0, 1.0))
    with pytest.raises(exc, match=match):
        graph._run_dijkstra(g, None, (), **kw)


@pytest.mark.parametrize("pen", [-1.0, -0.1, -123.456, -1e16, -1e-05, -0.0001, -5e-324, -1.7976931348623157e308,
                                 -math.inf, math.nan])
def test_refused_edge_penalty_is_written_as_python_writes_it(pen):
    g = G(grid(2, 2), (0.0, 0.0), (1.0, 1.0))
    with pytest.raises(ValueError) as err:
        graph._run_dijkstra(g, None, (), edge_pen={((0.0, 0.0), (1.0, 0.0)): pen})
    assert str(err.value).endswith(f", got {pen!r}")


def test_bad_turn_bias_and_passthrough():
    g = G(grid(2, 2), (0.0, 0.0), (1.0, 1.0))
    with pytest.raises(ValueError, match="turn_bias"):
        graph._run_dijkstra(g, "middle", ())
    with pytest.raises(ValueError, match="turn_bias"):
        graph._run_dijkstra(g, 1.5, ())
    with pytest.raises(TypeError, match="blocked_passthrough"):
        graph._run_dijkstra(g, None, 7)
    with pytest.raises(TypeError, match="blocked_passthrough"):
        graph._run_dijkstra(g, None, [((0, 0), 1, 2)])
    with pytest.raises(ValueError, match="blocked_passthrough"):
        graph._run_dijkstra(g, None, [((0, 0), 9)])


def test_bad_select_and_reconstruct_arguments():
    g = G(grid(3, 3), (0.0, 0.0), (2.0, 2.0), E, N)
    dist, prev = graph._run_dijkstra(g, None, (), turn_pen=1.0)
    with pytest.raises(TypeError, match="dist"):
        graph._select_end_state(g, {}, None)
    # The search stopped early for this end; another end cannot be answered.
    assert dist.stopped_early
    with pytest.raises(ValueError, match="end"):
        graph._select_end_state(dataclasses.replace(g, end=(1.0, 1.0)), dist, None)
    with pytest.raises(ValueError, match="end_dir"):
        graph._select_end_state(dataclasses.replace(g, end_dir=E), dist, None)
    best = graph._select_end_state(g, dist, None, turn_pen=5.0)
    assert best == ((2.0, 2.0), N)
    with pytest.raises(TypeError, match="prev"):
        graph._reconstruct_path(dist, best, g.start)
    for bad, exc in [(None, ValueError), (((2.0, 2.0), 7), ValueError), (((9.0, 9.0), N), ValueError),
                     (((2.0, 2.0), S), ValueError), ("xy", TypeError), (5, TypeError), (((2.0, 2.0),), TypeError)]:
        with pytest.raises(exc):
            graph._reconstruct_path(prev, bad, g.start)
    with pytest.raises(ValueError, match="start"):
        graph._reconstruct_path(prev, best, (1.0, 1.0))
    assert graph._reconstruct_path(prev, best, (0, 0))[-1] == (2.0, 2.0)
