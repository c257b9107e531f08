"""Bundle strategies: how they call the names they reach, their worked examples,
and the native road against the road through replaced names."""

from types import SimpleNamespace

import jax
import numpy as np
import pytest

from kelvane.manhattan_router import bundle as bd
from kelvane.manhattan_router import graph
from bundle_scenes import args, straight, uturn, with_block, with_field

E, N, W, S = (1, 0), (0, 1), (-1, 0), (0, -1)
RAIL_KEYWORDS = ["turn_bias", "sliding_bias", "real_obstacles", "route_skeletons", "route_spacing", "route_pivots",
                 "bend_delta", "dbu"]


class Spy:
    """Records every call (positional args, keywords in order, list sizes at
    call time) and answers with `answer(*args, **kw)`."""

    def __init__(self, answer):
        self.answer, self.calls = answer, []

    def __call__(self, *args, **kw):
        sizes = {k: len(v) for k, v in kw.items() if isinstance(v, list)}
        self.calls.append((args, list(kw.items()), sizes))
        return self.answer(*args, **kw)

    def keywords(self, i=0):
        return [k for k, _ in self.calls[i][1]]

    def kw(self, i, name):
        return dict(self.calls[i][1])[name]


def spy_on(monkeypatch, name, answer=None, module=bd):
    spy = Spy(answer or getattr(module, name))
    monkeypatch.setattr(module, name, spy)
    return spy


def same_result(a, b):
    (la, ia), (lb, ib) = a, b
    assert [x.tolist() for x in la] == [x.tolist() for x in lb]
    return ia, ib


STARTS3, ENDS3 = [(0, 0), (0, 10), (0, 20)], [(100, 0), (100, 10), (100, 20)]


# ---- rail-bridge strategy -------------------------------------------------

def test_rail_bridge_call_form_and_growing_keep_outs(monkeypatch):
    obstacles, keep = [(40, 30, 60, 40), graph.Obstacle(40, -40, 60, -30)], [(0, 50, 5, 55)]
    rail = spy_on(monkeypatch, "rail_bridge_v2")
    lanes, info = bd.bundle_rail_bridge_v2(STARTS3, ENDS3, [E] * 3, [E] * 3, 2.0, obstacles, route_spacing=3.0,
                                           route_skeletons=keep)
    assert list(info) == ["order", "infos"] and [int(i) for i in info["order"]] == [1, 2, 0]
    assert len(rail.calls) == 3 and len(keep) == 1
    for k, idx in enumerate([1, 2, 0]):
        pos, kw, sizes = rail.calls[k]
        assert len(pos) == 6 and rail.keywords(k) == RAIL_KEYWORDS
        for value, expected in zip(pos[:4], (STARTS3[idx], ENDS3[idx], E, E)):
            assert isinstance(value, jax.Array) and value.dtype == np.float32 and value.shape == (2,)
            assert value.tolist() == list(map(float, expected))
        assert pos[4] == 2.0 + 3.0 * (2 - k)                          # delta_eff shrinks by the spacing
        assert pos[5] == obstacles and pos[5] is rail.kw(k, "real_obstacles")
        assert rail.kw(k, "bend_delta") == 2.0 and rail.kw(k, "dbu") is None
        assert sizes["route_skeletons"] == 1 + k and sizes["route_pivots"] == k   # one box per straight lane
        assert rail.kw(k, "route_skeletons") is rail.kw(0, "route_skeletons") is not keep
    pivots = rail.kw(2, "route_pivots")
    assert all(p.dtype == np.float64 for p in pivots)
    assert [lane.tolist() for lane in lanes] == [[list(map(float, s)), list(map(float, e))] for s, e in
                                                 zip(STARTS3, ENDS3)]
    assert all(i["clean"] for i in info["infos"])


@pytest.mark.parametrize("inflate, radii", [(True, [8, 5, 2]), (False, [2, 2, 2]), (0, [2, 2, 2])])
def test_rail_bridge_radius_sequence(monkeypatch, inflate, radii):
    rail = spy_on(monkeypatch, "rail_bridge_v2")
    bd.bundle_rail_bridge_v2(STARTS3, ENDS3, [E] * 3, [E] * 3, 2, [], route_spacing=3, inflate_delta=inflate)
    assert [c[0][4] for c in rail.calls] == radii and all(type(c[0][4]) is int for c in rail.calls)


