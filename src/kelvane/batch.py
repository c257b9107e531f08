"""Routing scene files: one at a time, or many in parallel on any executor.

`process_scene` is the whole job for one file (read, route, check, write the
requested outputs) and returns a small picklable `Outcome`; `route_batch` sends
it to a `concurrent.futures.Executor` (a local process pool by default, or for
example Dask's ``Client.get_executor()``), shows a progress bar and never lets
one bad scene stop the others.
"""

from __future__ import annotations

import dataclasses
import json
import os
import signal
import sys
import threading
import time
from concurrent.futures import Executor, Future, as_completed
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Iterable, Mapping, Sequence

from ._files import process_alive, clashing_outputs, write_atomic
from .gds import write_gds
from .routing import finding_lines, forced_crossings, route_scene, summary_row
from .scene import SceneError, load_scene, read_gds_settings, routes_document
from .svg import render_svg

if TYPE_CHECKING:  # process pools are imported when a batch starts one (quicker start for one scene)
    from concurrent.futures import ProcessPoolExecutor
    from multiprocessing.context import BaseContext

__all__ = ["Outcome", "Interrupted", "process_scene", "route_batch", "collect_scenes", "output_path", "EXIT_CLEAN",
           "EXIT_CONFLICTS",
           "EXIT_BAD_INPUT"]

EXIT_CLEAN = 0       # every route routed and the checker found nothing
EXIT_CONFLICTS = 1   # routed, but with findings (or a route could not be routed)
EXIT_BAD_INPUT = 2   # the scene (or a request) could not be used


@dataclass
class Outcome:
    """What happened to one scene file: its summary row, findings, and exit code."""

    scene: str
    code: int
    row: dict[str, Any] | None = None
    findings: list[str] = field(default_factory=list)
    attempts: list[str] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    error: str = ""
    description: str = ""
    outputs: list[str] = field(default_factory=list)

    @property
    def failed(self) -> bool:
        """Not routed for a reason other than its input: every router failed, or its worker died."""
        return self.code == EXIT_CONFLICTS and self.error != ""


def _describe_attempts(attempts: Sequence[Any]) -> list[str]:
    """One line per attempt; candidates skipped for the same reason share one line."""
    out: list[str] = []
    skipped: dict[str, list[str]] = {}
    for a in attempts:
        if a.status == "skipped":
            names = skipped.setdefault(a.message, [])
            strategy = a.strategy.split(" ")[0]
            if strategy not in names:
                names.append(strategy)
        else:
            out.append(a.describe())
    out += [f"skipped ({why}): {', '.join(names)}" for why, names in skipped.items()]
    return out


def process_scene(scene_path: str | Path, out: str | Path | None = None, svg: str | Path | None = None,
                  gds: str | Path | None = None, strategy: str | None = None,
                  gds_settings: Mapping[str, Any] | None = None, time_budget: float | None = None) -> Outcome:
    """Route one scene file and write the requested outputs (each atomically).

    out: route file (JSON: routes, strategy, summary, findings); svg: picture;
    gds: layout, with `gds_settings` (keys of the scene's "gds" object) over the
    scene's own.  `time_budget`: seconds for routing (None: auto's default).  Never raises for a bad scene, a router error or an output that
    cannot be written: the `Outcome` carries the message and the exit code (0
    clean, 1 conflicts or not routed, 2 bad input).  Ctrl-C still interrupts.
    """
    path = str(scene_path)
    try:
        return _process(path, out, svg, gds, strategy, gds_settings, time_budget)
    except Exception as e:  # a fault of this package: reported with the scene, never a traceback
        return Outcome(path, EXIT_CONFLICTS, error=f"not routed: internal error {type(e).__name__}: {e}")


