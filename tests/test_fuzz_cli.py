"""A bounded fuzz of `kelvane route`: every malformed file is a clean refusal, alone or in a batch."""

import contextlib
import io
import os

from fuzz_scenes import write_files

from kelvane import cli

COUNT = 45 if os.environ.get("CI") else 150  # bench/fuzz_route.py runs many more, each in its own process


def run(argv):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = cli.main(argv)  # any exception escaping here is a traceback the user would see
    return code, out.getvalue(), err.getvalue()


def test_malformed_scene_files_are_refused_by_name(tmp_path):
    paths = write_files(tmp_path, COUNT, seed=1)
    refused = 0
    for p in paths:
        code, out, err = run(["route", str(p)])
        assert code in (0, 1, 2) and "Traceback" not in err and "internal error" not in err, (p, err)
        assert code == 2 or p.stem.endswith("mutated"), p  # random bytes and random JSON are never scenes
        if code == 2:
            refused += 1
            lines = err.strip().splitlines()
            assert lines and all(line.startswith(f"{p}: ") for line in lines), (p, err)
        else:
            assert p.stem.endswith("mutated") and "strategy" in out, (p, out)
    for jobs in ("1", "2"):
        code, out, err = run(["route", str(tmp_path), "--jobs", jobs])
        assert code == 2 and "Traceback" not in err and "internal error" not in err
        assert f"{COUNT} scenes: " in out and f", {refused} bad input;" in out
