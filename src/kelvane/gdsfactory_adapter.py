"""Routing between the ports of a gdsfactory Component (optional extra: gdsfactory).

    import gdsfactory as gf
    from kelvane.gdsfactory_adapter import route_ports

    c = gf.Component()
    left = c << gf.components.nxn(west=0, east=4, xsize=10, ysize=40)
    right = c << gf.components.nxn(west=4, east=0, xsize=10, ysize=40)
    right.move((200, 60))
    result = route_ports(c, list(left.ports), list(right.ports)[::-1], cross_section="strip")
    result.clean, [str(f) for f in result.report.findings]

Uses gdsfactory through its public interface only: ports (``center``,
``orientation``, ``name``), instances and their ``dbbox()``, cross-sections
(``width``, ``radius``, ``layer``) and ``gf.Path(points).extrude(cross_section)``.
"""

from __future__ import annotations

from typing import Any, Mapping, Sequence

from ._bends import centreline, drawable
from .routing import RouteResult, route_scene
from .scene import parse_scene

__all__ = ["route_ports"]


def _box(bbox: Any) -> list[float]:
    return [float(bbox.left), float(bbox.bottom), float(bbox.right), float(bbox.top)]


def route_ports(component: Any, starts: Sequence[Any], ends: Sequence[Any], *, cross_section: Any = "strip",
                strategy: str = "auto", radius: float | None = None, spacing: float | None = None,
                obstacles: Sequence[Sequence[float]] = (), sort_ports: bool = False,
                options: Mapping[str, Mapping[str, Any]] | None = None, arc_tolerance: float = 0.001,
                place: bool = True) -> RouteResult:
    """Route starts[i] to ends[i] round the component's instances; place the waveguides in it.

    component      a gdsfactory Component; the bounding box of every instance in it is
                   an obstacle (a route may leave and enter the boxes of its own ports),
                   as are the extra `obstacles` boxes (x_min, y_min, x_max, y_max).
    starts, ends   gdsfactory ports, paired by position (`sort_ports`: re-paired by
                   kelvane.yokeset.sort_ports_gdsfactory so that routes need not cross).
                   Each port faces out of its device; orientations are multiples of 90.
    cross_section  a gdsfactory cross-section or its name: the waveguides take its width,
                   layer and bend radius (`radius` overrides a missing or other radius).
    strategy       a kelvane strategy (auto, single, negotiated, backbone, rail-bridge);
                   `options` per strategy, as in a scene file.
    spacing        least centre-line distance between routes (default: 3, at least the width).
    place          add one waveguide instance per routed skeleton to the component, its
                   bends arcs of the radius within `arc_tolerance`.

    Returns the `RouteResult` (``.skeletons``, ``.report`` of the independent checker,
    ``.scene``).  Raises `kelvane.scene.SceneError` naming what cannot be routed
    (ports that are not Manhattan, unequal lists, ...).
    """
    import gdsfactory as gf

    xs = gf.get_cross_section(cross_section)
    if len(starts) != len(ends):
        raise ValueError(f"starts and ends must have equal length, got {len(starts)} and {len(ends)}")
    if sort_ports:
        from .yokeset import sort_ports_gdsfactory
        starts, ends = sort_ports_gdsfactory(list(starts), list(ends))
    delta = float(radius if radius is not None else xs.radius)
    width = float(xs.width)
    kcl = getattr(component, "kcl", None)
    scene = parse_scene({
        "delta": delta, "spacing": float(spacing if spacing is not None else max(3.0, width)), "width": width,
        "dbu": float(getattr(kcl, "dbu", 0.001)), "strategy": strategy, "options": dict(options or {}),
        "obstacles": [_box(inst.dbbox()) for inst in component.insts] + [list(map(float, b)) for b in obstacles],
        "routes": [{"name": f"{i}:{s.name}->{e.name}", "start": list(map(float, s.center)),
                    "start_orientation": float(s.orientation), "end": list(map(float, e.center)),
                    "end_orientation": float(e.orientation)} for i, (s, e) in enumerate(zip(starts, ends))],
    }, f"gdsfactory component {getattr(component, 'name', '')}")
    result = route_scene(scene, strategy)
    if place:
        for skel in result.skeletons:
            if drawable(skel) is not None:
                spine = centreline(skel, delta, arc_tolerance)
                component.add_ref(gf.Path(spine).extrude(cross_section=xs))
    return result
