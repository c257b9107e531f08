"""Start-up of the command line: `kelvane route` as a new process, against `python -c pass`.

    python bench/bench_startup.py [--runs 11] [--compare OTHER_PYTHON]

Times whole processes (import, read, route, check, print), the median of `runs`
runs each, on a one-route scene and on the bundled eight-channel bundle scene,
and prints each beside `python -c pass` timed in the same run (the ratio is the
figure to compare between machines and runs), and whether the run imported jax.
With --compare, the same commands also run under another environment's Python
(another checkout's .venv/bin/python: the code before a change), interleaved.
"""

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
ONE_ROUTE = {"delta": 5, "spacing": 3, "obstacles": [[20, -10, 40, 10]],
             "routes": [{"name": "a", "start": [0, 0], "start_heading": [1, 0], "end": [60, 0], "end_heading": [1, 0]}]}


def run_seconds(argv):
    t = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - t


def medians(commands, runs):
    """Median seconds of each command; runs interleaved so that drift in the machine's load hits all alike."""
    times = {name: [] for name in commands}
    for _ in range(runs):
        for name, argv in commands.items():
            times[name].append(run_seconds(argv))
    return {name: statistics.median(t) for name, t in times.items()}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=11)
    ap.add_argument("--compare", metavar="PYTHON", help="also time kelvane as installed for this interpreter")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        one = Path(tmp) / "one.json"
        one.write_text(json.dumps(ONE_ROUTE))
        scenes = {"one route": str(one), "bundle": str(ROOT / "examples" / "bundle.json")}
        pythons = {"": sys.executable, **({" (compared)": args.compare} if args.compare else {})}
        commands = {"python": [sys.executable, "-c", "pass"]}
        for tag, py in pythons.items():
            commands.update({name + tag: [py, "-m", "kelvane", "route", path] for name, path in scenes.items()})
        times = medians(commands, args.runs)
        base = times["python"]
        print(f"python -c pass: {base * 1e3:.0f} ms (median of {args.runs}, interleaved with the runs below)")
        print(f"{'scene':<22} {'kelvane route ms':>17} {'x python':>9} {'jax imported':>13}")
        for tag, py in pythons.items():
            for name, path in scenes.items():
                probe = subprocess.run([py, "-c", "import sys; from kelvane.cli import main; "
                                        f"main(['route', {path!r}]); print('jax' in sys.modules, file=sys.stderr)"],
                                       capture_output=True, text=True)
                jax = probe.stderr.strip().splitlines()[-1] if probe.stderr.strip() else "?"
                t = times[name + tag]
                print(f"{name + tag:<22} {t * 1e3:17.0f} {t / base:9.1f} {jax:>13}")

if __name__ == "__main__":
    main()
