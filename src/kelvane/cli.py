"""The ``kelvane`` command line (also ``python -m kelvane``)."""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path
from typing import Sequence

from . import __version__
from ._files import clashing_outputs
from .batch import (EXIT_BAD_INPUT, EXIT_CLEAN, EXIT_CONFLICTS, Interrupted, Outcome, collect_scenes, output_path,
                    process_scene, route_batch)
from .check import check_routes
from .routing import DEFAULT_TIME_BUDGET, SUMMARY_COLUMNS, format_table
from .scene import GDS_KEYS, SceneError, format_help, load_routes, load_scene, read_gds_settings
from .strategies import STRATEGIES

EXIT_INTERRUPTED = 130  # Ctrl-C, as shells report a process ended by SIGINT
LAYER_KINDS = [k.name[:-len("_layer")] for k in GDS_KEYS if k.name.endswith("_layer")]

EXIT_CODES = f"""exit codes:
  {EXIT_CLEAN}  every route routed and the checker found nothing
  {EXIT_CONFLICTS}  routed with conflicts (crossings, shared track, spacing, obstacles, wrong ends or
     headings, too-short runs) or a route could not be routed
  {EXIT_BAD_INPUT}  bad input: unreadable or invalid scene/route file, unavailable strategy or extra,
     an output that cannot be written or that would overwrite an input or another output
  {EXIT_INTERRUPTED}  interrupted (Ctrl-C): what was finished is summarised; outputs are whole or absent"""

COLUMNS = "summary columns:\n" + "\n".join(f"  {title:<13} {meaning}" for _, title, _, meaning in SUMMARY_COLUMNS)

STRATEGY_HELP = "strategies:\n  auto          the best of several: the river always; backbone, single and spaced unless\n" \
    "                a plain bundle is clean already; rail-bridge variants and\n" \
    "                negotiated while none is clean; ranked by what is wrong (shared track, crossings\n" \
    "                other than one per pair whose ports force it, length through obstacles, spacing\n" \
    "                shortfall, bend misfits), then length and bends\n" + "\n".join(
        f"  {name:<13} {s.doc}" for name, s in STRATEGIES.items())


def _seconds(text: str) -> float:
    """--time-budget: a positive number of seconds."""
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not (0 < value < float("inf")):
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {text!r}")
    return value


def _parser() -> argparse.ArgumentParser:
    fmt = argparse.RawDescriptionHelpFormatter
    p = argparse.ArgumentParser(
        prog="kelvane", formatter_class=fmt,
        description="Manhattan routing of circuit layouts from scene files.",
        epilog="Run 'kelvane COMMAND --help' for each command.\n\n" + EXIT_CODES)
    p.add_argument("--version", action="version", version=f"kelvane {__version__}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND")

    r = sub.add_parser(
        "route", formatter_class=fmt, help="route scene files",
        description="Route one scene file, or many (several files or folders of *.json) in parallel.\n"
                    "With one scene, -o/--svg/--gds name files; with several they name folders that\n"
                    "receive <stem>.routes.json, <stem>.svg and <stem>.gds.",
        epilog="\n\n".join([STRATEGY_HELP, COLUMNS, EXIT_CODES, "example:\n  kelvane route examples/bundle.json "
                                                                 "--svg bundle.svg -o bundle.routes.json"]))
    r.epilog += ("\n\n-o, --svg and --gds name a folder when it exists or ends with /; a folder that does not exist "
                 "yet is\ncreated.  An output may not be a scene of the run nor another output.")
    r.add_argument("scenes", nargs="+", metavar="SCENE", help="scene file(s) or folder(s) of scene files")
    r.add_argument("--strategy", choices=["auto", *STRATEGIES], default=None,
                   help="routing strategy (default: the scene's own \"strategy\", else auto)")
    r.add_argument("--time-budget", metavar="SECONDS", type=_seconds, default=None,
                   help=f"time for routing one scene; the best result found by then is kept and the "
                        f"summary says so (default: {DEFAULT_TIME_BUDGET:g} s)")
    r.add_argument("-o", "--out", metavar="ROUTES", help="write the routes as JSON (file, or folder: <stem>.routes.json)")
    r.add_argument("--svg", metavar="SVG", help="draw the scene, routes and findings (file, or folder)")
    r.add_argument("--gds", metavar="GDS", help="write a GDS layout with real bends (file, or folder); "
                                                "needs gdstk")
    r.add_argument("--gds-cell", metavar="NAME", help="GDS cell name (default: the scene's, else kelvane)")
    r.add_argument("--gds-layer", metavar="KIND=L/D", action="append", default=[],
                   help=f"GDS layer/datatype of one kind of shape ({', '.join(LAYER_KINDS)}), e.g. route=1/0; "
                        "may be repeated (defaults: kelvane format)")
    r.add_argument("--arc-tolerance", metavar="UM", type=float,
                   help="largest distance of a GDS bend's facets from the true arc (default 0.001)")
    r.add_argument("-j", "--jobs", type=int, default=None, metavar="N",
                   help="worker processes for a batch (default: one per core; 1 = no pool)")
    r.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar for a batch (default: when stderr is a terminal)")

    c = sub.add_parser("check", formatter_class=fmt, help="check routes against their scene",
                       description="Check a route file (as written by 'kelvane route -o', or by hand:\n"
                                   "{\"routes\": [{\"name\": ..., \"points\": [[x, y], ...]}, ...]}) against "
                                   "its scene.\nEvery finding is printed with its route and place.",
                       epilog=COLUMNS + "\n\n" + EXIT_CODES)
    c.add_argument("scene", metavar="SCENE", help="scene file")
    c.add_argument("routes", metavar="ROUTES", help="route file")
    c.add_argument("--svg", metavar="SVG", help="draw the scene, the routes and the findings")

    sub.add_parser("format", help="describe the scene file format",
                   description="Print the keys of a scene file, their meaning and defaults.")
    return p


