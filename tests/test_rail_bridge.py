import dataclasses
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from kelvane.manhattan_router import graph
from route_checks import arc_points, box_distance, check_shape, runs_ok, segment_distance, violations

rail = graph.rail_bridge_v2
E, N, W, S = (1, 0), (0, 1), (-1, 0), (0, -1)


def route(start, end, st_, et, delta=1.0, obstacles=(), **kw):
    skel, info = rail(start, end, st_, et, delta, list(obstacles), **kw)
    check_shape(skel, start, end, st_, et)
    return skel, info


@pytest.mark.parametrize(
    "name, start, end, st_, et, expected",
    [
        ("straight", (0, 0), (10, 0), E, E, [(0, 0), (10, 0)]),
        ("L", (0, 0), (10, 10), E, N, [(0, 0), (10, 0), (10, 10)]),
        ("Z jog midway", (0, 0), (10, 5), E, E, [(0, 0), (5, 0), (5, 5), (10, 5)]),
        ("U-turn", (0, 0), (0, 10), E, W, [(0, 0), (1, 0), (1, 10), (0, 10)]),
        ("end behind start", (0, 0), (-10, 4), E, W, [(0, 0), (1, 0), (1, 4), (-10, 4)]),
        ("vertical straight", (3, 0), (3, -7), S, S, [(3, 0), (3, -7)]),
    ],
)
def test_open_field_routes(name, start, end, st_, et, expected):
    skel, info = route(start, end, st_, et)
    assert skel.tolist() == [list(map(float, p)) for p in expected]
    assert info["clean"] and info["violations"] == []
    assert info["bends"] == len(expected) - 2


@pytest.mark.parametrize("bias, jog_x", [("start", 1.0), ("center", 5.0), ("end", 9.0), (0.0, 1.0), (1.0, 9.0)])
def test_turn_bias_places_the_jog(bias, jog_x):
    skel, _ = route((0, 0), (10, 5), E, E, turn_bias=bias)
    assert skel.tolist() == [[0, 0], [jog_x, 0], [jog_x, 5], [10, 5]]


def test_obstacle_on_the_direct_line_is_passed_with_clearance():
    obs = [(8, -3, 12, 3)]
    skel, info = route((0, 0), (20, 0), E, E, 1.0, obs, route_spacing=2.0)
    assert info["clean"]
    assert info["length"] == pytest.approx(28.0)  # up to y = 3 + 1 and back
    assert info["bends"] == 4
    assert violations(skel, obs, margin=1.0) == 0.0
    assert max(abs(y) for _, y in skel) == pytest.approx(4.0)


@pytest.mark.parametrize("delta", [0.0, 1.0])
def test_a_port_shut_in_by_a_ring_gets_the_least_bad_route(delta):
    ring = [(-10, -10, 10, -9), (-10, 9, 10, 10), (-10, -10, -9, 10), (9, -10, 10, 10)]
    skel, info = route((0, 0), (30, 0), E, E, delta, ring, route_spacing=1.0)
    assert np.asarray(skel).tolist() == [[0, 0], [30, 0]]
    assert not info["clean"] and info["violations"] == ["obstacle", "clearance"]


@pytest.mark.parametrize(
    "start, st_, end, et, expected, max_states",
    [
        # Every route's last run of 10 passes the box: the search heads for
        # the end at once instead of first covering the whole field of
        # cheaper, clean states.
        ((0, 0), E, (100, 100), N, [[0, 0], [100, 0], [100, 100]], 2000),
        # Leaving the start along the end line, a route may be shorter than
        # the end's last run: it is still found.
        ((0, 0), E, (6, 0), E, [[0, 0], [6, 0]], 10),
    ],
)
def test_a_clearance_beside_the_end_that_no_route_avoids(start, st_, end, et, expected, max_states):
    field = [(x, y, x + 4, y + 4) for x in range(-150, 260, 20) for y in range(-150, 260, 20)
             if not (-20 <= x <= 120 and -12 <= y <= 8) and not (88 <= x <= 112 and -20 <= y <= 120)]
    beside = (end[0] + 1, end[1] - 8, end[0] + 5, end[1] - 4) if et == N else (2, 1, 4, 3)
    skel, info = route(start, end, st_, et, 10.0, field + [beside], route_spacing=3.0)
    assert skel.tolist() == expected
    assert info["violations"] == ["clearance"] and info["obstacle_overlap"] == 0
    assert info["states_expanded"] < max_states


