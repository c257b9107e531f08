"""GDS export: routes as waveguide paths with circular bends, through gdstk.

gdstk is an optional extra (``pip install 'kelvane[gds]'``).  Layout units are
written as micrometres; the file's precision is the scene's ``dbu`` (1 nm
without one).
"""

from __future__ import annotations

from pathlib import Path
from typing import Sequence

import numpy as np

from ._files import atomic_target
from .scene import Scene

__all__ = ["GdsUnavailable", "require_gdstk", "write_gds", "ROUTE_LAYER", "OBSTACLE_LAYER", "LABEL_LAYER"]

ROUTE_LAYER = (1, 0)
OBSTACLE_LAYER = (2, 0)
LABEL_LAYER = (10, 0)


class GdsUnavailable(RuntimeError):
    """gdstk is not installed."""


def require_gdstk():
    """The gdstk module; `GdsUnavailable` with an install hint when it is missing."""
    try:
        import gdstk
    except ImportError:
        raise GdsUnavailable("GDS export needs gdstk: pip install 'kelvane[gds]'") from None
    return gdstk


def write_gds(path: str | Path, scene: Scene, skeletons: Sequence[np.ndarray | None], cell: str = "kelvane") -> int:
    """Write the routes of `scene` to a GDS file; returns the number of route paths.

    Each routed skeleton becomes a path of the scene's width on ROUTE_LAYER whose
    corners are circular arcs of the bend radius (``delta``), with the route name
    as a label at its start on LABEL_LAYER; obstacles are rectangles on
    OBSTACLE_LAYER.  Raises `GdsUnavailable` when gdstk is missing.
    """
    gdstk = require_gdstk()
    precision = (scene.dbu or 1e-3) * 1e-6
    lib = gdstk.Library(unit=1e-6, precision=precision)
    top = lib.new_cell(cell)
    for o in scene.obstacles:
        top.add(gdstk.rectangle((o[0], o[1]), (o[2], o[3]), layer=OBSTACLE_LAYER[0], datatype=OBSTACLE_LAYER[1]))
    n = 0
    for r, s in zip(scene.routes, skeletons):
        if s is None:
            continue
        top.add(gdstk.FlexPath(np.asarray(s, dtype=float), scene.width, bend_radius=scene.delta, simple_path=True,
                               layer=ROUTE_LAYER[0], datatype=ROUTE_LAYER[1]))
        top.add(gdstk.Label(r.name, r.start, layer=LABEL_LAYER[0], texttype=LABEL_LAYER[1]))
        n += 1
    with atomic_target(path) as tmp:
        lib.write_gds(str(tmp))
    return n
