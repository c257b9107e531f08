"""Route the bundled example scenes and print short tables.

    python examples/demo.py [scene.json [bundle.json]]

scene.json: single routes, one after the other (rail_bridge_v2); bundle.json: a bus
of routes all at once (negotiated.negotiate_routes).
"""

import json
import pathlib
import sys
import time

import numpy  # noqa: F401  (loaded up front so the first route's time is routing only)

from kelvane.manhattan_router import graph, negotiated


def main(path: str) -> None:
    scene = json.loads(pathlib.Path(path).read_text())
    print(scene.get("description", path))
    print(f"{'route':<14} {'clean':>5} {'length':>9} {'bends':>5} {'lattice':>9} {'states':>7} {'ms':>7}  corners")
    placed = []
    for r in scene["routes"]:
        t0 = time.perf_counter()
        skel, info = graph.rail_bridge_v2(
            r["start"], r["end"], r["start_tangent"], r["end_tangent"], scene["delta"], scene["obstacles"],
            route_spacing=scene["route_spacing"], route_pivots=placed, dbu=scene.get("dbu"))
        ms = (time.perf_counter() - t0) * 1e3
        placed.append(skel)
        lat = "x".join(map(str, info["lattice"]))
        corners = " ".join(f"({x:g},{y:g})" for x, y in skel)
        print(f"{r['name']:<14} {str(info['clean']):>5} {info['length']:>9.3f} {info['bends']:>5} {lat:>9} "
              f"{info['states_expanded']:>7} {ms:>7.3f}  {corners}")
        if info["violations"]:
            print(f"{'':<14} violations: {', '.join(info['violations'])}")


def bundle(path: str) -> None:
    scene = json.loads(pathlib.Path(path).read_text())
    print()
    print(scene.get("description", path))
    t0 = time.perf_counter()
    skels, atomic, order = negotiated.route_negotiated_best(scene["port_centers"], scene["port_tangents"],
                                                            scene["delta"], scene["obstacles"])
    ms = (time.perf_counter() - t0) * 1e3
    crossings, shared = negotiated.count_crossings_atomic(atomic)
    print(f"{'route':<6} {'length':>7} {'bends':>5}  corners")
    for r, s in enumerate(skels):
        if s is None:
            print(f"{r:<6} unrouted")
            continue
        corners = " ".join(f"({x:g},{y:g})" for x, y in s)
        print(f"{r:<6} {negotiated._manhattan_length(s):>7.1f} {len(s) - 2:>5}  {corners}")
    print(f"{len(skels)} routes in {ms:.1f} ms, reroute order {order}: {crossings} crossings, {shared} shared edges")


if __name__ == "__main__":
    here = pathlib.Path(__file__)
    main(sys.argv[1] if len(sys.argv) > 1 else str(here.with_name("scene.json")))
    bundle(sys.argv[2] if len(sys.argv) > 2 else str(here.with_name("bundle.json")))