def test_a_loop_over_itself_is_never_the_answer():
    # The corner's arc clips the box; with runs of 2r between bends the
    # cheapest zone-clean way round loops back over the first run (a waveguide
    # crossing itself).  The route is the one going wide round the box
    # instead, clean and never touching itself.
    box = (80, 15, 84, 19)
    skel, info = route((0, 0), (100, 100), E, N, 60.0, [box], route_spacing=3.0)
    runs = list(zip(skel[:-1], skel[1:]))
    for k, a in enumerate(runs):
        for b in runs[k + 2:]:
            assert segment_distance(a[0], a[1], b[0], b[1]) > 0
    assert info["clean"] and runs_ok(skel, 60.0) and violations(skel, [box], margin=1.5) == 0.0
    assert box_distance(arc_points(skel, 60.0), box).min() >= 1.5 - 1e-6
    skel, info = route((0, 0), (100, 100), E, N, 60.0, [(80, 15, 84, 19)], route_spacing=3.0, arc_clearance=False)
    assert info["clean"] and np.asarray(skel).tolist() == [[0, 0], [100, 0], [100, 100]]


@pytest.mark.parametrize("end, st_, et, delta, obstacles, spacing, cost", [
    ((3, 0), N, S, 3.0, [], 2.0, 45.0),  # the tight U's top run (3) is shorter than the 2r its two bends need
    ((2, -1), E, E, 1.0, [], 2.0, 15.0),
    ((-1, 2), N, N, 1.0, [], 2.0, 15.0),
    ((-5, -3), W, W, 3.0, [], 2.0, 44.0),
    ((10, -7), E, E, 4.0, [], 2.0, 65.0),  # the cheapest loops cross their own first run
    ((5, -2), N, E, 4.0, [(-3, -14, 3, -7), (-11, -2, -4, -1)], 2.0, 67.0),
    # Equally cheap loops whose first run crosses the run into the end, at many x: one
    # ban keeps every such crossing off.
    ((-6, -5), W, W, 3.0, [(2, -5, 7, 0), (-4, 2, 2, 5), (-2, 5, 2, 11)], 0.0, 47.0),
])
def test_ports_close_together_get_the_clean_loop(end, st_, et, delta, obstacles, spacing, cost):
    # A clean route exists a little further out; the least-bad tight one is not the answer.
    skel, info = route((0, 0), end, st_, et, delta, obstacles, route_spacing=spacing)
    assert info["clean"] and info["length"] + delta * info["bends"] == pytest.approx(cost)
    assert violations(skel, obstacles, margin=spacing / 2, ports=((0, 0), end)) == 0.0 and runs_ok(skel, delta)
    runs = list(zip(skel[:-1], skel[1:]))
    assert all(segment_distance(*a, *b) > 0 for k, a in enumerate(runs) for b in runs[k + 2:])


def test_a_line_a_hair_inside_a_box_side_still_routes():
    # On the grid the start's jog line x = 6 lies 0.0005 inside the box, within
    # the contact tolerance: it runs along the side.  Keeping away from a box
    # with no clearance (route_spacing 0) must not make its cost NaN (the
    # search then found no route at all and raised).
    skel, info = route((0, 0), (20, 0), S, W, 3.0, [(5.9995, -9, 10, -2.7)], route_spacing=0.0, dbu=1.0)
    assert info["clean"] and skel.tolist() == [[0, 0], [0, -9], [23, -9], [23, 0], [20, 0]]


@pytest.mark.parametrize("k", [1.0, 1e4, 1e8, 5e9])
def test_the_same_scene_at_any_scale_gives_the_same_route(k):
    # Lengths far beyond the cost of entering a zone (1e9) must not pass for
    # entering one: the strict run rules hold at every scale.
    skel, info = route((0, 0), (100 * k, 40 * k), E, E, 5.0 * k, [(30 * k, -10 * k, 50 * k, 20 * k)],
                       route_spacing=3.0 * k)
    assert info["clean"] and info["relax_level"] == 0
    # Every jog before the box costs the same: the one nearest the middle
    # (turn_bias "center") bends a radius before the box.
    assert np.allclose(np.asarray(skel) / k, [[0, 0], [25, 0], [25, 40], [100, 40]])


