"""`auto`: the best candidate by what is wrong, within a time budget; forced crossings; bundles of a scene."""

import dataclasses
import json
import time

import numpy as np
import pytest

from kelvane import cli, routing, strategies
from kelvane.check import check_routes
from kelvane.routing import candidates, forced_pairs, route_scene, wrongness
from kelvane.scene import parse_scene
from kelvane.strategies import bundles

TWO = parse_scene({"delta": 1, "spacing": 1, "routes": [
    {"name": "a", "start": [0, 0], "start_heading": [1, 0], "end": [40, 0], "end_heading": [1, 0]},
    {"name": "b", "start": [0, 10], "start_heading": [1, 0], "end": [40, 10], "end_heading": [1, 0]}]})
STRAIGHT = [[(0, 0), (40, 0)], [(0, 10), (40, 10)]]
DETOUR = [[(0, 0), (5, 0), (5, -6), (35, -6), (35, 0), (40, 0)], [(0, 10), (40, 10)]]  # clean, 12 longer
CROSSED = [[(0, 0), (4, 0), (4, 15), (12, 15), (12, 0), (40, 0)], [(0, 10), (40, 10)]]  # crosses twice


def fake(name, skeletons, seconds=0.0):
    """A stand-in for a strategy: fixed skeletons after `seconds` (to watch `auto` choose)."""
    def run(module, scene, opts):
        time.sleep(seconds)
        return [np.array(s, dtype=float) for s in skeletons], {}
    return dataclasses.replace(strategies.STRATEGIES[name], module="kelvane.scene", run=run)


@pytest.fixture
def stand_ins(monkeypatch):
    """Every strategy replaced; returns a setter for one strategy's skeletons."""
    def use(name, skeletons, seconds=0.0):
        monkeypatch.setitem(strategies.STRATEGIES, name, fake(name, skeletons, seconds))
    for name in list(strategies.STRATEGIES):
        use(name, CROSSED)
    return use


MIXED = parse_scene({"delta": 1, "spacing": 1, "routes": [  # not a plain bundle: the second route goes back
    {"start": [0, 0], "start_heading": [1, 0], "end": [40, 0], "end_heading": [1, 0]},
    {"start": [40, 10], "start_heading": [-1, 0], "end": [0, 10], "end_heading": [-1, 0]}]})
MIXED_STRAIGHT = [[(0, 0), (40, 0)], [(40, 10), (0, 10)]]


def test_a_better_later_candidate_wins_over_an_earlier_clean_one(stand_ins):
    stand_ins("river", [DETOUR[0], MIXED_STRAIGHT[1]])  # clean, tried first
    stand_ins("single", MIXED_STRAIGHT)                  # clean and 12 shorter
    result = route_scene(MIXED)
    assert result.strategy == "single" and result.clean
    assert [a.strategy for a in result.attempts[:2]] == ["river", "single"]
    assert result.attempts[0].status == "clean" and result.attempts[0].wrong.length == 92
    assert result.wrong.length == 80


def test_slow_candidates_wait_for_a_clean_result_and_medium_ones_do_not_on_other_scenes(stand_ins):
    stand_ins("river", STRAIGHT)
    result = route_scene(TWO)  # a plain bundle: clean at once, so only the fast ones run
    tried = {a.strategy.split()[0] for a in result.attempts if a.status != "skipped"}
    skipped = {a.strategy.split()[0] for a in result.attempts if a.status == "skipped"}
    assert tried == {"river"} and skipped >= {"backbone", "single", "rail-bridge", "negotiated"}
    assert {a.message for a in result.attempts if a.status == "skipped"} == {"a clean result is in hand"}
    # Not a plain bundle: the medium candidates (single routes) run too, the slow ones do not.
    stand_ins("river", MIXED_STRAIGHT)
    tried = [a.strategy for a in route_scene(MIXED).attempts if a.status != "skipped"]
    assert tried[:2] == ["river", "single"] and "negotiated" not in tried


