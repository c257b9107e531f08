"""Batches: a bad scene among good ones, any executor, atomic outputs."""

import json
import os
import shutil
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from kelvane import _files, cli
from kelvane.routing import forced_pairs
from kelvane.batch import collect_scenes, route_batch
from kelvane.check import check_routes
from kelvane.scene import load_routes, load_scene

EXAMPLES = sorted((Path(__file__).parent.parent / "examples").glob("*.json"))


@pytest.fixture
def folder(tmp_path):
    """The bundled scenes plus a file that is not JSON and a scene with a mistake."""
    d = tmp_path / "scenes"
    d.mkdir()
    for p in EXAMPLES:
        shutil.copy(p, d / p.name)
    (d / "broken.json").write_text("{\"delta\": ")
    bad = json.loads(EXAMPLES[0].read_text())
    bad["routes"][1]["start_heading"] = [1, 1]
    bad["routes"][1].pop("start_orientation", None)
    (d / "wrong.json").write_text(json.dumps(bad))
    (d / "old.routes.json").write_text("{}")  # route files in a folder are not scenes
    os.mkfifo(d / "pipe.json")  # nobody writes to it: reading would block for ever
    return d


def check_outcomes(folder, out, outcomes):
    names = [Path(o.scene).name for o in outcomes]
    assert names == sorted([p.name for p in EXAMPLES] + ["broken.json", "pipe.json", "wrong.json"])
    by_name = {Path(o.scene).name: o for o in outcomes}
    assert by_name["pipe.json"].code == 2 and "not a regular file" in by_name["pipe.json"].error
    assert by_name["broken.json"].code == 2 and "not valid JSON" in by_name["broken.json"].error
    assert by_name["wrong.json"].code == 2
    assert "routes[1].start_heading: expected an axis-parallel" in by_name["wrong.json"].error
    for p in EXAMPLES:
        o, scene = by_name[p.name], load_scene(p)
        assert o.code == 0 and o.row["routes"] == f"{len(scene.routes)}/{len(scene.routes)}"
        findings = check_routes(scene, load_routes(out / f"{p.stem}.routes.json", scene)).findings
        # Nothing but one crossing per pair the port order forces (swap.json).
        assert len(findings) == len(forced_pairs(scene)) and all(f.kind == "crossing" for f in findings)
    assert sorted(f.name for f in out.iterdir()) == sorted(f"{p.stem}.routes.json" for p in EXAMPLES)


def test_batch_on_any_executor_keeps_going_past_bad_scenes(folder, tmp_path):
    out = tmp_path / "out"
    with ThreadPoolExecutor(2) as pool:
        outcomes = route_batch(collect_scenes([folder]), out, executor=pool)
    check_outcomes(folder, out, outcomes)


def test_batch_in_worker_processes_from_the_command_line(folder, tmp_path, capsys):
    out, pictures = tmp_path / "out", tmp_path / "svg"
    assert cli.main(["route", str(folder), "-o", str(out), "--svg", str(pictures), "--jobs", "2"]) == 2
    printed = capsys.readouterr()
    for p in EXAMPLES:
        assert p.name in printed.out and (pictures / f"{p.stem}.svg").exists()
    assert f"{len(EXAMPLES) + 3} scenes: {len(EXAMPLES)} clean, 0 with conflicts, 0 not routed, 3 bad input" \
        in printed.out
    assert "broken.json: not valid JSON" in printed.err and "Traceback" not in printed.err
    check_outcomes(folder, out, route_batch(collect_scenes([folder]), out, jobs=1))


def test_batch_on_a_dask_cluster(folder, tmp_path):
    distributed = pytest.importorskip("distributed")
    out = tmp_path / "out"
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as c, \
            distributed.Client(c) as client:
        outcomes = route_batch(collect_scenes([folder]), out, executor=client.get_executor())
    check_outcomes(folder, out, outcomes)


