"""GDS output read back with gdstk: cell and layers as configured, widths, arcs, pins, labels, markers."""

import json
from pathlib import Path

import numpy as np
import pytest

from kelvane import cli
from kelvane._bends import bends, corner_points
from kelvane.check import check_routes
from kelvane.scene import load_routes, load_scene, parse_scene

gdstk = pytest.importorskip("gdstk")

EXAMPLES = Path(__file__).parent.parent / "examples"


def shapes(gds_file):
    lib = gdstk.read_gds(str(gds_file))
    assert len(lib.cells) == 1
    cell = lib.cells[0]
    by_layer = {}
    for p in cell.polygons:
        by_layer.setdefault((p.layer, p.datatype), []).append(p)
    labels = {}
    for label in cell.labels:
        labels.setdefault((label.layer, label.texttype), []).append(label)
    return cell, by_layer, labels


def test_round_trip_with_configured_layers(tmp_path):
    data = json.loads((EXAMPLES / "floorplan.json").read_text())
    data["routes"][1]["width"] = 1.5
    scene_file, out, gds = tmp_path / "s.json", tmp_path / "r.json", tmp_path / "l.gds"
    scene_file.write_text(json.dumps(data))
    assert cli.main(["route", str(scene_file), "-o", str(out), "--gds", str(gds), "--gds-cell", "TOP",
                     "--gds-layer", "route=5/2", "--gds-layer", "pin=5/9", "--arc-tolerance", "0.0005"]) == 0
    scene = load_scene(scene_file)
    skeletons = load_routes(out, scene)
    cell, polygons, labels = shapes(gds)
    assert cell.name == "TOP"
    assert len(polygons[(2, 0)]) == len(scene.obstacles) and len(polygons[(5, 9)]) == 2 * len(scene.routes)
    assert sorted(lb.text for lb in labels[(10, 0)]) == sorted(f"{r.name}:{e}" for r in scene.routes
                                                                for e in ("start", "end"))
    assert (99, 0) not in polygons  # clean: no markers
    assert len(cell.paths) == len(scene.routes)
    for k, (path, skel) in enumerate(zip(cell.paths, skeletons)):
        assert (path.layers, path.datatypes) == ((5,), (2,))
        assert np.allclose(path.widths(), scene.route_width(k))
        spine = path.spine()
        assert np.allclose(spine[0], skel[0]) and np.allclose(spine[-1], skel[-1])
        # Every corner is an arc of the bend radius, its facets' ends on the arc within the tolerance.
        pts = corner_points(skel)
        for b in bends(pts, scene.delta):
            assert b.radius == scene.delta
            dist = np.hypot(*(spine - b.centre).T)
            near = (np.abs(spine - b.corner).max(axis=1) < scene.delta) & (np.abs(dist - scene.delta) < 2e-3)
            assert near.sum() >= 20 and np.abs(dist[near] - scene.delta).max() <= 0.0005 + scene.dbu


def test_findings_are_markers_and_short_runs_stay_round(tmp_path):
    # Route r0 jogs by 3 between two bends of radius 5 (needs 10); r1 ends 0.4 from r0's end port, closer
    # than the width: the ports' distance excuses the spacing, not the overlap of the waveguides.
    scene = parse_scene({"delta": 5, "spacing": 3, "dbu": 0.001, "routes": [
        {"start": [0, 0], "start_heading": [1, 0], "end": [60, 3], "end_heading": [1, 0]},
        {"start": [0, 20], "start_heading": [1, 0], "end": [60, 3.4], "end_heading": [1, 0]}]})
    skeletons = [np.array([[0, 0], [30, 0], [30, 3], [60, 3]], float),
                 np.array([[0, 20], [45, 20], [45, 3.4], [60, 3.4]], float)]
    report = check_routes(scene, skeletons)
    assert sorted(f.kind for f in report.findings) == ["short", "spacing"]
    assert "their waveguides overlap by 0.1" in next(str(f) for f in report.findings if f.kind == "spacing")
    from kelvane.gds import write_gds
    assert write_gds(tmp_path / "l.gds", scene, skeletons) == 2
    cell, polygons, labels = shapes(tmp_path / "l.gds")
    assert len(polygons[(99, 0)]) == 2
    assert sorted(lb.text.split()[0] for lb in labels[(99, 0)]) == ["short", "spacing"]
    spine = cell.paths[0].spine()
    # The jog's arcs shrink to 1.5 each; the centre-line never leaves the jog's corners.
    assert spine[:, 0].max() <= 60 and 28.5 - 1e-6 <= spine[(spine[:, 1] > 0) & (spine[:, 1] < 3), 0].min()
    assert spine[(spine[:, 1] > 0) & (spine[:, 1] < 3), 0].max() <= 31.5 + 1e-6


def test_layout_beyond_the_gds_range_is_refused(tmp_path, capsys):
    data = {"delta": 5, "dbu": 1e-5, "routes": [{"start": [0, 0], "start_heading": [1, 0], "end": [25000, 0],
                                                 "end_heading": [1, 0]}]}
    (tmp_path / "s.json").write_text(json.dumps(data))
    assert cli.main(["route", str(tmp_path / "s.json"), "--gds", str(tmp_path / "l.gds")]) == 2
    assert ("beyond what GDS holds at a database unit of 1e-05 um (+-21474.8 um): use a coarser dbu"
            in capsys.readouterr().err)
    assert not (tmp_path / "l.gds").exists()
    data["dbu"] = 1e-4
    (tmp_path / "s.json").write_text(json.dumps(data))
    assert cli.main(["route", str(tmp_path / "s.json"), "--gds", str(tmp_path / "l.gds")]) == 0
    assert np.allclose(gdstk.read_gds(str(tmp_path / "l.gds")).cells[0].paths[0].spine()[-1], [25000, 0])


@pytest.mark.parametrize("option,message", [
    (["--gds-layer", "wire=1/0"], "--gds-layer wire=1/0: expected KIND=LAYER/DATATYPE with KIND one of route,"),
    (["--gds-layer", "route=1"], "--gds options.route_layer: expected [layer, datatype]"),
    (["--gds-cell", "my cell"], "--gds options.cell: expected 1 to 64 letters"),
    (["--arc-tolerance", "0"], "--gds options.arc_tolerance: expected a number > 0"),
])
def test_bad_gds_options_exit_2(tmp_path, capsys, option, message):
    assert cli.main(["route", str(EXAMPLES / "floorplan.json"), "--gds", str(tmp_path / "l.gds"), *option]) == 2
    assert message in capsys.readouterr().err and not (tmp_path / "l.gds").exists()


def test_klayout_reads_the_layout(tmp_path):
    db = pytest.importorskip("klayout.db")  # installed with gdsfactory
    gds = tmp_path / "l.gds"
    assert cli.main(["route", str(EXAMPLES / "floorplan.json"), "--gds", str(gds)]) == 0
    layout = db.Layout()
    layout.read(str(gds))
    top = layout.top_cell()
    assert top.name == "kelvane" and layout.dbu == pytest.approx(0.001)
    counts = {(info.layer, info.datatype): sum(1 for _ in top.shapes(i).each())
              for i, info in zip(layout.layer_indexes(), layout.layer_infos())}
    assert counts == {(1, 0): 5, (2, 0): 5, (1, 10): 10, (10, 0): 10}
    paths = [s for s in top.shapes(layout.find_layer(1, 0)).each()]
    assert all(s.is_path() and s.path_dwidth == pytest.approx(0.5) for s in paths)
