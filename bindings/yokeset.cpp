// Module kelvane.yokeset: which start port goes with which end port.
//
// The module body is bindings/py/yokeset.py (see module_body.hpp).  The
// native roads here read the port objects exactly where and in the order the
// Python body reads them (a box reads every center[0], then every center[1];
// a group reads every orientation, then bank by bank the first port's
// orientation and the key coordinates), through the host's float(), so their
// errors are the host's own.  The ordering rules come from kelvane/ports.hpp.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/vector.h>

#include <array>
#include <string>
#include <vector>

#include "capi.hpp"
#include "kelvane/ports.hpp"
#include "module_body.hpp"

namespace nb = nanobind;
namespace kp = kelvane::ports;
using namespace kelvane::py;

namespace {

PyObject* s_center;
PyObject* s_orientation;

// float(port.center[axis])
double center_coord(PyObject* port, int axis) {
    nb::object c = own(PyObject_GetAttr(port, s_center));
    return as_float(item_of(c, axis));
}

// round(float(port.orientation) / 90) % 4
int port_angle(PyObject* port) {
    const double deg = as_float(own(PyObject_GetAttr(port, s_orientation)));
    const int side = kp::quarter_turn(deg);
    if (side < 0) {  // round() of inf or NaN: the host's own error
        Py_XDECREF(PyLong_FromDouble(deg / 90.0));
        fail();
    }
    return side;
}

nb::tuple port_bbox(nb::handle ports) {
    std::vector<double> xs, ys;
    for_each(ports, [&](nb::handle p) { xs.push_back(center_coord(p.ptr(), 0)); });
    for_each(ports, [&](nb::handle p) { ys.push_back(center_coord(p.ptr(), 1)); });
    if (xs.empty() || ys.empty()) {  // min()'s own error
        Py_XDECREF(PyObject_CallOneArg(nb::module_::import_("builtins").attr("min").ptr(), nb::tuple().ptr()));
        fail();
    }
    return nb::make_tuple(kp::span_centre(xs.data(), xs.size()), kp::span_centre(ys.data(), ys.size()));
}

// The order sorted(bank, key=...) gives the ports of `bank` (a list owned
// here), keyed by the first port's facing.
std::vector<size_t> bank_order(PyObject* bank) {
    const size_t n = static_cast<size_t>(PyList_GET_SIZE(bank));
    std::vector<size_t> order;
    if (n == 0) return order;
    const kp::BankKey key = kp::bank_key(port_angle(PyList_GET_ITEM(bank, 0)));
    std::vector<double> keys(n);
    for (size_t i = 0; i < n; ++i) {
        const double c = center_coord(PyList_GET_ITEM(bank, static_cast<Py_ssize_t>(i)), key.axis);
        keys[i] = key.negate ? -c : c;
    }
    if (!kp::has_nan(keys.data(), n)) {
        kp::stable_order(keys.data(), n, order);
        return order;
    }
    // NaN keys have no total order: the host's own sort places them
    nb::object builtins = nb::module_::import_("builtins");
    nb::object by_key = nb::cast(keys).attr("__getitem__");
    for (nb::handle i : builtins.attr("sorted")(builtins.attr("range")(n), nb::arg("key") = by_key))
        order.push_back(nb::cast<size_t>(i));
    return order;
}

// target_side is an int already taken modulo 4.
nb::object sort_ports_like_kfactory(nb::handle ports, int target_side, nb::handle clockwise) {
    std::array<nb::list, 4> banks;
    for_each(ports, [&](nb::handle p) {
        if (PyList_Append(banks[port_angle(p.ptr())].ptr(), p.ptr()) < 0) fail();
    });
    // the back bank is sorted first (it is listed last), then target-1, target, target+1
    const std::array<int, 4> sides = kp::group_sides(target_side);
    std::vector<size_t> orders[4];
    for (int k : {3, 0, 1, 2}) orders[k] = bank_order(banks[sides[k]].ptr());
    nb::list out;
    for (int k = 0; k < 4; ++k)
        for (size_t i : orders[k])
            if (PyList_Append(out.ptr(), PyList_GET_ITEM(banks[sides[k]].ptr(), i)) < 0) fail();
    if (!truth(clockwise)) out.reverse();
    return out;
}

// NotImplemented for groups of unequal lengths or fewer than two ports: the
// Python lines answer those.
nb::object sort_ports_gdsfactory(nb::handle start_ports, nb::handle end_ports) {
    const Py_ssize_t n = PyObject_Length(start_ports.ptr());
    if (n < 0) fail();
    if (PyObject_Length(end_ports.ptr()) != n || n < 2) return nb::borrow(Py_NotImplemented);
    const nb::tuple start_box = port_bbox(start_ports), end_box = port_bbox(end_ports);
    const double vx = nb::cast<double>(start_box[0]) - nb::cast<double>(end_box[0]);
    const double vy = nb::cast<double>(start_box[1]) - nb::cast<double>(end_box[1]);
    const int end_angle = port_angle(item_of(end_ports, 0).ptr());
    nb::object start = sort_ports_like_kfactory(start_ports, kp::start_target_side(end_angle, vx, vy), Py_True);
    return nb::make_tuple(start, sort_ports_like_kfactory(end_ports, end_angle, Py_False));
}

// The means of the start and of the end tangents of a (B, 2, 2) float64 or
// float32 array where the core knows them exactly (integral tangents,
// kp::exact_mean): ((sx, sy), (ex, ey)).  None otherwise: numpy computes them.
nb::object exact_means(nb::handle pt) {
    nb::ndarray<nb::ro, nb::ndim<3>, nb::device::cpu> a;  // native byte order only
    if (!nb::try_cast(pt, a, false)) return nb::none();
    const bool single = a.dtype() == nb::dtype<float>();
    if ((!single && a.dtype() != nb::dtype<double>()) || a.shape(0) < 1 || a.shape(1) != 2 || a.shape(2) != 2)
        return nb::none();
    const std::ptrdiff_t item = single ? sizeof(float) : sizeof(double);  // strides count items
    double m[2][2];
    for (int end = 0; end < 2; ++end)
        for (int axis = 0; axis < 2; ++axis)
            if (!kp::exact_mean(static_cast<const char*>(a.data()) + (end * a.stride(1) + axis * a.stride(2)) * item,
                                a.stride(0) * item, a.shape(0), single, m[end][axis]))
                return nb::none();
    return nb::make_tuple(nb::make_tuple(m[0][0], m[0][1]), nb::make_tuple(m[1][0], m[1][1]));
}

}  // namespace

#include "yokeset_body.inc"

NB_MODULE(yokeset, m) {
    s_center = PyUnicode_InternFromString("center");
    s_orientation = PyUnicode_InternFromString("orientation");
    nb::module_ native = kelvane::py::native_namespace("kelvane.yokeset._native");
    using kelvane::py::def_native;
    def_native(native, "exact_means", &exact_means);
    def_native(native, "port_bbox", &port_bbox);
    def_native(native, "sort_ports_like_kfactory", &sort_ports_like_kfactory);
    def_native(native, "sort_ports_gdsfactory", &sort_ports_gdsfactory);
    kelvane::py::run_module_body(m, kYokesetBody, native);
}
