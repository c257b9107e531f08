"""Start-up of the command line: `kelvane route` as a new process, against `python -c pass`.

    python bench/bench_startup.py [--runs 7]

Times whole processes (import, read, route, check, print), the median of `runs`
runs each, on a one-route scene and on the bundled eight-channel bundle scene,
and prints each beside `python -c pass` timed in the same run (the ratio is the
figure to compare between machines and runs), and whether the run imported jax.
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


def median_seconds(argv, runs):
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=7)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        one = Path(tmp) / "one.json"
        one.write_text(json.dumps(ONE_ROUTE))
        scenes = {"one route": str(one), "bundle": str(ROOT / "examples" / "bundle.json")}
        base = median_seconds([sys.executable, "-c", "pass"], args.runs)
        print(f"python -c pass: {base * 1e3:.0f} ms (median of {args.runs})")
        print(f"{'scene':<10} {'kelvane route ms':>17} {'x python':>9} {'jax imported':>13}")
        for name, path in scenes.items():
            t = median_seconds([sys.executable, "-m", "kelvane", "route", path], args.runs)
            probe = subprocess.run([sys.executable, "-c", "import sys; from kelvane.cli import main; "
                                    f"main(['route', {path!r}]); print('jax' in sys.modules, file=sys.stderr)"],
                                   capture_output=True, text=True)
            jax = probe.stderr.strip().splitlines()[-1] if probe.stderr.strip() else "?"
            print(f"{name:<10} {t * 1e3:17.0f} {t / base:9.1f} {jax:>13}")


if __name__ == "__main__":
    main()
