"""The documentation against the code: ARCHITECTURE's file table names files
that exist, and every scene setting reaches every strategy or the strategy
says it ignores it."""

import glob
import pathlib
import re

import numpy as np
import pytest

from kelvane.scene import OPTION_KEYS, SCENE_KEYS, parse_scene
from kelvane.strategies import STRATEGIES

ROOT = pathlib.Path(__file__).resolve().parent.parent


def file_table_paths():
    """Paths in the first column of the table under "Where things are".

    A bare name (no slash) lives in the folder of the last file path named
    before it, as the table writes `cpp/include/kelvane/geometry.hpp` and then
    `obstacles.hpp`; a folder (`cpp/src/river/`) does not change that."""
    text = (ROOT / "ARCHITECTURE.md").read_text()
    table = text.split("## Where things are", 1)[1].split("\n## ", 1)[0]
    paths, folder = [], ""
    for row in table.splitlines():
        if not row.startswith("| `"):
            continue
        for name in re.findall(r"`([^`]+)`", row.split("|")[1]):
            if "/" in name:
                if not name.endswith("/"):
                    folder = name.rsplit("/", 1)[0] + "/"
                paths.append(name)
            else:
                paths.append(folder + name)
    return paths


def test_file_table_is_read():
    paths = file_table_paths()
    assert len(paths) > 30
    assert "cpp/include/kelvane/obstacles.hpp" in paths and "bindings/stubs.pat" in paths


@pytest.mark.parametrize("path", file_table_paths())
def test_every_path_in_the_file_table_exists(path):
    assert glob.glob(str(ROOT / path)), f"ARCHITECTURE.md names {path}, which does not exist"


# ---- scene settings and strategies ----------------------------------------

# Scene keys that are not routing settings: the routes themselves, which
# strategy runs with which options, and what only the outputs read.
NOT_ROUTING = {"routes", "strategy", "options", "description", "gds", "width"}
ROUTING = {"delta", "spacing", "dbu", "obstacles"}


def test_every_scene_key_is_sorted_into_routing_or_not():
    assert {k.name for k in SCENE_KEYS} == ROUTING | NOT_ROUTING


def test_every_option_reaches_some_strategy_and_only_known_options_are_taken():
    taken = {o for s in STRATEGIES.values() for o in s.options}
    assert taken == set(OPTION_KEYS)
    for s in STRATEGIES.values():
        assert set(s.ignores) <= ROUTING, s.name


class Recorder:
    """Stands in for a router module: records every call and answers with
    routes of the right count."""

    def __init__(self, n):
        self.n, self.calls = n, []

    def __getattr__(self, name):
        def call(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            lane = np.array([[0.0, 0.0], [1.0, 0.0]])
            if name == "rail_bridge_v2":
                return lane, {}
            if name == "negotiate_routes":
                return [lane] * self.n
            if name == "route_bundle":  # (strategy, starts, ...)
                return [lane] * len(args[1]), {"order": []}
            count = len(args[0])
            if name == "route_river":
                return [lane] * count, {"side": 0, "whole": True, "unclean": 0, "searches": count}
            return [lane] * count, {}
        return call


SCENE = {
    "delta": 2.75, "spacing": 3.25, "dbu": 0.125, "obstacles": [[40, 40, 41.5, 42]],
    "routes": [{"start": [0, 0], "end": [30, 10], "start_heading": [1, 0], "end_heading": [1, 0]},
               {"start": [0, 5], "end": [30, 15], "start_heading": [1, 0], "end_heading": [1, 0]}],
}


def reached_values(calls):
    out = []
    for _, args, kwargs in calls:
        for v in (*args, *kwargs.values()):
            out.append(v)
            if isinstance(v, (list, tuple)):
                out.extend(v)
    return out


def reaches(value, values):
    return any(type(v) is type(value) and v == value for v in values if not isinstance(v, np.ndarray))


@pytest.mark.parametrize("name", list(STRATEGIES))
def test_every_routing_setting_reaches_the_strategy_or_is_ignored_by_it(name):
    strategy = STRATEGIES[name]
    scene = parse_scene(SCENE)
    module = Recorder(len(scene.routes))
    options = {o: OPTION_KEYS[o].default for o in strategy.options}
    strategy.run(module, scene, options)
    values = reached_values(module.calls)
    setting = {"delta": scene.delta, "spacing": scene.spacing, "dbu": scene.dbu, "obstacles": scene.obstacles[0]}
    for key in sorted(ROUTING):
        assert reaches(setting[key], values) != (key in strategy.ignores), (name, key)
    passed = {k for _, _, kwargs in module.calls for k in kwargs}
    assert set(strategy.options) <= passed