def test_rail_bridge_variants_follow_the_scene_own_options():
    labels = [c.label for c in candidates(TWO)]
    assert labels[:3] == ["river", "backbone", "single"]
    assert "rail-bridge" in labels and "rail-bridge routing_order=reverse inflate_delta=false" in labels
    assert sum(label.startswith("rail-bridge") for label in labels) == 8
    own = dataclasses.replace(TWO, options={"rail-bridge": {"inflate_delta": False}})
    variants = [c.label for c in candidates(own) if c.strategy == "rail-bridge"]
    assert len(variants) == 4 and all("inflate_delta=false" in v for v in variants)


def test_the_time_budget_keeps_the_best_so_far_and_says_so(stand_ins, tmp_path, capsys):
    stand_ins("river", CROSSED, seconds=0.3)
    result = route_scene(TWO, time_budget=0.2)
    assert result.strategy == "river" and result.budget_reached
    assert [a.status for a in result.attempts[1:]] == ["skipped"] * (len(result.attempts) - 1)
    assert result.attempts[1].message == "the time budget is spent"
    scene_file = tmp_path / "two.json"
    scene_file.write_text(json.dumps({"delta": 1, "spacing": 1, "routes": [
        {"name": r.name, "start": list(r.start), "start_heading": list(r.start_heading), "end": list(r.end),
         "end_heading": list(r.end_heading)} for r in TWO.routes]}))
    assert cli.main(["route", str(scene_file), "--time-budget", "0.2"]) == 1
    out = capsys.readouterr().out
    assert "the time budget was reached" in out and "skipped (the time budget is spent)" in out
    assert cli.main(["route", str(scene_file), "--time-budget", "-1"]) == 2
    assert "expected a positive number of seconds" in capsys.readouterr().err


SWAP = parse_scene({"delta": 2, "spacing": 2, "routes": [
    {"name": f"s{k}", "start": [0, 10 * k], "start_heading": [1, 0], "end": [100, 10 * (2 - k)],
     "end_heading": [1, 0]} for k in range(3)]})


def test_forced_crossings_are_the_pairs_whose_ports_alternate():
    assert forced_pairs(SWAP) == {frozenset(p) for p in (("s0", "s1"), ("s0", "s2"), ("s1", "s2"))}
    assert forced_pairs(TWO) == set()
    # Reversed in order but one after the other along the travel, or U-turns: not forced.
    apart = parse_scene({"delta": 1, "spacing": 1, "routes": [
        {"name": "a", "start": [0, 0], "start_heading": [1, 0], "end": [50, 20], "end_heading": [1, 0]},
        {"name": "b", "start": [60, 30], "start_heading": [1, 0], "end": [120, 0], "end_heading": [1, 0]},
        {"name": "u", "start": [0, 40], "start_heading": [1, 0], "end": [0, 60], "end_heading": [-1, 0]}]})
    assert forced_pairs(apart) == set()
    # s0 and s2 swap by crossing s1 once each and each other once: nothing beyond the forced ones.
    swap = [[(0, 0), (50, 0), (50, 20), (100, 20)], [(0, 10), (100, 10)],
            [(0, 20), (30, 20), (30, -5), (70, -5), (70, 0), (100, 0)]]
    report = check_routes(SWAP, [np.array(s, dtype=float) for s in swap])
    assert report.count("crossing") == 3
    assert wrongness(SWAP, report).crossings == 0
    assert all(line.endswith("(forced by the port order)") for line in routing.finding_lines(SWAP, report))
    # Two routes that need not cross and cross twice: both crossings count.
    assert wrongness(TWO, check_routes(TWO, [np.array(s, dtype=float) for s in CROSSED])).crossings == 2
    # s2 round the far side of s0's port instead of crossing s0 and s1: two forced crossings missing.
    round_the_back = [swap[0], swap[1], [(0, 20), (-10, 20), (-10, -15), (110, -15), (110, 0), (100, 0)]]
    report = check_routes(SWAP, [np.array(s, dtype=float) for s in round_the_back])
    assert report.count("crossing") == 1 and wrongness(SWAP, report).crossings == 2


def test_a_strategy_that_ignores_the_spacing_says_so(stand_ins):
    result = route_scene(TWO, "negotiated")
    assert result.attempts[0].message == "negotiated: takes no spacing (the scene's spacing does not reach it)"


