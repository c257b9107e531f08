"""SVG pictures of a routed scene: obstacles, ports with their headings, routes, findings."""

from __future__ import annotations

from typing import Sequence
from xml.sax.saxutils import escape

import numpy as np

from .check import Finding
from .scene import Scene

__all__ = ["render_svg", "PALETTE"]

PALETTE = ("#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd", "#8c564b", "#e377c2", "#17becf", "#bcbd22", "#7f7f7f",
           "#393b79", "#637939", "#8c6d31", "#843c39", "#7b4173", "#3182bd", "#e6550d")


def _arrow(x: float, y: float, d: tuple[int, int], size: float, colour: str) -> str:
    """A filled triangle with its tip at (x, y) pointing along screen direction d."""
    dx, dy = d
    bx, by = x - dx * size, y - dy * size
    px, py = -dy * size * 0.5, dx * size * 0.5
    pts = f"{x:.2f},{y:.2f} {bx + px:.2f},{by + py:.2f} {bx - px:.2f},{by - py:.2f}"
    return f'<polygon points="{pts}" fill="{colour}"/>'


def render_svg(scene: Scene, skeletons: Sequence[np.ndarray | None], findings: Sequence[Finding] = (),
               title: str = "", width_px: int = 960) -> str:
    """Draw a scene and its routes as an SVG document (layout y points up).

    Obstacles are grey boxes, each route has its own colour with an arrow at
    each port along its heading of travel and its name at the start, and every
    finding is a red ring whose tooltip tells what was found.
    """
    pts = [p for r in scene.routes for p in (r.start, r.end)]
    pts += [p for s in skeletons if s is not None for p in np.asarray(s, dtype=float)]
    pts += [(o[0], o[1]) for o in scene.obstacles] + [(o[2], o[3]) for o in scene.obstacles]
    xy = np.array(pts, dtype=float)
    lo, hi = xy.min(axis=0), xy.max(axis=0)
    extent = max(float((hi - lo).max()), 1e-9)
    pad = max(2.0 * scene.delta, 0.04 * extent)
    lo, hi = lo - pad, hi + pad
    k = width_px / float(hi[0] - lo[0])
    head = 28 if title else 0
    h_px = float(hi[1] - lo[1]) * k + head

    def X(x: float) -> float:
        return (x - lo[0]) * k

    def Y(y: float) -> float:
        return (hi[1] - y) * k + head

    font = 12
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width_px}" height="{h_px:.0f}" '
           f'viewBox="0 0 {width_px} {h_px:.0f}" font-family="sans-serif" font-size="{font}">',
           '<style>text { paint-order: stroke; stroke: white; stroke-width: 3px; }</style>',
           f'<rect width="{width_px}" height="{h_px:.0f}" fill="white"/>']
    if title:
        out.append(f'<text x="8" y="19" font-size="14">{escape(title)}</text>')
    for i, o in enumerate(scene.obstacles):
        name = scene.obstacle_names[i] if i < len(scene.obstacle_names) else ""
        out.append(f'<rect class="obstacle" x="{X(o[0]):.2f}" y="{Y(o[3]):.2f}" width="{(o[2] - o[0]) * k:.2f}" '
                   f'height="{(o[3] - o[1]) * k:.2f}" fill="#dddddd" stroke="#888888">'
                   f'<title>{escape(scene.obstacle_label(i))}</title></rect>')
        if name:
            out.append(f'<text x="{X(o[0]) + 3:.2f}" y="{Y(o[3]) + font:.2f}" fill="#555555">{escape(name)}</text>')
    stroke = max(1.5, scene.width * k)
    arrow = max(7.0, min(14.0, scene.delta * k))
    for i, (r, s) in enumerate(zip(scene.routes, skeletons)):
        colour = PALETTE[i % len(PALETTE)]
        if s is not None:
            line = " ".join(f"{X(x):.2f},{Y(y):.2f}" for x, y in np.asarray(s, dtype=float))
            out.append(f'<polyline class="route" points="{line}" fill="none" stroke="{colour}" '
                       f'stroke-width="{stroke:.2f}" stroke-linejoin="round"><title>{escape(r.name)}</title>'
                       f'</polyline>')
        sx, sy = X(r.start[0]), Y(r.start[1])
        sd = (r.start_heading[0], -r.start_heading[1])
        ed = (r.end_heading[0], -r.end_heading[1])
        out.append(f'<circle class="port" cx="{sx:.2f}" cy="{sy:.2f}" r="3" fill="{colour}"/>')
        out.append(_arrow(sx + sd[0] * arrow, sy + sd[1] * arrow, sd, arrow * 0.8, colour))
        out.append(_arrow(X(r.end[0]), Y(r.end[1]), ed, arrow * 0.8, colour))
        # The name goes beside the start port, on the side away from the heading.
        out.append(f'<text x="{sx - sd[0] * 4 + 3:.2f}" y="{sy - sd[1] * 4 - 4:.2f}" fill="{colour}" '
                   f'text-anchor="{"end" if sd[0] > 0 else "start"}">{escape(r.name)}</text>')
    for f in findings:
        out.append(f'<circle class="finding" cx="{X(f.at[0]):.2f}" cy="{Y(f.at[1]):.2f}" r="7" fill="none" '
                   f'stroke="#d62728" stroke-width="2.5"><title>{escape(str(f))}</title></circle>')
    out.append("</svg>")
    return "\n".join(out) + "\n"
