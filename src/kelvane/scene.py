"""Scene files: the JSON description of one routing job, and route files.

A scene is one JSON object.  Every key is listed once, in ``SCENE_KEYS``,
``ROUTE_KEYS`` and ``OBSTACLE_KEYS`` below, with the reader that checks it and
the line of documentation that ``kelvane format`` prints; nothing else in the
package decides what a scene may contain.  Example::

    {
      "description": "two devices and one connection",
      "delta": 5.0, "spacing": 3.0, "dbu": 0.001,
      "obstacles": [[0, 0, 40, 30], {"name": "mod", "box": [120, 10, 170, 60]}],
      "routes": [
        {"name": "a", "start": [40, 15], "start_heading": [1, 0],
                      "end": [120, 35], "end_orientation": 180}
      ],
      "strategy": "auto",
      "options": {"single": {"turn_bias": "start"}}
    }

Headings are directions of travel: ``start_heading`` points away from the
start port, ``end_heading`` points into the end port.  Orientations are the
way a port faces out of its device, in degrees counter-clockwise from +x (the
usual layout-tool convention): a route leaves its start port along the start
orientation and arrives at its end port against the end orientation.

A mistake is reported as ``where: what`` (``routes[3].end: expected two
numbers, got "12,4"``); ``SceneError`` carries every mistake of a file.
"""

from __future__ import annotations

import dataclasses
import json
import math
import os
import stat
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Mapping, Sequence

import numpy as np

from .strategies import STRATEGIES

__all__ = [
    "Route", "Scene", "SceneError", "GdsSettings", "load_scene", "read_gds_settings", "MAX_SCENE_BYTES", "COORD_LIMIT",
    "parse_scene", "load_routes", "parse_routes",
    "routes_document", "format_help",
]

Point = tuple[float, float]
Heading = tuple[int, int]
Box = tuple[float, float, float, float]


class SceneError(ValueError):
    """A scene or route file that cannot be used.

    ``problems`` lists every mistake found, each as ``where: what``; the message
    prefixes each with the file name.
    """

    def __init__(self, source: str, problems: Sequence[str]):
        self.source = source
        self.problems = list(problems)
        prefix = f"{source}: " if source else ""
        super().__init__("\n".join(prefix + p for p in self.problems))


@dataclass(frozen=True)
class Route:
    """One connection: end points and headings of travel at both ends."""

    name: str
    start: Point
    end: Point
    start_heading: Heading
    end_heading: Heading
    width: float | None = None  # None: the scene's width


Layer = tuple[int, int]


@dataclass(frozen=True)
class GdsSettings:
    """How a scene is written as GDS (the scene's "gds" object; defaults as listed by ``kelvane format``)."""

    cell: str = "kelvane"
    route_layer: Layer = (1, 0)
    obstacle_layer: Layer = (2, 0)
    pin_layer: Layer = (1, 10)
    label_layer: Layer = (10, 0)
    marker_layer: Layer = (99, 0)
    arc_tolerance: float = 0.001


@dataclass(frozen=True)
class Scene:
    """A parsed, checked scene (see the module docstring for the file format)."""

    routes: tuple[Route, ...]
    delta: float
    spacing: float = 3.0
    dbu: float | None = None
    width: float = 0.5
    obstacles: tuple[Box, ...] = ()
    obstacle_names: tuple[str, ...] = ()
    strategy: str = "auto"
    options: Mapping[str, Mapping[str, Any]] = field(default_factory=dict)
    description: str = ""
    source: str = ""
    gds: GdsSettings = GdsSettings()

    def route_width(self, k: int) -> float:
        """Waveguide width of route k: its own, else the scene's."""
        w = self.routes[k].width
        return self.width if w is None else w

    def port_arrays(self) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """Start points, end points, start headings, end headings as B x 2 float arrays."""
        def arr(attr: str) -> np.ndarray:
            return np.array([getattr(r, attr) for r in self.routes], dtype=float).reshape(-1, 2)
        return arr("start"), arr("end"), arr("start_heading"), arr("end_heading")

    def obstacle_label(self, j: int) -> str:
        """How findings and pictures name obstacle j: its index, and its name when it has one."""
        name = self.obstacle_names[j] if j < len(self.obstacle_names) else ""
        return f"obstacle {j}" + (f" {name!r}" if name else "")


