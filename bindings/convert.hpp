// Conversions between host values and core types, written once for every
// binding module.  Bad values raise TypeError / ValueError naming the argument.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cmath>
#include <string>
#include <vector>

#include "kelvane/geometry.hpp"

namespace kelvane::py {

namespace nb = nanobind;

[[noreturn]] inline void raise_type(const std::string& msg) { throw nb::type_error(msg.c_str()); }
[[noreturn]] inline void raise_value(const std::string& msg) { throw nb::value_error(msg.c_str()); }

// float(obj) with the host's own conversion rules; a TypeError names `what`.
inline double to_double(nb::handle obj, const char* what) {
    if (PyFloat_CheckExact(obj.ptr())) return PyFloat_AS_DOUBLE(obj.ptr());
    PyObject* f = PyNumber_Float(obj.ptr());
    if (!f) {
        PyErr_Clear();
        raise_type(std::string(what) + " must be a number, got " + nb::type_name(obj.type()).c_str());
    }
    double v = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return v;
}

inline double to_finite(nb::handle obj, const char* what) {
    const double v = to_double(obj, what);
    if (!std::isfinite(v)) raise_value(std::string(what) + " must be finite, got " + std::to_string(v));
    return v;
}

// Length of a sequence-like value (lists, tuples, numpy and jax arrays).
inline Py_ssize_t length_of(nb::handle obj, const char* what) {
    Py_ssize_t n = PySequence_Check(obj.ptr()) ? PyObject_Length(obj.ptr()) : -1;
    if (n < 0) {
        PyErr_Clear();
        raise_type(std::string(what) + " must be a sequence, got " + nb::type_name(obj.type()).c_str());
    }
    return n;
}

inline nb::object item_of(nb::handle obj, Py_ssize_t i) {
    PyObject* key = PyLong_FromSsize_t(i);
    PyObject* r = PyObject_GetItem(obj.ptr(), key);
    Py_DECREF(key);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// A point: any 2-sequence of finite numbers.
// Arrays (numpy, jax) as nested lists: one tolist() call instead of
// per-element indexing; other values are returned as they are.
inline nb::object as_python_sequence(nb::handle obj) {
    if (!PyList_Check(obj.ptr()) && !PyTuple_Check(obj.ptr()) && nb::hasattr(obj, "tolist")) {
        nb::object as_list = obj.attr("tolist")();
        if (PyList_Check(as_list.ptr())) return as_list;
    }
    return nb::borrow(obj);
}

inline Point to_point(nb::handle value, const char* what) {
    nb::object obj = as_python_sequence(value);
    if (length_of(obj, what) != 2) raise_value(std::string(what) + " must have exactly 2 coordinates");
    const std::string w(what);
    return {to_finite(item_of(obj, 0), (w + "[0]").c_str()), to_finite(item_of(obj, 1), (w + "[1]").c_str())};
}

// A travel direction from a tangent vector: non-zero and axis-parallel.
inline int to_direction(nb::handle obj, const char* what) {
    const Point t = to_point(obj, what);
    const double ax = std::fabs(t.x), ay = std::fabs(t.y);
    if (ax <= 1e-12 && ay <= 1e-12) raise_value(std::string(what) + " must be a non-zero vector");
    if (std::min(ax, ay) > 1e-9 * std::max(ax, ay))
        raise_value(std::string(what) + " must be axis-parallel, got (" + std::to_string(t.x) + ", " +
                    std::to_string(t.y) + ")");
    return ax >= ay ? (t.x > 0 ? Dir::E : Dir::W) : (t.y > 0 ? Dir::N : Dir::S);
}

// A box: an object with x_min/y_min/x_max/y_max attributes, or a sequence of
// four numbers (x_min, y_min, x_max, y_max).  min > max is rejected.
inline Box to_box(nb::handle obj, const std::string& what) {
    Box b;
    if (nb::hasattr(obj, "x_min") && nb::hasattr(obj, "y_max")) {
        b = {to_finite(obj.attr("x_min"), (what + ".x_min").c_str()), to_finite(obj.attr("y_min"), (what + ".y_min").c_str()),
             to_finite(obj.attr("x_max"), (what + ".x_max").c_str()), to_finite(obj.attr("y_max"), (what + ".y_max").c_str())};
    } else {
        Py_ssize_t n = PySequence_Check(obj.ptr()) ? PyObject_Length(obj.ptr()) : -1;
        if (n < 0) {
            PyErr_Clear();
            raise_type(what + " must be an Obstacle or 4 numbers (x_min, y_min, x_max, y_max), got " +
                       nb::type_name(obj.type()).c_str());
        }
        if (n != 4) raise_value(what + " must have 4 numbers (x_min, y_min, x_max, y_max), got " + std::to_string(n));
        b = {to_finite(item_of(obj, 0), (what + "[0]").c_str()), to_finite(item_of(obj, 1), (what + "[1]").c_str()),
             to_finite(item_of(obj, 2), (what + "[2]").c_str()), to_finite(item_of(obj, 3), (what + "[3]").c_str())};
    }
    if (b.x0 > b.x1 || b.y0 > b.y1) raise_value(what + " has min > max");
    return b;
}

// A list of boxes; None means empty.
inline std::vector<Box> to_boxes(nb::handle value, const char* what) {
    std::vector<Box> out;
    if (value.is_none()) return out;
    nb::object obj = as_python_sequence(value);  // an N x 4 array in one call
    nb::object it = nb::steal(PyObject_GetIter(obj.ptr()));
    if (!it.is_valid()) {
        PyErr_Clear();
        raise_type(std::string(what) + " must be an iterable of boxes, got " + nb::type_name(obj.type()).c_str());
    }
    size_t i = 0;
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object o = nb::steal(item);
        out.push_back(to_box(o, std::string(what) + "[" + std::to_string(i++) + "]"));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

// A polyline: a sequence of points (N x 2 array-like).
inline Path to_path(nb::handle value, const std::string& what) {
    nb::object obj = as_python_sequence(value);
    const Py_ssize_t n = length_of(obj, what.c_str());
    Path p;
    p.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        p.push_back(to_point(item_of(obj, i), (what + "[" + std::to_string(i) + "]").c_str()));
    return p;
}

// A list of polylines; None means empty.
inline std::vector<Path> to_paths(nb::handle obj, const char* what) {
    std::vector<Path> out;
    if (obj.is_none()) return out;
    const Py_ssize_t n = length_of(obj, what);
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(to_path(item_of(obj, i), std::string(what) + "[" + std::to_string(i) + "]"));
    return out;
}

inline double to_length(nb::handle obj, const char* what, bool allow_zero = true) {
    const double v = to_finite(obj, what);
    if (v < 0 || (!allow_zero && v == 0)) raise_value(std::string(what) + (allow_zero ? " must be >= 0" : " must be > 0"));
    return v;
}

// dbu: None or a positive finite grid step (0 counts as no grid).
inline double to_grid(nb::handle obj, const char* what = "dbu") {
    if (obj.is_none()) return 0.0;
    const double v = to_finite(obj, what);
    if (v < 0) raise_value(std::string(what) + " must be positive or None");
    return v;
}

// Points as an N x 2 float64 numpy array owned by Python.
inline nb::object path_to_array(const Path& p) {
    auto* data = new double[p.size() * 2 + 1];
    for (size_t i = 0; i < p.size(); ++i) {
        data[2 * i] = p[i].x;
        data[2 * i + 1] = p[i].y;
    }
    nb::capsule owner(data, [](void* d) noexcept { delete[] static_cast<double*>(d); });
    return nb::cast(nb::ndarray<nb::numpy, double, nb::ndim<2>>(data, {p.size(), 2}, owner));
}

inline nb::tuple point_tuple(Point p) { return nb::make_tuple(p.x, p.y); }

inline nb::list path_to_tuples(const Path& p) {
    nb::list out;
    for (const Point& q : p) out.append(point_tuple(q));
    return out;
}

}  // namespace kelvane::py

namespace kelvane::py {

// turn_bias: "center"/"centre" (bends midway), "start", "end", "none"/None,
// or a number in [0, 1] giving the preferred relative position of bends.
inline TurnBias to_turn_bias(nb::handle obj) {
    TurnBias b;
    if (obj.is_none()) { b.active = false; return b; }
    if (PyUnicode_Check(obj.ptr())) {
        const std::string s = nb::cast<std::string>(obj);
        if (s == "center" || s == "centre") b.position = 0.5;
        else if (s == "start") b.position = 0.0;
        else if (s == "end") b.position = 1.0;
        else if (s == "none") b.active = false;
        else raise_value("turn_bias must be 'center', 'start', 'end', 'none' or a number in [0, 1], got '" + s + "'");
        return b;
    }
    const double v = to_finite(obj, "turn_bias");
    if (v < 0 || v > 1) raise_value("turn_bias must be in [0, 1]");
    b.position = v;
    return b;
}

}  // namespace kelvane::py
