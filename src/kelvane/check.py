"""The second opinion: an independent check of routed skeletons against their scene.

Plain Python and numpy, sharing nothing with the routers.  What it finds, each
with the route and the place:

    unrouted   a route without a skeleton
    end        a skeleton that does not start or end at its port
    heading    a skeleton that leaves or arrives in the wrong direction
    nonfinite  a point that is not a finite number (the route is not checked further)
    diagonal   a segment that is not axis-parallel (the route is not checked further)
    short      a straight run too short for its bends: at least delta at a port,
               2 * delta between two bends (room for both arcs of radius delta)
    crossing   two routes crossing, or a route crossing or touching itself
    overlap    two routes sharing track, or a route turning back on itself
    spacing    two routes closer than the scene's spacing (at a port segment
               the distance between the two routes' ports is enough when smaller),
               or so close that their waveguides (of their widths) overlap
    obstacle   a route running through the interior of an obstacle
    clearance  a route closer than spacing / 2 to an obstacle, unless one of the
               route's own ports lies within that distance of the obstacle

Collinear corner points and zero-length steps are merged away first; they do not
change the route's shape.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Sequence

import numpy as np

from .scene import Scene

__all__ = ["Finding", "Report", "check_routes", "KINDS"]

KINDS = ("unrouted", "end", "heading", "nonfinite", "diagonal", "short", "crossing", "overlap", "spacing", "obstacle",
         "clearance")


@dataclass(frozen=True)
class Finding:
    """One fault: its kind, the route (and the other route or obstacle), where, what."""

    kind: str
    route: str
    at: tuple[float, float]
    detail: str
    other: str = ""
    amount: float = 0.0

    def __str__(self) -> str:
        return f"{self.kind:<9} {self.route}: {self.detail} at ({self.at[0]:.6g}, {self.at[1]:.6g})"

    def as_dict(self) -> dict:
        """JSON-ready form."""
        return {"kind": self.kind, "route": self.route, "other": self.other, "at": list(self.at),
                "detail": self.detail, "amount": self.amount}


@dataclass
class Report:
    """All findings of one scene, with each route's length and bend count."""

    findings: list[Finding] = field(default_factory=list)
    lengths: list[float] = field(default_factory=list)
    bends: list[int] = field(default_factory=list)

    @property
    def clean(self) -> bool:
        """True when nothing was found."""
        return not self.findings

    def count(self, *kinds: str) -> int:
        """Number of findings of the given kinds."""
        return sum(f.kind in kinds for f in self.findings)

    @property
    def shared_track(self) -> float:
        """Total length of track shared between routes (or by a route with itself)."""
        return float(sum(f.amount for f in self.findings if f.kind == "overlap"))

    def score(self) -> tuple:
        """Ordering of results, best first: completeness, then conflicts, then length."""
        return (self.count("unrouted"), self.count("end", "heading", "nonfinite", "diagonal"),
                self.count("crossing", "overlap"),
                self.count("obstacle"), self.count("spacing", "clearance"), self.count("short"), sum(self.lengths))


def _pt(p) -> tuple[float, float]:
    return (float(p[0]), float(p[1]))


def _unit(d: np.ndarray, tol: float) -> tuple[int, int] | None:
    """Direction of an axis-parallel step, or None when it is diagonal."""
    dx, dy = float(d[0]), float(d[1])
    if abs(dy) <= tol:
        return (1 if dx > 0 else -1, 0)
    if abs(dx) <= tol:
        return (0, 1 if dy > 0 else -1)
    return None


@dataclass
class _Runs:
    """Straight runs of one route: corner points and the direction of each run."""

    points: list[tuple[float, float]]
    dirs: list[tuple[int, int]]


def _runs(pts: np.ndarray, tol: float) -> _Runs | tuple[float, float]:
    """Merge a polyline into maximal straight runs; a diagonal step returns its midpoint."""
    keep = [pts[0]]
    for p in pts[1:]:
        if np.abs(p - keep[-1]).max() > tol:
            keep.append(p)
    points = [_pt(keep[0])]
    dirs: list[tuple[int, int]] = []
    for a, b in zip(keep, keep[1:]):
        d = _unit(b - a, tol)
        if d is None:
            return _pt((a + b) / 2)
        if dirs and d == dirs[-1]:
            points[-1] = _pt(b)
        else:
            dirs.append(d)
            points.append(_pt(b))
    return _Runs(points, dirs)


