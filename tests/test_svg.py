"""Pictures: arcs of the bend radius, legend and scale, grouped findings, labels a renderer without CSS can read."""

import io
import re
import xml.etree.ElementTree as ET

import numpy as np
import pytest

from kelvane.check import Finding, check_routes
from kelvane.scene import parse_scene
from kelvane.svg import PALETTE, render_svg

NS = "{http://www.w3.org/2000/svg}"
SCENE = parse_scene({"delta": 10, "spacing": 3, "obstacles": [{"name": "block", "box": [60, 40, 160, 100]}],
                     "routes": [{"name": "alpha", "start": [0, 0], "start_heading": [1, 0], "end": [200, 150],
                                 "end_heading": [0, 1]},
                                {"name": "beta", "start": [0, 120], "start_heading": [1, 0], "end": [200, 120],
                                 "end_heading": [1, 0]}]})
SKELETONS = [np.array([[0, 0], [200, 0], [200, 150]], float), np.array([[0, 120], [200, 120]], float)]


def test_bends_are_arcs_and_the_legend_counts_findings():
    findings = [Finding("spacing", "alpha", (50, 10), "a"), Finding("spacing", "alpha", (50.5, 10), "b"),
                Finding("obstacle", "beta", (150, 120), "c")]
    root = ET.fromstring(render_svg(SCENE, SKELETONS, findings, "t", strategy="single"))
    alpha = next(e for e in root.iter(NS + "path") if e.get("class") == "route")
    k = 960 / (200 + 2 * 20)  # extent 200 plus a pad of 2 * delta each side
    arcs = re.findall(r"A ([\d.]+) ([\d.]+) 0 0 (\d)", alpha.get("d"))
    assert [(float(rx), int(sweep)) for rx, _, sweep in arcs] == [(pytest.approx(10 * k, abs=0.01), 0)]
    texts = {e.get("class"): e.text for e in root.iter(NS + "text") if e.get("class")}
    assert texts["legend"] == "strategy: single; findings: 2 spacing, 1 obstacle"  # in the order of KINDS
    assert texts["scale"] == "20" and texts["extent"] == "x -20 to 220, y -20 to 170"
    rings = sorted(int(e.get("data-count")) for e in root.iter(NS + "circle") if e.get("class") == "finding")
    assert rings == [1, 2]  # the two spacing findings half a unit apart share a ring


def ink(png, box, colour, tol=40):
    """Pixels inside box (x0, y0, x1, y1) within `tol` of `colour` (#rrggbb)."""
    from PIL import Image
    img = np.asarray(Image.open(io.BytesIO(png)).convert("RGB"), dtype=int)
    x0, y0, x1, y1 = (int(round(v)) for v in box)
    want = np.array([int(colour[i:i + 2], 16) for i in (1, 3, 5)])
    return int((np.abs(img[y0:y1, x0:x1] - want).max(axis=2) <= tol).sum())


def label_boxes(svg):
    """(box, colour) of every label: about 7 px a letter, 12 px above the baseline."""
    out = []
    for e in ET.fromstring(svg).iter(NS + "text"):
        if e.get("class") == "label":
            x, y, n = float(e.get("x")), float(e.get("y")), 7 * len(e.text)
            x0 = x - n if e.get("text-anchor") == "end" else x
            out.append(((x0, y - 12, x0 + n, y + 2), e.get("fill")))
    return out


def test_labels_are_readable_in_a_renderer_without_css():
    try:
        import cairosvg
    except (ImportError, OSError) as e:  # OSError: the system's libcairo is missing
        pytest.skip(f"cairosvg cannot render: {e}")
    svg = render_svg(SCENE, SKELETONS, check_routes(SCENE, SKELETONS).findings)
    boxes = label_boxes(svg)
    assert sorted(c for _, c in boxes) == sorted(["#555555", PALETTE[0], PALETTE[1]])
    png = cairosvg.svg2png(bytestring=svg.encode())
    for box, colour in boxes:
        assert ink(png, box, colour) >= 40, colour
    # The halo drawn with CSS paint-order instead: cairosvg ignores it, and the white stroke covers the letters.
    css = re.sub(r'<text x="[^"]*" y="[^"]*" text-anchor="\w+" fill="white"[^>]*>[^<]*</text>', "", svg)
    css = css.replace('<rect width', '<style>text { paint-order: stroke; stroke: white; stroke-width: 3px; }'
                                     '</style><rect width', 1)
    png = cairosvg.svg2png(bytestring=css.encode())
    assert all(ink(png, box, colour) < 15 for box, colour in boxes)


def test_a_crossing_the_port_order_forces_is_a_grey_mark_not_a_finding():
    from kelvane.routing import forced_crossings
    swap = parse_scene({"delta": 2, "spacing": 2, "routes": [
        {"name": "a", "start": [0, 0], "start_heading": [1, 0], "end": [100, 10], "end_heading": [1, 0]},
        {"name": "b", "start": [0, 10], "start_heading": [1, 0], "end": [100, 0], "end_heading": [1, 0]}]})
    skeletons = [np.array([[0, 0], [30, 0], [30, 20], [70, 20], [70, 10], [100, 10]], float),
                 np.array([[0, 10], [50, 10], [50, 0], [100, 0]], float)]
    report = check_routes(swap, skeletons)
    forced = forced_crossings(swap, report)
    assert [f.kind for f in report.findings] == ["crossing"] and forced == [True]
    root = ET.fromstring(render_svg(swap, skeletons, [], forced=report.findings))
    assert [e.get("class") for e in root.iter(NS + "circle") if e.get("class") != "port"] == ["forced"]
    legend = next(e.text for e in root.iter(NS + "text") if e.get("class") == "legend")
    assert legend == "findings: none; 1 forced crossing (grey)"
