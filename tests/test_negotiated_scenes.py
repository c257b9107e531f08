"""Whole negotiated runs: quality scenes checked by an independent checker, the invariants of
every skeleton on random scenes, and the module against the loop written out over dicts."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from kelvane.manhattan_router import negotiated as n
from negotiated_reference import route_negotiated as reference_route_negotiated
from route_checks import check_negotiated, check_shape, contact, segments

E, N = (1, 0), (0, 1)


def device(x0, x1, ys, pad=6):
    """A device outline (obstacle) whose face holds ports at the given y values."""
    return (x0, min(ys) - pad, x1, max(ys) + pad)


def bus(count, pitch, shift, length, tangent_end=E):
    pc = [[[0, pitch * i], [length, pitch * i + shift]] for i in range(count)]
    return pc, [[E, tangent_end]] * count


def scene_swap(count):
    pc = [[[0, 4 * i], [80, 4 * (count - 1 - i)]] for i in range(count)]
    ys = [4 * i for i in range(count)]
    return pc, [[E, E]] * count, [device(-20, 0, ys), device(80, 100, ys)]


def corner(count, with_devices):
    pc = [[[0, 4 * i], [60 + 4 * (count - 1 - i), 100]] for i in range(count)]
    obs = [device(-20, 0, [4 * i for i in range(count)]), (40, 100, 120, 120)] if with_devices else []
    return pc, [[E, N]] * count, 2.0, obs, set()


SCENES = {
    # name: (port_centers, port_tangents, delta, obstacles, pairs whose port order forces a crossing)
    "swap of two": ([[[0, 0], [60, 10]], [[0, 10], [60, 0]]], [[E, E]] * 2, 2.0, [], {(0, 1)}),
    "swap of two between devices": (*scene_swap(2)[:2], 2.0, scene_swap(2)[2], {(0, 1)}),
    "four swapping between devices": (*scene_swap(4)[:2], 2.0, scene_swap(4)[2],
                                      {(i, j) for i in range(4) for j in range(i + 1, 4)}),
    "eight turning a corner": corner(8, False),
    "eight turning a corner from a device": corner(8, True),
    "detours round obstacles": (*bus(4, 4, 0, 100), 2.0, [(30, -10, 50, 20), (60, 5, 70, 40)], set()),
    "ports one pitch apart": (*bus(4, 2, 20, 60), 2.0, [], set()),
    "bus of sixteen between devices": (*bus(16, 4, 0, 200), 2.0,
                                       [device(-20, 0, range(0, 64, 4)), device(200, 220, range(0, 64, 4))], set()),
    "bus of sixteen with a jog": (*bus(16, 4, 8, 200), 2.0,
                                  [device(-20, 0, range(0, 64, 4)), device(200, 220, range(8, 72, 4))], set()),
    "bus of sixteen round a corner": ([[[0, 4 * i], [100 + 4 * (15 - i), 150]] for i in range(16)], [[E, N]] * 16, 2.0,
                                      [device(-20, 0, range(0, 64, 4)), (80, 150, 200, 170)], set()),
}


@pytest.mark.parametrize("name", list(SCENES))
def test_quality_scene(name):
    pc, pt, delta, obstacles, forced = SCENES[name]
    skels, atomic, order = n.route_negotiated_best(pc, pt, delta, obstacles)
    crossings = check_negotiated(skels, pc, pt, obstacles)
    assert n.count_crossings_atomic(atomic)[1] == 0  # no lattice edge shared
    # At most one crossing per pair, and only where the port order forces one (a
    # detour round a device instead is the cost model's choice).
    assert all(c == 1 for c in crossings.values()) and set(crossings) <= forced, crossings


def test_swap_of_two_keeps_port_headings():
    """Routes that must swap leave and enter along their tangents instead of looping
    behind the other route's end port to arrive backwards."""
    pc, pt, delta, obstacles, _ = SCENES["swap of two"]
    for s in n.negotiate_routes(pc, pt, delta, obstacles):
        assert s[1][1] == s[0][1] and s[1][0] > s[0][0]      # first step east
        assert s[-2][1] == s[-1][1] and s[-2][0] < s[-1][0]  # last step east, into the port


