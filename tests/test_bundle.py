"""kelvane.manhattan_router.bundle: module frame, helpers, lane order and offsetting."""

import inspect
import subprocess
import sys

import jax
import jax.numpy as jnp
import numpy as np
import pytest

from kelvane.manhattan_router import bundle as bd
from kelvane.manhattan_router import graph

Obstacle = graph.Obstacle
E, N, W, S = (1, 0), (0, 1), (-1, 0), (0, -1)

SIGNATURES = {
    "_obs_bounds": "(o)",
    "_filter_to_bbox": "(obs, x0, y0, x1, y1)",
    "_hits_real_obstacle": "(skel, full_idx)",
    "_route_one_local": "(s_pos, e_pos, s_tan, e_tan, delta_eff, base_obstacles, keep_out, full_idx, *, turn_bias, "
                        "sliding_bias, route_spacing, route_pivots=(), bend_delta=None, dbu=None)",
    "_offset_skeleton": "(backbone, start_offset, end_offset=None, pitch_transition='even', scale_connect=1.0, "
                        "connect_offset=None, flipped_segs=None)",
    "bundle_backbone_v2": "(start_positions, end_positions, start_tangents, end_tangents, delta, obstacles, "
                          "turn_bias='center', sliding_bias=0.5, pitch_transition='even', route_width=0.5, "
                          "backbone_clearance_factor=4.0, bundle_separation_factor=1.0, backbone_selection='median', "
                          "route_spacing=3.0, route_skeletons=None, dbu=None, waypoints=None)",
    "_offset_backbone": "(backbone, backbone_info, sp, ep, st, et, B, median_idx, start_proj, median_s_offset, "
                        "connect_pitch, scale_connect, delta, obstacles, dbu, bundle_envelope)",
    "_compute_bundle_order": "(start_positions, start_tangents, routing_order)",
    "_skeleton_to_obstacles": "(skeleton, spacing, port_pitch=None)",
    "_inflate_obstacle_bboxes": "(obstacles, margin)",
    "bundle_rail_bridge_v2": "(start_positions, end_positions, start_tangents, end_tangents, delta, obstacles, "
                             "route_spacing=3.0, routing_order='center-out', turn_bias='center', sliding_bias=0.5, "
                             "route_width=0.5, route_clearance=2.0, route_skeletons=None, inflate_delta=True, "
                             "dbu=None)",
}


# ---- frame ----------------------------------------------------------------

def test_module_binds_imports_constants_then_functions_in_order():
    names = [k for k in vars(bd) if not k.startswith("__")]
    assert names == ["jnp", "np", "Obstacle", "_extend_short_segments", "_ObstacleIndex", "rail_bridge_v2",
                     "_BBOX_MIN_OBSTACLES", "_BBOX_MARGIN_MULT", *SIGNATURES]
    assert bd.jnp is jnp and bd.np is np
    for name in ("Obstacle", "_extend_short_segments", "_ObstacleIndex", "rail_bridge_v2"):
        assert getattr(bd, name) is getattr(graph, name)
    assert (bd._BBOX_MIN_OBSTACLES, bd._BBOX_MARGIN_MULT) == (40, 6.0)
    assert type(bd._BBOX_MIN_OBSTACLES) is int and type(bd._BBOX_MARGIN_MULT) is float


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_signature_name_and_doc(name):
    f = getattr(bd, name)
    assert str(inspect.signature(f)) == SIGNATURES[name]
    assert (f.__name__, f.__module__) == (name, "kelvane.manhattan_router.bundle")
    assert f.__doc__ and inspect.isroutine(f)


@pytest.mark.parametrize("name", ["bundle_backbone_v2", "bundle_rail_bridge_v2"])
def test_strategy_docs_say_what_is_and_is_not_guaranteed(name):
    doc = getattr(bd, name).__doc__
    assert "Guaranteed:" in doc and "Not guaranteed:" in doc


def test_waypoints_module_is_imported_only_by_a_backbone_call_with_waypoints():
    code = ("import sys; import kelvane.manhattan_router.bundle as b\n"
            "assert 'kelvane.manhattan_router.waypoints' not in sys.modules\n"
            "b.bundle_backbone_v2([(0, 0)], [(50, 0)], [(1, 0)], [(1, 0)], 1.0, [], waypoints=[])\n"
            "assert 'kelvane.manhattan_router.waypoints' not in sys.modules\n"
            "b.bundle_backbone_v2([(0, 0)], [(50, 0)], [(1, 0)], [(1, 0)], 1.0, [], waypoints=[((25, 0), None)])\n"
            "assert 'kelvane.manhattan_router.waypoints' in sys.modules\n")
    subprocess.run([sys.executable, "-c", code], check=True)


