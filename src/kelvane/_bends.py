"""Waveguide centre-lines: a skeleton's corners rounded into circular arcs.

Shared by the GDS writer, the pictures and the gdsfactory adapter.  Each corner
gets an arc of the bend radius, tangent to both runs.  Where a run is too short
for its bends (the checker's "short" finding) the arcs on it shrink to fit, so
the outline never folds over itself: a port run may give its whole length to its
one bend, a run between two bends half its length to each.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class Bend:
    """One rounded corner: the arc from `a` to `b` (tangent points) round `centre`."""

    corner: tuple[float, float]
    a: tuple[float, float]
    b: tuple[float, float]
    centre: tuple[float, float]
    radius: float
    turn: float  # signed turning angle, radians (> 0: counter-clockwise)


def drawable(skeleton: np.ndarray | None) -> np.ndarray | None:
    """The skeleton as an N x 2 float array when it can be drawn (two or more finite points), else None."""
    if skeleton is None:
        return None
    pts = np.asarray(skeleton, dtype=float)
    if pts.ndim != 2 or pts.shape[1] != 2 or len(pts) < 2 or not np.isfinite(pts).all():
        return None
    return pts


def corner_points(skeleton: np.ndarray) -> np.ndarray:
    """The skeleton without repeated points and collinear corners (no turn there)."""
    pts = np.asarray(skeleton, dtype=float).reshape(-1, 2)
    keep = [pts[0]]
    for p in pts[1:]:
        if np.abs(p - keep[-1]).max() > 0:
            keep.append(p)
    out = [keep[0]]
    for p, q in zip(keep[1:], keep[2:] + [None]):
        if q is not None:
            u, v = p - out[-1], q - p
            if abs(u[0] * v[1] - u[1] * v[0]) <= 1e-12 * (np.hypot(*u) * np.hypot(*v)) and float(u @ v) > 0:
                continue
        out.append(p)
    return np.array(out)


def bends(pts: np.ndarray, radius: float) -> list[Bend | None]:
    """The arc at each inner point of `pts` (from `corner_points`; see the module docstring
    for short runs).  None where a corner stays sharp: a zero radius, or a corner
    that turns straight back (no arc fits a reversal).
    """
    n = len(pts)
    if n < 3 or radius <= 0:
        return [None] * max(0, n - 2)
    runs = np.hypot(*np.diff(pts, axis=0).T)
    turns = []
    for i in range(1, n - 1):
        u, v = pts[i] - pts[i - 1], pts[i + 1] - pts[i]
        turns.append(math.atan2(u[0] * v[1] - u[1] * v[0], float(u @ v)))
    out = []
    for i in range(1, n - 1):
        turn = turns[i - 1]
        if abs(turn) > math.pi - 1e-9:
            out.append(None)
            continue
        # Tangent length per unit radius (exactly 1 for the right angles of Manhattan routes).
        k = 1.0 if abs(abs(turn) - math.pi / 2) < 1e-12 else math.tan(abs(turn) / 2)
        share_in = runs[i - 1] if i == 1 else runs[i - 1] / 2
        share_out = runs[i] if i == n - 2 else runs[i] / 2
        r = min(radius, min(share_in, share_out) / k)
        p = pts[i]
        u = (pts[i] - pts[i - 1]) / runs[i - 1]
        v = (pts[i + 1] - pts[i]) / runs[i]
        a, b = p - u * r * k, p + v * r * k
        left = np.array([-u[1], u[0]]) * (1 if turn > 0 else -1)
        centre = a + left * r
        out.append(Bend(tuple(map(float, p)), tuple(map(float, a)), tuple(map(float, b)), tuple(map(float, centre)),
                        float(r), float(turn)))
    return out


def arc_steps(radius: float, turn: float, tolerance: float) -> int:
    """Chords needed for an arc of `radius` through `turn` radians staying within `tolerance` of it."""
    if radius <= tolerance:
        return 1
    half = math.acos(1 - tolerance / radius)  # half the angle of one chord whose sagitta is the tolerance
    return max(1, math.ceil(abs(turn) / (2 * half)))


def centreline(skeleton: np.ndarray, radius: float, tolerance: float) -> np.ndarray:
    """The rounded centre-line as points: every arc cut into chords within `tolerance` of it."""
    pts = corner_points(skeleton)
    out = [pts[0]]
    for p, b in zip(pts[1:-1], bends(pts, radius)):
        if b is None:
            out.append(p)
            continue
        c = np.array(b.centre)
        start = math.atan2(b.a[1] - c[1], b.a[0] - c[0])
        steps = arc_steps(b.radius, b.turn, tolerance)
        angles = start + b.turn * np.arange(steps + 1) / steps
        out += list(c + b.radius * np.column_stack([np.cos(angles), np.sin(angles)]))
    out.append(pts[-1])
    return np.array(out)
