"""Scene and route files: what a good file gives, and the message for each kind of mistake."""

import copy
import json
import os
from pathlib import Path

import numpy as np
import pytest

from kelvane import scene as scene_module
from kelvane.scene import SceneError, format_help, load_routes, load_scene, parse_routes, parse_scene

GOOD = {
    "description": "two routes",
    "delta": 5, "spacing": 2.5, "dbu": 0.001,
    "obstacles": [[0, 0, 40, 30], {"name": "mod", "box": [120, 10, 170, 60]}],
    "routes": [
        {"name": "a", "start": [40, 15], "start_heading": [3, 0], "end": [120, 35], "end_orientation": 180},
        {"start": [20, 30], "start_orientation": 90, "end": [145, 60], "end_heading": [0, -1]},
    ],
    "strategy": "single",
    "options": {"single": {"turn_bias": "start"}, "negotiated": {"iters": 5}},
}


def test_good_scene():
    s = parse_scene(GOOD, "good.json")
    assert (s.delta, s.spacing, s.dbu, s.width, s.strategy) == (5.0, 2.5, 0.001, 0.5, "single")
    assert s.obstacles == ((0, 0, 40, 30), (120, 10, 170, 60)) and s.obstacle_names == ("", "mod")
    a, b = s.routes
    # Headings are directions of travel; an end orientation faces out of the
    # device, so the route arrives against it.
    assert (a.name, a.start, a.start_heading, a.end_heading) == ("a", (40.0, 15.0), (1, 0), (1, 0))
    assert (b.name, b.start_heading, b.end_heading) == ("r1", (0, 1), (0, -1))
    assert s.options == {"single": {"turn_bias": "start"}, "negotiated": {"iters": 5}}
    sp, ep, st, et = s.port_arrays()
    assert sp.tolist() == [[40, 15], [20, 30]] and et.tolist() == [[1, 0], [0, -1]]


def test_defaults():
    s = parse_scene({"delta": 2, "routes": [{"start": [0, 0], "start_heading": [1, 0], "end": [9, 9],
                                             "end_orientation": -90}]})
    assert (s.spacing, s.dbu, s.width, s.strategy, s.obstacles, s.options) == (3.0, None, 0.5, "auto", (), {})
    assert s.routes[0].end_heading == (0, 1)


def with_change(path, value):
    """GOOD with the value at `path` (keys and indexes) replaced, or removed when value is DELETE."""
    data = copy.deepcopy(GOOD)
    *head, last = path
    node = data
    for k in head:
        node = node[k]
    if value is DELETE:
        del node[last]
    else:
        node[last] = value
    return data


DELETE = object()

