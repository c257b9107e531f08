import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from kelvane.manhattan_router import graph

extend = graph._extend_short_segments


def as_list(arr):
    return [tuple(map(float, p)) for p in arr]


@pytest.mark.parametrize(
    "name, points, delta, expected",
    [
        ("Z short first run: jog slides forward",
         [(0, 0), (0.5, 0), (0.5, 5), (10, 5)], 1.0, [(0, 0), (1, 0), (1, 5), (10, 5)]),
        ("Z short last run: jog slides backward",
         [(0, 0), (9.5, 0), (9.5, 5), (10, 5)], 1.0, [(0, 0), (9, 0), (9, 5), (10, 5)]),
        ("Z short middle jog: both ends fixed, unchanged",
         [(0, 0), (5, 0), (5, 1), (10, 1)], 1.0, [(0, 0), (5, 0), (5, 1), (10, 1)]),
        ("hairpin short port run",
         [(0, 0), (0.5, 0), (0.5, 10), (0, 10)], 1.0, [(0, 0), (1, 0), (1, 10), (0, 10)]),
        ("hairpin both port runs short",
         [(0, 0), (0.5, 0), (0.5, 10), (0.25, 10)], 1.0, [(0, 0), (1.25, 0), (1.25, 10), (0.25, 10)]),
        ("W/S directions",
         [(0, 0), (0, -0.5), (-7, -0.5), (-7, -10)], 1.0, [(0, 0), (0, -1), (-7, -1), (-7, -10)]),
        ("inner jog gets room for two bends",
         [(0, 0), (5, 0), (5, 1), (10, 1), (10, 10)], 1.0, [(0, 0), (5, 0), (5, 2), (10, 2), (10, 10)]),
        ("refused: last run would drop below delta",
         [(0, 0), (5, 0), (5, 1), (10, 1), (10, 2.5)], 1.0, [(0, 0), (5, 0), (5, 1), (10, 1), (10, 2.5)]),
        ("forward refused by a neighbour, backward taken",
         [(0, 0), (0, 4), (5, 4), (5, 5), (10, 5), (10, 6.5)], 1.0,
         [(0, 0), (0, 3), (5, 3), (5, 5), (10, 5), (10, 6.5)]),
        ("a later fix makes room for an earlier one",
         [(0, 0), (5, 0), (5, 1), (10, 1), (10, 3), (15, 3), (15, 2), (20, 2)], 1.0,
         [(0, 0), (5, 0), (5, 2), (10, 2), (10, 4), (15, 4), (15, 2), (20, 2)]),
        ("L never changes", [(0, 0), (0.2, 0), (0.2, 0.3)], 1.0, [(0, 0), (0.2, 0), (0.2, 0.3)]),
        ("single segment never changes", [(0, 0), (0.1, 0)], 5.0, [(0, 0), (0.1, 0)]),
        ("reversal kept, nothing movable",
         [(0, 0), (5, 0), (3, 0), (3, 4)], 1.5, [(0, 0), (5, 0), (3, 0), (3, 4)]),
        ("delta 0 only simplifies",
         [(0, 0), (0, 0), (0.1, 0), (0.1, 2), (0.1, 5), (10, 5)], 0.0, [(0, 0), (0.1, 0), (0.1, 5), (10, 5)]),
        ("collinear and repeated points dropped before the fix",
         [(0, 0), (0.25, 0), (0.5, 0), (0.5, 5), (0.5, 5), (0.5, 10), (0, 10)], 1.0,
         [(0, 0), (1, 0), (1, 10), (0, 10)]),
    ],
)
def test_scenes_without_obstacles(name, points, delta, expected):
    out = extend(points, delta, None)
    assert isinstance(out, np.ndarray) and out.dtype == np.float64 and out.shape == (len(expected), 2)
    assert as_list(out) == [tuple(map(float, p)) for p in expected]


STEP = [(0, 0), (0, 4), (5, 4), (5, 5), (10, 5), (10, 10)]  # inner jog (5,4)-(5,5) of length 1
HAIRPIN = [(0, 0), (0.5, 0), (0.5, 10), (0, 10)]


