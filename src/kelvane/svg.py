"""SVG pictures of a routed scene: obstacles, ports with their headings, routes, findings.

Plain SVG 1.1 without CSS, so that any renderer draws it the same way: labels
get their white halo from a stroked copy drawn underneath, not from
``paint-order``.
"""

from __future__ import annotations

import math
from collections import Counter
from typing import Sequence
from html import escape as _escape

import numpy as np

from ._bends import bends, corner_points, drawable
from .check import KINDS, Finding
from .scene import Scene

__all__ = ["render_svg", "PALETTE"]

PALETTE = ("#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd", "#8c564b", "#e377c2", "#17becf", "#bcbd22", "#7f7f7f",
           "#393b79", "#637939", "#8c6d31", "#843c39", "#7b4173", "#3182bd", "#e6550d")
FINDING = "#d62728"
FORCED = "#777777"
RING = 7.0  # radius of a finding's ring, pixels; findings closer than two rings share one


def escape(text: str) -> str:
    """Text for an element's content (html rather than xml.sax, which imports urllib at start-up)."""
    return _escape(text, quote=False)


def _arrow(x: float, y: float, d: tuple[int, int], size: float, colour: str) -> str:
    """A filled triangle with its tip at (x, y) pointing along screen direction d."""
    dx, dy = d
    bx, by = x - dx * size, y - dy * size
    px, py = -dy * size * 0.5, dx * size * 0.5
    pts = f"{x:.2f},{y:.2f} {bx + px:.2f},{by + py:.2f} {bx - px:.2f},{by - py:.2f}"
    return f'<polygon points="{pts}" fill="{colour}"/>'


def _label(x: float, y: float, text: str, fill: str, anchor: str = "start", size: float | None = None,
           cls: str = "label") -> str:
    """Text with a white halo: a white stroked copy underneath, the coloured text on top."""
    common = f'x="{x:.2f}" y="{y:.2f}" text-anchor="{anchor}"' + (f' font-size="{size:g}"' if size else "")
    body = escape(text)
    return (f'<text {common} fill="white" stroke="white" stroke-width="3" stroke-linejoin="round">{body}</text>'
            f'<text class="{cls}" {common} fill="{fill}">{body}</text>')


def _nice_length(most: float) -> float:
    """The largest 1, 2 or 5 times a power of ten not above `most`."""
    if most <= 0 or not math.isfinite(most):
        return 0.0
    p = 10 ** math.floor(math.log10(most))
    return max(m * p for m in (1, 2, 5) if m * p <= most)


def _groups(points: list[tuple[float, float]], reach: float) -> list[list[int]]:
    """Indexes of `points` (pixels) joined when a chain of them lies within `reach` of each other."""
    parent = list(range(len(points)))

    def root(i: int) -> int:
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i
    for i, (xi, yi) in enumerate(points):
        for j in range(i):
            if math.hypot(xi - points[j][0], yi - points[j][1]) <= reach:
                parent[root(i)] = root(j)
    out: dict[int, list[int]] = {}
    for i in range(len(points)):
        out.setdefault(root(i), []).append(i)
    return list(out.values())