MISTAKES = [
    (("routes", 1, "end"), "12,4", 'routes[1].end: expected two numbers, got "12,4"'),
    (("routes", 0, "start"), [1, 2, 3], "routes[0].start: expected two numbers, got [1, 2, 3]"),
    (("routes", 0, "start"), [1, True], "routes[0].start: expected two numbers, got [1, true]"),
    (("routes", 0, "start_heading"), [1, 1], "routes[0].start_heading: expected an axis-parallel, non-zero heading"),
    (("routes", 0, "end_orientation"), 45, "routes[0].end_orientation: expected a multiple of 90 degrees, got 45"),
    (("routes", 0, "end_heading"), [1, 0], "routes[0]: give exactly one of end_heading and end_orientation"),
    (("routes", 1, "start_orientation"), DELETE, "routes[1]: give exactly one of start_heading and start_orientation"),
    (("routes", 1, "name"), "a", 'routes[1].name: "a" is already the name of routes[0]'),
    (("routes", 0, "end"), [40, 15], "routes[0]: start and end are the same point"),
    (("routes", 0, "colour"), "red", 'routes[0]: unknown key "colour" (known: name, start, end,'),
    (("routes", 0, "start"), DELETE, "routes[0].start: missing"),
    (("routes", 1), [0, 0], "routes[1]: expected an object {...}, got [0, 0]"),
    (("routes",), [], "routes: expected at least one route, got []"),
    (("delta",), DELETE, "delta: missing"),
    (("delta",), -1, "delta: expected a number >= 0, got -1"),
    (("delta",), "5", 'delta: expected a number, got "5"'),
    (("dbu",), 0, "dbu: expected a number > 0, got 0"),
    (("obstacles", 0), [0, 0, 40], "obstacles[0]: expected a box [x_min, y_min, x_max, y_max], got [0, 0, 40]"),
    (("obstacles", 0), [40, 0, 0, 30], "obstacles[0]: expected x_min < x_max and y_min < y_max"),
    (("obstacles", 1, "box"), DELETE, "obstacles[1].box: missing"),
    (("strategy",), "fast", 'strategy: expected one of auto, river, single, negotiated, backbone, rail-bridge, '
                            'spaced, got "fast"'),
    (("options", "single", "iters"), 3, "options.single.iters: unknown option (known: turn_bias, sliding_bias)"),
    (("options", "quick"), {}, "options.quick: unknown strategy"),
    (("strategy",), ["auto"], 'strategy: expected one of auto, river, single'),
    (("delta",), 10**400, "delta: expected a number between -1e+09 and 1e+09, got 1000000"),
    (("routes", 0, "start"), [1e10, 0], "routes[0].start: expected two numbers, got [10000000000.0, 0] (each within"),
    (("options", "negotiated", "iters"), -5, "options.negotiated.iters: expected a whole number from 0 to 1000, got -5"),
    (("options", "negotiated", "iters"), "5", 'options.negotiated.iters: expected a whole number from 0 to 1000, got "5"'),
    (("options", "single", "turn_bias"), ["start"], 'options.single.turn_bias: expected "center", "start"'),
    (("options", "single", "sliding_bias"), 2, "options.single.sliding_bias: expected a number from 0 to 1, got 2"),
    (("width",), 5, "width: 5 is more than the spacing 2.5: neighbouring waveguides would overlap"),
    (("routes", 1, "width"), 3, "routes[1].width: 3 is more than the spacing 2.5"),
    (("dbu",), 10, "dbu: a grid step of 10 is coarser than the bend radius or spacing (2.5)"),
    (("routes", 1, "start"), [120, 35], 'routes[1].start: route "r1" has its start port at the same point as '
                                        'routes[0].end (route "a"); two routes cannot share a port'),
    (("gds",), {"route_layer": "1/x"}, 'gds.route_layer: expected [layer, datatype] or "layer/datatype"'),
    (("gds",), {"cell": "top cell"}, 'gds.cell: expected 1 to 64 letters, digits or _-$., got "top cell"'),
    (("gds",), {"arc_tolerance": 0}, "gds.arc_tolerance: expected a number > 0, got 0"),
]


@pytest.mark.parametrize("path,value,message", MISTAKES, ids=[m[2].split(":")[0] + "-" + str(i)
                                                           for i, m in enumerate(MISTAKES)])
def test_each_mistake_is_named(path, value, message):
    with pytest.raises(SceneError) as err:
        parse_scene(with_change(path, value), "bad.json")
    assert len(err.value.problems) == 1, err.value.problems
    assert err.value.problems[0].startswith(message)
    assert str(err.value).startswith("bad.json: " + message)


def test_every_mistake_of_a_file_is_reported():
    data = with_change(("routes", 0, "end"), "x")
    data["delta"] = None
    data["routes"][1]["start"] = [0]
    with pytest.raises(SceneError) as err:
        parse_scene(data)
    assert [p.split(":")[0] for p in err.value.problems] == ["delta", "routes[0].end", "routes[1].start"]