def _process(path: str, out: str | Path | None, svg: str | Path | None, gds: str | Path | None,
             strategy: str | None, gds_settings: Mapping[str, Any] | None, time_budget: float | None) -> Outcome:
    clash = clashing_outputs([path], [(what, p) for what, p in (("-o", out), ("--svg", svg), ("--gds", gds))
                                      if p is not None])
    if clash:
        return Outcome(path, EXIT_BAD_INPUT, error=f"{path}: {clash}")
    try:
        scene = load_scene(path)
        if gds_settings:
            scene = dataclasses.replace(scene, gds=read_gds_settings(gds_settings, scene.gds, "--gds options"))
    except SceneError as e:
        return Outcome(path, EXIT_BAD_INPUT, error=str(e))
    result = route_scene(scene, strategy, time_budget)
    attempts = _describe_attempts(result.attempts)
    notes = list(dict.fromkeys(a.message for a in result.attempts if a.message and a.status != "skipped"))
    if result.budget_reached:
        notes.append("the time budget was reached: the best result found by then is kept")
    if result.strategy is None and all(a.status == "unavailable" for a in result.attempts):
        return Outcome(path, EXIT_BAD_INPUT, attempts=attempts, notes=notes, error=notes[-1],
                       description=scene.description)
    row = summary_row(result, Path(path).name)
    forced = forced_crossings(scene, result.report)
    findings = finding_lines(scene, result.report, forced)
    outcome = Outcome(path, EXIT_CLEAN if result.clean else EXIT_CONFLICTS, row, findings, attempts, notes,
                      description=scene.description)
    if result.strategy is None:
        outcome.error = "not routed: " + "; ".join(notes)
    try:
        if out is not None:
            doc = routes_document(scene, result.skeletons, strategy=result.strategy, attempts=attempts,
                                  summary=row, findings=[f.as_dict() for f in result.report.findings])
            write_atomic(out, json.dumps(doc, indent=1) + "\n")
            outcome.outputs.append(str(out))
        if svg is not None:
            write_atomic(svg, render_svg(scene, result.skeletons,
                                         [f for f, x in zip(result.report.findings, forced) if not x],
                                         scene.description or Path(path).name,
                                         strategy=result.strategy or "not routed",
                                         forced=[f for f, x in zip(result.report.findings, forced) if x]))
            outcome.outputs.append(str(svg))
        if gds is not None:
            write_gds(gds, scene, result.skeletons, result.report.findings)
            outcome.outputs.append(str(gds))
    except Exception as e:  # an output that cannot be written is a bad request, reported with the scene
        outcome.code = EXIT_BAD_INPUT
        outcome.error = f"cannot write output: {type(e).__name__}: {e}"
    return outcome


def collect_scenes(items: Iterable[str | Path]) -> list[Path]:
    """Scene files named by `items`: files as given, folders as their ``*.json`` files (sorted).

    Route files (``*.routes.json``) inside a folder are skipped.
    """
    out: list[Path] = []
    for item in map(Path, items):
        if item.is_dir():
            out += sorted(p for p in item.glob("*.json") if not p.name.endswith(".routes.json"))
        else:
            out.append(item)
    return out


def output_path(folder: str | Path | None, scene: str | Path, suffix: str) -> Path | None:
    """Where a batch writes one output of `scene`: ``folder/<stem><suffix>`` (None: not written)."""
    return None if folder is None else Path(folder) / (Path(scene).stem + suffix)


def _pool_context() -> BaseContext:
    """Workers forked from a server that has loaded this module (quick to start, and
    free of whatever threads the calling process runs); spawned where there is none."""
    from multiprocessing import get_all_start_methods, get_context
    if "forkserver" not in get_all_start_methods():
        return get_context("spawn")
    ctx = get_context("forkserver")
    ctx.set_forkserver_preload([__name__])
    return ctx


# In a worker of this module's own pool: which tasks have started (shared with the parent).
_started: Any = None


def _worker_start(parent: int, stop: Any, started: Any) -> None:
    """Set up a pool worker: Ctrl-C is the parent's to handle, and the worker ends
    when the parent process dies or sets `stop` (the parent may be killed outright,
    leaving no one to shut the pool down)."""
    global _started
    _started = started
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    first_parent = os.getppid()

    def watch() -> None:
        # A plain shared flag, polled: a multiprocessing Event would make the
        # parent's set() wait for sleepers in workers that have already exited.
        while not stop.value and os.getppid() == first_parent and process_alive(parent):
            time.sleep(0.2)
        os._exit(1)
    threading.Thread(target=watch, daemon=True, name="kelvane-parent-watch").start()


def _work(i: int, task: tuple) -> Outcome:
    """Task i of a pool: marks it started, then routes it (through the module-level name)."""
    if _started is not None:
        _started[i] = 1
    return process_scene(*task)


class Interrupted(KeyboardInterrupt):
    """A batch stopped by Ctrl-C; ``outcomes`` are those of the scenes finished before it."""

    def __init__(self, outcomes: list[Outcome]):
        super().__init__()
        self.outcomes = outcomes


