"""kelvane: a Manhattan router for circuit layouts.

Extension modules:
  kelvane.manhattan_router.graph      single-route search, obstacle index, lattice search
  kelvane.manhattan_router.waypoints  single routes through ordered waypoints
  kelvane.yokeset                     start/end port matching
"""

__version__ = "0.1.0"
