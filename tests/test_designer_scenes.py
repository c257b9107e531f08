"""The benchmark's designer scenes: witnesses clean, ports on device edges, obstacles clear."""

import pathlib
import subprocess
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))

import designer_scenes as ds  # noqa: E402
from kelvane.check import check_routes  # noqa: E402

CELLS = [(f, n) for f in ds.FAMILIES if f != "swap" for n in ds.sizes(f)]


def gap(box, others):
    """Distance from box (x0, y0, x1, y1) to each row of `others`."""
    o = np.asarray(others, dtype=float).reshape(-1, 4)
    dx = np.maximum(0, np.maximum(o[:, 0] - box[2], box[0] - o[:, 2]))
    dy = np.maximum(0, np.maximum(o[:, 1] - box[3], box[1] - o[:, 3]))
    return np.hypot(dx, dy)


def on_device_edge(point, facing, devices):
    """A device holds the port: the point is on its edge, inside behind it, outside in front."""
    p, f = np.array(point), np.array(facing)
    def inside(q, b):
        return b[0] < q[0] < b[2] and b[1] < q[1] < b[3]
    return any(gap([*p, *p], [b])[0] == 0 and inside(p - 0.25 * f, b) and not inside(p + 0.25 * f, b)
               for b in devices)


@pytest.fixture(scope="module", params=CELLS, ids=[f"{f}-{n}" for f, n in CELLS])
def item(request):
    family, size = request.param
    return ds.make_item(family, size, 100, 0)


def test_witness_is_clean_and_fits_its_arcs(item):
    scene = item.parsed()
    report = check_routes(scene, item.witness)
    assert report.clean, report.findings[:3]
    assert len(item.witness) == len(scene.routes) == item.size
    assert sum(item.witness_bends) == sum(len(p) - 2 for p in item.witness)
    for pts, radii in zip(item.witness, item.radii):
        runs = np.abs(np.diff(pts, axis=0)).sum(axis=1)
        need = np.array([0.0, *radii]) + np.array([*radii, 0.0])
        assert (runs >= need - 1e-9).all() and min(radii, default=ds.DELTA) >= ds.DELTA


def test_witness_joins_ports_on_device_edges(item):
    scene = item.parsed()
    named = [b for b, n in zip(scene.obstacles, scene.obstacle_names) if n.startswith(("dev", "fibre", "chip"))]
    for r, pts in zip(scene.routes, item.witness):
        assert tuple(pts[0]) == r.start and tuple(pts[-1]) == r.end
        assert tuple(np.sign(pts[1] - pts[0])) == r.start_heading
        assert tuple(np.sign(pts[-1] - pts[-2])) == r.end_heading
        assert on_device_edge(r.start, r.start_heading, named), (r.name, r.start)
        assert on_device_edge(r.end, (-r.end_heading[0], -r.end_heading[1]), named), (r.name, r.end)


def test_scattered_obstacles_keep_clear_of_runs_arcs_and_port_runs(item):
    scene = item.parsed()
    scattered = [b for b, n in zip(scene.obstacles, scene.obstacle_names) if not n]
    assert len(scattered) == item.obstacles
    for pts, radii in zip(item.witness, item.radii):
        runs = ds.run_boxes(pts)
        for shape in [*runs, *ds.corner_squares(pts, radii)]:
            assert gap(shape, scattered).min() >= scene.spacing / 2
        for stub in runs[[0, -1]]:
            assert gap(stub, scattered).min() >= scene.spacing


def test_gap_walls_leave_exactly_the_ribbon_and_its_clearances():
    for size in (4, 16, 64):
        scene = ds.make_item("gap", size, 20, 1).parsed()
        walls = {n: b for b, n in zip(scene.obstacles, scene.obstacle_names) if n.startswith("wall")}
        assert walls["wall N"][1] - walls["wall S"][3] == (size - 1) * ds.PITCH + scene.spacing


def test_fanout_pitches_and_swap_forced_crossings():
    scene = ds.make_item("fanout", 16, 0, 2).parsed()
    starts, ends, _, _ = scene.port_arrays()
    assert set(np.diff(starts[:, 1])) == {-127.0} and set(np.diff(ends[:, 1])) == {-10.0}
    swap = ds.make_item("swap", 8, 20, 0)
    starts, ends, _, _ = swap.parsed().port_arrays()
    assert swap.witness is None and swap.forced_crossings == 28
    assert (np.argsort(starts[:, 1]) == np.argsort(-ends[:, 1])).all()


def test_two_bundles_stand_in_each_others_way():
    item = ds.make_item("two-bundles", 16, 0, 0)
    scene = item.parsed()
    b0 = next(k for k, r in enumerate(scene.routes) if r.name == "b0")
    r = scene.routes[b0]
    shortcut = np.array([r.start, (r.start[0], r.end[1]), r.end])   # north, then east
    report = check_routes(scene, [shortcut if k == b0 else w for k, w in enumerate(item.witness)])
    crossed = {f.route if f.other == "b0" else f.other for f in report.findings if f.kind == "crossing"}
    assert crossed and all(name.startswith("a") for name in crossed)


def test_same_seed_same_scene_and_files_check_clean(tmp_path):
    a, b = ds.make_item("independent", 8, 20, 4), ds.make_item("independent", 8, 20, 4)
    assert a.scene == b.scene and ds.make_item("independent", 8, 20, 5).scene != a.scene
    paths = ds.write_corpus([a, ds.make_item("swap", 8, 0, 0)], tmp_path)
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "independent-8-o20-s4.json", "independent-8-o20-s4.witness.routes.json", "swap-8-o0-s0.json"]
    done = subprocess.run([sys.executable, "-m", "kelvane", "check", str(paths[0]),
                           str(tmp_path / "independent-8-o20-s4.witness.routes.json")], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
