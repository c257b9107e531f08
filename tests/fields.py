"""Obstacle fields shared by the chip-scale tests and the single-route benchmark."""
import numpy as np


def free_port(boxes, x, y, reach=4.0):
    """Moves (x, y) left until no box of the N x 4 array lies within `reach` of it."""
    while True:
        near = (boxes[:, 0] - reach < x) & (boxes[:, 2] + reach > x) & (boxes[:, 1] - reach < y) & (boxes[:, 3] + reach > y)
        if not near.any():
            return (float(x), float(y))
        x -= 1.0


def rings(n):
    """n square rings of width 1, 4 apart, round the origin; and a distance clear of them all."""
    boxes = []
    for k in range(n):
        r = 10 + 4 * k
        boxes += [(-r, -r, r, -r + 1), (-r, r - 1, r, r), (-r, -r, -r + 1, r), (r - 1, -r, r, r)]
    return np.array(boxes, dtype=float), float(10 + 4 * n + 20)
