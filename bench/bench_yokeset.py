"""Benchmark of kelvane.yokeset: yokeset and sort_ports_gdsfactory against numpy's argsort.

A bundle of B routes: start ports at x = 0 facing +x, end ports at x = 1000
facing -x, random y.  The baseline is one np.argsort of the bundle's start
projections (what yokeset sorts), timed in the same run.  Times are the best
of several repeats, in milliseconds.

Targets at 100,000 ports: yokeset within 3x of the argsort; sort_ports_gdsfactory
(100,000 start and 100,000 end port objects) under 50 ms.
"""

import numpy as np

from kelvane import yokeset as yk
from timing import best_ms


class Port:
    __slots__ = ("center", "orientation")

    def __init__(self, center, orientation):
        self.center = center
        self.orientation = orientation


def scene(b, rng):
    ys = rng.uniform(-1e4, 1e4, b)
    ye = rng.uniform(-1e4, 1e4, b)
    pc = np.zeros((b, 2, 2))
    pc[:, 0, 1] = ys
    pc[:, 1, 0] = 1000.0
    pc[:, 1, 1] = ye
    pt = np.zeros((b, 2, 2))
    pt[:, 0, 0] = 1.0
    pt[:, 1, 0] = -1.0
    start = [Port((0.0, float(y)), 0.0) for y in ys]
    end = [Port((1000.0, float(y)), 180.0) for y in ye]
    return pc, pt, start, end


def main():
    rng = np.random.default_rng(7)
    rows = []
    for b in (10, 1_000, 100_000):
        pc, pt, start, end = scene(b, rng)
        perp = np.array([-0.0, 1.0])
        proj = pc[:, 0, :] @ perp
        repeats = 200 if b <= 1000 else 15
        t_arg = best_ms(lambda: np.argsort(proj), repeats)
        t_yoke = best_ms(lambda: yk.yokeset(pc, pt), repeats)
        t_sort = best_ms(lambda: yk.sort_ports_gdsfactory(start, end), repeats)
        t_arg = min(t_arg, best_ms(lambda: np.argsort(proj), repeats))  # baseline again, after the others
        rows.append((b, t_arg, t_yoke, t_sort))

    print(f"{'ports':>8} | {'np.argsort ms':>13} | {'yokeset ms':>10} | {'ratio':>6} | "
          f"{'sort_ports_gdsfactory ms':>24} | {'ratio':>7}")
    print("-" * 86)
    for b, t_arg, t_yoke, t_sort in rows:
        print(f"{b:>8,} | {t_arg:>13.4f} | {t_yoke:>10.4f} | {t_yoke / t_arg:>5.2f}x | "
              f"{t_sort:>24.4f} | {t_sort / t_arg:>6.2f}x")
    b, t_arg, t_yoke, t_sort = rows[-1]
    print()
    print(f"target yokeset <= 3x argsort at {b:,}: {t_yoke / t_arg:.2f}x "
          f"({'met' if t_yoke <= 3 * t_arg else 'NOT met'})")
    print(f"target sort_ports_gdsfactory < 50 ms at {b:,} start + {b:,} end ports: {t_sort:.1f} ms "
          f"({'met' if t_sort < 50 else 'NOT met'})")


if __name__ == "__main__":
    main()
