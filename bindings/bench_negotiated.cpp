// Module kelvane.manhattan_router.bench_negotiated: figures of a negotiated
// run for the benchmark (bench/bench_negotiated.py), which the router's own
// functions do not report.  Not part of the router's interface.
#include <chrono>

#include "convert_negotiated.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace kelvane;
using namespace kelvane::py;

namespace {

// route_negotiated_best with default options on the given orders and
// cage-layer counts; returns the figures and the solution key.
nb::dict run(nb::handle port_centers, nb::handle port_tangents, double delta, nb::handle obstacles, nb::handle orders,
             nb::handle levels) {
    negotiated::Scene s;
    s.ports = to_port_pairs(port_centers, "port_centers");
    s.tangents = to_port_pairs(port_tangents, "port_tangents");
    s.delta = delta;
    s.obstacles = to_boxes(obstacles, "obstacles");
    negotiated::check_scene(s);
    negotiated::Orders ord;
    for (nb::handle o : orders) {
        std::vector<long> v;
        for (nb::handle x : o) v.push_back(nb::cast<long>(x));
        ord.push_back(v);
    }
    std::vector<long> lv;
    for (nb::handle x : levels) lv.push_back(nb::cast<long>(x));
    negotiated::RunStats st;
    negotiated::NegotiationOptions opts;
    opts.compensated_sum = PY_VERSION_HEX >= 0x030C0000;
    negotiated::Candidate best;
    const auto t0 = std::chrono::steady_clock::now();
    {
        nb::gil_scoped_release release;
        best = negotiated::route_negotiated_best(s, ord, lv, 2.0, opts, st);
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    nb::list key;
    for (double v : best.key.v) key.append(v);
    nb::dict out;
    out["seconds"] = secs;
    out["searches"] = st.searches;
    out["expanded"] = st.expanded;
    out["tables"] = st.tables;
    out["settled"] = st.settled;
    out["runs"] = st.runs;
    out["levels"] = st.levels;
    out["lattices"] = st.lattices;
    out["nodes"] = st.lattice_nodes;
    out["edges"] = st.lattice_edges;
    out["lattice_bytes"] = st.lattice_bytes;
    out["workspace_bytes"] = st.workspace_bytes;
    out["key"] = nb::tuple(key);
    return out;
}

}  // namespace

NB_MODULE(bench_negotiated, m) {
    m.doc() = "Figures of negotiated runs for the benchmark (searches, orders, cage levels, lattice size).";
    m.def("run", &run, "port_centers"_a, "port_tangents"_a, "delta"_a, "obstacles"_a, "orders"_a, "levels"_a);
}