# --- readers: each returns the checked value or raises _Bad with the problem ---

class _Bad(Exception):
    """A value's problem; `sub` names the part of the value it is in (e.g. "[3]")."""

    def __init__(self, msg: str, sub: str = ""):
        super().__init__(msg)
        self.sub = sub


def _show(value: Any) -> str:
    if isinstance(value, (list, dict)) and len(value) > 40:
        value = list(value)[:10] if isinstance(value, list) else dict(list(value.items())[:10])
    try:
        text = json.dumps(value)
    except (TypeError, ValueError, RecursionError):
        text = f"a deeply nested {type(value).__name__}" if isinstance(value, (list, dict)) else repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


# Every length and coordinate of a scene lies within +-COORD_LIMIT layout units
# (a kilometre in micrometres): far beyond a chip, well inside what the routers'
# grid arithmetic holds.
COORD_LIMIT = 1e9


def _is_number(v: Any) -> bool:
    # Compared before any float conversion: a 400-digit integer is out of range, not an overflow.
    return isinstance(v, (int, float)) and not isinstance(v, bool) and -COORD_LIMIT <= v <= COORD_LIMIT


def _number(v: Any) -> float:
    if not _is_number(v):
        if isinstance(v, float) and not math.isfinite(v):
            raise _Bad(f"expected a finite number, got {_show(v)}")
        if isinstance(v, (int, float)) and not isinstance(v, bool):
            raise _Bad(f"expected a number between {-COORD_LIMIT:g} and {COORD_LIMIT:g}, got {_show(v)}")
        raise _Bad(f"expected a number, got {_show(v)}")
    return float(v)


def _non_negative(v: Any) -> float:
    x = _number(v)
    if x < 0:
        raise _Bad(f"expected a number >= 0, got {_show(v)}")
    return x


def _positive(v: Any) -> float:
    x = _number(v)
    if x <= 0:
        raise _Bad(f"expected a number > 0, got {_show(v)}")
    return x


def _positive_or_null(v: Any) -> float | None:
    return None if v is None else _positive(v)


def _numbers(v: Any, n: int, what: str) -> tuple[float, ...]:
    if not isinstance(v, (list, tuple)) or len(v) != n or not all(_is_number(x) for x in v):
        bad = next((x for x in v if not _is_number(x)), None) if isinstance(v, (list, tuple)) else None
        note = ""
        if isinstance(bad, float) and not math.isfinite(bad):
            note = " (finite)"
        elif isinstance(bad, (int, float)) and not isinstance(bad, bool):
            note = f" (each within +-{COORD_LIMIT:g})"
        raise _Bad(f"expected {what}, got {_show(v)}{note}")
    return tuple(float(x) for x in v)


def _point(v: Any) -> Point:
    x, y = _numbers(v, 2, "two numbers")
    return (x, y)


def _heading(v: Any) -> Heading:
    dx, dy = _numbers(v, 2, "a heading [dx, dy]")
    if (dx == 0) == (dy == 0):
        raise _Bad(f"expected an axis-parallel, non-zero heading such as [1, 0], got {_show(v)}")
    return (int(np.sign(dx)), int(np.sign(dy)))