class _OwnPool:
    """Process pools of this module: on a dead worker, the scenes it was not routing are
    routed again in a fresh pool, and those it may have been routing each alone in
    a pool of one; a scene whose lone worker dies too is reported, not retried."""

    def __init__(self, jobs: int, count: int):
        self.ctx = _pool_context()
        self.jobs = jobs
        self.stop = self.ctx.RawValue("b", 0)
        self.started = self.ctx.Array("b", max(count, 1), lock=False)
        self.pools: list[ProcessPoolExecutor] = []

    def _pool(self, workers: int) -> ProcessPoolExecutor:
        from concurrent.futures import ProcessPoolExecutor
        pool = ProcessPoolExecutor(max_workers=workers, mp_context=self.ctx, initializer=_worker_start,
                                   initargs=(os.getpid(), self.stop, self.started))
        self.pools.append(pool)
        return pool

    def run(self, tasks: list[tuple], done: Callable[[int, Outcome], None]) -> None:
        from concurrent.futures.process import BrokenProcessPool
        shared, alone = list(range(len(tasks))), []
        while shared or alone:
            broken: list[int] = []
            if shared:
                pool = self._pool(self.jobs)
                for i in shared:
                    self.started[i] = 0
                futures = {pool.submit(_work, i, tasks[i]): i for i in shared}
                for fut in as_completed(futures):
                    i = futures[fut]
                    try:
                        done(i, fut.result())
                    except BrokenProcessPool:
                        broken.append(i)
                    except Exception as e:  # cannot pickle, ...
                        done(i, _failed(tasks[i][0], f"{type(e).__name__}: {e}"))
                pool.shutdown(wait=True)
            for i in alone:
                pool = self._pool(1)
                try:
                    done(i, pool.submit(_work, i, tasks[i]).result())
                except BrokenProcessPool:
                    done(i, _failed(tasks[i][0], "not routed: its worker process died twice, the second time "
                                                 "routing this scene alone"))
                except Exception as e:
                    done(i, _failed(tasks[i][0], f"{type(e).__name__}: {e}"))
                pool.shutdown(wait=True)
            # Of the tasks a broken pool left, those that had started may have killed it.
            alone = [i for i in broken if self.started[i]]
            shared = [i for i in broken if not self.started[i]]

    def close(self) -> None:
        self.stop.value = 1
        for pool in self.pools:
            pool.shutdown(wait=True, cancel_futures=True)


def _failed(scene: str, message: str) -> Outcome:
    return Outcome(scene, EXIT_CONFLICTS, error=message)


def route_batch(scenes: Sequence[str | Path], out_dir: str | Path | None = None, svg_dir: str | Path | None = None,
                gds_dir: str | Path | None = None, strategy: str | None = None, executor: Executor | None = None,
                jobs: int | None = None, progress: bool | None = None,
                gds_settings: Mapping[str, Any] | None = None, time_budget: float | None = None) -> list[Outcome]:
    """Route many scene files in parallel; outcomes in the order of `scenes`.

    Outputs go to ``out_dir/<stem>.routes.json``, ``svg_dir/<stem>.svg`` and
    ``gds_dir/<stem>.gds`` (each folder only when given); `ValueError` when two
    of them, or an output and a scene, would be the same file.  `executor` is any
    `concurrent.futures.Executor`; without one, `jobs` worker processes are
    started (default: one per core; ``jobs=1`` routes in this process).  Such
    workers end with this process; when one dies, the scenes it left are routed
    again (a scene that kills its worker twice is reported).  `progress` shows a
    bar on stderr (default: when stderr is a terminal).  A scene that fails
    becomes an `Outcome` with the message; the others are routed and written all
    the same.  Ctrl-C raises `Interrupted` carrying the outcomes finished so far.
    `time_budget`: seconds of routing per scene (None: auto's default).
    """
    from tqdm import tqdm

    paths = [Path(s) for s in scenes]
    tasks = [(str(p), output_path(out_dir, p, ".routes.json"), output_path(svg_dir, p, ".svg"),
              output_path(gds_dir, p, ".gds"), strategy, gds_settings, time_budget) for p in paths]
    clash = clashing_outputs(paths, [(f"the output of {t[0]}", o) for t in tasks for o in t[1:4] if o is not None])
    if clash:
        raise ValueError(clash)
    bar = tqdm(total=len(tasks), unit="scene", file=sys.stderr, delay=0.5,
               disable=not (sys.stderr.isatty() if progress is None else progress))
    outcomes: list[Outcome | None] = [None] * len(tasks)

    def done(i: int, outcome: Outcome) -> None:
        outcomes[i] = outcome
        bar.update()

    own = None
    if executor is None and (jobs or os.cpu_count() or 1) > 1:
        own = _OwnPool(jobs or os.cpu_count() or 1, len(tasks))
    try:
        if own is not None:
            own.run(tasks, done)
        elif executor is None:
            for i, t in enumerate(tasks):
                done(i, process_scene(*t))
        else:
            futures: dict[Future, int] = {executor.submit(process_scene, *t): i for i, t in enumerate(tasks)}
            for fut in as_completed(futures):
                i = futures[fut]
                try:
                    outcome = fut.result()
                except Exception as e:  # the worker itself failed (killed, cannot pickle, ...)
                    outcome = _failed(tasks[i][0], f"{type(e).__name__}: {e}")
                done(i, outcome)
    except KeyboardInterrupt:
        raise Interrupted([o for o in outcomes if o is not None]) from None
    finally:
        bar.close()
        if own is not None:
            own.close()
    return [o for o in outcomes if o is not None]
