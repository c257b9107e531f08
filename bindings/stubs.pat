# Patterns for nanobind's stub generator (all modules).
#
# yokeset's annotations name Any, np and Array, which the module holds as
# attributes; the stub imports them.
^kelvane\.yokeset\.__prefix__$:
    \from typing import Any
    \import numpy as np
    \from jax import Array