@pytest.mark.parametrize("count, local", [(40, False), (41, True)])
def test_rail_bridge_searches_locally_above_40_obstacles(monkeypatch, count, local):
    far = [(1000 + 10 * i, 1000, 1005 + 10 * i, 1005) for i in range(count)]
    index = spy_on(monkeypatch, "_ObstacleIndex")
    one = spy_on(monkeypatch, "_route_one_local")
    rail = spy_on(monkeypatch, "rail_bridge_v2")
    bd.bundle_rail_bridge_v2(STARTS3, ENDS3, [E] * 3, [E] * 3, 2.0, far, dbu=0.5)
    assert len(one.calls) == (3 if local else 0) and len(rail.calls) == 3
    assert [c[0] for c in index.calls] == ([(far, 0.5)] if local else [])
    if local:
        pos, kw, _ = one.calls[0]
        assert len(pos) == 8 and pos[5] == far and isinstance(pos[7], graph._ObstacleIndex)
        assert [k for k, _ in kw] == ["turn_bias", "sliding_bias", "route_spacing", "route_pivots", "bend_delta",
                                      "dbu"]
        assert rail.calls[0][0][5] == []                       # the window holds none of the far obstacles
    else:
        assert rail.calls[0][0][5] == far


@pytest.mark.parametrize("starts, pitch", [([(0, 0), (0, 5), (0, 7)], pytest.approx(2.0, abs=1e-9)),
                                           ([(0, 0), (0, 0), (0, 9)], 0.0), ([(0, 0)], 3.5)])
def test_rail_bridge_port_pitch_reaches_the_keep_outs(monkeypatch, starts, pitch):
    boxes = spy_on(monkeypatch, "_skeleton_to_obstacles")
    ends = [(100, y) for _, y in starts]
    bd.bundle_rail_bridge_v2(starts, ends, [E] * len(starts), [E] * len(starts), 1.0, [], route_spacing=3.5,
                             routing_order="given")
    assert [(len(c[0]), c[1]) for c in boxes.calls] == [(2, [("port_pitch", pitch)])] * len(starts)
    assert all(c[0][1] == 3.5 for c in boxes.calls)


def test_rail_bridge_replaced_order_is_used_and_returned(monkeypatch):
    order = (i for i in [2, 0, 1])
    monkeypatch.setattr(bd, "_compute_bundle_order", lambda sp, st, rule: order)
    rail = spy_on(monkeypatch, "rail_bridge_v2")
    lanes, info = bd.bundle_rail_bridge_v2(STARTS3, ENDS3, [E] * 3, [E] * 3, 1.0, [])
    assert info["order"] is order
    assert [c[0][0].tolist()[1] for c in rail.calls] == [20.0, 0.0, 10.0]
    assert [lane[0].tolist() for lane in lanes] == [[0, 0], [0, 10], [0, 20]]


def test_rail_bridge_one_route_and_parameters_without_effect():
    one = bd.bundle_rail_bridge_v2([(0, 0)], [(50, 5)], [E], [E], 2.0, [])
    assert [int(i) for i in one[1]["order"]] == [0] and len(one[1]["infos"]) == 1
    assert one[0][0].tolist() == [[0, 0], [25, 0], [25, 5], [50, 5]]
    scene = with_block(straight(4))
    base = bd.bundle_rail_bridge_v2(*args(scene), 2.0, scene["obstacles"])
    other = bd.bundle_rail_bridge_v2(*args(scene), 2.0, scene["obstacles"], route_width=9.0, route_clearance=-1)
    ia, ib = same_result(base, other)
    assert ia == ib


@pytest.mark.parametrize("bad, error", [
    (lambda *a, **k: (np.zeros((2, 2)),), "not enough values to unpack (expected 2, got 1)"),
    (lambda *a, **k: (np.zeros((2, 2)), {}, 3), "too many values to unpack (expected 2)"),
])
def test_rail_bridge_search_result_must_be_a_pair(monkeypatch, bad, error):
    monkeypatch.setattr(bd, "rail_bridge_v2", bad)
    with pytest.raises(ValueError, match=error.replace("(", r"\(").replace(")", r"\)")):
        bd.bundle_rail_bridge_v2(STARTS3, ENDS3, [E] * 3, [E] * 3, 1.0, [])


def test_unknown_routing_order_fails_before_any_search(monkeypatch):
    rail = spy_on(monkeypatch, "rail_bridge_v2")
    with pytest.raises(ValueError, match="Unknown routing_order: inside-out"):
        bd.bundle_rail_bridge_v2(STARTS3, ENDS3, [E] * 3, [E] * 3, 1.0, [], routing_order="inside-out")
    assert rail.calls == []


# ---- the native road against the road through replaced names -----------

class NoJax:
    def __getattr__(self, name):
        raise AssertionError(f"jnp.{name} used")


SCENES = {"block": with_block(straight(5, uneven=True)), "field": with_field(straight(6), 45),
          "uturn": uturn(4)}


