"""Routed bundles checked lane by lane and pair by pair with an independent checker."""

import pytest

from kelvane.manhattan_router import bundle as bd
from bundle_checks import bundle_report, shape_problems
from bundle_scenes import E, N, args, corner, straight, uturn, with_block, with_field

DELTA, SPACING = 5.0, 3.0


def scene_id(kind, n, uneven, extra=""):
    return f"{kind}-{n}-{'uneven' if uneven else 'even'}{extra}"


def build(kind, n, uneven, extra):
    scene = {"straight": straight, "corner": corner, "uturn": uturn}[kind](n, uneven=uneven)
    if extra == "+block":
        scene = with_block(scene)
    elif extra == "+field":
        scene = with_field(scene, 45)
    return scene


# (kind, lanes, uneven, extra, routing order, inflate_delta): bundles the
# greedy rail-bridge strategy routes clean.  U-turns go inner lane first.
# Round obstacles a lane's arcs keep their clearance too, so the wide bundles
# there need an order in which the lanes routed first leave the later ones room.
RAIL = ([("straight", n, u, "", "center-out", True) for n in (2, 5, 12) for u in (False, True)]
        + [("corner", n, u, "", "center-out", True) for n in (2, 5, 16) for u in (False, True)]
        + [("uturn", n, u, "", "reverse", True) for n in (2, 5, 12) for u in (False, True)]
        + [("straight", 16, False, "+block", "reverse", True), ("straight", 5, True, "+block", "center-out", True),
           ("straight", 16, False, "+field", "reverse", False), ("straight", 16, True, "+field", "given", True)])


@pytest.mark.parametrize("kind, n, uneven, extra, order, inflate", RAIL,
                         ids=[scene_id(k, n, u, x) for k, n, u, x, _, _ in RAIL])
def test_rail_bridge_lanes_are_clean(kind, n, uneven, extra, order, inflate):
    scene = build(kind, n, uneven, extra)
    lanes, info = bd.bundle_rail_bridge_v2(*args(scene), DELTA, scene["obstacles"], route_spacing=SPACING,
                                           routing_order=order, inflate_delta=inflate)
    report = bundle_report(lanes, scene["starts"], scene["ends"], SPACING, scene["obstacles"])
    assert report == dict(shape=0, crossings=0, overlaps=0, spacing=0, obstacles=0)
    assert all(i["clean"] and i["violations"] == [] for i in info["infos"])


BACKBONE = [(k, n, u, "") for k in ("straight", "corner", "uturn") for n in (2, 5, 16) for u in (False, True)] + \
           [("straight", n, u, x) for n in (5, 16) for u in (False, True) for x in ("+block", "+field")]


@pytest.mark.parametrize("kind, n, uneven, extra", BACKBONE, ids=[scene_id(*c) for c in BACKBONE])
def test_backbone_lanes_run_from_port_to_port(kind, n, uneven, extra):
    scene = build(kind, n, uneven, extra)
    lanes, info = bd.bundle_backbone_v2(*args(scene), DELTA, scene["obstacles"], route_spacing=SPACING)
    problems = [shape_problems(lane, s, e) for lane, s, e in zip(lanes, scene["starts"], scene["ends"])]
    assert problems == [[]] * n
    report = bundle_report(lanes, scene["starts"], scene["ends"], SPACING)
    if not (kind == "straight" and uneven):
        # Lanes only fan in from an uneven port pitch on a bent backbone can
        # the short-segment polish slide one onto its neighbour.
        assert report == dict(shape=0, crossings=0, overlaps=0, spacing=0, obstacles=0)


def test_straight_backbone_at_uneven_pitch_jogs_every_lane():
    starts, ends = [(0, 0), (0, 7), (0, 20), (0, 34)], [(300, 0), (300, 10), (300, 20), (300, 30)]
    lanes, info = bd.bundle_backbone_v2(starts, ends, [E] * 4, [E] * 4, DELTA, [], route_spacing=SPACING)
    assert info["backbone"].tolist() == [[0, 20], [300, 20]]
    assert [lane.tolist() for lane in lanes] == [
        [[0, 0], [300, 0]],
        [[0, 7], [153, 7], [153, 10], [300, 10]],      # moves left: jogs one connect pitch early
        [[0, 20], [300, 20]],
        [[0, 34], [153, 34], [153, 30], [300, 30]],    # moves right: one pitch late
    ]


def test_l_backbone_with_differing_offsets_turns_at_one_corner():
    starts, ends = [(0, 0), (0, 10), (0, 25)], [(300, 300), (290, 300), (280, 300)]
    lanes, info = bd.bundle_backbone_v2(starts, ends, [E] * 3, [N] * 3, DELTA, [], route_spacing=SPACING)
    assert info["backbone"].tolist() == [[0, 10], [290, 10], [290, 300]]
    assert info["offsets"][2] == (pytest.approx(15.0), 10.0)
    assert [lane.tolist() for lane in lanes] == [[[0, 0], [300, 0], [300, 300]],
                                                 [[0, 10], [290, 10], [290, 300]],
                                                 [[0, 25], [280, 25], [280, 300]]]
