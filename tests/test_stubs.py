"""Typing and docs: a .pyi stub beside every extension module with the real signatures,
and a docstring on every public function of the user layer."""

import ast
import builtins
import importlib
import inspect
import pkgutil
from pathlib import Path

import pytest

MODULES = ["kelvane.manhattan_router.graph", "kelvane.manhattan_router.waypoints",
           "kelvane.manhattan_router.negotiated", "kelvane.manhattan_router.bundle", "kelvane.yokeset"]


def stub_tree(module_name):
    module = importlib.import_module(module_name)
    path = Path(module.__file__).with_name(module_name.rsplit(".", 1)[1] + ".pyi")
    return ast.parse(path.read_text(), str(path))


def top_defs(tree):
    return {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}


def bound_names(tree):
    names = set(dir(builtins))
    for n in tree.body:
        if isinstance(n, (ast.FunctionDef, ast.ClassDef)):
            names.add(n.name)
        elif isinstance(n, (ast.Import, ast.ImportFrom)):
            names |= {(a.asname or a.name).split(".")[0] for a in n.names}
        elif isinstance(n, (ast.Assign, ast.AnnAssign)):
            targets = n.targets if isinstance(n, ast.Assign) else [n.target]
            names |= {t.id for t in targets if isinstance(t, ast.Name)}
    return names


def annotation_names(fn):
    """Names an annotation of `fn` refers to, quoted annotations included."""
    args = fn.args
    params = args.posonlyargs + args.args + args.kwonlyargs + [a for a in (args.vararg, args.kwarg) if a]
    out = set()
    for ann in [p.annotation for p in params] + [fn.returns]:
        if ann is None:
            continue
        if isinstance(ann, ast.Constant) and isinstance(ann.value, str):
            ann = ast.parse(ann.value, mode="eval")
        out |= {n.id for n in ast.walk(ann) if isinstance(n, ast.Name)}
    return out


@pytest.mark.parametrize("module_name", MODULES)
def test_every_module_has_a_stub_of_defs_whose_names_resolve(module_name):
    tree = stub_tree(module_name)
    text = ast.unparse(tree)
    assert "native_function" not in text
    defs = top_defs(tree)
    assert defs, f"{module_name}: no functions in the stub"
    known = bound_names(tree)
    for fn in defs.values():
        assert annotation_names(fn) <= known, (fn.name, annotation_names(fn) - known)


@pytest.mark.parametrize("module_name,function,parameters,returns", [
    ("kelvane.manhattan_router.graph", "rail_bridge_v2",
     "start, end, start_tangent, end_tangent, delta, obstacles=None, turn_bias='center', sliding_bias=0.5, "
     "real_obstacles=None, route_skeletons=None, route_spacing=3.0, route_pivots=(), bend_delta=None, dbu=None, "
     "arc_clearance=True", None),
    ("kelvane.manhattan_router.waypoints", "route_waypoints_v2",
     "start, end, start_tangent, end_tangent, waypoints, delta, obstacles=None, pins=None, turn_bias='center', "
     "sliding_bias=0.5, real_obstacles=None, route_skeletons=None, route_spacing=3.0, route_pivots=(), "
     "bend_delta=None, dbu=None, arc_clearance=True", None),
    ("kelvane.manhattan_router.negotiated", "negotiate_routes",
     "port_centers, port_tangents, delta, obstacles=None, **kw", None),
    ("kelvane.manhattan_router.negotiated", "route_negotiated_best",
     "port_centers, port_tangents, delta, obstacles=None, *, n_orders=8, seed=0, dbu=None, **kw", None),
    ("kelvane.manhattan_router.bundle", "bundle_backbone_v2",
     "start_positions, end_positions, start_tangents, end_tangents, delta, obstacles, turn_bias='center', "
     "sliding_bias=0.5, pitch_transition='even', route_width=0.5, backbone_clearance_factor=4.0, "
     "bundle_separation_factor=1.0, backbone_selection='median', route_spacing=3.0, route_skeletons=None, "
     "dbu=None, waypoints=None", None),
    ("kelvane.manhattan_router.bundle", "bundle_rail_bridge_v2",
     "start_positions, end_positions, start_tangents, end_tangents, delta, obstacles, route_spacing=3.0, "
     "routing_order='center-out', turn_bias='center', sliding_bias=0.5, route_width=0.5, route_clearance=2.0, "
     "route_skeletons=None, inflate_delta=True, dbu=None", None),
    ("kelvane.yokeset", "yokeset", "port_centers: Array, port_tangents: Array",
     "tuple[numpy.ndarray, numpy.ndarray]"),
    ("kelvane.yokeset", "sort_ports_gdsfactory", "start_ports: list[Any], end_ports: list[Any]",
     "tuple[list[Any], list[Any]]"),
])
def test_functions_carry_their_real_signature_and_docstring(module_name, function, parameters, returns):
    fn = top_defs(stub_tree(module_name))[function]
    assert ast.unparse(fn.args) == parameters
    assert (None if fn.returns is None else ast.unparse(fn.returns)) == returns
    doc = ast.get_docstring(fn)
    live = importlib.import_module(module_name)
    assert doc and doc.splitlines()[0] == getattr(live, function).__doc__.strip().splitlines()[0]


def test_private_functions_stay_out_of_stubs():
    defs = top_defs(stub_tree("kelvane.manhattan_router.negotiated"))
    assert "_route_pen" not in defs and "_best_over_orders" not in defs
    assert [a.arg for a in defs["negotiate_routes"].args.args] == ["port_centers", "port_tangents", "delta", "obstacles"]


def test_every_public_function_of_the_user_layer_has_a_docstring():
    import kelvane
    missing = []
    for info in pkgutil.iter_modules(kelvane.__path__):
        if info.name.startswith("_") or info.ispkg:
            continue
        module = importlib.import_module(f"kelvane.{info.name}")
        for name, value in vars(module).items():
            if name.startswith("_") or getattr(value, "__module__", None) != module.__name__:
                continue
            members = [(name, value)]
            if inspect.isclass(value):
                members += [(f"{name}.{m}", v) for m, v in vars(value).items()
                            if not m.startswith("_") and (inspect.isfunction(v) or isinstance(v, property))]
            missing += [f"{module.__name__}.{n}" for n, v in members
                        if (inspect.isfunction(v) or inspect.isclass(v) or isinstance(v, property))
                        and not (v.__doc__ or "").strip()]
    assert not missing