@pytest.mark.parametrize("scene", list(SCENES))
@pytest.mark.parametrize("strategy, replaced", [
    ("bundle_rail_bridge_v2", "rail_bridge_v2"), ("bundle_rail_bridge_v2", "_skeleton_to_obstacles"),
    ("bundle_rail_bridge_v2", "_route_one_local"), ("bundle_backbone_v2", "rail_bridge_v2"),
    ("bundle_backbone_v2", "_offset_skeleton"), ("bundle_backbone_v2", "_extend_short_segments"),
])
def test_native_road_equals_the_road_through_replaced_names(monkeypatch, scene, strategy, replaced):
    s, f = SCENES[scene], getattr(bd, strategy)
    monkeypatch.setattr(bd, "jnp", NoJax())       # the native road builds no jax arrays
    native = f(*args(s), 3.0, s["obstacles"], dbu=0.25)
    monkeypatch.setattr(bd, "jnp", jax.numpy)
    spy = spy_on(monkeypatch, replaced)
    by_name = f(*args(s), 3.0, s["obstacles"], dbu=0.25)
    assert spy.calls or (replaced == "_route_one_local" and len(s["obstacles"]) <= 40)
    ia, ib = same_result(native, by_name)
    if strategy == "bundle_rail_bridge_v2":
        assert ia["infos"] == ib["infos"] and [int(i) for i in ia["order"]] == [int(i) for i in ib["order"]]
    else:
        assert ia["offsets"] == ib["offsets"] and ia["backbone"].tolist() == ib["backbone"].tolist()
        assert (ia["median_idx"], ia["scale_connect"], ia["route_skeleton_envelope"]) == \
               (ib["median_idx"], ib["scale_connect"], ib["route_skeleton_envelope"])


# ---- local search ---------------------------------------------------------

class Recorder:
    def __init__(self):
        self.calls = []

    def blocked(self, *a):
        self.calls.append(a)
        return False


def canned(skeleton):
    return lambda *a, **k: (skeleton, {"canned": True})


def test_route_one_local_window_and_defaults(monkeypatch):
    near, touching, far = (3, -1, 4, 1), (10, -2, 12, 0), (11, 1, 12, 2)
    rail = spy_on(monkeypatch, "rail_bridge_v2", canned([(0, 0), (10, 0)]))
    empty = graph._ObstacleIndex([], None)
    skel, info = bd._route_one_local((0, 0), (10, 0), E, E, 0, [near, touching, far], [far, near], empty,
                                     turn_bias="start", sliding_bias=0.2, route_spacing=1.5)
    pos, kw, _ = rail.calls[0]
    assert pos[4] == 0 and pos[5] == [near, touching] and pos[5][0] is near
    assert kw == [("turn_bias", "start"), ("sliding_bias", 0.2), ("real_obstacles", [near, touching]),
                  ("route_skeletons", [near]), ("route_spacing", 1.5), ("route_pivots", ()), ("bend_delta", None),
                  ("dbu", None)]
    assert isinstance(skel, np.ndarray) and skel.tolist() == [[0, 0], [10, 0]] and info == {"canned": True}


def test_route_one_local_window_grows_by_six_effective_radii(monkeypatch):
    rail = spy_on(monkeypatch, "rail_bridge_v2", canned([(5, 5), (5, 5)]))
    boxes = [(17, 5, 18, 6), (17.5, 5, 18, 6), (-7, -7, -7, -7)]   # 5 + 6 * 2 = 17 is the window's edge
    bd._route_one_local((5, 5), (5, 5), E, E, 2.0, boxes, [], Recorder(), turn_bias="center", sliding_bias=0.5,
                        route_spacing=3.0)
    assert rail.calls[0][0][5] == [boxes[0], boxes[2]]


def test_route_one_local_searches_again_with_everything_after_a_hit(monkeypatch):
    crossing = [(0, 0), (10, 0)]
    rail = spy_on(monkeypatch, "rail_bridge_v2", canned(crossing))
    wall, keep = (4, -1, 6, 1), [(50, 50, 60, 60)]
    full = graph._ObstacleIndex([wall], None)
    skel, _ = bd._route_one_local((0, 0), (10, 0), E, E, 0.1, [wall, (90, 90, 91, 91)], keep, full,
                                  turn_bias="center", sliding_bias=0.5, route_spacing=3.0)
    assert len(rail.calls) == 2 and skel.tolist() == [[0, 0], [10, 0]]  # the second result is taken as it is
    assert rail.calls[0][0][5] == [wall] and rail.calls[1][0][5] == [wall, (90, 90, 91, 91)]
    assert rail.kw(1, "route_skeletons") is keep


# ---- backbone strategy ----------------------------------------------------

FOUR = dict(starts=[(0, 0), (0, 10), (0, 20), (0, 30)], ends=[(200, 0), (200, 10), (200, 20), (200, 30)])


