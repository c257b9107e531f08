"""kelvane.yokeset: port ranking (yokeset) and port-object sorting."""

import inspect
import math
import re
import traceback
import typing

import jax
import jax.numpy as jnp
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kelvane import yokeset as yk


def _min_empty_message():
    try:
        min([])
    except ValueError as e:
        return str(e)


MIN_EMPTY = _min_empty_message()  # the host's own wording differs between Python versions


class Port:
    def __init__(self, center, orientation=0.0, name=""):
        self.center = center
        self.orientation = orientation
        self.name = name

    def __repr__(self):
        return f"Port({self.name or self.center}, {self.orientation})"


def port(x, y, orientation=0.0, name=""):
    return Port((x, y), orientation, name)


class Exploding:
    """A port that must never be read."""

    def __getattribute__(self, name):
        raise AssertionError(f"port attribute {name!r} was read")


class _LoggedCentre:
    def __init__(self, log, name, xy):
        self._log, self._name, self._xy = log, name, xy

    def __getitem__(self, i):
        self._log.append(f"{self._name}.{'xy'[i]}")
        return self._xy[i]


class Logged:
    """A port that logs every attribute read and every centre element read."""

    def __init__(self, log, name, x, y, orientation):
        object.__setattr__(self, "_data", (log, name, (x, y), orientation))

    def __getattribute__(self, attr):
        log, name, xy, orientation = object.__getattribute__(self, "_data")
        if attr == "center":
            return _LoggedCentre(log, name, xy)
        if attr == "orientation":
            log.append(f"{name}.o")
            return orientation
        log.append(f"{name}.{attr}?")
        raise AttributeError(attr)


# ---- module frame ---------------------------------------------------------

SIGNATURES = {
    "yokeset": "(port_centers: 'Array', port_tangents: 'Array') -> 'tuple[np.ndarray, np.ndarray]'",
    "sort_ports_gdsfactory": "(start_ports: 'list[Any]', end_ports: 'list[Any]') -> 'tuple[list[Any], list[Any]]'",
    "_port_bbox": "(ports: 'list[Any]') -> 'tuple[float, float]'",
    "_port_angle": "(port: 'Any') -> 'int'",
    "_sort_ports_like_kfactory": "(ports: 'list[Any]', target_side: 'int', *, clockwise: 'bool') -> 'list[Any]'",
    "_sort_port_bank": "(ports: 'list[Any]') -> 'list[Any]'",
}

ANNOTATIONS = {
    "yokeset": {"port_centers": "Array", "port_tangents": "Array", "return": "tuple[np.ndarray, np.ndarray]"},
    "sort_ports_gdsfactory": {"start_ports": "list[Any]", "end_ports": "list[Any]",
                              "return": "tuple[list[Any], list[Any]]"},
    "_port_bbox": {"ports": "list[Any]", "return": "tuple[float, float]"},
    "_port_angle": {"port": "Any", "return": "int"},
    "_sort_ports_like_kfactory": {"ports": "list[Any]", "target_side": "int", "clockwise": "bool",
                                  "return": "list[Any]"},
    "_sort_port_bank": {"ports": "list[Any]", "return": "list[Any]"},
}


def test_module_binds_imports_then_functions_in_order():
    names = [k for k in vars(yk) if not k.startswith("__")]
    assert names == ["Any", "np", "Array", *SIGNATURES]
    assert yk.Any is typing.Any and yk.np is np and yk.Array is jax.Array


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_signature_and_annotations(name):
    f = getattr(yk, name)
    sig = inspect.signature(f)
    assert str(sig) == SIGNATURES[name]
    assert all(p.default is inspect.Parameter.empty for p in sig.parameters.values())
    assert f.__annotations__ == ANNOTATIONS[name]
    assert list(f.__annotations__) == list(ANNOTATIONS[name])
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "kelvane.yokeset")
    assert f.__doc__ and inspect.isroutine(f)


def test_clockwise_is_keyword_only():
    kinds = {n: p.kind for n, p in inspect.signature(yk._sort_ports_like_kfactory).parameters.items()}
    assert kinds == {"ports": inspect.Parameter.POSITIONAL_OR_KEYWORD,
                     "target_side": inspect.Parameter.POSITIONAL_OR_KEYWORD,
                     "clockwise": inspect.Parameter.KEYWORD_ONLY}


