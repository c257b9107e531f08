// Module kelvane.manhattan_router.bench_negotiated: figures of a negotiated
// run for the benchmark (bench/bench_negotiated.py), which the router's own
// functions do not report.  Not part of the router's interface.
#include <nanobind/stl/vector.h>

#include <chrono>

#include "convert_negotiated.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace kelvane;
using namespace kelvane::py;

// route_negotiated_best with default options on a scene record (negotiated._Scene), the given orders
// and cage-layer counts; returns the figures and the solution key.
nb::dict run(nb::handle scene, const negotiated::Orders& orders, const std::vector<long>& levels) {
    const negotiated::Scene s = to_scene(scene);
    negotiated::RunStats st;
    negotiated::NegotiationOptions opts;
    opts.compensated_sum = PY_VERSION_HEX >= 0x030C0000;
    const auto t0 = std::chrono::steady_clock::now();
    const negotiated::Candidate best =
        without_gil([&] { return negotiated::route_negotiated_best(s, orders, levels, 2.0, opts, st); });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    nb::handle dict_type(reinterpret_cast<PyObject*>(&PyDict_Type));
    nb::dict out = nb::cast<nb::dict>(dict_type(
        "seconds"_a = seconds, "searches"_a = st.searches, "expanded"_a = st.expanded, "tables"_a = st.tables,
        "settled"_a = st.settled, "runs"_a = st.runs, "levels"_a = st.levels, "lattices"_a = st.lattices,
        "nodes"_a = st.lattice_nodes, "edges"_a = st.lattice_edges, "lattice_bytes"_a = st.lattice_bytes,
        "workspace_bytes"_a = st.workspace_bytes));
    out["key"] = nb::tuple(nb::cast(std::vector<double>(best.key.v.begin(), best.key.v.end())));
    return out;
}

NB_MODULE(bench_negotiated, m) {
    m.doc() = "Figures of negotiated runs for the benchmark (searches, orders, cage levels, lattice size).";
    m.def("run", &run, "scene"_a, "orders"_a, "levels"_a);
}
