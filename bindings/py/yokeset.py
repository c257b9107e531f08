"""Port matching: which start port goes with which end port, for the port arrays of a
bundle (yokeset) or for lists of objects with `center` and `orientation` (sort_ports_gdsfactory).
"""

from typing import Any
import numpy as np
from jax import Array


def _define(_native, _intact):
    global yokeset, sort_ports_gdsfactory, _port_bbox, _port_angle, _sort_ports_like_kfactory, _sort_port_bank

    def yokeset(port_centers: "Array", port_tangents: "Array") -> "tuple[np.ndarray, np.ndarray]":
        """Rank the start ports and the end ports of a bundle across the bundle.

        port_centers, port_tangents: array-likes of shape (B, 2, 2); [b, 0] is route b's start,
        [b, 1] its end.  Ports are projected on the mean start direction turned +90 degrees;
        start ports are ranked by ascending projection, end ports by ascending projection, or
        descending when the mean end direction is within 60 degrees of the mean start
        direction.  Returns (start_perm, end_perm), numpy index arrays: start_perm[k] and
        end_perm[k] are the rows to join.  Ties keep numpy's argsort order.
        """
        pc = np.asarray(port_centers)
        pt = np.asarray(port_tangents)
        B = pc.shape[0]
        if B <= 1:
            return np.arange(B), np.arange(B)
        sp = pc[:, 0, :]
        ep = pc[:, 1, :]
        means = _native.exact_means(pt) if _intact(("np",)) else None  # exact for integral tangents
        avg_s = np.mean(pt[:, 0, :], axis=0) if means is None else np.array(means[0], dtype=pt.dtype)
        avg_s = avg_s / (np.linalg.norm(avg_s) + 1e-12)
        avg_e = np.mean(pt[:, 1, :], axis=0) if means is None else np.array(means[1], dtype=pt.dtype)
        avg_e = avg_e / (np.linalg.norm(avg_e) + 1e-12)
        perp = np.array([-avg_s[1], avg_s[0]])
        start_proj = sp @ perp
        end_proj = ep @ perp
        start_perm = np.argsort(start_proj)
        same_direction = float(np.dot(avg_s, avg_e)) > 0.5
        end_perm = np.argsort(end_proj)[::-1] if same_direction else np.argsort(end_proj)
        return start_perm, end_perm

    def sort_ports_gdsfactory(start_ports: "list[Any]", end_ports: "list[Any]") -> "tuple[list[Any], list[Any]]":
        """Reorder start and end port objects so that the i-th start port joins the i-th end port.

        Returns (start, end) as new lists of the given ports.  The start group is listed from
        its side facing the end group, the end group from the side its first port faces, in
        opposite senses.  Raises ValueError when the lists differ in length.
        """
        if _intact(("_port_bbox", "_port_angle", "_sort_ports_like_kfactory", "_sort_port_bank")):
            done = _native.sort_ports_gdsfactory(start_ports, end_ports)
            if done is not NotImplemented:
                return done
        if len(start_ports) != len(end_ports):
            raise ValueError("start_ports and end_ports must have equal length")
        if len(start_ports) < 2:
            return list(start_ports), list(end_ports)
        start_box = _port_bbox(start_ports)
        end_box = _port_bbox(end_ports)
        vx = start_box[0] - end_box[0]
        vy = start_box[1] - end_box[1]
        end_angle = _port_angle(end_ports[0])
        if end_angle == 0:
            start_target_side = 0 if vx < 0 else 2
        elif end_angle == 1:
            start_target_side = 1 if vy < 0 else 3
        elif end_angle == 2:
            start_target_side = 2 if vx > 0 else 0
        else:
            start_target_side = 3 if vy > 0 else 1
        return (_sort_ports_like_kfactory(start_ports, start_target_side, clockwise=True),
                _sort_ports_like_kfactory(end_ports, end_angle, clockwise=False))

    def _port_bbox(ports: "list[Any]") -> "tuple[float, float]":
        """Centre (x, y) of the bounding box of the ports' centres, as floats."""
        return _native.port_bbox(ports)

    def _port_angle(port: "Any") -> "int":
        """Side a port faces as a quarter turn 0..3 (+x, +y, -x, -y), ties to even."""
        return round(float(port.orientation) / 90) % 4

    def _sort_ports_like_kfactory(ports: "list[Any]", target_side: "int", *, clockwise: "bool") -> "list[Any]":
        """List a group of ports bank by bank: sides target-1, target, target+1, then the
        back side, each bank ordered by _sort_port_bank.  With clockwise false the whole
        list is reversed."""
        if type(target_side) is int and _intact(("_port_angle", "_sort_port_bank")):
            return _native.sort_ports_like_kfactory(ports, target_side % 4, clockwise)
        ports_by_angle = {0: [], 1: [], 2: [], 3: []}
        for port in ports:
            ports_by_angle[_port_angle(port)].append(port)
        back_angle = (target_side + 2) % 4
        start_ports = []
        end_ports = _sort_port_bank(ports_by_angle[back_angle])
        for angle_delta in (-1, 0, 1):
            start_ports.extend(_sort_port_bank(ports_by_angle[(target_side + angle_delta) % 4]))
        sorted_ports = start_ports + end_ports
        if not clockwise:
            sorted_ports.reverse()
        return sorted_ports

    def _sort_port_bank(ports: "list[Any]") -> "list[Any]":
        """Stable order of ports facing one side, chosen by the first port's facing: +x by
        ascending y, +y by descending x, -x by descending y, -y by ascending x."""
        if not ports:
            return []
        angle = _port_angle(ports[0])
        if angle == 0:
            return sorted(ports, key=lambda p: float(p.center[1]))
        if angle == 1:
            return sorted(ports, key=lambda p: -float(p.center[0]))
        if angle == 2:
            return sorted(ports, key=lambda p: -float(p.center[1]))
        return sorted(ports, key=lambda p: float(p.center[0]))