@pytest.mark.parametrize("call, message", [
    (lambda: yk._port_angle(), "_port_angle() missing 1 required positional argument: 'port'"),
    (lambda: yk._port_angle(port(0, 0), port(0, 0)), "_port_angle() takes 1 positional argument but 2 were given"),
    (lambda: yk._port_bbox(ports=[], extra=1), "_port_bbox() got an unexpected keyword argument 'extra'"),
    (lambda: yk._sort_ports_like_kfactory([], 0),
     "_sort_ports_like_kfactory() missing 1 required keyword-only argument: 'clockwise'"),
    (lambda: yk._sort_ports_like_kfactory([], 0, True),
     "_sort_ports_like_kfactory() takes 2 positional arguments but 3 were given"),
    (lambda: yk.yokeset([], port_centers=[]), "yokeset() got multiple values for argument 'port_centers'"),
    (lambda: yk.sort_ports_gdsfactory([]), "sort_ports_gdsfactory() missing 1 required positional argument: 'end_ports'"),
])
def test_bad_arguments_raise_host_type_errors(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message


def test_keyword_forms_bind_like_python_functions():
    a, b = port(0, 2, 0), port(0, 1, 0)
    assert yk._sort_ports_like_kfactory(clockwise=True, target_side=0, ports=[a, b]) == [b, a]
    assert yk._sort_ports_like_kfactory([a, b], target_side=0, clockwise=0) == [a, b]
    assert yk._port_angle(port=port(0, 0, 90)) == 1
    pc = [[[0, 0], [5, 1]], [[0, 1], [5, 0]]]
    pt = [[[1, 0], [-1, 0]]] * 2
    s, e = yk.yokeset(port_tangents=pt, port_centers=pc)
    assert s.tolist() == [0, 1] and e.tolist() == [1, 0]


# ---- _port_angle ----------------------------------------------------------

@pytest.mark.parametrize("orientation, side", [
    (0, 0), (90, 1), (180, 2), (270, 3), (360, 0), (-360, 0), (-90, 3), (-270, 1),
    (44.9, 0), (45.1, 1),
    (45, 0), (135, 2), (225, 2), (315, 0), (-45, 0), (-135, 2), (405, 0), (495, 2),  # ties to even
    ("90", 1), (" 180.0 ", 2), (np.float32(180), 2), (np.int64(-90), 3), (True, 0), (1e300, 0),
])
def test_port_angle(orientation, side):
    got = yk._port_angle(port(0, 0, orientation))
    assert got == side and type(got) is int


@pytest.mark.parametrize("orientation, exc, message", [
    (None, TypeError, "float() argument must be a string or a real number, not 'NoneType'"),
    ("east", ValueError, "could not convert string to float: 'east'"),
    (float("inf"), OverflowError, "cannot convert float infinity to integer"),
    (float("-inf"), OverflowError, "cannot convert float infinity to integer"),
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
    (10 ** 400, OverflowError, "int too large to convert to float"),
])
def test_port_angle_bad_orientation_raises_host_error(orientation, exc, message):
    with pytest.raises(exc, match=re.escape(message)):
        yk._port_angle(port(0, 0, orientation))


def test_port_angle_without_orientation_raises_attribute_error():
    with pytest.raises(AttributeError, match="orientation"):
        yk._port_angle(object())


# ---- _port_bbox -----------------------------------------------------------

@pytest.mark.parametrize("centres, expected", [
    ([(3, -2)], (3.0, -2.0)),
    ([(0, 0), (1, 0), (10, 0)], (5.0, 0.0)),  # box centre; the mean would be 3.67
    ([(0, 0), (2, 4)], (1.0, 2.0)),
    ([(np.float64(1.5), np.int32(-1)), (np.float32(0.5), 3)], (1.0, 1.0)),
    ([("1.5", "2"), ("-0.5", "4")], (0.5, 3.0)),
    ([np.array([4.0, 1.0]), np.array([0.0, 3.0])], (2.0, 2.0)),
    ([[1, 7], [5, 3], [3, 5]], (3.0, 5.0)),
])
def test_port_bbox(centres, expected):
    got = yk._port_bbox([Port(c) for c in centres])
    assert got == expected
    assert type(got) is tuple and all(type(v) is float for v in got)


def test_port_bbox_reads_every_x_then_every_y():
    log = []
    ports = [Logged(log, n, x, 0, 0) for n, x in zip("abc", (1, 2, 3))]
    yk._port_bbox(tuple(ports))
    assert log == ["a.x", "b.x", "c.x", "a.y", "b.y", "c.y"]


@pytest.mark.parametrize("ports", [[], (p for p in [port(1, 2)])])  # a generator is empty on the second pass
def test_port_bbox_of_nothing_raises_min_error(ports):
    with pytest.raises(ValueError, match=re.escape(MIN_EMPTY)):
        yk._port_bbox(ports)


@pytest.mark.parametrize("bad, exc", [(Port(None), TypeError), (Port((1,)), IndexError),
                                      (Port(("x", 1)), ValueError), (object(), AttributeError)])
def test_port_bbox_bad_port_raises_host_error(bad, exc):
    with pytest.raises(exc):
        yk._port_bbox([port(0, 0), bad])


# ---- _sort_port_bank ------------------------------------------------------

@pytest.mark.parametrize("orientation, coords, expected", [
    (0, [3, 1, 2], [1, 2, 3]),    # +x side: ascending y
    (90, [1, 3, 2], [3, 2, 1]),   # +y side: descending x
    (180, [1, 3, 2], [3, 2, 1]),  # -x side: descending y
    (270, [3, 1, 2], [1, 2, 3]),  # -y side: ascending x
])
def test_sort_port_bank_rows(orientation, coords, expected):
    axis = 1 if orientation in (0, 180) else 0
    ports = [Port((c, 0) if axis == 0 else (0, c), orientation) for c in coords]
    got = yk._sort_port_bank(ports)
    assert [p.center[axis] for p in got] == expected


@pytest.mark.parametrize("orientation", [0, 90, 180, 270])
def test_sort_port_bank_equal_keys_keep_input_order(orientation):
    axis = 1 if orientation in (0, 180) else 0
    def at(c, name):
        return Port((c, 0) if axis == 0 else (0, c), orientation, name)
    a, b, c = at(5, "a"), at(5, "b"), at(7, "c")
    got = [p.name for p in yk._sort_port_bank([a, b, c])]
    assert got == (["a", "b", "c"] if orientation in (0, 270) else ["c", "a", "b"])


def test_sort_port_bank_first_port_decides_the_row():
    first = port(3, 0, 270)
    ports = [first, port(1, 9, 0), port(2, -9, 0)]
    assert yk._sort_port_bank(ports) == [ports[1], ports[2], first]


def test_sort_port_bank_returns_new_lists_and_leaves_input_alone():
    ports = (port(0, 2), port(0, 1))
    got = yk._sort_port_bank(ports)
    assert type(got) is list and got == [ports[1], ports[0]] and got[0] is ports[1]
    assert ports[0].center == (0, 2)
    empty = []
    assert yk._sort_port_bank(empty) == [] and yk._sort_port_bank(empty) is not empty


@pytest.mark.parametrize("orientation", [0, 90, 180, 270])
def test_sort_port_bank_matches_python_sorted(orientation):
    # a large bank with many equal keys and signed zeros, and a bank with NaNs:
    # the order is defined by sorted() with the row's key
    rng = np.random.default_rng(orientation)
    axis, sign = {0: (1, 1), 90: (0, -1), 180: (1, -1), 270: (0, 1)}[orientation]
    values = [float(v) for v in rng.integers(-20, 20, 3000)] + [0.0, -0.0] * 50
    big = [Port((v, -v), orientation, str(i)) for i, v in enumerate(values)]
    nan = [Port((v, v), orientation, str(i)) for i, v in enumerate([2.0, math.nan, 1.0, math.nan, 0.0, 3.0])]
    for ports in (big, nan):
        want = sorted(ports, key=lambda p: sign * float(p.center[axis]))
        assert yk._sort_port_bank(ports) == want


# ---- _sort_ports_like_kfactory -------------------------------------------

E, N, W, S = (port(1, 0, 0, "E"), port(0, 1, 90, "N"), port(-1, 0, 180, "W"), port(0, -1, 270, "S"))


@pytest.mark.parametrize("target_side, order", [
    (0, "SENW"), (1, "ENWS"), (2, "NWSE"), (3, "WSEN"),
    (1.0, "ENWS"), (5, "ENWS"), (-3, "ENWS"), (True, "ENWS"),
])
@pytest.mark.parametrize("clockwise", [True, False])
def test_sort_ports_like_kfactory_side_order(target_side, order, clockwise):
    got = "".join(p.name for p in yk._sort_ports_like_kfactory([W, S, E, N], target_side, clockwise=clockwise))
    assert got == (order if clockwise else order[::-1])


@pytest.mark.parametrize("clockwise, reversed_", [(0, True), ([], True), ("", True), ("no", False), (1, False)])
def test_sort_ports_like_kfactory_clockwise_is_a_truth_test(clockwise, reversed_):
    a, b, n = port(5, 1, 0, "a"), port(5, 2, 0, "b"), port(0, 9, 90, "n")
    ports = [n, b, a]
    got = "".join(p.name for p in yk._sort_ports_like_kfactory(ports, 1, clockwise=clockwise))
    assert got == ("nba" if reversed_ else "abn")  # banks and ports within banks reversed
    assert ports == [n, b, a]


@pytest.mark.parametrize("target_side, exc", [(1.5, KeyError), ("1", TypeError), (None, TypeError)])
def test_sort_ports_like_kfactory_bad_target_side(target_side, exc):
    with pytest.raises(exc):
        yk._sort_ports_like_kfactory([E, N], target_side, clockwise=True)


# ---- sort_ports_gdsfactory -----------------------------------------------

@pytest.mark.parametrize("n_start, n_end", [(0, 1), (1, 0), (2, 3), (3, 2)])
def test_sort_ports_gdsfactory_unequal_lengths(n_start, n_end):
    with pytest.raises(ValueError) as err:
        yk.sort_ports_gdsfactory([Exploding()] * n_start, [Exploding()] * n_end)
    assert str(err.value) == "start_ports and end_ports must have equal length"


@pytest.mark.parametrize("n", [0, 1])
def test_sort_ports_gdsfactory_short_lists_are_copied_unread(n):
    start, end = tuple(Exploding() for _ in range(n)), [Exploding() for _ in range(n)]
    s, e = yk.sort_ports_gdsfactory(start, end)
    assert type(s) is list and type(e) is list and e is not end
    assert all(x is y for x, y in zip(s + e, [*start, *end]))


def test_sort_ports_gdsfactory_facing_groups():
    start = [port(0, 2, 0, "s2"), port(0, 0, 0, "s0"), port(0, 1, 0, "s1")]
    end = [port(10, 1, 180, "e1"), port(10, 2, 180, "e2"), port(10, 0, 180, "e0")]
    before = (list(start), list(end))
    s, e = yk.sort_ports_gdsfactory(start, end)
    assert [p.name for p in s] == ["s0", "s1", "s2"] and [p.name for p in e] == ["e0", "e1", "e2"]
    assert (start, end) == before and s[0] is start[1]


@pytest.mark.parametrize("centre", [np.array, lambda xy: tuple(str(v) for v in xy), list])
def test_sort_ports_gdsfactory_any_port_like_centres(centre):
    start = [Port(centre((0, y)), "0") for y in (2, 0, 1)]
    end = [Port(centre((10, y)), 180.0) for y in (1, 2, 0)]
    s, e = yk.sort_ports_gdsfactory(start, end)
    assert [float(p.center[1]) for p in s] == [0, 1, 2] and [float(p.center[1]) for p in e] == [0, 1, 2]


def test_sort_ports_gdsfactory_reads_in_order_and_only_centre_and_orientation():
    log = []
    start = [Logged(log, "s0", 0, 0, 0), Logged(log, "s1", 0, 1, 0)]
    end = [Logged(log, "e0", 9, 0, 180), Logged(log, "e1", 9, 1, 180)]
    yk.sort_ports_gdsfactory(start, end)
    assert log == ["s0.x", "s1.x", "s0.y", "s1.y",      # start box
                   "e0.x", "e1.x", "e0.y", "e1.y",      # end box
                   "e0.o",                              # end facing
                   "s0.o", "s1.o", "s0.o", "s0.y", "s1.y",   # start group: buckets, then bank 0
                   "e0.o", "e1.o", "e0.o", "e0.y", "e1.y"]   # end group: buckets, then bank 2


def test_sort_ports_gdsfactory_first_error_is_the_first_bad_read():
    start = [port(0, 0), Port((0, "bad-y"), 0)]
    end = [Port((9, 0), "bad-o"), port(9, 1, 180)]
    with pytest.raises(ValueError, match="bad-y"):
        yk.sort_ports_gdsfactory(start, end)


def test_port_that_empties_its_list_does_not_crash():
    ports = []

    class Shrinking:
        orientation = 0

        @property
        def center(self):
            ports.clear()
            return (0, 0)

    ports.extend([Shrinking(), Shrinking()])
    with pytest.raises(ValueError, match=re.escape(MIN_EMPTY)):
        yk.sort_ports_gdsfactory(ports, [port(0, 0), port(1, 1)])


# ---- seams: helpers are looked up by name at call time --------------------

class Recorder:
    def __init__(self, result=None, fn=None):
        self.calls, self.result, self.fn = [], result, fn

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.fn(*args, **kwargs) if self.fn else self.result


@pytest.mark.parametrize("start_xy, end_xy, end_o, side", [
    ([(-10, 0), (-10, 1)], [(0, 0), (0, 1)], 0, 0),
    ([(0, 0), (0, 1)], [(0, 0), (0, 1)], 0, 2),            # level: side opposite the end facing
    ([(10, 0), (10, 1)], [(0, 0), (0, 1)], 0, 2),
    ([(4, 0), (4, 1), (4, 2)], [(0, 0), (1, 0), (10, 0)], 0, 0),  # box centre 5, not mean 3.67
    ([(0, -10), (1, -10)], [(0, 0), (1, 0)], 90, 1),
    ([(0, 0), (1, 0)], [(0, 0), (1, 0)], 90, 3),
    ([(0, 10), (1, 10)], [(0, 0), (1, 0)], 90, 3),
    ([(10, 0), (10, 1)], [(0, 0), (0, 1)], 180, 2),
    ([(0, 0), (0, 1)], [(0, 0), (0, 1)], 180, 0),
    ([(-10, 0), (-10, 1)], [(0, 0), (0, 1)], 180, 0),
    ([(0, 10), (1, 10)], [(0, 0), (1, 0)], 270, 3),
    ([(0, 0), (1, 0)], [(0, 0), (1, 0)], 270, 1),
    ([(0, -10), (1, -10)], [(0, 0), (1, 0)], 270, 1),
])
def test_target_side_table_through_replaced_group_sort(monkeypatch, start_xy, end_xy, end_o, side):
    start = [port(x, y, 0) for x, y in start_xy]
    end = [port(x, y, end_o) for x, y in end_xy]
    rec = Recorder(result="sorted")
    monkeypatch.setattr(yk, "_sort_ports_like_kfactory", rec)
    assert yk.sort_ports_gdsfactory(start, end) == ("sorted", "sorted")
    (a1, k1), (a2, k2) = rec.calls
    assert a1[0] is start and a1[1:] == (side,) and k1 == {"clockwise": True}
    assert a2[0] is end and a2[1:] == (end_o // 90,) and type(a2[1]) is int and k2 == {"clockwise": False}


def test_replaced_port_angle_is_used_everywhere(monkeypatch):
    rec = Recorder(fn=lambda p: 1)  # every port faces +y: one bank, descending x
    monkeypatch.setattr(yk, "_port_angle", rec)
    start = [port(x, 0, 0) for x in (1, 3, 2)]
    end = [port(x, 9, 0) for x in (2, 1, 3)]
    s, e = yk.sort_ports_gdsfactory(start, end)
    assert [p.center[0] for p in s] == [3, 2, 1] and [p.center[0] for p in e] == [1, 2, 3]
    assert all(len(args) == 1 and not kw for args, kw in rec.calls)
    # end[0]; start: 3 buckets + bank head; end: 3 buckets + bank head
    assert [args[0] for args, _ in rec.calls] == [end[0], *start, start[0], *end, end[0]]
    assert yk._sort_port_bank([port(1, 0, 0), port(2, 0, 0)])[0].center == (2, 0)


@pytest.mark.parametrize("value, outcome", [(1.0, "ok"), (np.int64(2), "ok"), (4, KeyError), ([1], TypeError)])
def test_replaced_port_angle_values_are_bucket_keys(monkeypatch, value, outcome):
    monkeypatch.setattr(yk, "_port_angle", lambda p: value)
    ports = [port(0, 1, 0), port(0, 2, 0)]
    if outcome == "ok":
        assert len(yk._sort_ports_like_kfactory(ports, 0, clockwise=True)) == 2
    else:
        with pytest.raises(outcome):
            yk._sort_ports_like_kfactory(ports, 0, clockwise=True)


def test_replaced_port_bbox_is_called_with_the_callers_lists(monkeypatch):
    start, end = [port(0, 0, 0), port(0, 1, 0)], [port(9, 0, 180), port(9, 1, 180)]
    rec = Recorder(fn=lambda ports: (100.0, 0.0) if ports is start else np.array([0.0, 0.0]))
    monkeypatch.setattr(yk, "_port_bbox", rec)
    kf = Recorder(result=[])
    monkeypatch.setattr(yk, "_sort_ports_like_kfactory", kf)
    yk.sort_ports_gdsfactory(start, end)
    assert [args[0] for args, _ in rec.calls] == [start, end] and rec.calls[0][0][0] is start
    assert kf.calls[0][0][1] == 2  # start "right" of end per the replacement: vx > 0, end faces -x


def test_replaced_sort_port_bank_gets_buckets_in_visit_order(monkeypatch):
    rec = Recorder(fn=lambda bank: list(reversed(bank)))
    monkeypatch.setattr(yk, "_sort_port_bank", rec)
    a, b = port(1, 0, 0, "a"), port(2, 0, 0, "b")
    got = yk._sort_ports_like_kfactory([N, a, W, b, S], 1, clockwise=True)
    # back side 3 first, then 0, 1, 2; listed 0, 1, 2, 3
    assert [[p.name for p in args[0]] for args, _ in rec.calls] == [["S"], ["a", "b"], ["N"], ["W"]]
    assert [p.name for p in got] == ["b", "a", "N", "W", "S"]
    monkeypatch.setattr(yk, "_sort_port_bank", lambda bank: tuple(bank))
    with pytest.raises(TypeError, match=re.escape('can only concatenate list (not "tuple") to list')):
        yk._sort_ports_like_kfactory([N, a], 1, clockwise=True)


def test_deleted_helper_raises_name_error(monkeypatch):
    monkeypatch.delattr(yk, "_port_angle")
    with pytest.raises(NameError, match=re.escape("name '_port_angle' is not defined")):
        yk._sort_port_bank([port(0, 0)])


def test_restored_helpers_are_native_again(monkeypatch):
    own = yk._port_angle
    monkeypatch.setattr(yk, "_port_angle", lambda p: 3)
    assert [p.name for p in yk._sort_port_bank([port(2, 0, 0, "x"), port(1, 0, 0, "y")])] == ["y", "x"]
    monkeypatch.setattr(yk, "_port_angle", own)
    assert [p.name for p in yk._sort_port_bank([port(2, 0, 0, "x"), port(1, 5, 0, "y")])] == ["x", "y"]


def test_yokeset_uses_the_modules_np(monkeypatch):
    calls = []

    class Proxy:
        def __getattr__(self, name):
            calls.append(name)
            return getattr(np, name)

    monkeypatch.setattr(yk, "np", Proxy())
    s, e = yk.yokeset([[[0, 0], [5, 0]], [[0, 1], [5, 1]]], [[[1, 0], [1, 0]]] * 2)
    assert calls.count("argsort") == 2 and calls.count("asarray") == 2
    assert (s.tolist(), e.tolist()) == ([0, 1], [1, 0])
    calls.clear()
    yk.yokeset([[[0, 0], [5, 0]], [[0, 1], [5, 1]]], [[[0.5, 0], [1, 0]]] * 2)
    assert calls.count("mean") == 2  # non-integral tangents: numpy's own mean


# ---- yokeset ---------------------------------------------------------------

def bundle(start_y, end_y, s_tan=(1, 0), e_tan=(1, 0), start_x=0.0, end_x=10.0):
    pc = [[[start_x, ys], [end_x, ye]] for ys, ye in zip(start_y, end_y)]
    pt = [[list(s_tan), list(e_tan)] for _ in start_y]
    return np.array(pc, dtype=float), np.array(pt, dtype=float)


@pytest.mark.parametrize("b", [0, 1])
def test_yokeset_trivial_bundles(b):
    pc, pt = np.zeros((b, 2, 2)), np.zeros((b, 2, 2))
    s, e = yk.yokeset(pc, pt)
    assert s.tolist() == list(range(b)) and e.tolist() == list(range(b))
    assert s.dtype == np.intp and e.dtype == np.intp and s is not e


@pytest.mark.parametrize("e_tan, end_order", [
    ((1, 0), [1, 0, 2]),                                 # same direction: descending end y
    ((-1, 0), [2, 0, 1]),                                # facing: ascending end y
    ((0.5, 0.8660254037844386), [2, 0, 1]),              # 60 degrees: not the same direction
    ((math.cos(math.radians(59)), math.sin(math.radians(59))), [1, 0, 2]),
    ((0, 3), [2, 0, 1]),
])
def test_yokeset_end_order_follows_direction(e_tan, end_order):
    pc, pt = bundle([2, 0, 1], [1, 5, -3], e_tan=e_tan)
    s, e = yk.yokeset(pc, pt)
    assert s.tolist() == [1, 2, 0] and e.tolist() == end_order


def test_yokeset_axis_comes_from_start_tangents():
    # start ports facing +y: ranked along perp = (-1, 0), i.e. descending x
    pc = np.array([[[x, 0], [x, 10]] for x in (1, 3, 2)], dtype=float)
    pt = np.array([[[0, 1], [0, 1]]] * 3, dtype=float)
    s, e = yk.yokeset(pc, pt)
    assert s.tolist() == [1, 2, 0] and e.tolist() == [0, 2, 1]


def test_yokeset_tangent_length_does_not_matter():
    pc, pt = bundle([2, 0, 1, 7], [1, 5, -3, 2], e_tan=(0.3, 0.1))
    ref = yk.yokeset(pc, pt)
    scaled = pt * np.array([7.0, 0.01])[None, :, None]
    assert all((a == b).all() for a, b in zip(ref, yk.yokeset(pc, scaled)))


@pytest.mark.parametrize("kind", ["cancelling", "equal_same", "equal_facing"])
def test_yokeset_ties_are_numpys_argsort_order(kind):
    b = 40
    ties = np.argsort(np.zeros(b))
    if kind == "cancelling":  # mean start tangent is zero: every projection is zero
        pc = np.random.default_rng(1).normal(size=(b, 2, 2))
        pt = np.array([[[1, 0], [1, 0]], [[-1, 0], [1, 0]]] * (b // 2), dtype=float)
        want = (ties, ties)
    else:
        pc, pt = bundle([3.0] * b, [-1.0] * b, e_tan=(1, 0) if kind == "equal_same" else (-1, 0))
        want = (ties, ties[::-1] if kind == "equal_same" else ties)
    s, e = yk.yokeset(pc, pt)
    assert (s == want[0]).all() and (e == want[1]).all()


def test_yokeset_accepts_numpy_jax_and_lists():
    pc, pt = bundle([2, 0, 1, 5], [1, 5, -3, 2], e_tan=(-1, 0))
    want = ([1, 2, 0, 3], [2, 0, 3, 1])
    for cast in (lambda a: a, jnp.asarray, lambda a: a.tolist(), lambda a: a.astype(np.int32)):
        s, e = yk.yokeset(cast(pc), cast(pt))
        assert isinstance(s, np.ndarray) and isinstance(e, np.ndarray)
        assert (s.tolist(), e.tolist()) == want


def numpy_ranks(pc, pt):
    """The ranking written directly in numpy operations, in the inputs' own dtype."""
    pc, pt = np.asarray(pc), np.asarray(pt)
    avg_s = np.mean(pt[:, 0, :], axis=0)
    avg_s = avg_s / (np.linalg.norm(avg_s) + 1e-12)
    avg_e = np.mean(pt[:, 1, :], axis=0)
    avg_e = avg_e / (np.linalg.norm(avg_e) + 1e-12)
    perp = np.array([-avg_s[1], avg_s[0]])
    end = np.argsort(pc[:, 1, :] @ perp)
    return np.argsort(pc[:, 0, :] @ perp), end[::-1] if float(np.dot(avg_s, avg_e)) > 0.5 else end


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, object])
def test_yokeset_bit_matches_numpy_with_many_ties(seed, dtype):
    # coarse centres give many equal projections; integral float tangents take
    # an exact shortcut for the mean, the other dtypes go through np.mean
    rng = np.random.default_rng(seed)
    b = 64
    pc = (rng.integers(-30, 30, size=(b, 2, 2)) / 4).astype(dtype if dtype != np.int64 else float)
    choices = np.array([[1, 0], [0, 1], [-1, 0], [0, -1], [3, 0], [0, -2]])
    pt = choices[rng.integers(0, len(choices), size=(b, 2))].astype(dtype)
    got, want = yk.yokeset(pc, pt), numpy_ranks(pc, pt)
    assert (got[0] == want[0]).all() and (got[1] == want[1]).all()


def test_yokeset_leaves_inputs_alone():
    pc, pt = bundle([2, 0, 1], [1, 5, -3])
    pc0, pt0 = pc.copy(), pt.copy()
    yk.yokeset(pc, pt)
    assert (pc == pc0).all() and (pt == pt0).all()


@pytest.mark.parametrize("pc, exc", [(np.float64(1.0), IndexError), (np.zeros((3, 2)), IndexError),
                                     (np.zeros((3, 1, 2)), IndexError)])
def test_yokeset_bad_shapes_raise_numpys_errors(pc, exc):
    with pytest.raises(exc):
        yk.yokeset(pc, np.zeros((3, 2, 2)))


# ---- property: facing bundles never cross --------------------------------

def _orient(o, a, b):
    v = (a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0])
    return (v > 0) - (v < 0)


def _on_segment(p, q, r):
    return min(p[0], r[0]) <= q[0] <= max(p[0], r[0]) and min(p[1], r[1]) <= q[1] <= max(p[1], r[1])


def segments_meet(p1, p2, q1, q2):
    o1, o2, o3, o4 = _orient(p1, p2, q1), _orient(p1, p2, q2), _orient(q1, q2, p1), _orient(q1, q2, p2)
    if o1 != o2 and o3 != o4:
        return True
    return any(o == 0 and _on_segment(a, c, b)
               for o, a, c, b in ((o1, p1, q1, p2), (o2, p1, q2, p2), (o3, q1, p1, q2), (o4, q1, p2, q2)))


def assert_no_crossing(pairs):
    for i in range(len(pairs)):
        for j in range(i + 1, len(pairs)):
            assert not segments_meet(*pairs[i], *pairs[j]), (pairs[i], pairs[j])


def rotate(p, quarter_turns):
    x, y = p
    for _ in range(quarter_turns):
        x, y = -y, x
    return (x, y)


facing_bundles = st.integers(2, 10).flatmap(lambda n: st.tuples(
    st.lists(st.integers(-50, 50), min_size=n, max_size=n, unique=True),
    st.lists(st.integers(-50, 50), min_size=n, max_size=n, unique=True),
    st.integers(1, 200),
    st.integers(0, 3),
))


@settings(max_examples=150, deadline=None)
@given(facing_bundles)
def test_property_yokeset_pairs_never_cross(data):
    start_y, end_y, length, turns = data
    starts = [rotate((0, y), turns) for y in start_y]
    ends = [rotate((length, y), turns) for y in end_y]
    pc = np.array([[s, e] for s, e in zip(starts, ends)], dtype=float)
    pt = np.array([[rotate((1, 0), turns), rotate((-1, 0), turns)]] * len(starts), dtype=float)
    s_perm, e_perm = yk.yokeset(pc, pt)
    assert sorted(s_perm.tolist()) == sorted(e_perm.tolist()) == list(range(len(starts)))
    assert_no_crossing([(starts[i], ends[j]) for i, j in zip(s_perm, e_perm)])


@settings(max_examples=150, deadline=None)
@given(facing_bundles)
def test_property_sort_ports_gdsfactory_pairs_never_cross(data):
    start_y, end_y, length, turns = data
    start = [Port(rotate((0, y), turns), 90 * turns) for y in start_y]
    end = [Port(rotate((length, y), turns), 180 + 90 * turns) for y in end_y]
    s, e = yk.sort_ports_gdsfactory(start, end)
    assert sorted(map(id, s)) == sorted(map(id, start)) and sorted(map(id, e)) == sorted(map(id, end))
    assert_no_crossing([(a.center, b.center) for a, b in zip(s, e)])


# ---- the native roads against the module's Python bodies ------------------

def pass_through(monkeypatch, name):
    """Replace a helper by a wrapper of itself: every function above it then runs its Python body."""
    own = getattr(yk, name)
    monkeypatch.setattr(yk, name, lambda *a, **k: own(*a, **k))


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("replaced", ["_port_angle", "_port_bbox", "_sort_port_bank", "_sort_ports_like_kfactory"])
def test_python_bodies_sort_as_the_native_roads(monkeypatch, seed, replaced):
    # mixed facings (diagonals and negative angles included), coarse centres
    # with many equal keys, some given as ints or numeric strings
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 30))

    def ports():
        out = []
        for _ in range(n):
            x, y = (int(v) for v in rng.integers(-4, 5, size=2))
            o = float(rng.choice([0, 90, 180, 270, -90, 45, 135, 450, 89.9]))
            out.append(Port((x, str(y)) if rng.random() < 0.2 else (x / 2, y), o))
        return out

    start, end = ports(), ports()
    want = yk.sort_ports_gdsfactory(start, end)
    groups = [yk._sort_ports_like_kfactory(start, t, clockwise=c) for t in (0, 1, 2, 3, -1, 6) for c in (0, 1)]
    pass_through(monkeypatch, replaced)
    assert yk.sort_ports_gdsfactory(start, end) == want
    assert [yk._sort_ports_like_kfactory(start, t, clockwise=c) for t in (0, 1, 2, 3, -1, 6) for c in (0, 1)] == groups