def test_missing_waypoints_module_fails_only_calls_with_waypoints(monkeypatch):
    monkeypatch.setitem(sys.modules, "kelvane.manhattan_router.waypoints", None)
    lanes, _ = bd.bundle_backbone_v2([(0, 0)], [(50, 0)], [E], [E], 1.0, [])
    assert lanes[0].tolist() == [[0, 0], [50, 0]]
    with pytest.raises(ImportError):
        bd.bundle_backbone_v2([(0, 0)], [(50, 0)], [E], [E], 1.0, [], waypoints=[((25, 0), None)])


# ---- obstacle helpers -----------------------------------------------------

def test_obs_bounds_reads_records_and_sequences_as_they_are():
    assert bd._obs_bounds(Obstacle(1, 2, 3, 4)) == (1.0, 2.0, 3.0, 4.0)
    b = bd._obs_bounds([1, 2.5, 3, 4, "extra"])
    assert b == (1, 2.5, 3, 4) and type(b[0]) is int
    with pytest.raises(IndexError):
        bd._obs_bounds((1, 2, 3))
    with pytest.raises(TypeError):
        bd._obs_bounds(5)


@pytest.mark.parametrize("case", [
    ((-5, 0, 0, 5), True),               # x_max == x0: touches the left edge
    ((-5, 0, -1e-12, 5), False),         # just short of it
    ((10, 10, 20, 20), True),            # corner contact
    ((3, 3, 4, 4), True),                # inside
    ((0, 10.000001, 5, 20), False),      # above
    ("record", (11, 0, 12, 1), False),   # right of it, as a record
    ("record", (9, -3, 12, 0), True),    # record touching the bottom edge
])
def test_filter_to_bbox_keeps_what_touches_the_closed_box(case):
    box, kept = (Obstacle(*case[1]), case[2]) if case[0] == "record" else case
    assert (bd._filter_to_bbox([box], 0, 0, 10, 10) == [box]) == kept


def test_filter_to_bbox_keeps_order_and_identity():
    a, b, c = [0, 0, 1, 1], Obstacle(2, 2, 3, 3), (50, 50, 60, 60)
    out = bd._filter_to_bbox(iter([b, c, a]), 0, 0, 10, 10)
    assert out == [b, a] and out[0] is b and out[1] is a
    assert bd._filter_to_bbox([], 0, 0, 1, 1) == []


class Recorder:
    """An index whose blocked() answers from a list and records the queries."""

    def __init__(self, answers):
        self.answers, self.calls = list(answers), []

    def blocked(self, *args):
        self.calls.append(args)
        return self.answers[len(self.calls) - 1]


def test_hits_real_obstacle_stops_at_the_first_blocked_segment():
    skel = np.array([[0, 0], [10, 0], [10, 10], [20, 10]], dtype=float)
    idx = Recorder([0, "yes", True])
    assert bd._hits_real_obstacle(skel, idx) is True
    assert idx.calls == [(0.0, 0.0, 10.0, 0.0), (10.0, 0.0, 10.0, 10.0)]
    assert bd._hits_real_obstacle(skel, Recorder([False] * 3)) is False


@pytest.mark.parametrize("skel", [None, np.array([[1.0, 2.0]]), np.zeros((0, 2))])
def test_hits_real_obstacle_without_segments_does_not_query(skel):
    idx = Recorder([])
    assert bd._hits_real_obstacle(skel, idx) is False and idx.calls == []


def test_hits_real_obstacle_on_the_graph_index():
    idx = graph._ObstacleIndex([(4, -1, 6, 1)], None)
    assert bd._hits_real_obstacle(np.array([[0.0, 0.0], [10.0, 0.0]]), idx) is True
    assert bd._hits_real_obstacle(np.array([[0.0, 5.0], [10.0, 5.0]]), idx) is False