@pytest.mark.parametrize(
    "points, boxes, expected",
    [
        # No obstacle: the segment after the jog slides up.
        (STEP, [], [(0, 0), (0, 4), (5, 4), (5, 6), (10, 6), (10, 10)]),
        # That position runs through a box: the segment before slides down instead.
        (STEP, [(6, 5.5, 8, 7)], [(0, 0), (0, 3), (5, 3), (5, 5), (10, 5), (10, 10)]),
        # Both positions blocked: unchanged.
        (STEP, [(6, 5.5, 8, 7), (1, 2, 3, 3.5)], STEP),
        # The slid run at x = 1 would cross the box.
        (HAIRPIN, [(0.7, 2, 3, 4)], HAIRPIN),
        # The lengthened port run itself would cross the box.
        (HAIRPIN, [(0.7, -1, 0.9, 1)], HAIRPIN),
        # Running along a box side is refused too; a box just clear of it is not.
        (HAIRPIN, [(1, 2, 3, 4)], HAIRPIN),
        (HAIRPIN, [(1.01, 2, 3, 4)], [(0, 0), (1, 0), (1, 10), (0, 10)]),
    ],
)
def test_obstacle_index_refuses_moves_into_boxes(points, boxes, expected):
    idx = graph._ObstacleIndex([graph.Obstacle(*b) for b in boxes], None)
    assert as_list(extend(points, 1.0, idx)) == [tuple(map(float, p)) for p in expected]


class Recorder:
    def __init__(self, answer=False):
        self.calls = []
        self.answer = answer

    def blocked(self, x1, y1, x2, y2):
        self.calls.append((x1, y1, x2, y2))
        return self.answer(x1, y1, x2, y2) if callable(self.answer) else self.answer


def test_duck_typed_index_is_asked_about_each_changed_segment():
    rec = Recorder(False)
    out = extend(HAIRPIN, 1.0, rec)
    assert as_list(out) == [(0, 0), (1, 0), (1, 10), (0, 10)]
    assert rec.calls == [(0.0, 0.0, 1.0, 0.0), (1.0, 0.0, 1.0, 10.0), (1.0, 10.0, 0.0, 10.0)]
    assert all(type(v) is float for c in rec.calls for v in c)


@pytest.mark.parametrize("answer", [True, 1, np.True_, "yes"])
def test_duck_typed_truthy_answer_blocks(answer):
    rec = Recorder(answer)
    assert as_list(extend(HAIRPIN, 1.0, rec)) == as_list(HAIRPIN)
    # Two attempts (forward for the first run, backward for the last, which
    # is short too), each ended by its first refusal; both test the same run.
    assert rec.calls == [(0.0, 0.0, 1.0, 0.0), (0.0, 0.0, 1.0, 0.0)]


def test_duck_typed_index_blocking_only_the_slid_segment():
    # Forward slide of the step's segment 3 blocked at y = 6; the backward one is free.
    rec = Recorder(lambda x1, y1, x2, y2: y1 == y2 == 6.0)
    out = extend(STEP, 1.0, rec)
    assert as_list(out) == [(0, 0), (0, 3), (5, 3), (5, 5), (10, 5), (10, 10)]
    assert len(rec.calls) == 2 + 3  # forward refused at its second test, backward tests all three


def test_duck_typed_index_not_called_when_nothing_is_short():
    rec = Recorder(True)
    pts = [(0, 0), (5, 0), (5, 5), (10, 5)]
    assert as_list(extend(pts, 1.0, rec)) == as_list(pts)
    assert rec.calls == []


def test_errors_of_the_index_propagate_unchanged():
    class Boom:
        def blocked(self, *a):
            raise RuntimeError("boom")

    class BadTruth:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    class ReturnsBadTruth:
        def blocked(self, *a):
            return BadTruth()

    with pytest.raises(RuntimeError, match="boom"):
        extend(HAIRPIN, 1.0, Boom())
    with pytest.raises(ZeroDivisionError, match="no truth"):
        extend(HAIRPIN, 1.0, ReturnsBadTruth())


@pytest.mark.parametrize(
    "points, delta, index, exc, match",
    [
        ([(0, 0), (1,)], 1.0, None, ValueError, r"points\[1\]"),
        ([(0, 0), (1, 2, 3)], 1.0, None, ValueError, r"points\[1\]"),
        ([(0, 0), (1, float("nan"))], 1.0, None, ValueError, r"points\[1\]\[1\]"),
        ([(0, 0), (float("inf"), 1)], 1.0, None, ValueError, r"points\[1\]\[0\]"),
        ([(0, 0), ("a", 1)], 1.0, None, TypeError, r"points\[1\]\[0\]"),
        ([(0, 0), 5], 1.0, None, TypeError, r"points\[1\]"),
        (5, 1.0, None, TypeError, "points"),
        (None, 1.0, None, TypeError, "points"),
        (np.zeros((3, 3)), 1.0, None, ValueError, r"points\[0\]"),
        (HAIRPIN, -1.0, None, ValueError, "delta"),
        (HAIRPIN, float("nan"), None, ValueError, "delta"),
        (HAIRPIN, float("inf"), None, ValueError, "delta"),
        (HAIRPIN, [1.0], None, TypeError, "delta"),
        (HAIRPIN, None, None, TypeError, "delta"),
        (HAIRPIN, 1.0, object(), TypeError, "index"),
        (HAIRPIN, 1.0, type("NotCallable", (), {"blocked": 3})(), TypeError, "index"),
        ([(0, 0)], 1.0, [(0, 0, 1, 1)], TypeError, "index"),  # checked even for short input
    ],
)
def test_bad_input(points, delta, index, exc, match):
    with pytest.raises(exc, match=match):
        extend(points, delta, index)


