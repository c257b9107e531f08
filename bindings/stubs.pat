# Patterns for nanobind's stub generator (all modules).
#
# yokeset's annotations name Any, np and Array, which the module holds as
# attributes; the stub imports them.
^kelvane\.yokeset\.__prefix__$:
    \from typing import Any
    \import numpy as np
    \from jax import Array

# graph's Obstacle is a frozen dataclass with slots: its fields read as floats.
^kelvane\.manhattan_router\.graph\.Obstacle\.(x_min|y_min|x_max|y_max)$:
    \1: float