def _box_gap(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Euclidean distance between boxes (x0, y0, x1, y1) in the last axis, broadcast."""
    dx = np.maximum(0.0, np.maximum(b[..., 0] - a[..., 2], a[..., 0] - b[..., 2]))
    dy = np.maximum(0.0, np.maximum(b[..., 1] - a[..., 3], a[..., 1] - b[..., 3]))
    return np.hypot(dx, dy)


def _closest(a: np.ndarray, b: np.ndarray) -> tuple[float, float]:
    """Midpoint between the nearest points of two boxes (x0, y0, x1, y1)."""
    def axis(lo1, hi1, lo2, hi2):
        lo, hi = max(lo1, lo2), min(hi1, hi2)
        if lo <= hi:
            return (lo + hi) / 2, (lo + hi) / 2
        return (hi1, lo2) if hi1 < lo2 else (lo1, hi2)
    xa, xb = axis(a[0], a[2], b[0], b[2])
    ya, yb = axis(a[1], a[3], b[1], b[3])
    return ((xa + xb) / 2, (ya + yb) / 2)


def _route_checks(scene: Scene, k: int, runs: _Runs, tol: float, out: list[Finding]) -> None:
    """Heading and run-length findings of one route."""
    r = scene.routes[k]
    pts, dirs = runs.points, runs.dirs
    if dirs[0] != r.start_heading:
        out.append(Finding("heading", r.name, pts[0], f"leaves along {list(dirs[0])}, the start heading is "
                           f"{list(r.start_heading)}"))
    if dirs[-1] != r.end_heading:
        out.append(Finding("heading", r.name, pts[-1], f"arrives along {list(dirs[-1])}, the end heading is "
                           f"{list(r.end_heading)}"))
    n = len(dirs)
    if n < 2:
        return
    for i in range(n):
        a, b = np.array(pts[i]), np.array(pts[i + 1])
        length = float(np.abs(b - a).sum())
        need = scene.delta if i in (0, n - 1) else 2 * scene.delta
        if length < need - tol:
            where = "at the start port" if i == 0 else "at the end port" if i == n - 1 else "between two bends"
            out.append(Finding("short", r.name, _pt((a + b) / 2), f"run {i} {where} is {length:.6g} long, "
                               f"needs {need:.6g} for bends of radius {scene.delta:g}", amount=length))


def _obstacle_checks(scene: Scene, k: int, segs: np.ndarray, tol: float, out: list[Finding]) -> None:
    """Obstacle interiors and clearance for the runs `segs` (rows x0, y0, x1, y1) of route k."""
    if not scene.obstacles:
        return
    r = scene.routes[k]
    obs = np.array(scene.obstacles, dtype=float)
    clearance = scene.spacing / 2
    ports = np.array([r.start, r.end])
    waived = (_box_gap(np.column_stack([ports, ports])[:, None, :], obs[None]) <= clearance + tol).any(axis=0)
    label = scene.obstacle_label
    # Rows: runs; columns: obstacles.  A run's own axis is its coordinate a, its extent lo..hi.
    horizontal = segs[:, 3] - segs[:, 1] <= tol
    a = np.where(horizontal, segs[:, 1], segs[:, 0])[:, None]
    o_lo, o_hi = np.where(horizontal[:, None], obs[None, :, 1], obs[None, :, 0]), \
        np.where(horizontal[:, None], obs[None, :, 3], obs[None, :, 2])
    lo = np.maximum(np.where(horizontal, segs[:, 0], segs[:, 1])[:, None],
                    np.where(horizontal[:, None], obs[None, :, 0], obs[None, :, 1]))
    hi = np.minimum(np.where(horizontal, segs[:, 2], segs[:, 3])[:, None],
                    np.where(horizontal[:, None], obs[None, :, 2], obs[None, :, 3]))
    inside = np.where((o_lo + tol < a) & (a < o_hi - tol), hi - lo, 0.0)
    gap = _box_gap(segs[:, None, :], obs[None])
    for i, j in zip(*np.nonzero(inside > tol)):
        mid = (lo[i, j] + hi[i, j]) / 2
        at = (mid, a[i, 0]) if horizontal[i] else (a[i, 0], mid)
        out.append(Finding("obstacle", r.name, _pt(at), f"runs {inside[i, j]:.6g} through {label(j)}", label(j),
                           float(inside[i, j])))
    for i, j in zip(*np.nonzero((inside <= tol) & (gap < clearance - tol) & ~waived)):
        out.append(Finding("clearance", r.name, _closest(segs[i], obs[j]), f"passes {gap[i, j]:.6g} from "
                           f"{label(j)}, needs {clearance:.6g}", label(j), float(gap[i, j])))


def _pair_finding(scene: Scene, a: np.ndarray, b: np.ndarray, ka: int, kb: int, need: float,
                  tol: float) -> tuple[Finding, tuple, bool] | None:
    """Classify two runs (rows x0, y0, x1, y1) of routes ka and kb that come close.

    Returns the finding, the two ends of the shared piece (shared track only),
    and whether the runs merely touch.
    """
    ra, rb = scene.routes[ka].name, scene.routes[kb].name
    ha, hb = a[3] - a[1] <= tol, b[3] - b[1] <= tol
    what = "itself" if ka == kb else rb
    if ha == hb:
        along = (0, 2) if ha else (1, 3)
        across = 1 if ha else 0
        if abs(a[across] - b[across]) <= tol:
            lo, hi = max(a[along[0]], b[along[0]]), min(a[along[1]], b[along[1]])
            if hi - lo > tol:
                ends = ((lo, a[1]), (hi, a[1])) if ha else ((a[0], lo), (a[0], hi))
                mid = _pt(np.mean(ends, axis=0))
                return Finding("overlap", ra, mid, f"shares {hi - lo:.6g} of track with {what}", rb,
                               float(hi - lo)), ends, False
    else:
        h, v = (a, b) if ha else (b, a)
        if h[0] + tol < v[0] < h[2] - tol and v[1] + tol < h[1] < v[3] - tol:
            return Finding("crossing", ra, (float(v[0]), float(h[1])), f"crosses {what}", rb), (), False
    d = float(_box_gap(a, b))
    if ka == kb:
        return (Finding("crossing", ra, _closest(a, b), "touches itself", rb), (), True) if d <= tol else None
    if d < need - tol:
        widths = (scene.route_width(ka) + scene.route_width(kb)) / 2
        why = f", their waveguides overlap by {widths - d:.6g}" if d < widths - tol else ""
        return Finding("spacing", ra, _closest(a, b), f"is {d:.6g} from {rb}, needs {need:.6g}{why}", rb, d), (), \
            d <= tol
    return None


def check_routes(scene: Scene, skeletons: Sequence[np.ndarray | None]) -> Report:
    """Check skeletons (one per scene route, in scene order; None = unrouted).

    Returns a `Report` with every finding and each route's length and bends.
    """
    if len(skeletons) != len(scene.routes):
        raise ValueError(f"expected {len(scene.routes)} skeletons, got {len(skeletons)}")
    coords = [abs(v) for r in scene.routes for p in (r.start, r.end) for v in p]
    coords += [abs(v) for o in scene.obstacles for v in o]
    tol = scene.dbu / 2 if scene.dbu else 1e-6 * max(1.0, max(coords, default=1.0))
    report = Report()
    out = report.findings
    rows: list[tuple[float, float, float, float]] = []
    owner: list[int] = []      # route of each run
    index: list[int] = []      # run number within its route
    last: list[int] = []       # number of runs of the owner
    for k, (r, skel) in enumerate(zip(scene.routes, skeletons)):
        report.lengths.append(0.0)
        report.bends.append(0)
        pts = None if skel is None else np.asarray(skel, dtype=float)
        if pts is None or pts.ndim != 2 or pts.shape[1] != 2 or len(pts) < 2:
            out.append(Finding("unrouted", r.name, r.start, "has no route"))
            continue
        bad = np.flatnonzero(~np.isfinite(pts).all(axis=1))
        if len(bad):
            out.append(Finding("nonfinite", r.name, r.start, f"has a point that is not a finite number: point "
                               f"{bad[0]} is ({pts[bad[0], 0]:g}, {pts[bad[0], 1]:g}) (not checked further)"))
            continue
        for label, got, want in (("starts", pts[0], r.start), ("ends", pts[-1], r.end)):
            if np.abs(got - np.array(want)).max() > tol:
                port = "start" if label == "starts" else "end"
                out.append(Finding("end", r.name, _pt(got), f"{label} at ({got[0]:.6g}, {got[1]:.6g}), not at "
                                   f"its {port} port ({want[0]:.6g}, {want[1]:.6g})"))
        runs = _runs(pts, tol)
        if not isinstance(runs, _Runs):
            out.append(Finding("diagonal", r.name, runs, "has a segment that is not axis-parallel "
                               "(not checked further)"))
            continue
        if not runs.dirs:
            out.append(Finding("unrouted", r.name, r.start, "has a skeleton of zero length"))
            continue
        p = np.array(runs.points)
        segs = np.column_stack([np.minimum(p[:-1], p[1:]), np.maximum(p[:-1], p[1:])])
        report.lengths[k] = float(np.abs(np.diff(p, axis=0)).sum())
        report.bends[k] = len(runs.dirs) - 1
        _route_checks(scene, k, runs, tol, out)
        _obstacle_checks(scene, k, segs, tol, out)
        rows.extend(map(tuple, segs))
        owner += [k] * len(segs)
        index += list(range(len(segs)))
        last += [len(segs) - 1] * len(segs)
    _pair_checks(scene, np.array(rows, dtype=float).reshape(-1, 4), np.array(owner), np.array(index),
                 np.array(last), tol, out)
    return report


def _pair_checks(scene: Scene, segs: np.ndarray, owner: np.ndarray, index: np.ndarray, last: np.ndarray,
                 tol: float, out: list[Finding]) -> None:
    """Crossings, shared track and spacing between every two runs.

    One conflict is reported once: touching at either end of a shared piece of
    track belongs to that shared track, and spacing findings between runs that
    follow each other on both routes are one place (the closest is kept).
    """
    ports = np.array([[r.start, r.end] for r in scene.routes], dtype=float).reshape(-1, 2, 2)
    horizontal = segs[:, 3] - segs[:, 1] <= tol
    reach = max([scene.spacing] + [scene.route_width(k) for k in range(len(scene.routes))])

    def port_gap(ka: int, ia: int, la: int, kb: int) -> float:
        # Distance from the ports that run ia of route ka touches to the ports of route kb.
        ends = [ports[ka, 0]] if ia == 0 else []
        if ia == la:
            ends.append(ports[ka, 1])
        return min((float(np.hypot(*(e - q))) for e in ends for q in ports[kb]), default=np.inf)

    found: dict[tuple[int, int], list[tuple[int, int, Finding, tuple, bool]]] = {}
    n = len(segs)
    for i0 in range(0, n, 256):  # blocks of rows against every later run
        rows = slice(i0, min(n, i0 + 256))
        d = _box_gap(segs[rows, None, :], segs[None, :, :])
        later = np.arange(n)[None, :] > np.arange(i0, rows.stop)[:, None]
        step = index[None, :] - index[rows, None]
        same = owner[None, :] == owner[rows, None]
        # A route's neighbouring runs meet at their corner; they conflict only by turning back.
        back = (step == 1) & (horizontal[None, :] == horizontal[rows, None])
        near = later & np.where(same, (d <= tol) & ((step > 1) | back), (d <= tol) | (d < reach - tol))
        for i, j in zip(*np.nonzero(near)):
            i += i0
            ka, kb = int(owner[i]), int(owner[j])
            need = 0.0 if ka == kb else max(min(scene.spacing, port_gap(ka, index[i], last[i], kb),
                                                 port_gap(kb, index[j], last[j], ka)),
                                             (scene.route_width(ka) + scene.route_width(kb)) / 2)
            hit = _pair_finding(scene, segs[i], segs[j], ka, kb, need, tol)
            if hit is not None:
                found.setdefault((ka, kb), []).append((int(index[i]), int(index[j]), *hit))
    for hits in found.values():
        ends = [e for _, _, _, shared, _ in hits for e in shared]
        clusters: list[list[tuple[int, int, Finding]]] = []
        for ia, ib, f, _, touch in hits:
            if touch and any(max(abs(f.at[0] - e[0]), abs(f.at[1] - e[1])) <= tol for e in ends):
                continue
            if f.kind != "spacing":
                out.append(f)
                continue
            joined = [c for c in clusters if any(abs(ja - ia) <= 1 and abs(jb - ib) <= 1 for ja, jb, _ in c)]
            for c in joined:
                clusters.remove(c)
            clusters.append([m for c in joined for m in c] + [(ia, ib, f)])
        # The closest place of each stretch of spacing findings (the first of equals).
        for c in sorted((sorted(c, key=lambda m: m[:2]) for c in clusters), key=lambda c: c[0][:2]):
            out.append(min((m[2] for m in c), key=lambda f: f.amount))