def test_inflate_obstacle_bboxes():
    rec = Obstacle(0, 0, 10, 5)
    assert bd._inflate_obstacle_bboxes([], 5.0) == []
    assert bd._inflate_obstacle_bboxes(None, 5.0) == []
    same = [rec, (1, 2, 3, 4)]
    copy = bd._inflate_obstacle_bboxes(same, 1e-9)
    assert copy == same and copy is not same and copy[0] is rec
    assert bd._inflate_obstacle_bboxes([rec, [1, 1, 2, 2]], 2) == [(-2.0, -2.0, 12.0, 7.0), (-1, -1, 4, 4)]
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 4, got 3\)"):
        bd._inflate_obstacle_bboxes([(1, 2, 3)], 1.0)
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 4\)"):
        bd._inflate_obstacle_bboxes([(1, 2, 3, 4, 5)], 1.0)


# ---- keep-out boxes -------------------------------------------------------

@pytest.mark.parametrize("skel, spacing, pitch, boxes", [
    ([(0, 0), (10, 0)], 1, None, [(0.0, -1.0, 10.0, 1.0)]),
    ([(0, 0), (10, 0), (10, 10)], 1, None, [(0.0, -1.0, 11.0, 1.0), (9.0, -1.0, 11.0, 10.0)]),
    ([(0, 0), (10, 0), (10, 10)], 1, 1.0, [(0.0, -0.8, 10.8, 0.8), (9.2, -0.8, 10.8, 10.0)]),
    ([(0, 0), (10, 0), (10, 10), (20, 10)], 2, 1.0,
     [(0.0, -0.8, 10.8, 0.8), (8.0, -2.0, 12.0, 12.0), (9.2, 9.2, 20.0, 10.8)]),
    ([(0, 0), (10, 0)], 2, 0.0, [(0.0, -2.0, 10.0, 2.0)]),        # pitch not above 1e-9: ignored
    ([(0, 0), (10, 0)], 2, 5.0, [(0.0, -2.0, 10.0, 2.0)]),        # 0.8 * pitch above the spacing
    ([(10, 10), (10, 0), (0, 0)], 1, None, [(9.0, -1.0, 11.0, 10.0), (0.0, -1.0, 11.0, 1.0)]),  # drawn backwards
    ([(3, 3)], 1, None, []),
])
def test_skeleton_to_obstacles(skel, spacing, pitch, boxes):
    out = bd._skeleton_to_obstacles(np.array(skel, dtype=float), spacing, port_pitch=pitch)
    assert [len(b) for b in out] == [4] * len(boxes) and all(type(v) is float for b in out for v in b)
    assert [v for b in out for v in b] == pytest.approx([v for b in boxes for v in b])


# ---- lane order -----------------------------------------------------------

@pytest.mark.parametrize("n, rule, positions", [
    (4, "outside-in", [0, 3, 1, 2]), (4, "center-out", [2, 3, 1, 0]),
    (5, "outside-in", [0, 4, 1, 3, 2]), (5, "center-out", [2, 3, 1, 4, 0]),
    (3, "outside-in", [0, 2, 1]), (3, "center-out", [1, 2, 0]),
])
def test_order_walks_the_ranking(n, rule, positions):
    ranking = [3, 0, 4, 1, 2][:n] if n == 5 else list(np.random.default_rng(n).permutation(n))
    starts = [(0, 0)] * n
    for rank, route in enumerate(ranking):
        starts[route] = (0, 10 * rank)
    order = bd._compute_bundle_order(starts, [E] * n, rule)
    assert [int(i) for i in order] == [ranking[p] for p in positions]
    assert all(type(i) is np.int64 for i in order)


def test_order_given_reverse_and_one_route():
    assert bd._compute_bundle_order([(5, 5)] * 3, [E] * 3, "given") == [0, 1, 2]
    assert bd._compute_bundle_order([(5, 5)] * 3, [E] * 3, "reverse") == [2, 1, 0]
    assert bd._compute_bundle_order([(5, 5)], [E], "no such order") == [0]
    assert bd._compute_bundle_order([], [], "reverse") == []


def test_order_follows_the_mean_start_direction():
    starts = [(0, 0), (0, 10), (0, 20)]
    assert [int(i) for i in bd._compute_bundle_order(starts, [E] * 3, "outside-in")] == [0, 2, 1]
    assert [int(i) for i in bd._compute_bundle_order(starts, [W] * 3, "outside-in")] == [2, 0, 1]