def test_bundles_of_a_scene_group_routes_that_travel_together():
    scene = parse_scene({"delta": 2, "spacing": 2, "routes": [
        *({"name": f"a{k}", "start": [0, 5 * k], "start_heading": [1, 0], "end": [100, 200 + 5 * k],
           "end_heading": [0, 1]} for k in range(3)),
        *({"name": f"b{k}", "start": [0, 100 + 5 * k], "start_heading": [1, 0], "end": [200, 100 + 5 * k],
           "end_heading": [1, 0]} for k in range(2)),
        {"name": "far", "start": [0, 400], "start_heading": [1, 0], "end": [100, 600], "end_heading": [0, 1]}]})
    assert bundles(scene) == [[0, 1, 2], [3, 4], [5]]


def test_the_river_lays_two_bundles_in_each_other_s_way_without_a_crossing():
    # Bundle b's shortest way crosses bundle a; laid as rivers, the larger
    # one first, b keeps the spacing from a and goes round a device instead
    # (a and b leave differently: no pair of them is forced to cross).
    scene = parse_scene({"delta": 5, "spacing": 3, "obstacles": [[-30, -10, 0, 60], [300, -10, 330, 60]],
                         "routes": [
        *({"name": f"a{k}", "start": [0, 4 * k], "start_heading": [1, 0], "end": [300, 4 * k],
           "end_heading": [1, 0]} for k in range(6)),
        *({"name": f"b{k}", "start": [100 + 4 * k, -100], "start_heading": [0, 1], "end": [100 + 4 * k, 200],
           "end_heading": [0, 1]} for k in range(4))]})
    result = route_scene(scene, "river")
    assert result.clean and result.report.lengths[:6] == [300.0] * 6 and min(result.report.lengths[6:]) > 300


def spaced_recorder(monkeypatch):
    """The spaced strategy replaced by one that answers MIXED_STRAIGHT; returns the options it gets."""
    seen = {}

    def spaced(module, scene, opts):
        seen.update(opts)
        return [np.array(s, dtype=float) for s in MIXED_STRAIGHT], {}
    monkeypatch.setitem(strategies.STRATEGIES, "spaced", dataclasses.replace(
        strategies.STRATEGIES["spaced"], module="kelvane.scene", run=spaced))
    return seen


def test_after_a_clean_result_a_candidate_gets_a_short_share_of_the_time(stand_ins, monkeypatch):
    stand_ins("river", MIXED_STRAIGHT)
    seen = spaced_recorder(monkeypatch)
    route_scene(MIXED, time_budget=30)
    # River was clean at once: spaced may take CLEAN_GRACE seconds, not the 30 left.
    assert seen["time_budget"] == pytest.approx(routing.CLEAN_GRACE, abs=0.05)


BASE = {"delta": 2, "spacing": 3, "routes": [
    {"name": "a", "start": [0, 0], "start_heading": [1, 0], "end": [50, 0], "end_heading": [1, 0]},
    {"name": "b", "start": [0, 10], "start_heading": [1, 0], "end": [50, 10], "end_heading": [1, 0]}]}


@pytest.mark.parametrize("change,code,expected", [
    ({"routes": [BASE["routes"][0], {**BASE["routes"][1], "start": [50, 0]}]}, 2,
     'routes[1].start: route "b" has its start port at the same point as routes[0].end (route "a")'),
    ({"width": 4}, 2, "width: 4 is more than the spacing 3"),
    ({"strategy": "negotiated"}, 0, "negotiated: takes no spacing (the scene's spacing does not reach it)"),
    ({"obstacles": [[40, -5, 60, 5]]}, 1, "obstacle  a: runs"),
])
def test_honest_outcomes_through_the_command_line(tmp_path, capsys, change, code, expected):
    scene = tmp_path / "s.json"
    scene.write_text(json.dumps({**BASE, **change}))
    assert cli.main(["route", str(scene), "--svg", str(tmp_path / "p.svg")]) == code
    captured = capsys.readouterr()
    assert expected in captured.out + captured.err and "Traceback" not in captured.err
    if code == 1:  # drawn as conflicting: the finding is ringed in the picture
        assert 'class="finding"' in (tmp_path / "p.svg").read_text()


def test_a_named_strategy_gets_the_default_time_budget_too(monkeypatch):
    seen = spaced_recorder(monkeypatch)
    assert route_scene(MIXED, "spaced").clean
    assert seen["time_budget"] == routing.DEFAULT_TIME_BUDGET