def _print_outcome(o: Outcome, show_table: bool = True) -> None:
    if o.description:
        print(o.description)
    if o.row is not None and show_table:
        print(format_table([o.row]))
    if len(o.attempts) > 1:
        print("tried: " + ", ".join(o.attempts))
    for note in o.notes:
        print("  " + note)
    if o.findings:
        print(f"{len(o.findings)} finding(s):")
        for f in o.findings:
            print("  " + f)
    if o.error:
        print(o.error, file=sys.stderr)
    if o.outputs:
        print("wrote " + ", ".join(o.outputs))


def _gds_settings(args: argparse.Namespace) -> dict[str, object]:
    """The --gds-* options as entries of a scene's "gds" object (checked); `SceneError` naming the option."""
    raw: dict[str, object] = {}
    if args.gds_cell is not None:
        raw["cell"] = args.gds_cell
    for item in args.gds_layer:
        kind, _, value = item.partition("=")
        if kind not in LAYER_KINDS:
            raise SceneError("", [f"--gds-layer {item}: expected KIND=LAYER/DATATYPE with KIND one of "
                                  f"{', '.join(LAYER_KINDS)}"])
        raw[f"{kind}_layer"] = value
    if args.arc_tolerance is not None:
        raw["arc_tolerance"] = args.arc_tolerance
    read_gds_settings(raw, where="--gds options")
    return raw


def _is_folder(arg: str) -> bool:
    return arg.endswith(("/", os.sep)) or Path(arg).is_dir()


def _summary(outcomes: list[Outcome], seconds: float) -> str:
    clean = sum(o.code == EXIT_CLEAN for o in outcomes)
    failed = sum(o.failed for o in outcomes)
    conflicts = sum(o.code == EXIT_CONFLICTS for o in outcomes) - failed
    bad = sum(o.code == EXIT_BAD_INPUT for o in outcomes)
    return (f"{len(outcomes)} scenes: {clean} clean, {conflicts} with conflicts, {failed} not routed, {bad} bad input; "
            f"{seconds:.2f} s, {len(outcomes) / max(seconds, 1e-9):.1f} scenes/s")