@pytest.mark.parametrize("spacing, expect_through", [(3.0, False), (1.0, True)])
def test_corridor_narrower_than_the_spacing_is_avoided(spacing, expect_through):
    obs = [(8, 1, 12, 10), (8, -10, 12, -1)]  # corridor of width 2 around y = 0
    skel, info = route((0, 0), (20, 0), E, E, 1.0, obs, route_spacing=spacing)
    assert info["clean"]
    if expect_through:
        assert skel.tolist() == [[0, 0], [20, 0]]
    else:
        assert info["length"] == pytest.approx(20 + 2 * 11.5)
        assert violations(skel, obs, margin=spacing / 2) == 0.0


def test_keep_out_boxes_are_kept_clear_without_margin():
    keep = [(8, -3, 12, 3)]
    skel, info = route((0, 0), (20, 0), E, E, 1.0, route_skeletons=keep, route_spacing=0.0)
    assert info["clean"]
    assert info["length"] == pytest.approx(26.0)
    assert violations(skel, keep_outs=keep) == 0.0


def test_real_obstacles_are_kept_clear_exactly():
    real = [(8, -3, 12, 3)]
    skel, info = route((0, 0), (20, 0), E, E, 1.0, real_obstacles=real, route_spacing=4.0)
    assert info["clean"]
    assert info["length"] == pytest.approx(26.0)  # no clearance: along y = +-3


def test_earlier_route_is_kept_at_route_spacing_away_from_the_ports():
    pivot = np.array([(0.0, 2.0), (100.0, 2.0)])
    skel, info = route((0, 0), (100, 0), E, E, 1.0, route_pivots=[pivot], route_spacing=3.0)
    assert info["clean"]
    segs = list(zip(skel[:-1], skel[1:]))
    # Between the port stretches (2r + spacing = 5 from either end) the gap is full.
    for a, b in segs:
        if min(a[0], b[0]) > 5 and max(a[0], b[0]) < 95:
            assert segment_distance(a, b, pivot[0], pivot[1]) >= 3.0 - 1e-9
    assert min(y for _, y in skel) == pytest.approx(-2.0)  # a jog is at least 2r, past the band side at -1


def test_dbu_snaps_every_bend_coordinate():
    skel, info = route((0, 0), (10.3, 5.2), E, E, 1.0, [(4.1, 1.1, 6.3, 3.7)], dbu=0.5, route_spacing=0.4)
    assert info["clean"]
    for x, y in skel[1:-1]:
        for v, keep in ((x, (0.0, 10.3)), (y, (0.0, 5.2))):
            assert v in keep or math.isclose(v / 0.5, round(v / 0.5), abs_tol=1e-9), skel


def test_float32_jax_ports_on_the_grid_come_back_exact():
    jnp = pytest.importorskip("jax.numpy")
    f32 = lambda v: jnp.array(v, dtype=jnp.float32)
    skel, _ = rail(f32((0.1, 0.3)), f32((20.7, 10.9)), f32(E), f32(N), 1.0, [], dbu=0.001)
    assert skel[0].tolist() == [0.1, 0.3]
    assert skel[-1].tolist() == [20.7, 10.9]


def test_routes_are_deterministic():
    obs = [(3, -2, 5, 6), (9, -6, 11, 2), (14, 1, 17, 9)]
    a, _ = route((0, 0), (20, 4), E, E, 1.0, obs)
    b, _ = route((0, 0), (20, 4), E, E, 1.0, obs)
    assert a.tolist() == b.tolist()


def test_port_facing_into_a_wall_returns_the_least_bad_route():
    wall = [(0.5, -5, 3, 5)]  # closer than the bend radius in front of the port
    skel, info = route((0, 0), (10, 0), E, E, 1.0, wall, route_spacing=0.0)
    assert not info["clean"]
    assert info["violations"]
    assert info["relax_level"] == 2
    assert violations(skel, wall) == 0.0  # it still keeps out of the wall