def _orientation(v: Any) -> Heading:
    a = _number(v)
    if a % 90 != 0:
        raise _Bad(f"expected a multiple of 90 degrees, got {_show(v)}")
    return [(1, 0), (0, 1), (-1, 0), (0, -1)][int(a // 90) % 4]


def _text(v: Any) -> str:
    if not isinstance(v, str):
        raise _Bad(f"expected a string, got {_show(v)}")
    return v


def _box(v: Any) -> Box:
    x0, y0, x1, y1 = _numbers(v, 4, "a box [x_min, y_min, x_max, y_max]")
    if not (x0 < x1 and y0 < y1):
        raise _Bad(f"expected x_min < x_max and y_min < y_max, got {_show(v)}")
    return (x0, y0, x1, y1)


def _strategy(v: Any) -> str:
    if not isinstance(v, str) or (v not in STRATEGIES and v != "auto"):
        raise _Bad(f"expected one of {', '.join(['auto', *STRATEGIES])}, got {_show(v)}")
    return v


def _list(v: Any) -> list:
    if not isinstance(v, (list, tuple)):
        raise _Bad(f"expected a list, got {_show(v)}")
    return v


def _object(v: Any) -> dict:
    if not isinstance(v, dict):
        raise _Bad(f"expected an object {{...}}, got {_show(v)}")
    return v


def _flag(v: Any) -> bool:
    if not isinstance(v, bool):
        raise _Bad(f"expected true or false, got {_show(v)}")
    return v


def _whole(lo: int, hi: int) -> Callable[[Any], int]:
    """Reader of an integer in lo..hi (a float such as 3.0 counts as 3)."""
    def read(v: Any) -> int:
        if isinstance(v, bool) or not isinstance(v, (int, float)) or not (lo <= v <= hi) or v != int(v):
            raise _Bad(f"expected a whole number from {lo} to {hi}, got {_show(v)}")
        return int(v)
    return read


def _fraction(v: Any) -> float:
    x = _number(v)
    if not 0 <= x <= 1:
        raise _Bad(f"expected a number from 0 to 1, got {_show(v)}")
    return x


def _or_null(read: Callable[[Any], Any]) -> Callable[[Any], Any]:
    return lambda v: None if v is None else read(v)


def _turn_bias(v: Any) -> str | float | None:
    if v is None or (isinstance(v, str) and v in ("center", "centre", "start", "end", "none")):
        return v
    if isinstance(v, str) or not _is_number(v) or not 0 <= v <= 1:
        raise _Bad(f"expected \"center\", \"start\", \"end\", \"none\" or a number from 0 to 1, got {_show(v)}")
    return float(v)


def _choice(*names: str) -> Callable[[Any], str]:
    def read(v: Any) -> str:
        if not isinstance(v, str) or v not in names:
            raise _Bad(f"expected one of {', '.join(names)}, got {_show(v)}")
        return v
    return read


def _backbone_selection(v: Any) -> int | str:
    if isinstance(v, str):
        return _choice("median", "first", "last")(v)
    return _whole(0, 10**6)(v)


@dataclass(frozen=True)
class Key:
    """One key of a JSON object: its reader, its documentation, its default."""

    name: str
    read: Callable[[Any], Any]
    doc: str
    required: bool = False
    default: Any = None


SCENE_KEYS = (
    Key("routes", _list, "list of routes (below), at least one", required=True),
    Key("delta", _non_negative, "bend radius in layout units: runs of at least delta at the ports and "
        "2 * delta between bends", required=True),
    Key("spacing", _non_negative, "least centre-line distance between routes; obstacles are kept "
        "spacing / 2 clear", default=3.0),
    Key("dbu", _positive_or_null, "grid step; corners are placed on multiples of it (null: no grid)"),
    Key("width", _positive, "route width, for GDS paths and pictures", default=0.5),
    Key("obstacles", _list, "boxes [x_min, y_min, x_max, y_max], or objects (below)", default=[]),
    Key("strategy", _strategy, "auto, " + ", ".join(STRATEGIES) + " (the command line's --strategy wins)",
        default="auto"),
    Key("options", _object, "per-strategy keyword options, e.g. {\"negotiated\": {\"iters\": 30}}", default={}),
    Key("description", _text, "free text, shown above the summary", default=""),
    Key("gds", _object, "GDS output settings (below)", default={}),
)

ROUTE_KEYS = (
    Key("name", _text, "unique name (default: r0, r1, ... by position)"),
    Key("start", _point, "start port centre [x, y]", required=True),
    Key("end", _point, "end port centre [x, y]", required=True),
    Key("start_heading", _heading, "direction of travel leaving the start, e.g. [1, 0]"),
    Key("start_orientation", _orientation, "or: way the start port faces, degrees (0 = +x, 90 = +y)"),
    Key("end_heading", _heading, "direction of travel arriving at the end (points into the port)"),
    Key("end_orientation", _orientation, "or: way the end port faces out of its device, degrees"),
    Key("width", _positive, "waveguide width of this route (default: the scene's width)"),
)

OBSTACLE_KEYS = (
    Key("box", _box, "[x_min, y_min, x_max, y_max]", required=True),
    Key("name", _text, "name used in findings", default=""),
)


def _layer(v: Any) -> Layer:
    """[layer, datatype] or "layer/datatype", each 0..65535."""
    parts = v.split("/") if isinstance(v, str) else v
    if isinstance(v, str):
        parts = [int(p) if p.strip().isdigit() else p for p in parts]
    if not isinstance(parts, (list, tuple)) or len(parts) != 2 or \
            not all(isinstance(p, int) and not isinstance(p, bool) and 0 <= p <= 65535 for p in parts):
        raise _Bad(f"expected [layer, datatype] or \"layer/datatype\" (each 0 to 65535), got {_show(v)}")
    return (parts[0], parts[1])


def _cell_name(v: Any) -> str:
    if not isinstance(v, str) or not 0 < len(v) <= 64 or not all(c.isascii() and (c.isalnum() or c in "_-$.")
                                                                 for c in v):
        raise _Bad(f"expected 1 to 64 letters, digits or _-$., got {_show(v)}")
    return v


def _tolerance(v: Any) -> float:
    x = _positive(v)
    if x > 1:
        raise _Bad(f"expected a number > 0 and at most 1, got {_show(v)}")
    return x


_GDS_DEFAULTS = GdsSettings()
GDS_KEYS = (
    Key("cell", _cell_name, "name of the layout's one cell", default=_GDS_DEFAULTS.cell),
    Key("route_layer", _layer, "waveguide paths, [layer, datatype]", default=list(_GDS_DEFAULTS.route_layer)),
    Key("obstacle_layer", _layer, "obstacle rectangles", default=list(_GDS_DEFAULTS.obstacle_layer)),
    Key("pin_layer", _layer, "a pin box across every port", default=list(_GDS_DEFAULTS.pin_layer)),
    Key("label_layer", _layer, "the route name at every port (route:start, route:end)",
        default=list(_GDS_DEFAULTS.label_layer)),
    Key("marker_layer", _layer, "a box and a label for every checker finding",
        default=list(_GDS_DEFAULTS.marker_layer)),
    Key("arc_tolerance", _tolerance, "largest distance of a bend's facets from the true arc, layout units",
        default=_GDS_DEFAULTS.arc_tolerance),
)


def read_gds_settings(raw: Any, base: GdsSettings = _GDS_DEFAULTS, where: str = "gds") -> GdsSettings:
    """`base` with the entries of the JSON object `raw` (keys of GDS_KEYS); `SceneError` naming each mistake."""
    problems: list[str] = []
    vals, _ = _read_object(raw, GDS_KEYS, where, problems)
    if problems:
        raise SceneError("", problems)
    given = {k: (tuple(v) if isinstance(v, list) else v) for k, v in vals.items() if k in raw}
    return dataclasses.replace(base, **given)


def _sides(v: Any) -> list[int]:
    """Laying sequences of the river: a list of -1, 0, 1."""
    if not isinstance(v, list) or not v or len(v) > 3 or \
            not all(isinstance(x, int) and not isinstance(x, bool) and -1 <= x <= 1 for x in v):
        raise _Bad(f"expected a list of 1 to 3 of -1 (from the right), 0 (from the middle), 1 (from the left), "
                   f"got {_show(v)}")
    return list(v)


# The type of every strategy option a scene may set (which strategy takes which
# option is in strategies.STRATEGIES).  Counts are bounded so that a typing
# slip (n_orders 1e8) is refused instead of running for hours.
OPTION_KEYS = {k.name: k for k in (
    Key("turn_bias", _turn_bias, "where a route turns in a free stretch: center, start, end, none, or 0..1"),
    Key("sliding_bias", _fraction, "where bridge lines sit across a wide gap, 0..1"),
    Key("iters", _whole(0, 1000), "negotiation passes per route order, 0..1000"),
    Key("overlap_pen", _or_null(_non_negative), "penalty per other route on an edge (null: the default)"),
    Key("node_pen", _or_null(_non_negative), "penalty per crossing or corner contact (null: the default)"),
    Key("hist_weight", _or_null(_non_negative), "growth of the congestion history (null: delta)"),
    Key("hist_decay", _fraction, "decay of the congestion history per pass, 0..1"),
    Key("turn_pen", _or_null(_non_negative), "cost of a bend (null: delta)"),
    Key("gauss_seidel", _flag, "reroute each route against the others' current paths"),
    Key("avoid_ports", _flag, "keep routes off other routes' ports"),
    Key("cage_margin", _or_null(_non_negative), "distance of the cage rings (null: the default)"),
    Key("cage_layers", _or_null(_whole(0, 64)), "number of cage rings (null: the ladder)"),
    Key("port_clearance", _or_null(_non_negative), "size of the blocked square round a port (null: the default)"),
    Key("route_to_port", _flag, "snap route ends onto their ports"),
    Key("n_orders", _whole(1, 1000), "route orders tried, 1..1000"),
    Key("seed", _whole(-2**63, 2**63 - 1), "seed of the shuffled route orders"),
    Key("min_orders", _whole(1, 1000), "route orders tried before a clean result may stop the search"),
    Key("backbone_clearance_factor", _non_negative, "backbone clearance in bundle widths"),
    Key("bundle_separation_factor", _non_negative, "lane pitch in spacings"),
    Key("backbone_selection", _backbone_selection, "backbone route: median, first, last, or a route index"),
    Key("routing_order", _choice("center-out", "outside-in", "given", "reverse"),
        "order lanes are routed in: center-out, outside-in, given, reverse"),
    Key("inflate_delta", _flag, "grow the bend radius of inner lanes so outer lanes fit"),
    Key("sides", _sides, "river: laying sequences to try, e.g. [1, 0, -1] (1 from the left, 0 the middle out)"),
    Key("relay_rounds", _whole(0, 10), "river: rounds of laying the lanes round unclean ones again, 0..10"),
    Key("crossing_cost", _non_negative, "spaced: length a crossing of two routes costs (default 2 * delta)"),
    Key("max_passes", _whole(0, 100), "spaced: negotiation passes at most, 0..100"),
)}


def _read_object(obj: Any, keys: Sequence[Key], where: str,
                 problems: list[str]) -> tuple[dict[str, Any], bool]:
    """Read one JSON object against its keys: (values, all good).

    Every problem goes to `problems`; a missing or bad key takes its default so
    that the rest of the file can still be read.
    """
    def at(name: str = "") -> str:
        return ".".join(p for p in (where, name) if p)

    out = {k.name: k.default for k in keys}
    try:
        _object(obj)
    except _Bad as e:
        problems.append(f"{where or 'top level'}: {e}")
        return out, False
    ok = True
    for name in obj:
        if name not in out:
            problems.append(f"{where or 'top level'}: unknown key {_show(name)} (known: {', '.join(out)})")
    for k in keys:
        if k.name not in obj:
            if k.required:
                problems.append(f"{at(k.name)}: missing")
                ok = False
            continue
        try:
            out[k.name] = k.read(obj[k.name])
        except _Bad as e:
            problems.append(f"{at(k.name)}{e.sub}: {e}")
            ok = False
    return out, ok


def _end_heading(vals: dict[str, Any], end: str, where: str, problems: list[str]) -> Heading | None:
    heading, orient = vals[f"{end}_heading"], vals[f"{end}_orientation"]
    if (heading is None) == (orient is None):
        problems.append(f"{where}: give exactly one of {end}_heading and {end}_orientation")
        return None
    if heading is not None:
        return heading
    # A port faces out of its device: a route leaves the start along it and
    # arrives at the end against it.
    return orient if end == "start" else (-orient[0], -orient[1])


def _read_options(options: dict, problems: list[str]) -> dict[str, dict[str, Any]]:
    out: dict[str, dict[str, Any]] = {}
    for name, opts in options.items():
        where = f"options.{name}"
        if name not in STRATEGIES:
            problems.append(f"{where}: unknown strategy (known: {', '.join(STRATEGIES)})")
            continue
        if not isinstance(opts, dict):
            problems.append(f"{where}: expected an object {{...}}, got {_show(opts)}")
            continue
        allowed = STRATEGIES[name].options
        out[name] = {}
        for key, value in opts.items():
            if key not in allowed:
                problems.append(f"{where}.{key}: unknown option (known: {', '.join(allowed)})")
                continue
            try:
                out[name][key] = OPTION_KEYS[key].read(value)
            except _Bad as e:
                problems.append(f"{where}.{key}: {e}")
    return out


def parse_scene(data: Any, source: str = "") -> Scene:
    """Check a scene given as parsed JSON and return it as a `Scene`.

    Raises `SceneError` listing every mistake (``where: what``).
    """
    problems: list[str] = []
    top, _ = _read_object(data, SCENE_KEYS, "", problems)
    routes: list[Route] = []
    names: dict[str, int] = {}
    ports: dict[Point, tuple[str, str, int]] = {}  # port point -> the first "routes[i].end" there, name, i
    for i, raw in enumerate(top["routes"] or []):
        where = f"routes[{i}]"
        vals, ok = _read_object(raw, ROUTE_KEYS, where, problems)
        if not ok:
            continue
        sh = _end_heading(vals, "start", where, problems)
        eh = _end_heading(vals, "end", where, problems)
        name = vals["name"] if vals["name"] is not None else f"r{i}"
        if name in names:
            problems.append(f"{where}.name: {_show(name)} is already the name of routes[{names[name]}]")
        names.setdefault(name, i)
        if vals["start"] == vals["end"]:
            problems.append(f"{where}: start and end are the same point")
        for end in ("start", "end"):
            here = f"routes[{i}].{end}"
            first = ports.setdefault(vals[end], (here, name, i))
            if first[2] != i:
                problems.append(f"{here}: route {_show(name)} has its {end} port at the same point as "
                                f"{first[0]} (route {_show(first[1])}); two routes cannot share a port")
        if vals["width"] is not None and vals["width"] > top["spacing"]:
            problems.append(f"{where}.width: {vals['width']:g} is more than the spacing {top['spacing']:g}: "
                            "neighbouring waveguides would overlap")
        if sh is not None and eh is not None:
            routes.append(Route(name, vals["start"], vals["end"], sh, eh, vals["width"]))
    if top["routes"] == []:
        problems.append("routes: expected at least one route, got []")
    if top["width"] > top["spacing"]:
        problems.append(f"width: {top['width']:g} is more than the spacing {top['spacing']:g}: neighbouring "
                        "waveguides would overlap (widen the spacing or narrow the width)")
    if top["dbu"] is not None:
        finest = min((v for v in (top["delta"], top["spacing"]) if v is not None and v > 0), default=None)
        if finest is not None and top["dbu"] > finest:
            problems.append(f"dbu: a grid step of {top['dbu']:g} is coarser than the bend radius or spacing "
                            f"({finest:g}): the grid cannot hold the routes")
    try:
        gds = read_gds_settings(top["gds"])
    except SceneError as e:
        problems += e.problems
        gds = GdsSettings()
    boxes: list[Box] = []
    box_names: list[str] = []
    for i, raw in enumerate(top["obstacles"]):
        where = f"obstacles[{i}]"
        if isinstance(raw, dict):
            vals, ok = _read_object(raw, OBSTACLE_KEYS, where, problems)
            if ok:
                boxes.append(vals["box"])
                box_names.append(vals["name"])
            continue
        try:
            boxes.append(_box(raw))
            box_names.append("")
        except _Bad as e:
            problems.append(f"{where}: {e}")
    options = _read_options(top["options"], problems)
    if problems:
        raise SceneError(source, problems)
    return Scene(routes=tuple(routes), delta=top["delta"], spacing=top["spacing"], dbu=top["dbu"],
                 width=top["width"], obstacles=tuple(boxes), obstacle_names=tuple(box_names),
                 strategy=top["strategy"], options=options, description=top["description"], source=source, gds=gds)


# Scene and route files larger than this are refused (parsing JSON takes about
# forty times the file's size in memory).
MAX_SCENE_BYTES = 32 * 2**20


def _read_text(p: Path) -> str:
    """The file's text: a regular file of at most MAX_SCENE_BYTES in UTF-8, else `SceneError`."""
    try:
        # Non-blocking, so that opening a FIFO does not wait for a writer; fstat then
        # refuses anything but a regular file (FIFOs, devices such as /dev/zero).
        fd = os.open(p, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
    except OSError as e:
        raise SceneError(str(p), [f"cannot read: {e.strerror or e}"]) from None
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise SceneError(str(p), ["cannot read: not a regular file"])
        if st.st_size > MAX_SCENE_BYTES:
            raise SceneError(str(p), [f"cannot read: {st.st_size} bytes, more than the limit of {MAX_SCENE_BYTES}"])
        chunks: list[bytes] = []
        size = 0
        while size <= MAX_SCENE_BYTES and (chunk := os.read(fd, 1 << 20)):  # the file may grow meanwhile
            chunks.append(chunk)
            size += len(chunk)
    except OSError as e:
        raise SceneError(str(p), [f"cannot read: {e.strerror or e}"]) from None
    finally:
        os.close(fd)
    if size > MAX_SCENE_BYTES:
        raise SceneError(str(p), [f"cannot read: more than the limit of {MAX_SCENE_BYTES} bytes"])
    data = b"".join(chunks)
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise SceneError(str(p), [f"not a UTF-8 text file (byte 0x{data[e.start]:02x} at offset {e.start})"]) from None


def _load_json(path: str | Path) -> Any:
    p = Path(path)
    text = _read_text(p)
    try:
        return json.loads(text)
    except json.JSONDecodeError as e:
        raise SceneError(str(p), [f"not valid JSON: {e.msg} at line {e.lineno} column {e.colno}"]) from None
    except RecursionError:
        raise SceneError(str(p), ["not usable JSON: nested too deeply"]) from None
    except ValueError as e:  # e.g. an integer of more digits than Python converts
        raise SceneError(str(p), [f"not usable JSON: {e}"]) from None


def load_scene(path: str | Path) -> Scene:
    """Read and check a scene file; raises `SceneError` naming every mistake."""
    return parse_scene(_load_json(path), str(path))


# --- route files: what `kelvane route -o` writes and `kelvane check` reads ---

def routes_document(scene: Scene, skeletons: Sequence[np.ndarray | None], **extra: Any) -> dict[str, Any]:
    """The JSON document of a routing result: route names with their corner points.

    ``extra`` entries (strategy, summary, findings, ...) are added at the top level.
    """
    return {
        "scene": scene.source,
        **extra,
        "routes": [{"name": r.name, "points": None if s is None else np.asarray(s, dtype=float).tolist()}
                   for r, s in zip(scene.routes, skeletons)],
    }


def _points(v: Any) -> np.ndarray | None:
    if v is None:
        return None
    pts = _list(v)
    if len(pts) < 2:
        raise _Bad(f"expected a list of at least two points, got {_show(v)}")
    for j, p in enumerate(pts):
        try:
            _point(p)
        except _Bad as e:
            raise _Bad(str(e), f"[{j}]") from None
    return np.array(pts, dtype=float)


_ROUTE_RESULT_KEYS = (
    Key("name", _text, "route name, as in the scene", required=True),
    Key("points", _points, "corner points [[x, y], ...], or null when unrouted", required=True),
)


def parse_routes(data: Any, scene: Scene, source: str = "") -> list[np.ndarray | None]:
    """Check a route document against its scene; skeletons in the scene's route order.

    Routes are matched by name; every scene route must be present exactly once.
    """
    problems: list[str] = []
    if not isinstance(data, dict) or not isinstance(data.get("routes"), list):
        raise SceneError(source, [f"expected an object with a list \"routes\", got {_show(data)}"])
    by_name: dict[str, np.ndarray | None] = {}
    for i, raw in enumerate(data["routes"]):
        vals, ok = _read_object(raw, _ROUTE_RESULT_KEYS, f"routes[{i}]", problems)
        if not ok:
            if isinstance(raw, dict) and isinstance(raw.get("name"), str):
                by_name.setdefault(raw["name"], None)  # its problem is reported; it is not missing
            continue
        if vals["name"] in by_name:
            problems.append(f"routes[{i}].name: {_show(vals['name'])} appears twice")
        by_name[vals["name"]] = vals["points"]
    wanted = [r.name for r in scene.routes]
    problems += [f"routes: {_show(n)} is not a route of the scene" for n in by_name if n not in wanted]
    problems += [f"routes: scene route {_show(n)} is missing" for n in wanted if n not in by_name]
    if problems:
        raise SceneError(source, problems)
    return [by_name[n] for n in wanted]


def load_routes(path: str | Path, scene: Scene) -> list[np.ndarray | None]:
    """Read a route file written by ``kelvane route -o`` (or by hand) for `scene`."""
    return parse_routes(_load_json(path), scene, str(path))


def format_help() -> str:
    """The scene file format, generated from the key tables."""
    def table(title: str, keys: Sequence[Key], flags: bool = True) -> list[str]:
        lines = [title]
        for k in keys:
            flag = "required" if k.required else "optional" if k.default is None else f"default {json.dumps(k.default)}"
            lines.append(f"  {k.name:<18} {k.doc}" + (f" ({flag})" if flags else ""))
        return lines
    lines = table("Scene (a JSON object):", SCENE_KEYS) + [""]
    lines += table("Route (each entry of \"routes\"; one of *_heading / *_orientation per end):", ROUTE_KEYS)
    lines += [""] + table("Obstacle given as an object:", OBSTACLE_KEYS)
    lines += [""] + table("GDS output (\"gds\"; the command line's --gds-* options win):", GDS_KEYS)
    lines += ["", "Strategy options (\"options\"):"]
    for name, s in STRATEGIES.items():
        lines.append(f"  {name:<18} {', '.join(s.options)}")
    lines += [""] + table("Option values (each optional; the router's default when left out):",
                          list(OPTION_KEYS.values()), flags=False)
    lines += ["", f"Numbers lie within +-{COORD_LIMIT:g}; a file holds at most {MAX_SCENE_BYTES // 2**20} MiB "
                  "of UTF-8."]
    return "\n".join(lines)