def _route(args: argparse.Namespace) -> int:
    if args.gds is not None:
        from .gds import GdsUnavailable, require_gdstk
        try:
            require_gdstk()
        except GdsUnavailable as e:
            print(f"kelvane: {e}", file=sys.stderr)
            return EXIT_BAD_INPUT
    try:
        gds_settings = _gds_settings(args)
    except SceneError as e:
        print(f"kelvane: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    missing = [s for s in args.scenes if not Path(s).exists()]
    if missing:
        print(f"kelvane: no such file or folder: {', '.join(missing)}", file=sys.stderr)
        return EXIT_BAD_INPUT
    paths = collect_scenes(args.scenes)
    if len(args.scenes) == 1 and not Path(args.scenes[0]).is_dir():
        def dest(arg: str | None, suffix: str) -> str | Path | None:
            # A folder given for one scene receives <stem><suffix>, as in a batch.
            return output_path(arg, paths[0], suffix) if arg and _is_folder(arg) else arg
        try:
            outcome = process_scene(paths[0], dest(args.out, ".routes.json"), dest(args.svg, ".svg"),
                                    dest(args.gds, ".gds"), args.strategy, gds_settings, args.time_budget)
        except KeyboardInterrupt:
            print(f"kelvane: interrupted while routing {paths[0]} (an output is whole or absent)", file=sys.stderr)
            return EXIT_INTERRUPTED
        _print_outcome(outcome)
        return outcome.code
    if not paths:
        print(f"kelvane: no scene files in {', '.join(args.scenes)}", file=sys.stderr)
        return EXIT_BAD_INPUT
    t0 = time.perf_counter()
    code = None
    try:
        outcomes = route_batch(paths, args.out, args.svg, args.gds, args.strategy, jobs=args.jobs,
                               progress=args.progress, gds_settings=gds_settings, time_budget=args.time_budget)
    except ValueError as e:
        print(f"kelvane: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except Interrupted as e:
        outcomes, code = e.outcomes, EXIT_INTERRUPTED
    seconds = time.perf_counter() - t0
    rows = [o.row for o in outcomes if o.row is not None]
    if rows:
        print(format_table(rows))
    for o in outcomes:
        if o.error:
            print(o.error if o.code == EXIT_BAD_INPUT and o.error.startswith(o.scene) else f"{o.scene}: {o.error}",
                  file=sys.stderr)
    print(_summary(outcomes, seconds))
    if code == EXIT_INTERRUPTED:
        print(f"kelvane: interrupted; {len(paths) - len(outcomes)} of {len(paths)} scenes not finished",
              file=sys.stderr)
        return code
    return max(o.code for o in outcomes)


def _check(args: argparse.Namespace) -> int:
    try:
        scene = load_scene(args.scene)
        skeletons = load_routes(args.routes, scene)
    except SceneError as e:
        print(e, file=sys.stderr)
        return EXIT_BAD_INPUT
    report = check_routes(scene, skeletons)
    for f in report.findings:
        print(f)
    routed = sum(s is not None for s in skeletons)
    print(f"{len(report.findings)} finding(s); {routed}/{len(skeletons)} routes, length {sum(report.lengths):.6g}, "
          f"{sum(report.bends)} bends")
    if args.svg:
        from ._files import write_atomic
        from .svg import render_svg
        clash = clashing_outputs([args.scene, args.routes], [("--svg", args.svg)])
        if clash:
            print(f"kelvane: {clash}", file=sys.stderr)
            return EXIT_BAD_INPUT
        write_atomic(args.svg, render_svg(scene, skeletons, report.findings, f"check of {args.routes}"))
        print(f"wrote {args.svg}")
    return EXIT_CLEAN if report.clean else EXIT_CONFLICTS


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with `argv` (default: sys.argv[1:]); returns the exit code."""
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # argparse exits 2 on a usage error, 0 for --help
        return int(e.code or 0)
    commands = {"route": _route, "check": _check, "format": lambda _: print(format_help()) or EXIT_CLEAN}
    if args.command not in commands:
        parser.print_help()
        return EXIT_BAD_INPUT
    try:
        return commands[args.command](args)
    except BrokenPipeError:  # output piped into a reader that stopped early (| head)
        sys.stdout = open(os.devnull, "w")
        return EXIT_CLEAN
    except KeyboardInterrupt:
        print("kelvane: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