@pytest.mark.parametrize("points", [[], [(1, 2)], np.empty((0, 2)), np.array([[3.5, -1.0]])])
def test_fewer_than_two_points_come_back_as_they_are(points):
    out = extend(points, 1.0, None)
    assert out.shape == (len(points), 2) and out.dtype == np.float64
    assert out.tolist() == [list(map(float, p)) for p in points]


def test_inputs_are_not_modified_and_arrays_accepted():
    arr = np.array(HAIRPIN, dtype=float)
    lst = [list(p) for p in HAIRPIN]
    out_arr = extend(arr, 1, None)
    out_lst = extend(lst, np.float32(1.0), None)
    assert arr.tolist() == [list(map(float, p)) for p in HAIRPIN]
    assert lst == [list(p) for p in HAIRPIN]
    assert out_arr.tolist() == out_lst.tolist() == [[0, 0], [1, 0], [1, 10], [0, 10]]
    assert out_arr is not arr
    ints = extend(np.array([(0, 0), (2, 0), (2, 9), (0, 9)]), 3, None)
    assert ints.tolist() == [[0, 0], [3, 0], [3, 9], [0, 9]]


# --- invariants on random Manhattan routes and boxes --------------------------------


def heading(a, b):
    dx, dy = b[0] - a[0], b[1] - a[1]
    assert (dx == 0) != (dy == 0), f"segment {a}->{b} is not axis-parallel or has zero length"
    return (np.sign(dx), np.sign(dy))


def min_len(k, n, delta):
    return delta if k in (0, n - 1) else 2 * delta


def short_count(pts, delta):
    n = len(pts) - 1
    if n < 2:
        return 0
    return sum(
        abs(pts[k + 1][0] - pts[k][0]) + abs(pts[k + 1][1] - pts[k][1]) < min_len(k, n, delta) - 1e-9
        for k in range(n)
    )


@st.composite
def manhattan_route(draw):
    n = draw(st.integers(1, 7))
    pts = [(0.0, 0.0)]
    horizontal = draw(st.booleans())
    for _ in range(n):
        step = draw(st.sampled_from([-6, -3, -2, -1, -0.5, 0.5, 1, 2, 3, 6]))
        x, y = pts[-1]
        pts.append((x + step, y) if horizontal else (x, y + step))
        horizontal = not horizontal
    return pts


boxes_st = st.lists(
    st.tuples(st.integers(-12, 12), st.integers(-12, 12), st.integers(1, 4), st.integers(1, 4)).map(
        lambda t: (t[0] / 2, t[1] / 2, t[0] / 2 + t[2], t[1] / 2 + t[3])
    ),
    max_size=5,
)


@settings(max_examples=300, deadline=None)
@given(manhattan_route(), boxes_st, st.sampled_from([0.5, 1.0, 2.0]))
def test_invariants_on_random_routes(pts, boxes, delta):
    idx = graph._ObstacleIndex(boxes, None)
    out = as_list(extend(pts, delta, idx))
    assert out[0] == pts[0] and out[-1] == pts[-1]
    for a, b in zip(out, out[1:]):
        heading(a, b)
    for i in range(1, len(out) - 1):  # no collinear interior points
        assert heading(out[i - 1], out[i]) != heading(out[i], out[i + 1])
    was_clear = not any(idx.blocked(*a, *b) for a, b in zip(pts, pts[1:]))
    if was_clear:
        assert not any(idx.blocked(*a, *b) for a, b in zip(out, out[1:]))
    simplified = as_list(extend(pts, 0.0, None))
    assert short_count(out, delta) <= short_count(simplified, delta)
    assert as_list(extend(out, delta, idx)) == out  # nothing left to do
    assert as_list(extend(pts, delta, idx)) == out  # deterministic
