// Module kelvane.manhattan_router.negotiated: the negotiated-congestion
// router.  The module body binds, in this order: dataclasses, itertools,
// random, dataclass, np, thirteen names of the graph module, BLOCK_PEN,
// _SNAP, the _Scene record and the functions (negotiated_functions.cpp).
// The routing itself is cpp/src/negotiated/; the seams between the
// functions are negotiated_run.cpp.
#include "deadline_link.hpp"
#include "negotiated_run.hpp"

namespace nb = nanobind;

namespace {

// Runs module-level Python statements in the module's namespace: imports
// and the record class, with the host's own semantics (a missing graph
// name is the host's ImportError).
void exec_in(nb::module_& m, const char* source) {
    nb::object globals = nb::borrow(PyModule_GetDict(m.ptr()));
    nb::object code = nb::steal(Py_CompileString(source, "<kelvane.manhattan_router.negotiated>", Py_file_input));
    if (!code.is_valid()) throw nb::python_error();
    nb::object ran = nb::steal(PyEval_EvalCode(code.ptr(), globals.ptr(), globals.ptr()));
    if (!ran.is_valid()) throw nb::python_error();
}

const char* const kImports = R"(import dataclasses
import itertools
import random
from dataclasses import dataclass
import numpy as np
from kelvane.manhattan_router.graph import (
    _DIR_IDX,
    _OPP,
    Obstacle,
    _build_rail_bridge_graph,
    _direction,
    _ekey,
    _extend_short_segments,
    _interleaved_pos,
    _ObstacleIndex,
    _reconstruct_path,
    _run_dijkstra,
    _segment_blocked,
    _select_end_state,
)
)";

const char* const kScene = R"(@dataclass
class _Scene:
    """Scene of a negotiated run.

    port_centers, port_tangents: float arrays of shape (B, 2, 2); [r, 0] is route
    r's start, [r, 1] its end; tangents are headings of travel.  delta: the route
    pitch.  obstacles: list of (x_min, y_min, x_max, y_max) float tuples.  dbu: the
    grid step, or None (lattice coordinates then snap to _SNAP).
    """

    port_centers: "np.ndarray"
    port_tangents: "np.ndarray"
    delta: "float"
    obstacles: "list"
    dbu: "float" = None
)";

}  // namespace

NB_MODULE(negotiated, m) {
    kelvane::py::share_engine_deadline();  // time budgets set in kelvane.engine reach this module
    m.doc() = R"(Negotiated-congestion router: every route of a scene at once on one shared lattice.

negotiate_routes(port_centers, port_tangents, delta, obstacles=None, **kw) returns the
skeletons; route_negotiated_best also the lattice paths and the route order used.
Routes first take their shortest paths alone, then rip-up-and-reroute passes price
shared track, other routes' port squares and a growing congestion history until no
track is shared; several route orders and cage sizes are tried and the outcome with
the fewest (unrouted, conflicts, crossings, overlaps, turns, length) wins.

Every helper is called through its module-level name, looked up when the call
happens: replace one (e.g. negotiated._route_pen) to watch or change how it is
called.  While none is replaced a run stays in C++ without the GIL.)";
    m.attr("__builtins__") = nb::borrow(PyEval_GetBuiltins());
    exec_in(m, kImports);
    m.attr("BLOCK_PEN") = 1000000.0;
    m.attr("_SNAP") = 0.001;
    exec_in(m, kScene);
    kelvane::py::negotiated_module::bind_functions(m);
    kelvane::py::negotiated_module::bind_seams(m);
}
