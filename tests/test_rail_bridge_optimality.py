"""rail_bridge_v2 against an exhaustive search on the unit grid (corners only;
the core tests compare thousands of scenes with arcs and grids).

With integer ports, integer boxes, an integer bend radius and an integer
clearance, a best route has its corners on integer coordinates, so a Dijkstra over unit
steps with the same rules (runs >= r at the ports, >= 2r between bends, no
reversal, cost = length + r per bend) finds the true optimum.
"""

import heapq

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from kelvane.manhattan_router import graph
from route_checks import check_shape, segment_distance

DIRS = [(1, 0), (0, 1), (-1, 0), (0, -1)]


def blocked(x, y, dx, dy, boxes):
    """Unit step (x, y) -> (x + dx, y + dy) through the open interior of a box,
    or along the seam of two solid boxes (obstacles without clearance)
    abutting from opposite sides; clearance zones that only touch leave their
    common side free.  `boxes` holds (box, solid) pairs."""
    below = above = False
    for (x0, y0, x1, y1), solid in boxes:
        if dy == 0:
            lo = min(x, x + dx)
            if lo >= x0 and lo + 1 <= x1:
                if y0 < y < y1:
                    return True
                below, above = below or (solid and y1 == y), above or (solid and y0 == y)
        else:
            lo = min(y, y + dy)
            if lo >= y0 and lo + 1 <= y1:
                if x0 < x < x1:
                    return True
                below, above = below or (solid and x1 == x), above or (solid and x0 == x)
    return below and above


def best_route(start, end, sd, ed, r, boxes, lo, hi):
    """Least length + r * bends over routes keeping every rule, and the
    points of one such route; (None, None) when there is none."""
    cap = 2 * r
    # State: x, y, heading, run since last bend (capped), bent yet.
    s0 = (start[0], start[1], sd, 0, False)
    dist, parent = {s0: 0}, {s0: None}
    heap = [(0, s0)]
    while heap:
        c, s = heapq.heappop(heap)
        if dist.get(s, None) != c:
            continue
        x, y, d, run, bent = s
        if (x, y) == end and d == ed and run > 0 and (run >= r or not bent):
            points = []
            while s is not None:
                points.append(s[:2])
                s = parent[s]
            return c, points[::-1]
        moves = []
        dx, dy = DIRS[d]
        nx, ny = x + dx, y + dy
        if lo <= nx <= hi and lo <= ny <= hi and not blocked(x, y, dx, dy, boxes):
            moves.append(((nx, ny, d, min(run + 1, cap), bent), c + 1))
        need = 2 * r if bent else r
        if run >= need and run > 0:
            for nd in ((d + 1) % 4, (d + 3) % 4):
                moves.append(((x, y, nd, 0, True), c + r))
        for t, ct in moves:
            if ct < dist.get(t, 1 << 30):
                dist[t], parent[t] = ct, s
                heapq.heappush(heap, (ct, t))
    return None, None


def meets_itself(points):
    """Do two runs of the route, not neighbours, touch or cross?"""
    corners = [p for k, p in enumerate(points) if k in (0, len(points) - 1) or
               (points[k - 1][0] - p[0], points[k - 1][1] - p[1]) != (p[0] - points[k + 1][0], p[1] - points[k + 1][1])]
    runs = [(a, b) for a, b in zip(corners, corners[1:]) if a != b]
    return any(segment_distance(*runs[k], *runs[j]) == 0 for k in range(len(runs)) for j in range(k + 2, len(runs)))


def grown_boxes(boxes, spacing, ports):
    """(box, solid) pairs: the boxes grown by spacing / 2, except one holding a port in that margin."""
    m = spacing // 2
    grown = []
    for x0, y0, x1, y1 in boxes:
        g = (x0 - m, y0 - m, x1 + m, y1 + m)
        if any(g[0] <= p[0] <= g[2] and g[1] <= p[1] <= g[3] for p in ports):
            g = (x0, y0, x1, y1)
        grown.append((g, g == (x0, y0, x1, y1)))
    return grown


boxes_st = st.lists(
    st.tuples(st.integers(2, 16), st.integers(-8, 12), st.integers(1, 6), st.integers(1, 8)), max_size=5)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(boxes_st, st.integers(0, 3), st.integers(0, 3), st.integers(12, 22), st.integers(-6, 10),
       st.integers(1, 2), st.sampled_from([0, 2]))
def test_cost_matches_exhaustive_search(raw, sdi, edi, ex, ey, r, spacing):
    boxes = [(x, y, x + w, y + h) for x, y, w, h in raw]
    start, end = (0, 0), (ex, ey)
    # Ports must be free to leave and enter.
    if any(x0 <= p[0] <= x1 and y0 <= p[1] <= y1 for p in (start, end) for x0, y0, x1, y1 in boxes):
        return
    # The router keeps spacing / 2 from obstacles, except from one holding a port in that margin.
    grown = grown_boxes(boxes, spacing, (start, end))
    lo, hi = -8 - 4 * r, 30 + 4 * r
    want, _ = best_route(start, end, sdi, edi, r, grown, lo, hi)
    skel, info = routed(start, end, sdi, edi, r, boxes, spacing)
    if want is None:
        assert not info["clean"]
        return
    assert info["clean"], (boxes, start, end, sdi, edi, r, skel)
    got = info["length"] + r * info["bends"]
    assert got == pytest.approx(want, abs=1e-6), (boxes, start, end, sdi, edi, r, skel.tolist())


def routed(start, end, sdi, edi, r, boxes, spacing):
    """rail_bridge_v2's route without arc clearance, checked for shape: (skeleton, info)."""
    skel, info = graph.rail_bridge_v2(start, end, DIRS[sdi], DIRS[edi], float(r), boxes,
                                      route_spacing=float(spacing), arc_clearance=False)
    check_shape(skel, start, end, DIRS[sdi], DIRS[edi])
    return skel, info


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(1, 3), st.integers(0, 3), st.integers(0, 3), st.integers(-6, 6), st.integers(-6, 6),
       st.lists(st.tuples(st.integers(-10, 10), st.integers(-10, 10), st.integers(1, 4), st.integers(1, 4)),
                max_size=3),
       st.sampled_from([0, 2]))
def test_close_ports_match_exhaustive_search(r, sdi, edi, ex, ey, raw, spacing):
    # Ports within 2r of each other: the route has to loop, and its runs are
    # mostly as short as the rules allow.
    end = (max(-2 * r, min(2 * r, ex)), max(-2 * r, min(2 * r, ey)))
    boxes = [(x, y, x + w, y + h) for x, y, w, h in raw]
    start = (0, 0)
    if end == start or any(x0 <= p[0] <= x1 and y0 <= p[1] <= y1 for p in (start, end) for x0, y0, x1, y1 in boxes):
        return
    want, reference = best_route(start, end, sdi, edi, r, grown_boxes(boxes, spacing, (start, end)),
                                 -10 - 4 * r, 10 + 4 * r)
    skel, info = routed(start, end, sdi, edi, r, boxes, spacing)
    if want is None:
        assert not info["clean"]
        return
    # The search above lets a route cross itself, the router never: where the
    # route found above does not, the router finds a clean one too, as cheap
    # nearly always (its search again round the place where a route met
    # itself is a heuristic; the core tests count how often it is dearer).
    if not meets_itself(reference):
        assert info["clean"], (boxes, end, sdi, edi, r, spacing, skel.tolist())
        assert info["length"] + r * info["bends"] <= 1.05 * want + 1e-6, (boxes, end, sdi, edi, r, skel.tolist())