def test_target_side_that_is_not_an_int_takes_the_python_body():
    a, b, c = port(0, 2, 0, "a"), port(0, 1, 0, "b"), port(5, 0, 90, "c")
    for side in (True, 1.0, np.int64(1), 5):
        assert [p.name for p in yk._sort_ports_like_kfactory([a, b, c], side, clockwise=True)] == ["b", "a", "c"]
    with pytest.raises(KeyError):
        yk._sort_ports_like_kfactory([a], 1.5, clockwise=True)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_yokeset_python_body_matches_the_native_road(monkeypatch, dtype):
    rng = np.random.default_rng(11)
    pc = (rng.integers(-20, 20, size=(50, 2, 2)) / 2).astype(dtype)
    pt = np.array([[1, 0], [0, 1], [-1, 0], [3, 0]])[rng.integers(0, 4, size=(50, 2))].astype(dtype)
    want = yk.yokeset(pc, pt)

    class Proxy:  # a replaced np: the module's Python body runs
        def __getattr__(self, name):
            return getattr(np, name)

    monkeypatch.setattr(yk, "np", Proxy())
    got = yk.yokeset(pc, pt)
    assert (got[0] == want[0]).all() and (got[1] == want[1]).all()


def test_python_bodies_show_their_source_in_tracebacks(monkeypatch):
    assert inspect.getsource(yk._sort_port_bank).lstrip().startswith("def _sort_port_bank(ports")
    monkeypatch.setattr(yk, "_port_angle", lambda p: 1 / 0)
    with pytest.raises(ZeroDivisionError) as err:
        yk._sort_port_bank([port(0, 0)])
    assert "angle = _port_angle(ports[0])" in "".join(traceback.format_tb(err.value.__traceback__))