def render_svg(scene: Scene, skeletons: Sequence[np.ndarray | None], findings: Sequence[Finding] = (),
               title: str = "", width_px: int = 960, strategy: str | None = None,
               forced: Sequence[Finding] = ()) -> str:
    """Draw a scene and its routes as an SVG document (layout y points up).

    Obstacles are grey boxes; each route has its own colour, bends drawn as arcs
    of the bend radius, an arrow at each port along its heading of travel and its
    name at the start.  Findings are red rings whose tooltip tells what was found;
    findings closer together than a ring are one ring with their count.  Below the
    drawing: a scale bar, the extent in layout units, and a legend with the
    strategy (when given) and the findings counted by kind.  `forced`: crossings
    the port order makes (a reversed bank), drawn as small grey marks and
    counted apart, not as findings.
    """
    shown = [drawable(s) for s in skeletons]
    pts = [p for r in scene.routes for p in (r.start, r.end)]
    pts += [p for s in shown if s is not None for p in s]
    pts += [(o[0], o[1]) for o in scene.obstacles] + [(o[2], o[3]) for o in scene.obstacles]
    xy = np.array(pts, dtype=float)
    lo, hi = xy.min(axis=0), xy.max(axis=0)
    extent = max(float((hi - lo).max()), 1e-9)
    pad = max(2.0 * scene.delta, 0.04 * extent)
    lo, hi = lo - pad, hi + pad
    k = width_px / float(hi[0] - lo[0])
    head = 28 if title else 0
    foot = 44
    draw_h = float(hi[1] - lo[1]) * k
    h_px = draw_h + head + foot

    def X(x: float) -> float:
        return (x - lo[0]) * k

    def Y(y: float) -> float:
        return (hi[1] - y) * k + head

    font = 12
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width_px}" height="{h_px:.0f}" '
           f'viewBox="0 0 {width_px} {h_px:.0f}" font-family="DejaVu Sans, Arial, sans-serif" font-size="{font}">',
           f'<rect width="{width_px}" height="{h_px:.0f}" fill="white"/>']
    if title:
        out.append(f'<text x="8" y="19" font-size="14" fill="black">{escape(title)}</text>')
    for i, o in enumerate(scene.obstacles):
        name = scene.obstacle_names[i] if i < len(scene.obstacle_names) else ""
        out.append(f'<rect class="obstacle" x="{X(o[0]):.2f}" y="{Y(o[3]):.2f}" width="{(o[2] - o[0]) * k:.2f}" '
                   f'height="{(o[3] - o[1]) * k:.2f}" fill="#dddddd" stroke="#888888">'
                   f'<title>{escape(scene.obstacle_label(i))}</title></rect>')
        if name:
            out.append(_label(X(o[0]) + 3, Y(o[3]) + font, name, "#555555"))
    arrow = max(7.0, min(14.0, scene.delta * k))
    for i, (r, s) in enumerate(zip(scene.routes, shown)):
        colour = PALETTE[i % len(PALETTE)]
        stroke = max(1.5, scene.route_width(i) * k)
        if s is not None:
            out.append(f'<path class="route" d="{_route_path(s, scene.delta, X, Y, k)}" fill="none" '
                       f'stroke="{colour}" stroke-width="{stroke:.2f}" stroke-linejoin="round">'
                       f'<title>{escape(r.name)}</title></path>')
        sx, sy = X(r.start[0]), Y(r.start[1])
        sd = (r.start_heading[0], -r.start_heading[1])
        ed = (r.end_heading[0], -r.end_heading[1])
        out.append(f'<circle class="port" cx="{sx:.2f}" cy="{sy:.2f}" r="3" fill="{colour}"/>')
        out.append(_arrow(sx + sd[0] * arrow, sy + sd[1] * arrow, sd, arrow * 0.8, colour))
        out.append(_arrow(X(r.end[0]), Y(r.end[1]), ed, arrow * 0.8, colour))
        # The name goes beside the start port, on the side away from the heading.
        out.append(_label(sx - sd[0] * 4 + 3, sy - sd[1] * 4 - 4, r.name, colour, "end" if sd[0] > 0 else "start"))
    out += [f'<circle class="forced" cx="{X(f.at[0]):.2f}" cy="{Y(f.at[1]):.2f}" r="{RING / 2:.2f}" fill="none" '
            f'stroke="{FORCED}" stroke-width="1.5"><title>{escape(str(f))} (forced by the port order)</title></circle>'
            for f in forced]
    out += _findings(findings, X, Y)
    out += _footer(scene, findings, strategy, lo, hi, k, width_px, head + draw_h, foot, len(forced))
    out.append("</svg>")
    return "\n".join(out) + "\n"