def test_start_inside_an_obstacle_is_reported_not_hidden():
    skel, info = route((0, 0), (30, 0), E, E, 1.0, [(-5, -5, 5, 5)], route_spacing=0.0)
    assert not info["clean"]
    assert "obstacle" in info["violations"]
    assert info["obstacle_overlap"] == pytest.approx(5.0)


def test_bend_radius_from_bend_delta():
    skel, info = route((0, 0), (20, 10), E, E, 1.0, bend_delta=4.0)
    segs = np.abs(np.diff(skel, axis=0)).sum(axis=1)
    assert segs[0] >= 4 and segs[-1] >= 4 and info["bends_ok"]


def test_info_documents_the_search():
    _, info = route((0, 0), (10, 5), E, E)
    assert set(info) >= {"clean", "bends_ok", "relax_level", "length", "bends", "obstacle_overlap",
                         "clearance_overlap", "keep_out_overlap", "spacing_overlap", "violations",
                         "lattice", "states_expanded"}
    assert info["states_expanded"] > 0 and len(info["lattice"]) == 2


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        (dict(start=(math.nan, 0)), ValueError, "start"),
        (dict(end=(math.inf, 0)), ValueError, "end"),
        (dict(start_tangent=(0, 0)), ValueError, "start_tangent"),
        (dict(end_tangent=(1, 1)), ValueError, "end_tangent"),
        (dict(obstacles=[(1, 2, 3)]), ValueError, "obstacles[0]"),
        (dict(obstacles=[(5, 0, 1, 2)]), ValueError, "min > max"),
        (dict(obstacles=[("a", 0, 1, 2)]), TypeError, "obstacles[0][0]"),
        (dict(obstacles=5), TypeError, "obstacles"),
        (dict(delta=-1.0), ValueError, "delta"),
        (dict(end=(0, 0)), ValueError, "same point"),
        (dict(sliding_bias=2.0), ValueError, "sliding_bias"),
        (dict(turn_bias="sideways"), ValueError, "turn_bias"),
        (dict(route_pivots=[[(0, 0), (1,)]]), ValueError, "route_pivots[0][1]"),
        (dict(route_skeletons=[(0, 0, 1, math.nan)]), ValueError, "route_skeletons[0][3]"),
        (dict(dbu=-0.1), ValueError, "dbu"),
    ],
)
def test_bad_input_names_the_argument(kwargs, error, text):
    args = dict(start=(0, 0), end=(10, 5), start_tangent=E, end_tangent=E, delta=1.0, obstacles=[])
    args.update(kwargs)
    with pytest.raises(error, match=text.replace("[", r"\[").replace("]", r"\]")):
        rail(**args)


# ---------------------------------------------------------------------------
# Property: every skeleton keeps its shape rules; one reported clean keeps all.

boxes = st.lists(
    st.tuples(st.integers(-20, 40), st.integers(-20, 40), st.integers(1, 12), st.integers(1, 12)),
    max_size=12,
)
dirs = st.sampled_from([E, N, W, S])


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(boxes, dirs, dirs, st.integers(30, 60), st.integers(-10, 30), st.sampled_from([0.0, 1.0, 2.0]))
def test_random_fields_keep_the_invariants(raw, sd, ed, ex, ey, spacing):
    obstacles = [(x, y, x + w, y + h) for x, y, w, h in raw]
    start, end = (0.0, 0.0), (float(ex), float(ey))
    skel, info = rail(start, end, sd, ed, 2.0, obstacles, route_spacing=spacing)
    s = check_shape(skel, start, end, sd, ed)
    if info["clean"]:
        assert violations(s, obstacles, margin=spacing / 2, ports=(start, end)) == 0.0
        assert runs_ok(s, 2.0)
    else:
        assert info["violations"]


# ---------------------------------------------------------------------------
# The per-route graph.

