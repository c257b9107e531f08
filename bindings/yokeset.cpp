// Module kelvane.yokeset: which start port goes with which end port.
//
// The module body is bindings/py/yokeset.py (see module_body.hpp): the
// documented functions in Python, each taking the native road below while the
// helpers it reaches are the module's own.  The native roads read the port
// objects exactly where and in the order the Python body reads them (a group
// centre reads every center[0], then every center[1]; sorting a group reads
// every orientation, then bank by bank the first port's orientation and the
// key coordinates), through the host's float(), so their errors are the
// host's own.  The ordering rules come from the core, kelvane/ports.hpp.
#include <nanobind/nanobind.h>

#include <array>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "capi.hpp"
#include "kelvane/ports.hpp"
#include "module_body.hpp"

namespace nb = nanobind;
namespace kp = kelvane::ports;
using namespace nb::literals;
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
    nb::object o = own(PyObject_GetAttr(port, s_orientation));
    const double deg = as_float(o);
    const int side = kp::quarter_turn(deg);
    if (side < 0) {
        // round() of a non-finite value: the host's own error (OverflowError
        // for infinities, ValueError for NaN).
        Py_XDECREF(PyLong_FromDouble(deg / 90.0));
        fail();
    }
    return side;
}

[[noreturn]] void raise_min_of_empty() {
    Py_XDECREF(PyObject_CallOneArg(nb::module_::import_("builtins").attr("min").ptr(), nb::tuple().ptr()));
    fail();
}

std::pair<double, double> port_bbox(nb::handle ports) {
    std::vector<double> xs, ys;
    for_each(ports, [&](nb::handle p) { xs.push_back(center_coord(p.ptr(), 0)); });
    for_each(ports, [&](nb::handle p) { ys.push_back(center_coord(p.ptr(), 1)); });
    if (xs.empty() || ys.empty()) raise_min_of_empty();
    return {kp::span_centre(xs.data(), xs.size()), kp::span_centre(ys.data(), ys.size())};
}

// items[i], checked against a list that shrank meanwhile.
PyObject* item_at(PyObject* items, size_t i) {
    if (static_cast<Py_ssize_t>(i) >= PyList_GET_SIZE(items)) {
        PyErr_SetString(PyExc_RuntimeError, "port list changed size during sorting");
        fail();
    }
    return PyList_GET_ITEM(items, static_cast<Py_ssize_t>(i));
}

// The order sorted(items, key=...) gives a bank whose first port faces
// `side` (indices into `items`, a list owned here).
std::vector<size_t> bank_order(PyObject* items, int side) {
    const kp::BankKey key = kp::bank_key(side);
    const Py_ssize_t n = PyList_GET_SIZE(items);
    std::vector<double> keys(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object p = nb::borrow(item_at(items, static_cast<size_t>(i)));
        const double c = center_coord(p.ptr(), key.axis);
        keys[static_cast<size_t>(i)] = key.negate ? -c : c;
    }
    std::vector<size_t> order;
    if (!kp::has_nan(keys.data(), keys.size())) {
        kp::stable_order(keys.data(), keys.size(), order);
        return order;
    }
    // NaN keys have no total order, so the result depends on the sort
    // algorithm: let the host's own sort place them.
    nb::list key_list;
    for (double k : keys) key_list.append(k);
    nb::object sorted_idx = nb::module_::import_("builtins").attr("sorted")(
        nb::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyRange_Type), nb::int_(n).ptr())),
        nb::arg("key") = key_list.attr("__getitem__"));
    for (Py_ssize_t i = 0; i < n; ++i)
        order.push_back(static_cast<size_t>(PyLong_AsSsize_t(PyList_GET_ITEM(sorted_idx.ptr(), i))));
    return order;
}

void append_in_order(PyObject* out, PyObject* items, const std::vector<size_t>& order) {
    for (size_t i : order)
        if (PyList_Append(out, item_at(items, i)) < 0) fail();
}