def test_backbone_call_form(monkeypatch):
    rail = spy_on(monkeypatch, "rail_bridge_v2")
    offset = spy_on(monkeypatch, "_offset_backbone")
    obstacles = [(90, 100, 110, 120)]
    lanes, info = bd.bundle_backbone_v2(FOUR["starts"], FOUR["ends"], [E] * 4, [E] * 4, 2.0, obstacles,
                                        route_skeletons=[(0, 100, 10, 110)], dbu=0.5)
    pos, kw, _ = rail.calls[0]
    assert [v.tolist() for v in pos[:4]] == [[0, 20], [200, 20], [1, 0], [1, 0]]
    assert all(v.dtype == np.float32 for v in pos[:4])
    assert pos[4] == 2.0 + 2 * 3.0 and pos[5] is obstacles
    assert kw == [("turn_bias", "center"), ("sliding_bias", 0.5), ("route_skeletons", [(-20.0, 80.0, 30.0, 130.0)]),
                  ("route_spacing", 3.0)]
    op = offset.calls[0][0]
    assert len(op) == 16 and offset.calls[0][1] == []
    assert isinstance(op[0], np.ndarray) and op[0].tolist() == [[0, 20], [200, 20]]
    assert [x.tolist() for x in op[2:6]] == [[list(p) for p in rows] for rows in
                                            (FOUR["starts"], FOUR["ends"], [E] * 4, [E] * 4)]
    assert op[6] == 4 and op[7] == 2 and isinstance(op[7], np.integer)
    assert op[8].tolist() == pytest.approx([0, 10, 20, 30]) and op[9] == op[8][2]
    assert (op[10], op[11], op[12], op[13], op[14], op[15]) == (3.0, pytest.approx(0.3), 2.0, obstacles, 0.5, 20.0)
    assert list(info) == ["backbone", "offsets", "median_idx", "scale_connect", "route_skeleton_envelope",
                          "backbone_info"]
    assert info["backbone"] is op[0] and info["backbone_info"] is op[1]
    assert [lane[0].tolist() for lane in lanes] == [list(map(float, p)) for p in FOUR["starts"]]


@pytest.mark.parametrize("selection, median, side", [("median", 2, 2), ("first", 0, 3), ("last", 3, 3), (1, 1, 2),
                                                     (True, 1, 2), (np.int64(0), 2, 2)])
def test_backbone_selection(monkeypatch, selection, median, side):
    rail = spy_on(monkeypatch, "rail_bridge_v2")
    _, info = bd.bundle_backbone_v2(FOUR["starts"], FOUR["ends"], [E] * 4, [E] * 4, 1.0, [],
                                    backbone_selection=selection)
    assert info["median_idx"] == median and type(info["median_idx"]) is int
    assert rail.calls[0][0][0].tolist() == [0.0, 10.0 * median] and rail.calls[0][0][4] == 1.0 + 3.0 * side


@pytest.mark.parametrize("selection, error", [(4, IndexError), (-1, ValueError)])
def test_backbone_selection_outside_the_bundle(selection, error):
    with pytest.raises(error):
        bd.bundle_backbone_v2(FOUR["starts"], FOUR["ends"], [E] * 4, [E] * 4, 1.0, [], backbone_selection=selection)


@pytest.mark.parametrize("starts, ends, st, et, radius", [
    ([(0, 0)], [(100, 50)], [E], [N], 4.0 * 2.0),                           # turn without U-turn
    ([(0, 0), (0, 10)], [(100, 10), (100, 0)], [E, E], [E, E], 2.0 + 3.0),  # same direction
    ([(0, 0), (0, 10)], [(100, 60), (100, 50)], [E, E], [W, W], 2.0 + 3.0), # U-turn
    ([(0, 0), (0, 10)], [(100, 60), (110, 60)], [E, E], [N, N], 10.0 + 8.0 + 3.0),  # max offset + 4 delta + side
])
def test_backbone_radius_cases(monkeypatch, starts, ends, st, et, radius):
    rail = spy_on(monkeypatch, "rail_bridge_v2")
    bd.bundle_backbone_v2(starts, ends, st, et, 2.0, [])
    assert rail.calls[0][0][4] == pytest.approx(radius)


@pytest.mark.parametrize("ys, scale", [([0, 10, 20, 30], 0.3), ([0, 2, 4, 6], 1.0), ([5], 1.0)])
def test_backbone_scale_connect(ys, scale):
    n = len(ys)
    _, info = bd.bundle_backbone_v2([(0, y) for y in ys], [(100, y) for y in ys], [E] * n, [E] * n, 1.0, [])
    assert info["scale_connect"] == pytest.approx(scale) and type(info["scale_connect"]) is float


