"""Routing scene files: one at a time, or many in parallel on any executor.

`process_scene` is the whole job for one file (read, route, check, write the
requested outputs) and returns a small picklable `Outcome`; `route_batch` sends
it to a `concurrent.futures.Executor` (a local process pool by default, or for
example Dask's ``Client.get_executor()``), shows a progress bar and never lets
one bad scene stop the others.
"""

from __future__ import annotations

import json
import os
import sys
from concurrent.futures import Executor, Future, ProcessPoolExecutor, as_completed
from dataclasses import dataclass, field
from multiprocessing import get_all_start_methods, get_context
from multiprocessing.context import BaseContext
from pathlib import Path
from typing import Any, Iterable, Sequence

from ._files import write_atomic
from .gds import write_gds
from .routing import route_scene, summary_row
from .scene import SceneError, load_scene, routes_document
from .svg import render_svg

__all__ = ["Outcome", "process_scene", "route_batch", "collect_scenes", "output_path", "EXIT_CLEAN", "EXIT_CONFLICTS",
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


def process_scene(scene_path: str | Path, out: str | Path | None = None, svg: str | Path | None = None,
                  gds: str | Path | None = None, strategy: str | None = None) -> Outcome:
    """Route one scene file and write the requested outputs (each atomically).

    out: route file (JSON: routes, strategy, summary, findings); svg: picture;
    gds: layout.  Never raises for a bad scene or a router error: the `Outcome`
    carries the message and the exit code (0 clean, 1 conflicts, 2 bad input).
    """
    path = str(scene_path)
    try:
        scene = load_scene(path)
    except SceneError as e:
        return Outcome(path, EXIT_BAD_INPUT, error=str(e))
    result = route_scene(scene, strategy)
    attempts = [a.strategy + (f" ({a.status})" if a.status == "unavailable" else
                              f" ({a.status}, {a.seconds * 1e3:.1f} ms)") for a in result.attempts]
    notes = list(dict.fromkeys(a.message for a in result.attempts if a.message))
    if result.strategy is None and all(a.status == "unavailable" for a in result.attempts):
        return Outcome(path, EXIT_BAD_INPUT, attempts=attempts, notes=notes, error=notes[-1],
                       description=scene.description)
    row = summary_row(result, Path(path).name)
    findings = [str(f) for f in result.report.findings]
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
            n = len(result.report.findings)
            title = f"{scene.description or Path(path).name}  [{result.strategy or 'not routed'}, {n} finding(s)]"
            write_atomic(svg, render_svg(scene, result.skeletons, result.report.findings, title))
            outcome.outputs.append(str(svg))
        if gds is not None:
            write_gds(gds, scene, result.skeletons)
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
    if "forkserver" not in get_all_start_methods():
        return get_context("spawn")
    ctx = get_context("forkserver")
    ctx.set_forkserver_preload([__name__])
    return ctx


def route_batch(scenes: Sequence[str | Path], out_dir: str | Path | None = None, svg_dir: str | Path | None = None,
                gds_dir: str | Path | None = None, strategy: str | None = None, executor: Executor | None = None,
                jobs: int | None = None, progress: bool | None = None) -> list[Outcome]:
    """Route many scene files in parallel; outcomes in the order of `scenes`.

    Outputs go to ``out_dir/<stem>.routes.json``, ``svg_dir/<stem>.svg`` and
    ``gds_dir/<stem>.gds`` (each folder only when given).  `executor` is any
    `concurrent.futures.Executor`; without one, `jobs` worker processes are
    started (default: one per core; ``jobs=1`` routes in this process).
    `progress` shows a bar on stderr (default: when stderr is a terminal).  A
    scene that fails, or whose worker dies, becomes an `Outcome` with the
    message; the others are routed and written all the same.
    """
    from tqdm import tqdm

    paths = [Path(s) for s in scenes]
    stems: dict[str, Path] = {}
    for p in paths:
        if p.stem in stems and (out_dir or svg_dir or gds_dir):
            raise ValueError(f"{stems[p.stem]} and {p} would write the same output files")
        stems.setdefault(p.stem, p)
    tasks = [(str(p), output_path(out_dir, p, ".routes.json"), output_path(svg_dir, p, ".svg"), output_path(gds_dir, p, ".gds"),
              strategy) for p in paths]
    bar = tqdm(total=len(tasks), unit="scene", file=sys.stderr, delay=0.5,
               disable=not (sys.stderr.isatty() if progress is None else progress))
    outcomes: list[Outcome | None] = [None] * len(tasks)
    own = None
    if executor is None and (jobs or os.cpu_count() or 1) > 1:
        own = executor = ProcessPoolExecutor(max_workers=jobs or os.cpu_count(), mp_context=_pool_context())
    try:
        if executor is None:
            for i, t in enumerate(tasks):
                outcomes[i] = process_scene(*t)
                bar.update()
        else:
            futures: dict[Future, int] = {executor.submit(process_scene, *t): i for i, t in enumerate(tasks)}
            for fut in as_completed(futures):
                i = futures[fut]
                try:
                    outcomes[i] = fut.result()
                except Exception as e:  # the worker itself failed (killed, cannot pickle, ...)
                    outcomes[i] = Outcome(tasks[i][0], EXIT_CONFLICTS, error=f"{type(e).__name__}: {e}")
                bar.update()
    finally:
        bar.close()
        if own is not None:
            own.shutdown(cancel_futures=True)
    return [o for o in outcomes if o is not None]
