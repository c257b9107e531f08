"""Route the bundled example scene and print short tables: the single routes,
then the scene's bundle with both bundle strategies.

    python examples/demo.py [scene.json]
"""

import json
import pathlib
import sys
import time

import numpy  # noqa: F401  (loaded up front so the first route's time is routing only)

from kelvane.manhattan_router import bundle, graph


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
    if "bundle" in scene:
        route_bundle(scene)


def route_bundle(scene: dict) -> None:
    b = scene["bundle"]
    n = len(b["starts"])
    obstacles = scene["obstacles"] + b.get("extra_obstacles", [])
    index = graph._ObstacleIndex(obstacles, scene.get("dbu"))
    print()
    print(b.get("description", "bundle"))
    print(f"{'strategy':<22} {'ms':>7} {'length':>8} {'bends':>5} {'on obstacles':>12}  lanes")
    for strategy in (bundle.bundle_backbone_v2, bundle.bundle_rail_bridge_v2):
        t0 = time.perf_counter()
        lanes, _ = strategy(b["starts"], b["ends"], [b["start_tangent"]] * n, [b["end_tangent"]] * n, scene["delta"],
                            obstacles, route_spacing=scene["route_spacing"], dbu=scene.get("dbu"))
        ms = (time.perf_counter() - t0) * 1e3
        length = sum(abs(x1 - x0) + abs(y1 - y0) for lane in lanes for (x0, y0), (x1, y1) in zip(lane, lane[1:]))
        bends = sum(len(lane) - 2 for lane in lanes)
        # lanes with a segment through an obstacle or along its face
        meeting = sum(any(index.blocked(*p, *q) for p, q in zip(lane, lane[1:])) for lane in lanes)
        shapes = " | ".join(" ".join(f"({x:g},{y:g})" for x, y in lane[1:-1]) for lane in lanes)
        print(f"{strategy.__name__:<22} {ms:>7.3f} {length:>8.1f} {bends:>5} {meeting:>12}  corners: {shapes}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else str(pathlib.Path(__file__).with_name("scene.json")))
