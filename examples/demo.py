"""Route the bundled example scene and print a short table.

    python examples/demo.py [scene.json]
"""

import json
import pathlib
import sys
import time

import numpy  # noqa: F401  (loaded up front so the first route's time is routing only)

from kelvane.manhattan_router import graph


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


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else str(pathlib.Path(__file__).with_name("scene.json")))