# ------------------------------------------------------------------ random scenes

DIRS = [(1, 0), (0, 1), (-1, 0), (0, -1)]


@st.composite
def small_scenes(draw):
    count = draw(st.integers(1, 4))
    cells = draw(st.lists(st.tuples(st.integers(0, 10), st.integers(0, 10)), min_size=2 * count, max_size=2 * count,
                          unique=True))
    unit = draw(st.sampled_from([1.0, 2.0, 0.5]))
    pc = [[[cells[2 * r][0] * unit, cells[2 * r][1] * unit], [cells[2 * r + 1][0] * unit, cells[2 * r + 1][1] * unit]]
          for r in range(count)]
    pt = [[draw(st.sampled_from(DIRS)), draw(st.sampled_from(DIRS))] for _ in range(count)]
    obstacles = []
    for x, y, w, h in draw(st.lists(st.tuples(st.integers(0, 9), st.integers(0, 9), st.integers(1, 3),
                                              st.integers(1, 3)), max_size=3)):
        box = ((x + 0.25) * unit, (y + 0.25) * unit, (x + w - 0.25) * unit, (y + h - 0.25) * unit)
        if not any(box[0] <= p[0] <= box[2] and box[1] <= p[1] <= box[3] for route in pc for p in route):
            obstacles.append(box)
    delta = draw(st.sampled_from([1.0, 0.5, 2.0]))
    return pc, pt, delta, obstacles


@settings(max_examples=60, deadline=None)
@given(small_scenes())
def test_every_skeleton_keeps_the_rules(sc):
    pc, pt, delta, obstacles = sc
    skels, atomic, order = n.route_negotiated_best(pc, pt, delta, obstacles, n_orders=3)
    assert sorted(order) == list(range(len(pc)))
    for r, s in enumerate(skels):
        if s is None:
            assert atomic[r] is None
            continue
        check_shape(s, pc[r][0], pc[r][1], pt[r][0], pt[r][1])
        for p, q in segments(s):
            assert not any(contact(p, q, o) for o in obstacles), (r, p, q)
        assert tuple(atomic[r][0]) == tuple(map(float, pc[r][0]))


OPTIONS = st.fixed_dictionaries({}, optional={
    "gauss_seidel": st.booleans(), "iters": st.sampled_from([0, 1, 3]), "hist_decay": st.sampled_from([1.0, 0.8]),
    "avoid_ports": st.booleans(), "route_to_port": st.booleans(), "cage_layers": st.integers(1, 3),
    "port_clearance": st.sampled_from([0.0, 0.75]), "node_pen": st.sampled_from([0.0, 9.0]),
    "turn_bias": st.sampled_from(["start", None, 0.25]), "relax_order": st.lists(st.integers(-4, 3), max_size=5),
})


@settings(max_examples=40, deadline=None)
@given(small_scenes(), OPTIONS, st.sampled_from([None, 0.25]))
def test_the_module_runs_the_loop_as_written_out(sc, options, dbu):
    """The native loop (penalty arrays updated in place) against the loop over dicts."""
    pc, pt, delta, obstacles = sc
    if "relax_order" in options:
        options["relax_order"] = [r for r in options["relax_order"] if -len(pc) <= r < len(pc)]
    scene = n._Scene(np.asarray(pc, float), np.asarray(pt, float), delta, [tuple(map(float, o)) for o in obstacles], dbu)
    skels, atomic = n.route_negotiated(scene, **options)
    want_skels, want_atomic = reference_route_negotiated(scene, **options)
    assert atomic == want_atomic
    assert all(a is None and b is None or np.array_equal(a, b) for a, b in zip(skels, want_skels))
