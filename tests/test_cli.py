"""The command line end to end: bundled scenes, exit codes, outputs, strategy choice, GDS."""

import dataclasses
import importlib
import inspect
import os
import json
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest

from kelvane import cli, routing, strategies
from kelvane.check import check_routes
from kelvane.routing import route_scene
from kelvane.scene import load_routes, load_scene, parse_scene

EXAMPLES = sorted((Path(__file__).parent.parent / "examples").glob("*.json"))
# Scenes whose port order forces crossings (swap.json): one crossing per forced pair is the clean answer.
CROSSED = [p for p in EXAMPLES if routing.forced_pairs(load_scene(p))]


def svg_items(path, cls):
    return [e for e in ET.parse(path).getroot().iter() if e.get("class") == cls]


@pytest.mark.parametrize("example", [p for p in EXAMPLES if p not in CROSSED],
                         ids=[p.stem for p in EXAMPLES if p not in CROSSED])
def test_bundled_scenes_route_clean(example, tmp_path, capsys):
    out, svg = tmp_path / "r.json", tmp_path / "p.svg"
    assert cli.main(["route", str(example), "-o", str(out), "--svg", str(svg)]) == 0
    text = capsys.readouterr().out
    assert "strategy" in text and "crossings" in text and f"wrote {out}, {svg}" in text
    scene = load_scene(example)
    doc = json.loads(out.read_text())
    assert doc["summary"]["routes"] == f"{len(scene.routes)}/{len(scene.routes)}" and doc["findings"] == []
    skeletons = load_routes(out, scene)
    assert check_routes(scene, skeletons).clean
    assert cli.main(["check", str(example), str(out)]) == 0
    assert "0 finding(s)" in capsys.readouterr().out
    assert len(svg_items(svg, "route")) == len(scene.routes) and not svg_items(svg, "finding")
    assert len(svg_items(svg, "obstacle")) == len(scene.obstacles)
    assert not list(tmp_path.glob(".*.tmp"))


@pytest.mark.parametrize("example", CROSSED, ids=[p.stem for p in CROSSED])
def test_bundled_crossed_scenes_cross_each_forced_pair_once_and_nothing_else(example, tmp_path):
    out = tmp_path / "r.json"
    assert cli.main(["route", str(example), "-o", str(out)]) == 0  # forced crossings are no conflict
    scene = load_scene(example)
    report = check_routes(scene, load_routes(out, scene))
    assert all(f.kind == "crossing" for f in report.findings)
    crossed = [frozenset((f.route, f.other)) for f in report.findings]
    assert len(crossed) == len(set(crossed)) and set(crossed) == routing.forced_pairs(scene)


CONFLICT = {  # the end port lies inside an obstacle: no clean route exists
    "delta": 2, "spacing": 1, "obstacles": [[50, -10, 70, 10]],
    "routes": [{"name": "in", "start": [0, 0], "start_heading": [1, 0], "end": [60, 0], "end_heading": [1, 0]}],
}


def test_conflicts_exit_1_and_are_drawn(tmp_path, capsys):
    scene_file, out, svg = tmp_path / "s.json", tmp_path / "r.json", tmp_path / "p.svg"
    scene_file.write_text(json.dumps(CONFLICT))
    assert cli.main(["route", str(scene_file), "-o", str(out), "--svg", str(svg)]) == 1
    printed = capsys.readouterr().out
    assert "obstacle  in: runs" in printed
    findings = json.loads(out.read_text())["findings"]
    assert findings and {f["kind"] for f in findings} >= {"obstacle"}
    assert sum(int(e.get("data-count")) for e in svg_items(svg, "finding")) == len(findings)
    assert cli.main(["check", str(scene_file), str(out)]) == 1
    assert "through obstacle 0" in capsys.readouterr().out


@pytest.mark.parametrize("args,message", [
    (["route", "{scene}"], "s.json: routes[0].end: expected two numbers, got \"12,4\""),
    (["route", "{dir}/missing.json"], "no such file or folder"),
    (["check", "{scene}", "{dir}/missing.json"], "s.json: routes[0].end"),
])
def test_bad_input_exits_2_with_a_message(tmp_path, capsys, args, message):
    bad = json.loads(json.dumps(CONFLICT))
    bad["routes"][0]["end"] = "12,4"
    (tmp_path / "s.json").write_text(json.dumps(bad))
    argv = [a.format(scene=tmp_path / "s.json", dir=tmp_path) for a in args]
    assert cli.main(argv) == 2
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err


def test_unwritable_output_exits_2(tmp_path, capsys):
    (tmp_path / "file").write_text("")
    assert cli.main(["route", str(EXAMPLES[0]), "-o", str(tmp_path / "file" / "r.json")]) == 2
    assert "cannot write output: " in capsys.readouterr().err