@pytest.mark.parametrize("text,message", [
    ("{\"delta\": 5,,}", "not valid JSON: Expecting property name enclosed in double quotes at line 1 column 13"),
    ("[1, 2]", "top level: expected an object {...}, got [1, 2]"),
    (b"\x89PNG\r\n\x1a\n\x00\x00", "not a UTF-8 text file (byte 0x89 at offset 0)"),
    ('{"description": "caf\u00e9"}'.encode("latin-1"), "not a UTF-8 text file (byte 0xe9 at offset 20)"),
    ("[" * 100_000 + "]" * 100_000, "not usable JSON: nested too deeply"),
    ('{"delta": ' + "9" * 5000 + "}", "not usable JSON: Exceeds the limit (4300 digits)"),
])
def test_broken_files(tmp_path, text, message):
    p = tmp_path / "s.json"
    p.write_bytes(text if isinstance(text, bytes) else text.encode())
    with pytest.raises(SceneError, match=None) as err:
        load_scene(p)
    assert len(err.value.problems) == 1 and err.value.problems[0].startswith(message)
    with pytest.raises(SceneError) as err:
        load_scene(tmp_path / "missing.json")
    assert err.value.problems[0].startswith("cannot read")


def test_route_files(tmp_path):
    scene = parse_scene(GOOD)
    doc = {"routes": [{"name": "r1", "points": [[20, 30], [20, 40], [145, 40], [145, 60]]},
                      {"name": "a", "points": None}]}
    p = tmp_path / "r.json"
    p.write_text(json.dumps(doc))
    skels = load_routes(p, scene)
    assert skels[0] is None and np.array_equal(skels[1], [[20, 30], [20, 40], [145, 40], [145, 60]])
    bad = {"routes": [{"name": "a", "points": [[0, 0], [1, "2"]]}, {"name": "zz", "points": None}]}
    with pytest.raises(SceneError) as err:
        parse_routes(bad, scene)
    assert err.value.problems == ['routes[0].points[1]: expected two numbers, got [1, "2"]',
                                  'routes: "zz" is not a route of the scene', 'routes: scene route "r1" is missing']


def test_format_help_lists_every_key():
    text = format_help()
    for key in ("delta", "spacing", "dbu", "start_heading", "end_orientation", "box", "routing_order", "iters"):
        assert f" {key}" in text


def test_files_that_are_not_regular_or_too_large_are_refused(tmp_path, monkeypatch):
    fifo = tmp_path / "fifo.json"
    os.mkfifo(fifo)  # no writer: reading it would block for ever
    big = tmp_path / "big.json"
    big.write_text(json.dumps(GOOD))
    monkeypatch.setattr(scene_module, "MAX_SCENE_BYTES", 100)
    for path, message in ((fifo, "cannot read: not a regular file"), (tmp_path, "cannot read: "),
                          (big, f"cannot read: {big.stat().st_size} bytes, more than the limit of 100")):
        with pytest.raises(SceneError) as err:
            load_scene(path)
        assert err.value.problems[0].startswith(message), err.value.problems
    if Path("/dev/zero").exists():
        with pytest.raises(SceneError, match="not a regular file"):
            load_scene("/dev/zero")


def test_gds_settings_and_route_widths():
    data = copy.deepcopy(GOOD)
    data["gds"] = {"cell": "TOP", "route_layer": [3, 1], "marker_layer": "200/5", "arc_tolerance": 0.0001}
    data["routes"][1]["width"] = 2
    s = parse_scene(data)
    assert (s.gds.cell, s.gds.route_layer, s.gds.marker_layer, s.gds.arc_tolerance) == ("TOP", (3, 1), (200, 5), 1e-4)
    assert s.gds.obstacle_layer == (2, 0) and s.gds.label_layer == (10, 0)  # defaults kept
    assert (s.route_width(0), s.route_width(1)) == (0.5, 2.0)


def test_every_strategy_option_has_a_reader():
    from kelvane.scene import OPTION_KEYS
    from kelvane.strategies import STRATEGIES
    assert {o for s in STRATEGIES.values() for o in s.options} == set(OPTION_KEYS)