def _route_path(skeleton: np.ndarray, radius: float, X, Y, k: float) -> str:
    """SVG path data of a route: straight runs and circular arcs at the corners."""
    pts = corner_points(skeleton)
    d = [f"M {X(pts[0][0]):.2f} {Y(pts[0][1]):.2f}"]
    for p, b in zip(pts[1:-1], bends(pts, radius)):
        if b is None:
            d.append(f"L {X(p[0]):.2f} {Y(p[1]):.2f}")
            continue
        # SVG's sweep flag 1 runs the arc clockwise as seen on screen; the picture shows the layout
        # as it is (y up), so a left (counter-clockwise) turn stays one: sweep 0.
        sweep = 0 if b.turn > 0 else 1
        d.append(f"L {X(b.a[0]):.2f} {Y(b.a[1]):.2f} A {b.radius * k:.2f} {b.radius * k:.2f} 0 0 {sweep} "
                 f"{X(b.b[0]):.2f} {Y(b.b[1]):.2f}")
    d.append(f"L {X(pts[-1][0]):.2f} {Y(pts[-1][1]):.2f}")
    return " ".join(d)


def _findings(findings: Sequence[Finding], X, Y) -> list[str]:
    """One ring per group of nearby findings; the count beside a ring holding several."""
    spots = [(X(f.at[0]), Y(f.at[1])) for f in findings]
    out = []
    for group in _groups(spots, 2 * RING):
        xs, ys = [spots[i][0] for i in group], [spots[i][1] for i in group]
        cx, cy = (min(xs) + max(xs)) / 2, (min(ys) + max(ys)) / 2
        r = RING + max(math.hypot(x - cx, y - cy) for x, y in zip(xs, ys))
        tip = escape("\n".join(str(findings[i]) for i in group))
        out.append(f'<circle class="finding" data-count="{len(group)}" cx="{cx:.2f}" cy="{cy:.2f}" r="{r:.2f}" '
                   f'fill="none" stroke="{FINDING}" stroke-width="2.5"><title>{tip}</title></circle>')
        if len(group) > 1:
            out.append(_label(cx + r * 0.75 + 2, cy - r * 0.75, f"{len(group)}", FINDING, size=11))
    return out


def _footer(scene: Scene, findings: Sequence[Finding], strategy: str | None, lo, hi, k: float, width_px: int,
            top: float, height: float, forced: int = 0) -> list[str]:
    """Scale bar and extent, then the legend, in a strip under the drawing."""
    y1, y2 = top + height * 0.4, top + height * 0.85
    out = [f'<line x1="0" y1="{top:.2f}" x2="{width_px}" y2="{top:.2f}" stroke="#bbbbbb"/>']
    x = 10.0
    bar = _nice_length(width_px / 5 / k)
    if bar > 0:
        x1 = x + bar * k
        out.append(f'<path class="scale" d="M {x:.2f} {y1 - 8:.2f} V {y1 - 3:.2f} H {x1:.2f} V {y1 - 8:.2f}" '
                   f'fill="none" stroke="black" stroke-width="1.5"/>')
        out.append(f'<text class="scale" x="{x1 + 6:.2f}" y="{y1:.2f}" fill="black">{bar:g}</text>')
        x = x1 + 16 + 7 * len(f"{bar:g}")
    out.append(f'<text class="extent" x="{x:.2f}" y="{y1:.2f}" fill="#555555">'
               f'x {lo[0]:.6g} to {hi[0]:.6g}, y {lo[1]:.6g} to {hi[1]:.6g}</text>')
    counts = Counter(f.kind for f in findings)
    found = ", ".join(f"{counts[kind]} {kind}" for kind in KINDS if counts[kind]) or "none"
    legend = (f"strategy: {strategy}; " if strategy else "") + f"findings: {found}" + \
        (f"; {forced} forced crossing{'s' if forced != 1 else ''} (grey)" if forced else "")
    out.append(f'<text class="legend" x="10" y="{y2:.2f}" fill="black">{escape(legend)}</text>')
    return out