nb::object sort_port_bank(nb::handle ports) {
    nb::object out = own(PyList_New(0));
    if (!truth(ports)) return out;
    const int side = port_angle(item_of(ports, 0).ptr());
    nb::object items = own(PySequence_List(ports.ptr()));
    append_in_order(out.ptr(), items.ptr(), bank_order(items.ptr(), side));
    return out;
}

// The ports in four lists by the side they face.
std::array<nb::object, 4> side_buckets(nb::handle ports) {
    std::array<nb::object, 4> buckets;
    for (auto& b : buckets) b = own(PyList_New(0));
    for_each(ports, [&](nb::handle p) {
        if (PyList_Append(buckets[port_angle(p.ptr())].ptr(), p.ptr()) < 0) fail();
    });
    return buckets;
}

// {0: [...], 1: [...], 2: [...], 3: [...]}
nb::object ports_by_angle(nb::handle ports) {
    const std::array<nb::object, 4> buckets = side_buckets(ports);
    nb::dict out;
    for (int k = 0; k < 4; ++k) out[nb::int_(k)] = buckets[k];
    return out;
}

// target_side is an int already taken modulo 4.
nb::object sort_ports_like_kfactory(nb::handle ports, int target_side, nb::handle clockwise) {
    const std::array<nb::object, 4> buckets = side_buckets(ports);
    // the back bank is sorted first, then target-1, target, target+1; it is listed last
    const std::array<int, 4> sides = kp::group_sides(target_side);
    std::vector<size_t> orders[4];
    for (int k : {3, 0, 1, 2}) {
        PyObject* bucket = buckets[sides[k]].ptr();
        if (PyList_GET_SIZE(bucket) > 0) orders[k] = bank_order(bucket, port_angle(PyList_GET_ITEM(bucket, 0)));
    }
    nb::object out = own(PyList_New(0));
    for (int k = 0; k < 4; ++k) append_in_order(out.ptr(), buckets[sides[k]].ptr(), orders[k]);
    if (!truth(clockwise) && PyList_Reverse(out.ptr()) < 0) fail();
    return out;
}

nb::object sort_ports_gdsfactory(nb::handle start_ports, nb::handle end_ports) {
    const Py_ssize_t ns = PyObject_Length(start_ports.ptr());
    if (ns < 0) fail();
    const Py_ssize_t ne = PyObject_Length(end_ports.ptr());
    if (ne < 0) fail();
    if (ns != ne) throw nb::value_error("start_ports and end_ports must have equal length");
    if (ns < 2) return nb::make_tuple(own(PySequence_List(start_ports.ptr())), own(PySequence_List(end_ports.ptr())));
    const auto [sx, sy] = port_bbox(start_ports);
    const auto [ex, ey] = port_bbox(end_ports);
    const double vx = sx - ex, vy = sy - ey;
    const int end_angle = port_angle(item_of(end_ports, 0).ptr());
    const int target = kp::start_target_side(end_angle, vx, vy);
    nb::object start_sorted = sort_ports_like_kfactory(start_ports, target, Py_True);
    return nb::make_tuple(start_sorted, sort_ports_like_kfactory(end_ports, end_angle, Py_False));
}

// np.mean(pt[:, 0, :], axis=0) and np.mean(pt[:, 1, :], axis=0) without
// numpy's strided reductions, where the core knows them exactly (integral
// float64 or float32 tangents, kp::exact_mean); for float32 the array built
// from them rounds back to float32 as numpy's mean does.  False otherwise:
// numpy computes the means.
struct ExactMeans {
    double start[2], end[2];
};

