"""The roads a replaced helper takes, against the native road, per deliverable.

A "replaced" helper is a pass-through wrapper (same arguments, the module's own
function called inside), so the result is the native one and the time measures
only the road: the documented call forms built for the wrapper, and everything
above it running as the module's Python would.

Rows (best of several repeats, ms; ratio to the native road of the same call in
this process; calls: how often one run calls the replaced helper):
  negotiated  4-route swap between devices: negotiate_routes as it is, and with
              _route_pen replaced
  bundle      16-lane corner through 20 boxes, rail-bridge strategy: as it is,
              and with rail_bridge_v2 replaced; 64-lane backbone through 20 boxes:
              as it is, and with _offset_skeleton replaced
  yokeset     10,000 port objects: sort_ports_gdsfactory as it is, and with
              _sort_port_bank replaced

    python bench/bench_seams.py
"""

import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from bench_negotiated import scene as negotiated_scene  # noqa: E402
from bundle_scenes import args, corner, with_field  # noqa: E402
from kelvane import yokeset as yk  # noqa: E402
from kelvane.manhattan_router import bundle as bd  # noqa: E402
from kelvane.manhattan_router import negotiated as ng  # noqa: E402
from timing import best_ms  # noqa: E402


def passing_through(module, name, calls):
    own = getattr(module, name)

    def wrapper(*a, **k):
        calls.append(1)
        return own(*a, **k)

    return own, wrapper


def compare(module, name, run, repeats):
    """(native ms, replaced ms, calls of the replaced helper in one run)."""
    native = best_ms(run, repeats)
    calls = []
    own, wrapper = passing_through(module, name, calls)
    setattr(module, name, wrapper)
    try:
        run()
        per_run = len(calls)
        replaced = best_ms(run, repeats)
    finally:
        setattr(module, name, own)
    native = min(native, best_ms(run, repeats))  # the native road again, after
    return native, replaced, per_run


class Port:
    __slots__ = ("center", "orientation")

    def __init__(self, center, orientation):
        self.center = center
        self.orientation = orientation


def main():
    rows = []
    pc, pt, obstacles = negotiated_scene("swap", 4, 0)
    run = lambda: ng.negotiate_routes(pc, pt, 2.0, obstacles)  # noqa: E731
    rows.append(("negotiated 4-route swap", "_route_pen", *compare(ng, "_route_pen", run, 3)))

    s = with_field(corner(16, pitch=5, reach=380), 20, seed=16)
    run = lambda: bd.bundle_rail_bridge_v2(*args(s), 5.0, s["obstacles"], route_spacing=3.0)  # noqa: E731
    rows.append(("bundle rail-bridge 16 lanes", "rail_bridge_v2", *compare(bd, "rail_bridge_v2", run, 5)))
    s = with_field(corner(64, pitch=5, reach=620), 20, seed=64)
    run = lambda: bd.bundle_backbone_v2(*args(s), 5.0, s["obstacles"], route_spacing=3.0)  # noqa: E731
    rows.append(("bundle backbone 64 lanes", "_offset_skeleton", *compare(bd, "_offset_skeleton", run, 10)))

    rng = np.random.default_rng(3)
    start = [Port((0.0, float(y)), 0.0) for y in rng.uniform(-1e4, 1e4, 10_000)]
    end = [Port((1000.0, float(y)), 180.0) for y in rng.uniform(-1e4, 1e4, 10_000)]
    run = lambda: yk.sort_ports_gdsfactory(start, end)  # noqa: E731
    rows.append(("yokeset 10,000 ports", "_sort_port_bank", *compare(yk, "_sort_port_bank", run, 5)))

    print(f"{'call':<28} {'replaced':<17} {'calls':>5} | {'native ms':>9} | {'replaced ms':>11} | {'ratio':>6}")
    print("-" * 88)
    for call, name, native, replaced, calls in rows:
        print(f"{call:<28} {name:<17} {calls:>5} | {native:>9.2f} | {replaced:>11.2f} | {replaced / native:>5.2f}x")


if __name__ == "__main__":
    main()