def test_unknown_strategy_is_a_usage_error(capsys):
    assert cli.main(["route", str(EXAMPLES[0]), "--strategy", "fastest"]) == 2
    assert "invalid choice: 'fastest'" in capsys.readouterr().err


def test_strategy_without_its_module_says_so(monkeypatch, capsys):
    gone = dataclasses.replace(strategies.STRATEGIES["negotiated"], module="kelvane.manhattan_router.not_here")
    monkeypatch.setitem(strategies.STRATEGIES, "negotiated", gone)
    assert cli.main(["route", str(EXAMPLES[0]), "--strategy", "negotiated"]) == 2
    assert ("strategy 'negotiated' is not available: module kelvane.manhattan_router.not_here is not built"
            in capsys.readouterr().err)


TWO = parse_scene({"delta": 1, "spacing": 1, "routes": [
    {"start": [0, 0], "start_heading": [1, 0], "end": [20, 0], "end_heading": [1, 0]},
    {"start": [0, 10], "start_heading": [1, 0], "end": [20, 10], "end_heading": [1, 0]}]})
STRAIGHT = [[(0, 0), (20, 0)], [(0, 10), (20, 10)]]


def test_router_time_leaves_out_the_module_import(monkeypatch):
    clock = [0.0]
    monkeypatch.setattr(routing.time, "perf_counter", lambda: clock[0])

    def slow_import(name):
        clock[0] += 5.0
        return None

    def run(module, scene, opts):
        clock[0] += 0.25
        return [np.array(s, dtype=float) for s in STRAIGHT], {}
    monkeypatch.setattr(routing, "load_backend", slow_import)
    monkeypatch.setitem(strategies.STRATEGIES, "single", dataclasses.replace(strategies.STRATEGIES["single"], run=run))
    result = route_scene(TWO, "single")
    assert result.attempts[0].seconds == 0.25 and result.seconds == 0.25


def test_router_errors_are_reported_not_raised(monkeypatch, tmp_path, capsys):
    def broken(module, scene, opts):
        raise ValueError("no route")
    monkeypatch.setitem(strategies.STRATEGIES, "single", dataclasses.replace(strategies.STRATEGIES["single"],
                                                                           run=broken))
    assert cli.main(["route", str(EXAMPLES[0]), "--strategy", "single", "-o", str(tmp_path / "r.json")]) == 1
    captured = capsys.readouterr()
    assert "not routed: ValueError: no route" in captured.err
    doc = json.loads((tmp_path / "r.json").read_text())
    assert all(r["points"] is None for r in doc["routes"]) and doc["strategy"] is None


@pytest.mark.parametrize("name", ["negotiated", "backbone", "rail-bridge"])
def test_every_router_module_routes_the_bundle(name, tmp_path):
    bundle = next(p for p in EXAMPLES if p.stem == "bundle")
    out = tmp_path / "r.json"
    assert cli.main(["route", str(bundle), "--strategy", name, "-o", str(out)]) in (0, 1)
    doc = json.loads(out.read_text())
    assert doc["strategy"] == name and len(doc["routes"]) == 8
    assert not [f for f in doc["findings"] if f["kind"] in ("unrouted", "end", "heading", "diagonal")]


def test_installed_commands(tmp_path):
    help_text = subprocess.run([sys.executable, "-m", "kelvane", "route", "--help"], capture_output=True,
                               text=True, check=True).stdout
    for word in ("--strategy", "--svg", "--gds", "exit codes", "rail-bridge", "shared track"):
        assert word in help_text
    script = Path(sys.executable).with_name("kelvane")
    # A folder given for one scene receives <stem>.svg.
    run = subprocess.run([str(script), "route", str(EXAMPLES[0]), "--svg", str(tmp_path)], capture_output=True,
                         text=True)
    assert run.returncode == 0, run.stderr
    assert [p.name for p in tmp_path.iterdir()] == [f"{EXAMPLES[0].stem}.svg"]


def test_gds_without_gdstk_gives_a_hint(monkeypatch, tmp_path, capsys):
    monkeypatch.setitem(sys.modules, "gdstk", None)
    assert cli.main(["route", str(EXAMPLES[0]), "--gds", str(tmp_path / "l.gds")]) == 2
    assert capsys.readouterr().err.strip() == \
        "kelvane: GDS export needs gdstk: ./dev setup installs it, or: pip install gdstk"
    assert not (tmp_path / "l.gds").exists()


class Recorder:
    """Stands in for a router module: records the call and returns the straight routes of TWO."""

    def __init__(self, function, with_info):
        self.calls = []

        def call(*args, **kwargs):
            self.calls.append((args, kwargs))
            skels = [np.array(s, dtype=float) for s in STRAIGHT]
            return (skels, {"order": [1, 0]}) if with_info else skels
        setattr(self, function, call)