def test_build_graph_is_a_dataclass_with_the_route_fields():
    g = graph._build_rail_bridge_graph((0, 0), (20, 10), E, N, 2.0, [(5, -5, 8, 5)], sliding_bias=0.5,
                                       enforce_min_segment_length=False, dbu=None)
    assert dataclasses.is_dataclass(g)
    assert g.start == (0.0, 0.0) and g.end_port == (20.0, 10.0)
    assert g.end == (20.0, 8.0) and g.end_approach_len == 2.0  # one bend radius before the end
    assert all(isinstance(o, graph.Obstacle) for o in g.obs_list) and g.obs_list[0] == graph.Obstacle(5, -5, 8, 5)
    assert g.h_lines == sorted(set(g.h_lines)) and g.v_lines == sorted(set(g.v_lines))
    assert set(g.h_bridges) <= set(g.h_lines) and set(g.v_bridges) <= set(g.v_lines)
    assert 4.0 in g.v_lines and 9.0 in g.v_lines  # obstacle sides at delta / 2 outside
    moved = dataclasses.replace(g, end=g.end_port, end_approach_len=0.0)
    assert moved.end == (20.0, 10.0) and moved.adj is g.adj


def test_build_graph_adjacency_avoids_obstacle_interiors():
    g = graph._build_rail_bridge_graph((0, 0), (20, 0), E, E, 2.0, [(5, -5, 8, 5)])
    idx = graph._ObstacleIndex(g.obs_list, None)
    assert (0.0, 0.0) in g.adj and len(g.adj) == len(g.h_lines) * len(g.v_lines)
    for node, nbrs in g.adj.items():
        for nb, length in nbrs:
            assert not idx.blocked(node[0], node[1], nb[0], nb[1])
            assert length == pytest.approx(abs(node[0] - nb[0]) + abs(node[1] - nb[1]))


def test_enforce_min_segment_length_spreads_the_lines():
    kw = dict(sliding_bias=0.5, dbu=None)
    obs = [(5, -5, 5.5, 5), (6, -5, 6.5, 5)]
    loose = graph._build_rail_bridge_graph((0, 0), (20, 0), E, E, 2.0, obs, enforce_min_segment_length=False, **kw)
    tight = graph._build_rail_bridge_graph((0, 0), (20, 0), E, E, 2.0, obs, enforce_min_segment_length=True, **kw)
    assert len(tight.v_lines) < len(loose.v_lines)
    gaps = np.diff(tight.v_lines)
    anchors = {0.0, 20.0}
    for a, b, gap in zip(tight.v_lines, tight.v_lines[1:], gaps):
        if a not in anchors and b not in anchors:
            assert gap >= 2.0 - 1e-9


def test_obstacle_forms_give_the_same_route():
    boxes = [(8, -3, 12, 3), (14, -6, 16, 1)]
    want, _ = route((0, 0), (30, 0), E, E, 1.0, boxes)
    for form in (np.array(boxes, dtype=float), [graph.Obstacle(*b) for b in boxes], tuple(map(list, boxes))):
        got, _ = rail((0, 0), (30, 0), E, E, 1.0, form)
        assert got.tolist() == want.tolist()


def test_lattice_search_on_a_built_graph_routes_around_the_obstacle():
    g = graph._build_rail_bridge_graph((0, 0), (20, 0), E, E, 2.0, [(8, -3, 12, 3)])
    dist, prev = graph._run_dijkstra(g, "center", frozenset(), edge_pen=None, node_chords=None, cross_pen=0.0,
                                     turn_pen=2.0)
    best = graph._select_end_state(g, dist, "center", turn_pen=2.0)
    assert best is not None and best[0] == g.end and best[1] == 0  # arrives heading east
    path = graph._reconstruct_path(prev, best, g.start)
    assert path[0] == g.start and path[-1] == g.end
    for a, b in zip(path, path[1:]):
        assert b in [nb for nb, _ in g.adj[a]]
    assert graph._direction(path[0], path[1]) == 0  # leaves along the start tangent
    length = sum(abs(a[0] - b[0]) + abs(a[1] - b[1]) for a, b in zip(path, path[1:]))
    assert length == pytest.approx(18.0 + 2 * 4.0)  # to the approach node (18, 0), round y = +-4
    # A plain-dict copy of the adjacency gives the same route.
    plain = dataclasses.replace(g, adj={n: list(v) for n, v in g.adj.items()})
    d2, p2 = graph._run_dijkstra(plain, "center", frozenset(), turn_pen=2.0)
    assert graph._reconstruct_path(p2, graph._select_end_state(plain, d2, "center", turn_pen=2.0), plain.start) == path


