"""Outcomes of benchmark scenes pinned bit for bit: the solution key, the winning order and a
digest of every skeleton and lattice path.  Speed work on the router must not move them."""

import hashlib
import importlib.util
import pathlib

import numpy as np
import pytest

from kelvane.manhattan_router import negotiated as n

_spec = importlib.util.spec_from_file_location(
    "bench_negotiated_scenes", pathlib.Path(__file__).resolve().parents[1] / "bench" / "bench_negotiated.py")
bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bench)


def digest(skels, atomic, order):
    h = hashlib.sha256()
    for s in skels:
        h.update(b"-" if s is None else np.ascontiguousarray(s, dtype=float).tobytes())
        h.update(b"|")
    for a in atomic:
        h.update(repr(a).encode())
    h.update(repr(order).encode())
    return h.hexdigest()[:16]


PINNED = [
    # kind, routes, extra obstacles, (conflicts, crossings, overlaps, turns, length), order, digest
    ("swap", 4, 0, (2, 2, 0, 16, 516.0), [0, 1, 2, 3], "9d91ffb102216946"),
    ("swap", 8, 20, (12, 12, 0, 40, 1220.392), [5, 4, 3, 6, 0, 1, 7, 2], "f47a1328aca7dd90"),
    ("parallel", 16, 20, (4, 4, 0, 76, 2764.888), [13, 12, 6, 10, 8, 5, 11, 1, 7, 4, 15, 0, 14, 3, 2, 9], "e741f5739f5dc8fb"),
    ("corner", 16, 20, (2, 2, 0, 46, 6097.894), [3, 7, 13, 11, 6, 5, 0, 10, 14, 8, 4, 15, 1, 12, 2, 9], "590acffff6e0b93a"),
    ("swap", 16, 20, (56, 56, 0, 70, 4123.852), [13, 12, 6, 10, 8, 5, 11, 1, 7, 4, 15, 0, 14, 3, 2, 9], "eec5ab16faa94cd8"),
]


@pytest.mark.parametrize("kind, routes, obstacles, key, order, want", PINNED,
                         ids=[f"{k}-{b}-{o}" for k, b, o, *_ in PINNED])
def test_benchmark_outcome_is_pinned(kind, routes, obstacles, key, order, want):
    pc, pt, obs = bench.scene(kind, routes, obstacles)
    skels, atomic, got_order = n.route_negotiated_best(pc, pt, bench.DELTA, obs)
    cr, ov = n.count_crossings_atomic(atomic)
    got = (cr + ov, cr, ov, sum(n._count_turns(s) for s in skels), sum(n._manhattan_length(s) for s in skels))
    assert all(s is not None for s in skels)
    assert got == key and got_order == order
    assert digest(skels, atomic, got_order) == want
