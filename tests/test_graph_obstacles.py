import copy
import math
import pickle

import pytest

from kelvane.manhattan_router import graph


def test_obstacle_record():
    o = graph.Obstacle(0, 1, 10, 5)
    assert (o.x_min, o.y_min, o.x_max, o.y_max) == (0.0, 1.0, 10.0, 5.0)
    assert isinstance(o.x_min, float)
    assert o == graph.Obstacle(0.0, 1.0, 10.0, 5.0) and o != graph.Obstacle(0, 1, 10, 6)
    assert o != (0, 1, 10, 5)  # a record is not a tuple
    assert repr(o) == "Obstacle(x_min=0.0, y_min=1.0, x_max=10.0, y_max=5.0)"
    assert tuple(o) == (0.0, 1.0, 10.0, 5.0) and o[-1] == 5.0
    assert hash(o) == hash(graph.Obstacle(0, 1, 10, 5))
    for twin in (pickle.loads(pickle.dumps(o)), copy.deepcopy(o)):
        assert type(twin) is graph.Obstacle and twin == o and twin is not o


@pytest.mark.parametrize(
    "args, error, text",
    [
        ((1, 0, 0, 1), ValueError, "x_min > x_max"),
        ((0, 2, 1, 1), ValueError, "y_min > y_max"),
        ((math.nan, 0, 1, 1), ValueError, "x_min"),
        (("a", 0, 1, 1), TypeError, "x_min"),
        ((0, None, 1, 1), TypeError, "y_min must be a number"),
    ],
)
def test_obstacle_rejects_bad_boxes(args, error, text):
    with pytest.raises(error, match=text):
        graph.Obstacle(*args)


@pytest.mark.parametrize(
    "seg, blocked",
    [
        ((-5, 5, 5, 5), True),      # into the interior
        ((-5, 10, 15, 10), True),   # along the top side
        ((10, 10, 10, 20), False),  # leaves the corner upwards: one point of contact
        ((-5, 5, 0, 5), False),     # ends on the left side
        ((2, 2, 3, 2), True),       # wholly inside
        ((5, -3, 5, 13), True),     # straight through
        ((10, -3, 10, 13), True),   # along the right side
        ((10.5, -3, 10.5, 13), False),
        ((25, 5, 35, 5), True),     # the second box (a plain tuple)
        ((12, 5, 18, 5), False),    # between the two
    ],
)
def test_index_blocks_interiors_and_sides(seg, blocked):
    idx = graph._ObstacleIndex([graph.Obstacle(0, 0, 10, 10), (20, 0, 30, 10)], None)
    assert idx.blocked(*seg) is blocked
    assert len(idx) == 2


def test_index_over_many_boxes_matches_a_scan():
    boxes = [(x, y, x + 3, y + 2) for x in range(0, 200, 7) for y in range(0, 200, 5)]
    idx = graph._ObstacleIndex(boxes, 0.001)
    for y in (0.5, 1.0, 2.0, 3.5, 97.25):
        for x0, x1 in ((0, 200), (6.5, 7.2), (3, 7), (150, 151)):
            scan = any(y0 <= y <= y1 and min(x1, bx1) - max(x0, bx0) > 1e-6 for bx0, y0, bx1, y1 in boxes)
            assert idx.blocked(x0, y, x1, y) == scan, (x0, x1, y)


def test_index_bad_input_names_the_box():
    with pytest.raises(ValueError, match=r"obstacles\[1\]"):
        graph._ObstacleIndex([(0, 0, 1, 1), (0, 0, 1)], None)
    with pytest.raises(TypeError, match="obstacles"):
        graph._ObstacleIndex(3, None)
    with pytest.raises(ValueError, match="x1"):
        graph._ObstacleIndex([], None).blocked(math.inf, 0, 1, 0)


@pytest.mark.parametrize(
    "seg, touches",
    [
        ((-1, 2, 0, 2), True),    # ends on the left side
        ((2, 2, 2, 5), True),     # starts at the corner
        ((-1, 3, 5, 3), False),   # passes above
        ((2.1, 0, 2.1, 5), False),
        ((1, 1, 1, 1.5), True),   # inside
    ],
)
def test_segment_blocked_counts_touching(seg, touches):
    assert bool(graph._segment_blocked(*seg, [graph.Obstacle(0, 0, 2, 2)], None)) is touches


@pytest.mark.parametrize(
    "seg, blocked",
    [
        ((-5, 0, 15, 0), True),    # along the seam of two abutting boxes
        ((-5, 0, 3, 0), True),     # partly along it
        ((-5, 0, 0, 0), False),    # ends where the seam starts
        ((20, 10, 30, 10), False),  # clear of both
        ((10, -3, 10, 3), True),   # along the right sides of both
        ((10, 0, 14, 0), False),   # leaves the seam's end: one point of contact
    ],
)
def test_index_blocks_seams_between_abutting_boxes(seg, blocked):
    idx = graph._ObstacleIndex([(0, 0, 10, 10), (0, -10, 10, 0)], None)
    assert idx.blocked(*seg) is blocked


def test_router_does_not_slip_between_abutting_boxes():
    wall = [(2, 0, 3, 6), (2, -7, 3, 0)]  # one wall made of two abutting cells
    skel, info = graph.rail_bridge_v2((0, 3), (12, 0), (0, -1), (1, 0), 1.0, wall, route_spacing=0.0)
    assert info["clean"]
    for (x1, y1), (x2, y2) in zip(skel[:-1], skel[1:]):
        assert not (y1 == y2 == 0 and min(x1, x2) < 3 and max(x1, x2) > 2), skel