@pytest.mark.parametrize("kwargs", [dict(end=(1e300, 0)), dict(start=(-1e308, 0)), dict(delta=1e300),
                                    dict(obstacles=[(0, 0, 1e200, 1)])])
def test_out_of_range_values_are_refused(kwargs):
    args = dict(start=(0, 0), end=(10, 5), start_tangent=E, end_tangent=E, delta=1.0, obstacles=[])
    args.update(kwargs)
    with pytest.raises(ValueError, match="1e12"):
        rail(**args)


def test_router_entries_have_real_signatures():
    import inspect
    sig = inspect.signature(rail)
    assert list(sig.parameters)[:6] == ["start", "end", "start_tangent", "end_tangent", "delta", "obstacles"]
    assert sig.parameters["route_spacing"].default == 3.0 and sig.parameters["turn_bias"].default == "center"
    assert "dbu" in inspect.signature(graph._build_rail_bridge_graph).parameters
    with pytest.raises(TypeError, match="missing 3 required positional arguments"):
        rail((0, 0), (1, 1))


def test_bend_delta_sets_port_runs_and_delta_the_room_between_bends():
    skel, info = route((0, 0), (40, 20), E, E, 5.0, bend_delta=1.0)
    segs = np.abs(np.diff(skel, axis=0)).sum(axis=1)
    assert info["bends_ok"] and info["bends"] == 2
    assert segs[1] >= 10.0  # 2 * delta between the bends
    # A jog of 8 is shorter than 2 * delta: no plain Z; the route makes room instead.
    short, info = route((0, 0), (40, 8), E, E, 5.0, bend_delta=1.0)
    runs = np.abs(np.diff(short, axis=0)).sum(axis=1)
    assert info["clean"] and info["bends"] == 4
    assert min(runs[1:-1]) >= 10.0 and min(runs[0], runs[-1]) >= 1.0


@pytest.mark.parametrize("end, st_, et", [((1e-10, 5), N, N), ((1e-10, 0), E, E), ((0, 1e-12), E, W)])
def test_end_points_closer_than_the_merge_tolerance_stay_exact(end, st_, et):
    skel, info = rail((0, 0), end, st_, et, 1.0, [])
    assert skel[0].tolist() == [0.0, 0.0] and skel[-1].tolist() == [float(end[0]), float(end[1])]
    assert info["clean"]


@pytest.mark.parametrize("kwargs, text", [
    (dict(start={0: 0, 1: 0}), "start must be a sequence"),
    (dict(obstacles=[{0: 0, 1: 0, 2: 1, 3: 1}]), r"obstacles\[0\] must be an Obstacle"),
    (dict(route_pivots={0: [(0, 0), (1, 0)]}), "route_pivots must be a sequence"),
])
def test_mappings_are_not_taken_for_sequences(kwargs, text):
    args = dict(start=(0, 0), end=(10, 5), start_tangent=E, end_tangent=E, delta=1.0, obstacles=[])
    args.update(kwargs)
    with pytest.raises(TypeError, match=text):
        rail(**args)


# ------------------------------------------------ what a layout designer expects

def test_earlier_routes_are_kept_clear_past_their_ends_and_contact_is_never_clean():
    pivot = [(50, -20), (50, 60)]
    skel, info = route((0, 20), (100, 20), E, E, 5.0, route_pivots=[pivot], route_spacing=4.0)
    assert info["clean"] and info["contacts"] == 0
    assert min(segment_distance(a, b, *pivot) for a, b in zip(skel[:-1], skel[1:])) >= 4.0 - 1e-9
    # An earlier route ringing the end port: crossing it is unavoidable and reported.
    ring = [(90, -10), (110, -10), (110, 10), (90, 10), (90, -10)]
    _, info = route((0, 0), (100, 0), E, E, 2.0, route_pivots=[ring], route_spacing=2.0)
    assert not info["clean"] and info["contacts"] == 1 and "spacing" in info["violations"]


