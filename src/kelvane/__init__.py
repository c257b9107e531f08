"""kelvane: a Manhattan router for circuit layouts.

Extension modules (each with a .pyi stub beside it):
  kelvane.manhattan_router.graph       single-route search, obstacle index, lattice search
  kelvane.manhattan_router.waypoints   single routes through ordered waypoints
  kelvane.manhattan_router.bundle      bundles as parallel lanes (backbone, rail-bridge)
  kelvane.manhattan_router.negotiated  all routes at once by negotiated congestion
  kelvane.yokeset                      start/end port matching
  kelvane.engine                       process-wide controls (time_budget)

The user-facing layer (plain Python): scene files (`load_scene`), routing with a
strategy (`route_scene`), the independent checker (`check_routes`), pictures
(`render_svg`), GDS export (`write_gds`), batches on any executor
(`route_batch`) and the ``kelvane`` command line (`kelvane.cli`).
"""

from importlib import import_module
from typing import Any

__version__ = "0.1.0"

# Loaded on first use, so that importing an extension module stays light.
_LAZY = {
    "Scene": "scene", "Route": "scene", "SceneError": "scene", "load_scene": "scene", "parse_scene": "scene",
    "load_routes": "scene",
    "route_scene": "routing", "RouteResult": "routing",
    "check_routes": "check", "Finding": "check", "Report": "check",
    "render_svg": "svg", "write_gds": "gds",
    "route_batch": "batch", "process_scene": "batch",
}

__all__ = ["__version__", *_LAZY]


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        return getattr(import_module(f".{_LAZY[name]}", __name__), name)
    raise AttributeError(f"module 'kelvane' has no attribute {name!r}")