def test_backbone_waypoint_call_form(monkeypatch):
    from kelvane.manhattan_router import waypoints
    native = bd.bundle_backbone_v2([(0, 0)], [(100, 0)], [E], [E], 1.0, [], dbu=0.5, waypoints=[((50, 20), None)])
    router = spy_on(monkeypatch, "route_waypoints_v2", module=waypoints)
    lanes, info = bd.bundle_backbone_v2([(0, 0)], [(100, 0)], [E], [E], 1.0, [], dbu=0.5,
                                        waypoints=[((50, 20), None)])
    pos, kw, _ = router.calls[0]
    assert len(pos) == 7 and pos[4] == [(50, 20)] and pos[5] == 1.0 and pos[6] == []
    assert [k for k, _ in kw] == ["pins", "turn_bias", "sliding_bias", "route_skeletons", "route_spacing", "dbu"]
    assert dict(kw)["pins"] == [None] and dict(kw)["dbu"] == 0.5
    assert lanes[0].tolist() == [[0, 0], [25, 0], [25, 20], [75, 20], [75, 0], [100, 0]]  # passes (50, 20)
    assert info["backbone_info"]["headings"] == [0]
    assert native[0][0].tolist() == lanes[0].tolist()
    from_generator = bd.bundle_backbone_v2([(0, 0)], [(100, 0)], [E], [E], 1.0, [], dbu=0.5,
                                           waypoints=(w for w in [((50, 20), None)]))
    assert from_generator[0][0].tolist() == lanes[0].tolist()
    # A bad entry after a good one: the entries the native road read are not lost to the Python lines.
    for entries in ([((50, 20), None, 1)], [((50, 20), None), ((60, 20), None, 1)]):
        for given in (entries, iter(entries)):
            with pytest.raises(ValueError, match="too many values to unpack"):
                bd.bundle_backbone_v2([(0, 0)], [(100, 0)], [E], [E], 1.0, [], waypoints=given)


# ---- backbone offsetting --------------------------------------------------

def offset_backbone(backbone, starts, ends, median, proj=None, pitch=3.0, obstacles=(), envelope=0):
    proj = [y for _, y in starts] if proj is None else proj
    return bd._offset_backbone(np.array(backbone, dtype=float), {"bb": 1}, np.array(starts), np.array(ends), None,
                               None, len(starts), median, np.array(proj, dtype=float), proj[median], pitch, 0.25,
                               1.0, list(obstacles), None, envelope)


def test_offset_backbone_connect_offsets_follow_start_order(monkeypatch):
    skel = spy_on(monkeypatch, "_offset_skeleton")
    bb = [(0, 2), (50, 2), (50, 100), (100, 100)]
    offset_backbone(bb, [(0, 0), (0, 2), (0, 4)], [(100, 97), (100, 100), (100, 103)], 1)
    final = skel.calls[3:]
    assert [dict(c[1])["connect_offset"] for c in final] == [-3.0, 0.0, 3.0]
    assert [(c[0][1], c[0][2]) for c in final] == [(-2.0, -3.0), (0.0, 0.0), (2.0, 3.0)]
    assert [k for k, _ in skel.calls[0][1]] == ["scale_connect", "connect_offset"]
    assert [k for k, _ in final[0][1]] == ["scale_connect", "connect_offset", "flipped_segs"]
    assert all(dict(c[1])["scale_connect"] == 0.25 and dict(c[1])["flipped_segs"] is None for c in final)


def test_offset_backbone_equal_starts_keep_index_order(monkeypatch):
    skel = spy_on(monkeypatch, "_offset_skeleton")
    offset_backbone([(0, 0), (100, 0)], [(0, 0), (0, 5), (0, 5)], [(100, 0), (100, 5), (100, 8)], 0, pitch=2.0)
    assert [dict(c[1])["connect_offset"] for c in skel.calls[:3]] == [0.0, 2.0, 4.0]


@pytest.mark.parametrize("backbone, ends, end_offsets", [
    ([(0, 0), (50, 0), (50, 30), (10, 30)], [(10, 30), (10, 34)], (0.0, -4.0)),   # ends along -x: normal (0, -1)
    ([(0, 0), (50, 0), (50, 30)], [(50, 30), (46, 30)], (0.0, 4.0)),              # ends along +y: normal (-1, 0)
    ([(0, 0), (50, 0), (50, 0)], [(50, 0), (53, 0)], (0.0, 3.0)),                 # zero-length last: (1, 0)
])
def test_offset_backbone_end_offsets_use_the_last_segment(backbone, ends, end_offsets):
    _, info = offset_backbone(backbone, [(0, 0), (0, 3)], ends, 0)
    assert tuple(d for _, d in info["offsets"]) == end_offsets


def test_offset_backbone_description_types_and_backbone_lane():
    bb = np.array([(0, 0), (40, 0), (40, 60)], dtype=float)
    lanes, info = bd._offset_backbone(bb, "bi", None, np.array([(38, 60), (40, 60)]), None, None, 2,
                                      np.int64(1), [-2.0, 0.0], 0.0, 3.0, "kept", 1.0, [], None, 7)
    assert info["backbone"] is bb and type(info["median_idx"]) is int and type(info["route_skeleton_envelope"]) is float
    assert info["offsets"] == [(-2.0, 2.0), (0.0, 0.0)] and info["scale_connect"] == "kept"
    assert lanes[1].tolist() == bb.tolist() and lanes[0].tolist() == [[0, -2], [38, -2], [38, 60]]