@pytest.mark.parametrize("value", ["Center-out", "sideways", 3])
def test_unknown_order_is_a_value_error(value):
    with pytest.raises(ValueError) as e:
        bd._compute_bundle_order([(0, 0), (0, 1)], [E, E], value)
    assert str(e.value) == f"Unknown routing_order: {value}"


@pytest.mark.parametrize("starts", [
    [(0.0, float(v)) for v in [1, 0, 1, 0, 1, 0] * 5],      # two tied groups
    np.array([[0, v] for v in [3, 1, 3, 3, 1, 2] * 4], dtype=np.float32),  # float32: numpy's precision
])
def test_order_ties_follow_numpys_argsort(starts):
    sp = np.array(starts)
    perp = np.array([-0.0, 1.0 / (1.0 + 1e-12)])
    ranking = list(np.argsort(sp @ perp))
    n = len(ranking)
    expected = [ranking[n // 2]]
    for off in range(1, n):
        expected += [ranking[p] for p in (n // 2 + off, n // 2 - off) if 0 <= p < n]
    assert bd._compute_bundle_order(starts, [E] * n, "center-out") == expected
    assert ranking != sorted(ranking, key=lambda i: (sp[i] @ perp, i))  # numpy's order is not the stable one


# ---- offsetting one lane --------------------------------------------------

Z = [(0, 0), (10, 0), (10, 10), (20, 10)]


@pytest.mark.parametrize("backbone, args, kw, lane", [
    ([(0, 0), (10, 0)], (2,), {}, [(0, 2), (10, 2)]),
    (Z, (2, 4), {}, [(0, 2), (8, 2), (8, 14), (20, 14)]),
    (Z, (2, 4), {"flipped_segs": {1}}, [(0, 2), (12, 2), (12, 14), (20, 14)]),
    (Z, (2, 4), {"connect_offset": 1}, [(0, 2), (9, 2), (9, 14), (20, 14)]),
    (Z, (2, 4), {"scale_connect": 0.5}, [(0, 2), (9, 2), (9, 14), (20, 14)]),
    ([(0, 0), (10, 0), (10, 10)], (2, 2), {}, [(0, 2), (8, 2), (8, 10)]),
    # an L whose offsets differ: one corner where the shifted segments meet
    ([(0, 0), (10, 0), (10, 10)], (2, 5), {}, [(0, 2), (5, 2), (5, 10)]),
    ([(0, 0), (10, 0), (10, -10)], (-3, 1), {}, [(0, -3), (11, -3), (11, -10)]),
    # a straight backbone whose offsets differ: a jog, moved back by the connect offset
    ([(0, 0), (100, 0)], (2, 6), {"connect_offset": 3}, [(0, 2), (47, 2), (47, 6), (100, 6)]),
    ([(0, 0), (100, 0)], (6, 2), {"connect_offset": 3}, [(0, 6), (53, 6), (53, 2), (100, 2)]),
    ([(0, 0), (0, 100)], (0, 5), {"connect_offset": 70}, [(0, 0), (0, 10), (-5, 10), (-5, 100)]),
    # flags on the end segments change nothing
    (Z, (2, 4), {"flipped_segs": {0, 2}}, [(0, 2), (8, 2), (8, 14), (20, 14)]),
    # a repeated point is merged first
    ([(0, 0), (10, 0), (10, 0), (10, 10)], (1,), {}, [(0, 1), (9, 1), (9, 10)]),
])
def test_offset_skeleton(backbone, args, kw, lane):
    out = bd._offset_skeleton(backbone, *args, **kw)
    assert out.dtype == np.float64 and out.tolist() == [list(map(float, p)) for p in lane]


def test_offset_skeleton_copies_without_an_offset():
    bb = np.array(Z, dtype=float)
    for out in (bd._offset_skeleton(bb, 0.0, 0.0, connect_offset=5), bd._offset_skeleton(bb[:1], 3, 4)):
        assert out is not bb and not np.shares_memory(out, bb)
    assert bd._offset_skeleton(bb, 0.0, 0.0, connect_offset=5).tolist() == bb.tolist()
    assert bd._offset_skeleton([(3, 4)], 7).tolist() == [[3.0, 4.0]]
    assert bd._offset_skeleton([], 7).shape == (0,)


def test_pitch_transition_has_no_effect():
    assert (bd._offset_skeleton(Z, 2, 4, "even").tolist() == bd._offset_skeleton(Z, 2, 4, "whatever").tolist())
