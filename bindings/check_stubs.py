"""Check the generated .pyi stubs of the extension modules (run by the build).

usage: check_stubs.py STAGE MODULE...

STAGE holds the package with the built modules and their stubs beside them.
Each stub must parse, and every public function of the module (its own, or one
that declares itself to the stub generator) whose signature Python can read
must appear as a top-level ``def`` with the same parameters
(names, kinds, which have defaults).  Exits 1 naming every mismatch.
"""

import ast
import importlib
import inspect
import sys
from pathlib import Path


def stub_parameters(fn: ast.FunctionDef) -> list[tuple[str, str, bool]]:
    a = fn.args
    out = [(p.arg, "POSITIONAL_ONLY", False) for p in a.posonlyargs]
    out += [(p.arg, "POSITIONAL_OR_KEYWORD", False) for p in a.args]
    # Defaults belong to the last positional parameters.
    for i in range(len(a.defaults)):
        name, kind, _ = out[len(out) - len(a.defaults) + i]
        out[len(out) - len(a.defaults) + i] = (name, kind, True)
    if a.vararg:
        out.append((a.vararg.arg, "VAR_POSITIONAL", False))
    out += [(p.arg, "KEYWORD_ONLY", d is not None) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        out.append((a.kwarg.arg, "VAR_KEYWORD", False))
    return out


def live_parameters(sig: inspect.Signature) -> list[tuple[str, str, bool]]:
    return [(p.name, p.kind.name, p.default is not p.empty) for p in sig.parameters.values()]


def problems(stage: Path, module_name: str) -> list[str]:
    module = importlib.import_module(module_name)
    stub = stage.joinpath(*module_name.split(".")).with_suffix(".pyi")
    try:
        tree = ast.parse(stub.read_text(), str(stub))
    except (OSError, SyntaxError) as e:
        return [f"{stub}: {e}"]
    defs = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    found = []
    for name, value in vars(module).items():
        if name.startswith("_") or not inspect.isroutine(value):
            continue
        own = getattr(value, "__module__", None) == module_name
        if not own and not isinstance(getattr(value, "__nb_signature__", None), str):
            continue  # imported from elsewhere (dataclasses.dataclass, ...)
        try:
            sig = inspect.signature(value)
        except (TypeError, ValueError):
            continue  # nanobind's own functions: the generator reads their signatures itself
        if name not in defs:
            found.append(f"{stub}: {name} is not a def")
        elif stub_parameters(defs[name]) != live_parameters(sig):
            found.append(f"{stub}: {name} has parameters {stub_parameters(defs[name])}, "
                         f"the module {live_parameters(sig)}")
    return found


def main(argv: list[str]) -> int:
    stage, modules = Path(argv[0]), argv[1:]
    sys.path.insert(0, str(stage))
    found = [p for m in modules for p in problems(stage, m)]
    for p in found:
        print(p, file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