@pytest.mark.parametrize("top, straight", [(1.5, True), (1.4999, False)])
def test_corridor_exactly_as_wide_as_the_spacing_is_used(top, straight):
    # Clearance zones of two separate obstacles that only touch leave their boundary usable.
    obs = [(30, top, 70, 30), (30, -30, 70, -1.5)]
    skel, info = route((0, 0), (100, 0), E, E, 2.0, obs, route_spacing=3.0)
    assert info["clean"]
    assert (skel.tolist() == [[0, 0], [100, 0]]) is straight


def test_a_bend_hugs_a_box_corner_on_the_side_the_first_route_did_not_take():
    # Round the north the route is 76; round the south it is cheaper only if
    # its second bend sits where its arc just clears the corner (6, -9) of
    # the box below: y = -13 + sqrt(12), a line no box side gives.
    boxes = [(8, 12, 13, 17), (4, 8, 7, 12), (6, -9, 8, -6), (5, -1, 8, 4)]
    skel, info = route((0, 0), (23, 5), E, W, 4.0, boxes, route_spacing=0.0)
    y = -13 + math.sqrt(12)
    assert np.allclose(skel, [[0, 0], [4, 0], [4, y], [27, y], [27, 5], [23, 5]])
    assert info["clean"] and info["length"] + 4 * info["bends"] == pytest.approx(71.0718, abs=1e-4)


@pytest.mark.parametrize("arcs", [True, False])
def test_bend_arcs_keep_the_clearance(arcs):
    # A bend hugging the obstacle's corner with a radius of 10 and a clearance
    # of 1: checked at its corner only, its arc cuts into the obstacle.
    obs = (10, -30, 33.5, 8.5)
    skel, info = route((0, 10), (35, -40), E, S, 10.0, [obs], route_spacing=2.0, arc_clearance=arcs)
    assert info["clean"] and info["arc_obstacle"] == 0 and info["arc_clearance"] == 0
    closest = box_distance(arc_points(skel, 10.0), obs).min()
    if arcs:
        assert closest >= 1.0 - 1e-6
    else:
        assert skel.tolist() == [[0, 10], [35, 10], [35, -40]] and closest == 0.0


def test_a_dip_into_clearance_beats_a_bend_tighter_than_the_radius():
    # The wall leaves 1.5 before its clearance, the first run needs 2.
    skel, info = route((0, 0), (0, 40), E, W, 2.0, [(2.5, -20, 10, 30)], route_spacing=2.0)
    assert not info["clean"] and info["bends_ok"] and info["relax_level"] == 0
    assert "clearance" in info["violations"] and "obstacle" not in info["violations"]
    assert violations(skel, [(2.5, -20, 10, 30)]) == 0.0


@pytest.mark.parametrize("bias, y", [(0.5, 30.0), (0.25, 25.5), (0.75, 34.5)])
def test_routes_of_equal_cost_run_where_sliding_bias_puts_them_in_a_channel(bias, y):
    obs = [(30, -100, 70, 20), (30, 40, 70, 200)]  # a channel from y = 21 to 39 past the clearance
    skel, info = route((0, 0), (100, 50), E, E, 2.0, obs, route_spacing=2.0, sliding_bias=bias)
    assert info["clean"]
    assert [p[1] for p in skel if 30 <= p[0] <= 70] in ([], [y, y]) and any(p[1] == y for p in skel)


def test_track_lines_on_the_grid_move_away_from_the_zones():
    # Zone (obstacle grown by delta / 2): (9.7, 1.7, 21.3, 9.3); on a grid of 1
    # its sides go outward to 9, 1, 22, 10, never inward to 10, 2, 21, 9.
    g = graph._build_rail_bridge_graph((0, 0), (40, 0), (1, 0), (1, 0), 2.0, [(10.7, 2.7, 20.3, 8.3)], dbu=1.0)
    assert {9.0, 22.0} <= set(g.v_lines) and not {10.0, 21.0} & set(g.v_lines)
    assert {10.0} <= set(g.h_lines) and not {2.0, 9.0} & set(g.h_lines)
