"""Lattice search benchmark: _run_dijkstra + _select_end_state + _reconstruct_path.

    python bench/bench_lattice_search.py [--searches N] [--seed S]

Line lattices of n x n unit-spaced lines with random boxes covering ~10 %
(edges through a box interior are missing).  Each search goes between two
random nodes with random start/end headings, turn_pen 1, cross_pen 5, and
small penalty dicts like a negotiation pass hands over (edge penalties on
~2 % of the edges, chords on ~1 % of the nodes), so the time includes their
conversion.  Rows: LatticeAdjacency graphs (native) and, for the smaller
sizes, the same lattice as a plain dict (converted once per search).  It
prints nodes, edges, median states expanded and median / 90th-percentile
time per search, plus the ratio of each dict row to its native row.
"""

import argparse
import random
import statistics
import time
from dataclasses import dataclass

from kelvane.manhattan_router import graph


@dataclass
class G:
    adj: object
    start: tuple
    end: tuple
    start_dir: object = None
    end_dir: object = None


def make_lattice(n, rng):
    boxes = []
    for _ in range(max(1, n * n // 250)):
        x, y = rng.uniform(0, n - 1), rng.uniform(0, n - 1)
        w, h = rng.uniform(1.5, 5), rng.uniform(1.5, 5)
        boxes.append((x, y, x + w, y + h))
    return graph._line_lattice(list(range(n)), list(range(n)), boxes)


def make_queries(adj, count, rng):
    nodes = [p for p in adj if adj[p]]
    edges = [graph._ekey(p, q) for p in nodes for q, _ in adj[p] if p < q]
    out = []
    for _ in range(count):
        s, e = rng.sample(nodes, 2)
        edge_pen = {k: rng.uniform(1, 20) for k in rng.sample(edges, max(1, len(edges) // 50))}
        chords = {p: [rng.choice([(0, 2), (1, 3)])] for p in rng.sample(nodes, max(1, len(nodes) // 100))}
        out.append((s, e, rng.randrange(4), rng.randrange(4), edge_pen, chords))
    return out


def run(adj, queries):
    times, expanded, found = [], [], 0
    for s, e, sd, ed, edge_pen, chords in queries:
        g = G(adj, s, e, sd, ed)
        t0 = time.perf_counter()
        dist, prev = graph._run_dijkstra(g, "center", frozenset(), edge_pen=edge_pen, node_chords=chords,
                                         cross_pen=5.0, turn_pen=1.0)
        best = graph._select_end_state(g, dist, "center", turn_pen=1.0)
        if best is not None:
            graph._reconstruct_path(prev, best, g.start)
            found += 1
        times.append(time.perf_counter() - t0)
        expanded.append(dist.states_expanded)
    return times, expanded, found


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--searches", type=int, default=200)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    rng = random.Random(args.seed)

    print(f"{'lattice':>9} {'adj':>6} {'nodes':>7} {'edges':>7} {'expanded':>9} {'found':>6} "
          f"{'median us':>10} {'p90 us':>8} {'ratio':>6}")
    for n in (30, 100, 200):
        adj = make_lattice(n, rng)
        queries = make_queries(adj, args.searches, rng)
        n_edges = sum(len(v) for v in adj.values()) // 2
        rows = [("native", adj)]
        if n <= 100:
            rows.append(("dict", dict(adj.items())))
        base = None
        for label, a in rows:
            run(a, queries[:5])  # warm-up
            times, expanded, found = run(a, queries)
            med = statistics.median(times) * 1e6
            p90 = sorted(times)[int(0.9 * len(times))] * 1e6
            base = base or med
            print(f"{f'{n}x{n}':>9} {label:>6} {len(adj):>7} {n_edges:>7} {statistics.median(expanded):>9.0f} "
                  f"{found:>6} {med:>10.1f} {p90:>8.1f} {med / base:>6.2f}")


if __name__ == "__main__":
    main()