def test_back_ends_get_their_documented_call_forms():
    scene = dataclasses.replace(TWO, dbu=0.001, obstacles=((5, 20, 9, 30),),
                                options={"negotiated": {"iters": 7}, "backbone": {"backbone_selection": "first"}})
    neg = Recorder("negotiate_routes", with_info=False)
    skels, _ = strategies.STRATEGIES["negotiated"].run(neg, scene, dict(scene.options["negotiated"]))
    (centers, tangents, delta, obstacles), kw = neg.calls[0]
    assert centers.shape == (2, 2, 2) and centers[1].tolist() == [[0, 10], [20, 10]]
    assert tangents[:, 1].tolist() == [[1, 0], [1, 0]]  # the end tangent is the heading of travel
    assert (delta, obstacles, kw) == (1.0, [(5, 20, 9, 30)], {"dbu": 0.001, "iters": 7})
    assert check_routes(scene, skels).clean
    for name in ("backbone", "rail-bridge"):
        mod = Recorder("route_bundle", with_info=True)
        skels, info = strategies.STRATEGIES[name].run(mod, scene, dict(scene.options.get(name, {})))
        (strategy, sp, ep, st, et, delta, obstacles, spacing), kw = mod.calls[0]
        assert strategy == name and spacing == 1.0
        assert sp.tolist() == [[0, 0], [0, 10]] and ep.tolist() == [[20, 0], [20, 10]]
        assert st.tolist() == et.tolist() == [[1, 0], [1, 0]] and info == {"order": [1, 0]}
        assert kw == {"dbu": 0.001, **scene.options.get(name, {})}
        assert len(skels) == 2


# Where each strategy's keyword options end up (negotiate_routes hands **kw on down).
OPTION_TAKERS = {
    "single": ["rail_bridge_v2"],
    "negotiated": ["route_negotiated_best", "_best_over_orders", "route_negotiated"],
    "backbone": ["bundle_backbone_v2"],
    "rail-bridge": ["bundle_rail_bridge_v2"],
}


@pytest.mark.parametrize("name", list(OPTION_TAKERS))
def test_scene_options_are_parameters_of_the_router(name):
    strategy = strategies.STRATEGIES[name]
    # The bundle strategies run the bundle module's core through the engine
    # but take that module's options.
    module = importlib.import_module("kelvane.manhattan_router.bundle" if name in ("backbone", "rail-bridge")
                                     else strategy.module)
    accepted = {p for f in OPTION_TAKERS[name] for p in inspect.signature(getattr(module, f)).parameters}
    assert set(strategy.options) <= accepted, set(strategy.options) - accepted


@pytest.mark.parametrize("args,message", [
    (["-o", "{scene}"], "-o {scene} is the same file as the input {scene}"),
    (["--svg", "{link}"], "--svg {link} is the same file as the input {scene}"),
    (["-o", "{dir}/x", "--svg", "{dir}/x"], "--svg {dir}/x is the same file as -o {dir}/x"),
])
def test_an_output_never_overwrites_an_input_or_another_output(tmp_path, capsys, args, message):
    scene, link = tmp_path / "s.json", tmp_path / "link.json"
    scene.write_text(EXAMPLES[0].read_text())
    link.symlink_to(scene)
    argv = [a.format(scene=scene, link=link, dir=tmp_path) for a in ["route", str(scene), *args]]
    assert cli.main(argv) == 2
    assert message.format(scene=scene, link=link, dir=tmp_path) in capsys.readouterr().err
    assert scene.read_text() == EXAMPLES[0].read_text() and not (tmp_path / "x").exists()


def test_outputs_go_through_symlinks_into_fifos_and_folders(tmp_path):
    import threading
    target, link, fifo = tmp_path / "target.json", tmp_path / "link.json", tmp_path / "pipe.svg"
    target.write_text("old")
    link.symlink_to(target)
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_text()))
    reader.start()
    # A temporary left by a killed run (its process is gone) is removed; a running writer's stays.
    dead = subprocess.Popen(["true"])
    dead.wait()
    stale, live = tmp_path / f".x.kelvane-{dead.pid}-0badf00d.tmp", tmp_path / f".x.kelvane-{os.getppid()}-0badf00d.tmp"
    stale.write_text("")
    live.write_text("")
    assert cli.main(["route", str(EXAMPLES[0]), "-o", str(link), "--svg", str(fifo), "--gds", f"{tmp_path}/new/"]) == 0
    reader.join(10)
    assert link.is_symlink() and json.loads(target.read_text())["routes"]
    assert fifo.is_fifo() and got[0].startswith("<svg")
    assert [p.name for p in (tmp_path / "new").iterdir()] == [f"{EXAMPLES[0].stem}.gds"]
    assert not stale.exists() and live.exists()