bool exact_means(PyObject* pt, ExactMeans& out) {
    Py_buffer view;
    if (PyObject_GetBuffer(pt, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    const std::string fmt = view.format ? view.format : "B";
    if ((fmt != "d" && fmt != "f") || view.ndim != 3 || view.shape[1] != 2 || view.shape[2] != 2 || view.shape[0] < 1)
        return false;
    double* means[2] = {out.start, out.end};
    for (int end = 0; end < 2; ++end)
        for (int axis = 0; axis < 2; ++axis)
            if (!kp::exact_mean(static_cast<const char*>(view.buf) + end * view.strides[1] + axis * view.strides[2],
                                view.strides[0], static_cast<size_t>(view.shape[0]), fmt == "f", means[end][axis]))
                return false;
    return true;
}

// avg / (np.linalg.norm(avg) + 1e-12)
nb::object normalised(nb::handle np, nb::handle avg) {
    return avg / (np.attr("linalg").attr("norm")(avg) + nb::float_(1e-12));
}

// The Python body's yokeset with numpy's own operations in the same order;
// only the mean of integral tangents is computed here (exact_means).
nb::object yokeset(nb::handle port_centers, nb::handle port_tangents) {
    nb::object np = nb::module_::import_("numpy");
    nb::object pc = np.attr("asarray")(port_centers), pt = np.attr("asarray")(port_tangents);
    nb::object b = pc.attr("shape")[0];
    if (b <= nb::int_(1)) return nb::make_tuple(np.attr("arange")(b), np.attr("arange")(b));
    nb::object all = nb::slice(nb::none(), nb::none(), nb::none());
    nb::object avg_s, avg_e;
    ExactMeans means;
    if (exact_means(pt.ptr(), means)) {
        nb::object dtype = pt.attr("dtype");
        avg_s = normalised(np, np.attr("array")(nb::make_tuple(means.start[0], means.start[1]), "dtype"_a = dtype));
        avg_e = normalised(np, np.attr("array")(nb::make_tuple(means.end[0], means.end[1]), "dtype"_a = dtype));
    } else {
        avg_s = normalised(np, np.attr("mean")(pt[nb::make_tuple(all, 0, all)], "axis"_a = 0));
        avg_e = normalised(np, np.attr("mean")(pt[nb::make_tuple(all, 1, all)], "axis"_a = 0));
    }
    nb::list perp_items;
    perp_items.append(-avg_s[1]);
    perp_items.append(avg_s[0]);
    nb::object perp = np.attr("array")(perp_items);
    nb::object start_proj = own(PyNumber_MatrixMultiply(pc[nb::make_tuple(all, 0, all)].ptr(), perp.ptr()));
    nb::object end_proj = own(PyNumber_MatrixMultiply(pc[nb::make_tuple(all, 1, all)].ptr(), perp.ptr()));
    nb::object start_perm = np.attr("argsort")(start_proj);
    const bool same_direction = as_float(np.attr("dot")(avg_s, avg_e)) > 0.5;
    nb::object end_perm = np.attr("argsort")(end_proj);
    if (same_direction) end_perm = end_perm[nb::slice(nb::none(), nb::none(), nb::int_(-1))];
    return nb::make_tuple(start_perm, end_perm);
}

}  // namespace

#include "yokeset_body.inc"

NB_MODULE(yokeset, m) {
    s_center = PyUnicode_InternFromString("center");
    s_orientation = PyUnicode_InternFromString("orientation");
    nb::module_ native = kelvane::py::native_namespace("kelvane.yokeset._native");
    using kelvane::py::def_native;
    def_native(native, "yokeset", &yokeset);
    def_native(native, "port_angle", +[](nb::handle p) { return port_angle(p.ptr()); });
    def_native(native, "port_bbox", +[](nb::handle ports) {
        const auto [x, y] = port_bbox(ports);
        return nb::make_tuple(x, y);
    });
    def_native(native, "sort_port_bank", &sort_port_bank);
    def_native(native, "ports_by_angle", &ports_by_angle);
    def_native(native, "sort_ports_like_kfactory", &sort_ports_like_kfactory);
    def_native(native, "sort_ports_gdsfactory", &sort_ports_gdsfactory);
    kelvane::py::run_module_body(m, kYokesetBody, native);
}