def test_offset_backbone_moves_lane_ends_onto_staggered_ports():
    # ports staggered along x: each lane starts at its own port
    lanes, _ = offset_backbone([(5, 10), (100, 10)], [(0, 0), (5, 10), (9, 20)], [(100, 0), (100, 10), (100, 20)], 1)
    assert [lane.tolist() for lane in lanes] == [[[0, 0], [100, 0]], [[5, 10], [100, 10]], [[9, 20], [100, 20]]]


class LyingLength:
    """A sequence whose len() claims a trillion items; iteration tells the truth."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return 10**12

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


PORTS = ([[0.0, 0.0], [0.0, 3.0]], [[30.0, 0.0], [30.0, 3.0]], [E, E], [E, E])
BOX = [(12.0, -4.0, 14.0, 5.0)]
STRATEGIES = [bd.bundle_rail_bridge_v2, bd.bundle_backbone_v2]


@pytest.mark.parametrize("strategy", STRATEGIES)
def test_a_bundle_without_routes_names_start_positions(strategy):
    none = np.zeros((0, 2))
    with pytest.raises(IndexError, match="start_positions has no rows: a bundle needs at least one route"):
        strategy(none, none, none, none, 1.0, [])


@pytest.mark.parametrize("strategy", STRATEGIES)
@pytest.mark.parametrize("argument", ["start_positions", "end_tangents", "obstacles", "route_skeletons"])
def test_sequences_are_read_by_iteration_whatever_len_says(strategy, argument):
    kw = dict(zip(["start_positions", "end_positions", "start_tangents", "end_tangents"], PORTS), delta=1.0,
              obstacles=BOX, route_skeletons=[(20.0, -1.0, 22.0, 1.0)])
    plain, _ = strategy(**kw)
    kw[argument] = LyingLength(kw[argument])
    lying, _ = strategy(**kw)
    assert [np.asarray(s).tolist() for s in lying] == [np.asarray(s).tolist() for s in plain]


@pytest.mark.parametrize("strategy", STRATEGIES)
def test_obstacles_and_keep_outs_as_arrays_are_boxes(strategy):
    keep = [(20.0, -1.0, 22.0, 1.0)]
    as_lists, _ = strategy(*PORTS, 1.0, BOX, route_skeletons=keep)
    as_arrays, _ = strategy(*PORTS, 1.0, np.array(BOX), route_skeletons=np.array(keep))
    assert [np.asarray(s).tolist() for s in as_arrays] == [np.asarray(s).tolist() for s in as_lists]
    assert all(len(s) > 2 for s in as_lists)  # both go round the box
    assert bd._inflate_obstacle_bboxes(np.array(keep), 1.0) == [(19.0, -2.0, 23.0, 2.0)]


@pytest.mark.parametrize("strategy", STRATEGIES)
def test_dbu_zero_is_refused(strategy):
    with pytest.raises(ValueError, match="dbu must be positive or None, got 0"):
        strategy(*PORTS, 1.0, BOX, dbu=0)


@pytest.mark.parametrize("turn", [False, True])
def test_lanes_are_exact_where_float32_rounds_the_ports(turn):
    # Ports that float32 does not hold: every lane starts and ends exactly on
    # its own ports, the backbone on its ports as float32 holds them (the
    # search is handed them so), and every one is exactly axis-parallel.
    starts = np.array([[16.1, 16.3 + 2.7 * i] for i in range(3)])
    ends = (np.array([[56.7 + 2.7 * (2 - i), 40.9] for i in range(3)]) if turn
            else np.array([[56.7, 20.9 + 2.7 * i] for i in range(3)]))
    assert float(np.float32(16.3)) != 16.3
    lanes, info = bd.bundle_backbone_v2(starts, ends, [E] * 3, [N if turn else E] * 3, 1.0, [])
    backbone_ports = [p[info["median_idx"]].astype(np.float32).astype(float) for p in (starts, ends)]
    for lane, s, e in zip([*lanes, info["backbone"]], [*starts, backbone_ports[0]], [*ends, backbone_ports[1]]):
        lane = np.asarray(lane)
        assert lane[0].tolist() == s.tolist() and lane[-1].tolist() == e.tolist()
        steps = np.diff(lane, axis=0)
        assert np.all((steps[:, 0] == 0) != (steps[:, 1] == 0))


def _engine_scene(n_obstacles):
    # Eight lanes east then north past a field of boxes; more than 40 boxes
    # make the rail bundle search each lane in a window round its ports.
    rng = np.random.default_rng(n_obstacles)
    sp = np.array([[0.0, 4.0 * i] for i in range(8)])
    ep = np.array([[200.0 + 4.0 * i, 150.0] for i in range(8)])[::-1].copy()
    boxes, cells = [], rng.permutation([(x, y) for x in range(30, 170, 14) for y in range(45, 140, 14)])
    for x, y in cells[:n_obstacles]:
        boxes.append((float(x), float(y), float(x) + 6.0, float(y) + 6.0))
    east, north = np.tile([1.0, 0.0], (8, 1)), np.tile([0.0, 1.0], (8, 1))
    return sp, ep, east, north, boxes


@pytest.mark.parametrize("n_obstacles", [0, 12, 50])
@pytest.mark.parametrize("strategy, function, options", [
    ("rail-bridge", "bundle_rail_bridge_v2", {}),
    ("rail-bridge", "bundle_rail_bridge_v2", {"routing_order": "outside-in", "inflate_delta": False}),
    ("backbone", "bundle_backbone_v2", {}),
    ("backbone", "bundle_backbone_v2", {"backbone_selection": "first", "bundle_separation_factor": 1.5}),
])
def test_the_engine_road_to_the_bundle_core_gives_the_module_s_routes(n_obstacles, strategy, function, options):
    from kelvane import engine
    sp, ep, st, et, boxes = _engine_scene(n_obstacles)
    want, want_info = getattr(bd, function)(sp, ep, st, et, 5.0, boxes, route_spacing=4.0, dbu=0.001, **options)
    got, info = engine.route_bundle(strategy, sp, ep, st, et, 5.0, boxes, 4.0, dbu=0.001, **options)
    assert len(got) == len(want) == 8
    for g, w in zip(got, want):
        np.testing.assert_array_equal(g, np.asarray(w))
    if strategy == "rail-bridge":
        assert info["order"] == [int(i) for i in want_info["order"]]


@pytest.mark.parametrize("call, error, message", [
    (lambda e, a: e.route_bundle("river", *a), ValueError, 'strategy must be "backbone" or "rail-bridge"'),
    (lambda e, a: e.route_bundle("rail-bridge", *a, routing_order="sideways"), ValueError,
     "Unknown routing_order: sideways"),
    (lambda e, a: e.route_bundle("backbone", *a, backbone_selection=9), IndexError, "not a route index"),
    (lambda e, a: e.route_bundle("backbone", np.zeros((0, 2)), *a[1:]), IndexError, "a bundle needs at least one"),
])
def test_the_engine_road_to_the_bundle_core_refuses_bad_options(call, error, message):
    from kelvane import engine
    sp, ep, st, et, boxes = _engine_scene(0)
    with pytest.raises(error, match=message):
        call(engine, (sp, ep, st, et, 5.0, boxes))


# ---- helpers with a Python body: the replaced road against the native one --



def test_replaced_obs_bounds_is_honoured_by_the_filter_and_the_local_search(monkeypatch):
    boxes = [(5, 5, 6, 6), (500, 500, 501, 501), graph.Obstacle(-3, -3, -2, -2)]
    native = bd._filter_to_bbox(boxes, 0, 0, 10, 10)
    bounds = spy_on(monkeypatch, "_obs_bounds")
    assert bd._filter_to_bbox(boxes, 0, 0, 10, 10) == native == [boxes[0]]
    assert [args[0] for args, _, _ in bounds.calls] == boxes
    # a different rule: every box counts as touching
    monkeypatch.setattr(bd, "_obs_bounds", lambda o: (0, 0, 0, 0))
    assert bd._filter_to_bbox(boxes, 0, 0, 10, 10) == boxes


@pytest.mark.parametrize("kind", ["empty", "mixed", "no rows"])
@pytest.mark.parametrize("margin", [0.0, 1e-9, 2.5])
def test_inflate_python_body_matches_the_native_road(monkeypatch, kind, margin):
    obstacles = {"empty": [], "mixed": [(0, 0, 10, 5), graph.Obstacle(20, 20, 30, 40)], "no rows": np.zeros((0, 4))}[kind]
    native = bd._inflate_obstacle_bboxes(obstacles, margin)
    # another Obstacle class: the Python body runs (records still unpack into their four bounds)
    monkeypatch.setattr(bd, "Obstacle", type("Obstacle", (), {}))
    assert bd._inflate_obstacle_bboxes(obstacles, margin) == native


def test_route_one_local_python_body_matches_the_native_road(monkeypatch):
    s = with_field(straight(3), 60)
    sp, ep, st, et = args(s)
    full = graph._ObstacleIndex(s["obstacles"], None)
    kw = dict(turn_bias="center", sliding_bias=0.5, route_spacing=3.0, route_pivots=(), bend_delta=2.0, dbu=None)
    native = bd._route_one_local(sp[1], ep[1], st[1], et[1], 2.0, s["obstacles"], [], full, **kw)
    rail = spy_on(monkeypatch, "rail_bridge_v2")
    python = bd._route_one_local(sp[1], ep[1], st[1], et[1], 2.0, s["obstacles"], [], full, **kw)
    assert python[0].tolist() == native[0].tolist() and python[1] == native[1]
    assert 1 <= len(rail.calls) <= 2 and rail.keywords() == RAIL_KEYWORDS
    assert all(a.dtype == jax.numpy.float32 for a in rail.calls[0][0][:4])


# ---- ports out of the native road's common form: the Python lines decide --

TIED = [(0.0, 0.0), (0.0, 5.0), (0.0, 5.0), (0.0, 10.0)]  # two starts at one projection


@pytest.mark.parametrize("strategy", STRATEGIES)
@pytest.mark.parametrize("starts", [np.array(STARTS3, dtype=np.float32), TIED])
def test_ports_numpy_ranks_its_own_way_stay_native_with_the_general_road_s_result(monkeypatch, strategy, starts):
    ends = [(100.0, y) for _, y in np.asarray(starts, dtype=float)]
    n = len(ends)
    made = []  # port vectors the Python lines make for a search call
    monkeypatch.setattr(bd, "jnp", SimpleNamespace(float32=jax.numpy.float32,
                                                   array=lambda *a, **k: made.append(a) or jax.numpy.array(*a, **k)))
    native = strategy(starts, ends, [E] * n, [E] * n, 1.0, [], route_spacing=1.0)
    assert made == []  # numpy's own order went to the native road
    spy = spy_on(monkeypatch, "rail_bridge_v2")
    general = strategy(starts, ends, [E] * n, [E] * n, 1.0, [], route_spacing=1.0)
    assert spy.calls
    ia, ib = same_result(native, general)
    if strategy is bd.bundle_rail_bridge_v2:
        assert [(type(i), int(i)) for i in ia["order"]] == [(type(i), int(i)) for i in ib["order"]]
        assert all(type(i) is np.int64 for i in ia["order"])
    else:
        assert ia["offsets"] == ib["offsets"] and ia["median_idx"] == ib["median_idx"]


def test_float32_backbone_offsets_are_numpy_s_float32_differences(monkeypatch):
    # float32 starts and tangents: numpy projects them and subtracts the projections in float32
    rng = np.random.default_rng(3)
    east = np.tile(np.array([1, 0], np.float32), (5, 1))
    for _ in range(6):
        ys = np.sort(rng.uniform(0, 40, 5)).astype(np.float32)
        sp = np.stack([np.full(5, 0.37, np.float32), ys], 1)
        ep = np.stack([np.full(5, 150.3, np.float32), ys + np.float32(rng.uniform(-5, 30))], 1)
        native = bd.bundle_backbone_v2(sp, ep, east, east, 2.0, [], route_spacing=1.0)
        with monkeypatch.context() as m:
            spy_on(m, "rail_bridge_v2")
            general = bd.bundle_backbone_v2(sp, ep, east, east, 2.0, [], route_spacing=1.0)
        assert native[1]["offsets"] == general[1]["offsets"]
        assert all(o[0] == float(np.float32(o[0])) for o in native[1]["offsets"])


@pytest.mark.parametrize("strategy", [bd.bundle_rail_bridge_v2, bd.bundle_backbone_v2])
@pytest.mark.parametrize("starts, message", [
    ([(0, 0), (0, 1e39)], r"start\[1\] must be finite, got inf"),  # beyond float32
    ([(0, 0), (50, 10)], "start and end are the same point"),
])
def test_a_lane_search_refused_fails_alike_on_both_roads(monkeypatch, strategy, starts, message):
    # Route 1 is the first routed center-out and the backbone route.
    with pytest.raises(ValueError, match=message):
        strategy(starts, [(50, 0), (50, 10)], [E, E], [E, E], 1.0, [])
    rail = spy_on(monkeypatch, "rail_bridge_v2")
    with pytest.raises(ValueError, match=message):
        strategy(starts, [(50, 0), (50, 10)], [E, E], [E, E], 1.0, [])
    assert len(rail.calls) == 1


@pytest.mark.parametrize("strategy", [bd.bundle_rail_bridge_v2, bd.bundle_backbone_v2])
def test_ports_float32_cannot_hold_give_the_same_lanes_on_both_roads(monkeypatch, strategy):
    starts, ends = [(0.1, 0.3), (0.1, 10.3)], [(100.7, 0.3), (100.7, 10.3)]
    native = strategy(starts, ends, [E, E], [E, E], 1.0, [])
    spy_on(monkeypatch, "rail_bridge_v2")
    same_result(native, strategy(starts, ends, [E, E], [E, E], 1.0, []))


@pytest.mark.parametrize("strategy, message", [(bd.bundle_rail_bridge_v2, "out of bounds for axis 0 with size 2"),
                                               (bd.bundle_backbone_v2, "fewer end ports than start ports")])
def test_a_missing_end_row_is_an_index_error(strategy, message):
    with pytest.raises(IndexError, match=message):
        strategy(STARTS3, ENDS3[:2], [E] * 3, [E] * 3, 1.0, [])
