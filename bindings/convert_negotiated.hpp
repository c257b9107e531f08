// Conversions of the negotiated router's values: port pairs and the scene
// record.  The general ones are convert.hpp.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "convert.hpp"
#include "kelvane/negotiate.hpp"

namespace kelvane::py {

// An array-like of shape (B, 2, 2) as float64 values (B = 0 for any empty
// array); ValueError naming `what` for another shape.
inline std::vector<std::array<Point, 2>> to_port_pairs(nb::handle value, const char* what) {
    // Kept for the life of the process (never released during shutdown).
    static PyObject* asarray = nb::object(nb::module_::import_("numpy").attr("ascontiguousarray")).release().ptr();
    nb::object arr = own(PyObject_CallFunction(asarray, "Os", value.ptr(), "float64"));
    const auto a = nb::cast<nb::ndarray<const double, nb::c_contig, nb::device::cpu>>(arr);  // C-contiguous float64 now
    std::vector<std::array<Point, 2>> out;
    if (a.size() == 0) return out;
    if (a.ndim() != 3 || a.shape(1) != 2 || a.shape(2) != 2)
        raise_value(std::string(what) + " must have shape (B, 2, 2), got " + repr_of(arr.attr("shape")));
    const double* d = a.data();
    for (size_t r = 0; r < a.shape(0); ++r)
        out.push_back({Point{d[4 * r], d[4 * r + 1]}, Point{d[4 * r + 2], d[4 * r + 3]}});
    return out;
}

// A scene record (port_centers, port_tangents, delta, obstacles, dbu),
// checked by negotiated::check_scene (its errors raise ValueError).
inline negotiated::Scene to_scene(nb::handle scene) {
    negotiated::Scene s;
    s.ports = to_port_pairs(scene.attr("port_centers"), "port_centers");
    s.tangents = to_port_pairs(scene.attr("port_tangents"), "port_tangents");
    s.delta = to_double(scene.attr("delta"), "delta");
    s.obstacles = to_boxes(scene.attr("obstacles"), "obstacles");
    s.dbu = to_grid(scene.attr("dbu"));
    negotiated::check_scene(s);
    return s;
}

}  // namespace kelvane::py
