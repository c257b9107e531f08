"""GDS export: routes as waveguide paths with circular bends, through gdstk.

gdstk is an optional extra (installed by ``./dev setup``; by hand ``pip install
gdstk``).  Layout units are micrometres; the database unit is the scene's
``dbu`` (1 nm without one).  Layers, the cell name and the arc tolerance come
from the scene's ``gds`` settings (`GdsSettings`, defaults in ``kelvane format``).
"""

from __future__ import annotations

from pathlib import Path
from typing import Sequence

import numpy as np

from ._bends import centreline, drawable
from ._files import atomic_target
from .check import Finding, check_routes
from .scene import Scene

__all__ = ["GdsUnavailable", "require_gdstk", "write_gds", "GDS_LIMIT"]

GDS_LIMIT = 2**31 - 1  # GDS stores coordinates as signed 32-bit multiples of the database unit

INSTALL_HINT = "GDS export needs gdstk: ./dev setup installs it, or: pip install gdstk"


class GdsUnavailable(RuntimeError):
    """gdstk is not installed."""


def require_gdstk():
    """The gdstk module; `GdsUnavailable` with an install hint when it is missing."""
    try:
        import gdstk
    except ImportError:
        raise GdsUnavailable(INSTALL_HINT) from None
    return gdstk


def marker_size(scene: Scene) -> float:
    """Side of the square that marks a finding: big enough to see next to the waveguides."""
    return max(4 * scene.width, scene.delta, scene.spacing)


def write_gds(path: str | Path, scene: Scene, skeletons: Sequence[np.ndarray | None],
              findings: Sequence[Finding] | None = None) -> int:
    """Write `scene` with its routes as a GDS file; returns the number of route paths.

    Into one cell (``scene.gds.cell``): each routed skeleton as a path of its
    route's width whose corners are circular arcs of the bend radius ``delta``,
    cut into chords within ``arc_tolerance`` of the arc (where a run is too short
    for its bends the arcs shrink to fit and the checker's "short" finding marks
    the place); a pin box of the route's width and a label ``name:start`` /
    ``name:end`` at every port; obstacles as rectangles; every finding of the
    checker (`findings`, or `check_routes` when None) as a square and a label
    with its text on the marker layer.  A skeleton with a point that is not
    finite is left out (its finding is marked).  `ValueError` when the layout
    does not fit the GDS coordinate range at this database unit; `GdsUnavailable`
    when gdstk is missing.
    """
    gdstk = require_gdstk()
    g = scene.gds
    if findings is None:
        findings = check_routes(scene, skeletons).findings
    dbu = scene.dbu or 1e-3
    lib = gdstk.Library(unit=1e-6, precision=dbu * 1e-6)
    top = lib.new_cell(g.cell)
    reach = [0.0]

    def add(shape, *points) -> None:
        reach.append(float(np.abs(np.asarray(points, dtype=float)).max()))
        top.add(shape)

    for o in scene.obstacles:
        add(gdstk.rectangle((o[0], o[1]), (o[2], o[3]), layer=g.obstacle_layer[0], datatype=g.obstacle_layer[1]),
            o)
    n = 0
    for k, (r, s) in enumerate(zip(scene.routes, skeletons)):
        w = scene.route_width(k)
        for end, p in (("start", r.start), ("end", r.end)):
            lo, hi = (p[0] - w / 2, p[1] - w / 2), (p[0] + w / 2, p[1] + w / 2)
            add(gdstk.rectangle(lo, hi, layer=g.pin_layer[0], datatype=g.pin_layer[1]), lo, hi)
            add(gdstk.Label(f"{r.name}:{end}", p, layer=g.label_layer[0], texttype=g.label_layer[1]), p)
        if drawable(s) is None:
            continue
        spine = centreline(s, scene.delta, g.arc_tolerance)
        add(gdstk.FlexPath(spine, w, simple_path=True, layer=g.route_layer[0], datatype=g.route_layer[1]),
            spine.min(axis=0) - w, spine.max(axis=0) + w)
        n += 1
    half = marker_size(scene) / 2
    for f in findings:
        x, y = f.at
        if not (np.isfinite(x) and np.isfinite(y)):
            continue
        add(gdstk.rectangle((x - half, y - half), (x + half, y + half), layer=g.marker_layer[0],
                            datatype=g.marker_layer[1]), (x - half, y - half), (x + half, y + half))
        add(gdstk.Label(str(f)[:200], (x, y), layer=g.marker_layer[0], texttype=g.marker_layer[1]), (x, y))
    if max(reach) / dbu > GDS_LIMIT:
        raise ValueError(f"the layout reaches {max(reach):g} um from the origin, beyond what GDS holds at a "
                         f"database unit of {dbu:g} um (+-{GDS_LIMIT * dbu:g} um): use a coarser dbu")
    with atomic_target(path) as tmp:
        lib.write_gds(str(tmp))
    return n