def test_same_stem_twice_is_refused(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    for d in ("a", "b"):
        shutil.copy(EXAMPLES[0], tmp_path / d / "s.json")
    with pytest.raises(ValueError, match=r"b/s.json .*out/s.routes.json is the same file as the output of .*a/s.json"):
        route_batch([tmp_path / "a" / "s.json", tmp_path / "b" / "s.json"], tmp_path / "out", jobs=1)


def test_interrupted_write_leaves_the_old_file_and_no_temporary(tmp_path, monkeypatch):
    target = tmp_path / "r.json"
    target.write_text("old")

    def fail(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(_files.os, "replace", fail)
    with pytest.raises(KeyboardInterrupt):
        _files.write_atomic(target, "new")
    assert target.read_text() == "old" and [p.name for p in tmp_path.iterdir()] == ["r.json"]


@pytest.mark.parametrize("umask,mode", [(0o022, 0o644), (0o077, 0o600)])
def test_outputs_get_the_permissions_of_any_new_file(tmp_path, umask, mode):
    old = os.umask(umask)
    try:
        _files.write_atomic(tmp_path / "r.json", "{}")
    finally:
        os.umask(old)
    assert (tmp_path / "r.json").stat().st_mode & 0o777 == mode


def test_a_dead_worker_does_not_sink_the_batch(tmp_path, monkeypatch):
    # Forked workers see this test's stand-in for process_scene: "killer" kills every worker
    # that routes it, "once" kills the first one only.  Every other scene is routed.
    from multiprocessing import get_context

    from kelvane import batch
    floorplan = next(p for p in EXAMPLES if p.stem == "floorplan")  # single routes: no jax in forked workers
    for name in [f"s{i}" for i in range(10)] + ["killer", "once"]:
        shutil.copy(floorplan, tmp_path / f"{name}.json")
    real = batch.process_scene

    def fragile(path, *args):
        if Path(path).stem == "killer" or (Path(path).stem == "once" and not (tmp_path / "died").exists()):
            (tmp_path / "died").touch()
            os._exit(9)
        return real(path, *args)
    monkeypatch.setattr(batch, "process_scene", fragile)
    monkeypatch.setattr(batch, "_pool_context", lambda: get_context("fork"))
    outcomes = route_batch(collect_scenes([tmp_path]), tmp_path / "out", jobs=2)
    by_name = {Path(o.scene).stem: o for o in outcomes}
    assert len(outcomes) == 12 and all(o.code == 0 for n, o in by_name.items() if n != "killer")
    assert by_name["killer"].failed and "worker process died twice" in by_name["killer"].error
    assert len(list((tmp_path / "out").iterdir())) == 11


RUNNER = """
import os, signal, sys, time
# Ctrl-C raises, as in a terminal, even when this test run is a background job (which ignores SIGINT).
signal.signal(signal.SIGINT, signal.default_int_handler)
from multiprocessing import get_context
from kelvane import batch, cli
real = batch.process_scene
def slow(path, *args):
    os.write(2, f"worker {os.getpid()}\\n".encode())  # one write: lines of workers never interleave
    if "slow" in path:
        time.sleep(60)
    return real(path, *args)
batch.process_scene = slow
batch._pool_context = lambda: get_context("fork")
sys.exit(cli.main(["route", *sys.argv[1:]]))
"""


def start_batch(tmp_path, jobs):
    floorplan = next(p for p in EXAMPLES if p.stem == "floorplan")  # quick: single routes only
    shutil.copy(floorplan, tmp_path / "a.json")
    for i in range(3):
        shutil.copy(floorplan, tmp_path / f"slow{i}.json")
    proc = subprocess.Popen([sys.executable, "-c", RUNNER, str(tmp_path), "-o", str(tmp_path / "out"), "--jobs",
                             str(jobs)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    workers = []
    while len(workers) < jobs + 1:  # a.json and a slow scene started in a worker (in-process: one after the other)
        line = proc.stderr.readline()
        assert line, proc.communicate()
        if line.startswith("worker "):
            workers.append(int(line.split()[1]))
    time.sleep(1.0)
    return proc, set(workers) - {proc.pid}


def gone(pids, seconds=5.0):
    """True once none of `pids` runs any more (zombies count as ended)."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        alive = [p for p in pids if Path(f"/proc/{p}").exists() and
                 "State:\tZ" not in Path(f"/proc/{p}/status").read_text()]
        if not alive:
            return True
        time.sleep(0.1)
    return False


@pytest.mark.parametrize("jobs", [1, 2])
def test_ctrl_c_stops_cleanly_with_a_summary(tmp_path, jobs):
    proc, workers = start_batch(tmp_path, jobs)
    os.killpg(proc.pid, signal.SIGINT)  # as a terminal's Ctrl-C: the whole process group
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 130, err
    assert "Traceback" not in err and "interrupted; 3 of 4 scenes not finished" in err
    assert "1 scenes: 1 clean, 0 with conflicts, 0 not routed, 0 bad input" in out and "a.json" in out
    assert gone(workers)
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.routes.json"]


def test_workers_end_when_the_parent_is_killed(tmp_path):
    proc, workers = start_batch(tmp_path, 2)
    assert len(workers) == 2
    os.kill(proc.pid, signal.SIGKILL)
    proc.communicate(timeout=30)
    assert gone(workers)
