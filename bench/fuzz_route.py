"""Fuzz `kelvane route` with malformed scene files and count how each run ends.

    python bench/fuzz_route.py [--count 300] [--seed 0] [--jobs 2] [--timeout 60] [--keep DIR]

Writes `count` files (tests/fuzz_scenes.py: random bytes, random JSON, mutated
bundled scenes, in turn), runs `kelvane route FILE` on each as its own process,
and prints per kind of file how many runs exited 0, 1 and 2, how many printed a
traceback, ended otherwise (signal, other exit code) or ran past the timeout, and
how many exit-2 messages did not name the file.  Then the whole folder is routed
as one batch, in this process's pool and with --jobs 1, and the batch's
"bad input" count is compared with the single runs'.  Files that misbehaved are
listed (kept with --keep).
"""

import argparse
import subprocess
import sys
import tempfile
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from fuzz_scenes import KINDS, write_files  # noqa: E402


def run_one(path, timeout):
    try:
        r = subprocess.run([sys.executable, "-m", "kelvane", "route", str(path)], capture_output=True, text=True,
                           timeout=timeout, errors="replace")
    except subprocess.TimeoutExpired:
        return "timeout", ""
    if "Traceback" in r.stderr or "internal error" in r.stderr:
        return "traceback", r.stderr
    if r.returncode not in (0, 1, 2):
        return f"exit {r.returncode}", r.stderr
    if r.returncode == 2 and str(path) not in r.stderr:
        return "unnamed", r.stderr
    return f"exit {r.returncode}", ""


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--count", type=int, default=300)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--timeout", type=float, default=60)
    ap.add_argument("--keep", metavar="DIR", help="write the files here and keep them")
    args = ap.parse_args()
    tmp = None if args.keep else tempfile.TemporaryDirectory()
    folder = Path(args.keep or tmp.name)
    folder.mkdir(parents=True, exist_ok=True)
    paths = write_files(folder, args.count, args.seed)
    with ThreadPoolExecutor(args.jobs) as pool:
        results = list(pool.map(lambda p: run_one(p, args.timeout), paths))
    table = {kind: Counter() for kind in KINDS}
    for p, (status, _) in zip(paths, results):
        table[p.stem.split("-")[1]][status] += 1
    columns = ["exit 0", "exit 1", "exit 2", "traceback", "unnamed", "timeout"]
    columns += sorted({s for c in table.values() for s in c} - set(columns))
    print(f"{'files':<9} {'tried':>6} " + " ".join(f"{c:>9}" for c in columns))
    for kind, c in table.items():
        print(f"{kind:<9} {sum(c.values()):6d} " + " ".join(f"{c[col]:9d}" for col in columns))
    total = sum(table.values(), Counter())
    print(f"{'all':<9} {sum(total.values()):6d} " + " ".join(f"{total[col]:9d}" for col in columns))
    for p, (status, err) in zip(paths, results):
        if status not in ("exit 0", "exit 1", "exit 2"):
            print(f"\n{p} ({status}):\n{err[-2000:]}")
    for jobs in (args.jobs, 1):
        r = subprocess.run([sys.executable, "-m", "kelvane", "route", str(folder), "--jobs", str(jobs)],
                           capture_output=True, text=True, errors="replace", timeout=args.timeout * args.count)
        summary = next((line for line in r.stdout.splitlines() if " scenes: " in line), "(no summary)")
        tracebacks = r.stderr.count("Traceback") + r.stderr.count("internal error")
        print(f"\nbatch --jobs {jobs}: exit {r.returncode}, {tracebacks} tracebacks; {summary}")
        print(f"  single runs: {total['exit 2'] + total['unnamed']} bad input")
    if tmp:
        tmp.cleanup()


if __name__ == "__main__":
    main()
