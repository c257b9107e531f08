// Conversions between host values and core types, written once for every
// binding module.  Bad values raise TypeError / ValueError naming the argument.
//
// Converting a caller's container may call back into Python (a number's
// __float__, an __index__, __iter__ ...) and that code may change the
// container.  Every conversion therefore holds strong references to what it
// walks: lists become tuple snapshots (tuple_of), mappings item snapshots
// (for_each_item), items come out of PyObject_GetItem as new references.  A
// container changed underneath gives a clear error or a result, never a
// crash.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capi.hpp"
#include "kelvane/arguments.hpp"
#include "kelvane/geometry.hpp"
#include "kelvane/repr.hpp"

namespace kelvane::py {

namespace nb = nanobind;

[[noreturn]] inline void raise_type(const std::string& msg) { throw nb::type_error(msg.c_str()); }
[[noreturn]] inline void raise_value(const std::string& msg) { throw nb::value_error(msg.c_str()); }

// Error texts name what was wrong; hot paths pass a lambda so that the text
// (often with a repr) is only built when an error is raised.
inline std::string msg(const char* s) { return s; }
inline std::string msg(const std::string& s) { return s; }
template <class F, class = decltype(std::declval<F>()())>
std::string msg(const F& f) { return f(); }

// what[i], naming an item in an error text.
inline std::string indexed(const std::string& what, size_t i) { return what + "[" + std::to_string(i) + "]"; }

// True when `convert` ran through; false, with the error dropped, when a
// value did not convert (a native road then leaves the value to the module
// body's Python lines, which raise where they use it).
template <class F>
bool converts(F&& convert) {
    try {
        convert();
        return true;
    } catch (const nb::python_error&) {
    } catch (const nb::builtin_exception&) {
    }
    PyErr_Clear();
    return false;
}

// float(obj) as the host converts it (as_float); a TypeError names `what`.
template <class W>
double to_double(nb::handle obj, const W& what) {
    try {
        return as_float(obj);
    } catch (const nb::python_error&) {
        raise_type(msg(what) + " must be a number, got " + nb::type_name(obj.type()).c_str());
    }
}

template <class W>
double to_finite(nb::handle obj, const W& what) {
    const double v = to_double(obj, what);
    if (!std::isfinite(v)) raise_value(msg(what) + " must be finite, got " + std::to_string(v));
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

// A tuple holding the items of a sequence now (the tuple itself when it is
// one); TypeError naming `what` for anything that is not iterable.  Other
// types are iterated item by item: what iteration gives counts, not what
// len() says (a lying __len__ would make the host preallocate for it).
template <class W>
nb::object tuple_of(nb::handle obj, const W& what) {
    if (PyTuple_CheckExact(obj.ptr()) || PyList_CheckExact(obj.ptr())) return nb::steal(PySequence_Tuple(obj.ptr()));
    PyObject* it = PyObject_GetIter(obj.ptr());
    if (!it) {
        PyErr_Clear();
        raise_type(msg(what) + " must be a sequence, got " + nb::type_name(obj.type()).c_str());
    }
    nb::object iter = nb::steal(it);
    nb::list items;
    while (PyObject* item = PyIter_Next(iter.ptr())) items.append(nb::steal(item));
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::steal(PyList_AsTuple(items.ptr()));
}

// A new list of the items of an iterable, as tuple_of reads them.
inline nb::list list_of(nb::handle obj, const std::string& what) {
    return nb::steal<nb::list>(PySequence_List(tuple_of(obj, what).ptr()));
}

// Arrays (numpy, jax) as nested lists: one tolist() call instead of
// per-element indexing; other values are returned as they are.
inline nb::object as_python_sequence(nb::handle obj) {
    if (!PyList_Check(obj.ptr()) && !PyTuple_Check(obj.ptr()) && nb::hasattr(obj, "tolist")) {
        nb::object as_list = obj.attr("tolist")();
        if (PyList_Check(as_list.ptr())) return as_list;
    }
    return nb::borrow(obj);
}

// A point: any 2-sequence of finite numbers.
template <class W>
Point to_point(nb::handle value, const W& what) {
    // The common case first: a tuple of two finite floats.
    PyObject* o = value.ptr();
    if (PyTuple_CheckExact(o) && PyTuple_GET_SIZE(o) == 2 && PyFloat_CheckExact(PyTuple_GET_ITEM(o, 0)) &&
        PyFloat_CheckExact(PyTuple_GET_ITEM(o, 1))) {
        const Point p{PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(o, 0)), PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(o, 1))};
        if (std::isfinite(p.x) && std::isfinite(p.y)) return p;
    }
    const std::string w = msg(what);
    nb::object obj = as_python_sequence(value);
    if (length_of(obj, w.c_str()) != 2) raise_value(w + " must have exactly 2 coordinates");
    return {to_finite(item_of(obj, 0), (w + "[0]").c_str()), to_finite(item_of(obj, 1), (w + "[1]").c_str())};
}

// A travel direction from a tangent vector (the rule: tangent_direction).
inline int to_direction(nb::handle obj, const char* what) { return tangent_direction(to_point(obj, what), what); }

// A box: an object with x_min/y_min/x_max/y_max attributes, or a sequence of
// four numbers (x_min, y_min, x_max, y_max).  min > max is rejected.
template <class W>
Box to_box(nb::handle obj, const W& name) {
    static const char* const fields[4] = {"x_min", "y_min", "x_max", "y_max"};
    PyObject* o = obj.ptr();
    double v[4];
    if (!PyTuple_CheckExact(o) && !PyList_CheckExact(o) && nb::hasattr(obj, "x_min") && nb::hasattr(obj, "y_max")) {
        for (int k = 0; k < 4; ++k) v[k] = to_finite(obj.attr(fields[k]), [&] { return msg(name) + "." + fields[k]; });
    } else {
        const Py_ssize_t n = PySequence_Check(o) ? PyObject_Length(o) : -1;
        if (n < 0) {
            PyErr_Clear();
            raise_type(msg(name) + " must be an Obstacle or 4 numbers (x_min, y_min, x_max, y_max), got " +
                       nb::type_name(obj.type()).c_str());
        }
        if (n != 4)
            raise_value(msg(name) + " must have 4 numbers (x_min, y_min, x_max, y_max), got " + std::to_string(n));
        for (int k = 0; k < 4; ++k) v[k] = to_finite(item_of(obj, k), [&] { return indexed(msg(name), k); });
    }
    if (v[0] > v[2] || v[1] > v[3]) raise_value(msg(name) + " has min > max");
    return {v[0], v[1], v[2], v[3]};
}

// An array (numpy, jax: anything with __array__ that is not a list or
// tuple) of shape (N, cols) as float64 values, read in one numpy call;
// false, with nothing raised, for anything else (the caller then walks the
// value item by item and names what is wrong).  A row holding a non-finite
// number raises ValueError naming what[row].
inline bool read_float_matrix(nb::handle value, size_t cols, const std::string& what, std::vector<double>& out) {
    if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()) || !nb::hasattr(value, "__array__")) return false;
    // Kept for the life of the process (never released during shutdown).
    static PyObject* asarray = nb::object(nb::module_::import_("numpy").attr("ascontiguousarray")).release().ptr();
    PyObject* arr = PyObject_CallFunction(asarray, "Os", value.ptr(), "float64");
    if (!arr) {
        PyErr_Clear();
        return false;
    }
    nb::object keep = nb::steal(arr);
    nb::ndarray<const double, nb::c_contig, nb::device::cpu> view;
    if (!nb::try_cast(keep, view) || view.ndim() != 2 || view.shape(1) != cols) return false;
    out.assign(view.data(), view.data() + view.shape(0) * cols);
    for (size_t i = 0; i < out.size(); ++i)
        if (!std::isfinite(out[i])) raise_value(indexed(what, i / cols) + " must be finite");
    return true;
}

// The rows of an N x 2 matrix as points.
inline Path matrix_points(const std::vector<double>& flat) {
    Path p(flat.size() / 2);
    for (size_t i = 0; i < p.size(); ++i) p[i] = {flat[2 * i], flat[2 * i + 1]};
    return p;
}

// Does an obstacle or keep-out argument hold any box?  None, an empty
// sequence and an array without rows hold none; an N x 4 array counts its
// rows (its truth is undecidable); anything else is asked for its truth.
inline bool has_boxes(nb::handle value) {
    if (value.is_none()) return false;
    const Py_ssize_t n = PyObject_Length(value.ptr());
    if (n >= 0) return n > 0;
    PyErr_Clear();
    return truth(value);
}

// A list of boxes; None means empty.  An N x 4 array is read in one call.
inline std::vector<Box> to_boxes(nb::handle value, const char* what) {
    std::vector<Box> out;
    if (value.is_none()) return out;
    std::vector<double> flat;
    if (read_float_matrix(value, 4, what, flat)) {
        for (size_t i = 0; i < flat.size(); i += 4) {
            if (flat[i] > flat[i + 2] || flat[i + 1] > flat[i + 3])
                raise_value(indexed(what, i / 4) + " has min > max");
            out.push_back({flat[i], flat[i + 1], flat[i + 2], flat[i + 3]});
        }
        return out;
    }
    nb::object items = tuple_of(as_python_sequence(value), what);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.ptr()); ++i)
        out.push_back(to_box(PyTuple_GET_ITEM(items.ptr(), i), [&] { return indexed(what, i); }));
    return out;
}

// A polyline: a sequence of points (N x 2 array-like).
inline Path to_path(nb::handle value, const std::string& what) {
    std::vector<double> flat;
    if (read_float_matrix(value, 2, what, flat)) return matrix_points(flat);
    nb::object obj = as_python_sequence(value);
    length_of(obj, what.c_str());  // a sequence, not any iterable
    nb::object items = tuple_of(obj, what);
    Path p;
    p.reserve(static_cast<size_t>(PyTuple_GET_SIZE(items.ptr())));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.ptr()); ++i)
        p.push_back(to_point(PyTuple_GET_ITEM(items.ptr(), i), indexed(what, i).c_str()));
    return p;
}

// A list of polylines; None means empty.
inline std::vector<Path> to_paths(nb::handle obj, const char* what) {
    std::vector<Path> out;
    if (obj.is_none()) return out;
    const Py_ssize_t n = length_of(obj, what);
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(to_path(item_of(obj, i), indexed(what, i)));
    return out;
}

inline double to_length(nb::handle obj, const char* what, bool allow_zero = true) {
    return checked_length(to_finite(obj, what), what, allow_zero);
}

// dbu: None (no grid) or a positive finite grid step; 0 is refused (it is
// no grid step, and reading it as "none" would hide a mistake).
inline double to_grid(nb::handle obj, const char* what = "dbu") {
    if (obj.is_none()) return 0.0;
    const double v = to_finite(obj, what);
    if (!(v > 0))
        raise_value(std::string(what) + " must be positive or None, got " + nb::cast<std::string>(nb::repr(obj)));
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

// [f(x) for x in items]
template <class Items, class F>
nb::list list_of_each(const Items& items, F&& f) {
    nb::list out;
    for (const auto& x : items) out.append(f(x));
    return out;
}

inline nb::list path_to_tuples(const Path& p) { return list_of_each(p, point_tuple); }

// turn_bias: None (no preference), a name (turn_bias_named) or a number in
// [0, 1] giving the preferred relative position of bends.
inline TurnBias to_turn_bias(nb::handle obj) {
    if (obj.is_none()) return {false, 0.5};
    if (PyUnicode_Check(obj.ptr())) return turn_bias_named(nb::cast<std::string>(obj));
    return {true, checked_unit_interval(to_finite(obj, "turn_bias"), "turn_bias")};
}

// ------------------------------------------------- lattice nodes and maps

inline std::string repr_of(nb::handle h) {
    try {
        return nb::cast<std::string>(nb::repr(h));
    } catch (const nb::python_error&) {
        return "<unprintable>";
    }
}

// Node conversion for look-ups: a 2-sequence of real numbers (not text).
// Returns false (no exception) for anything else, as a failed dict look-up
// would.
inline bool parse_point(nb::handle h, Point& out) {
    if (PyUnicode_Check(h.ptr()) || PyBytes_Check(h.ptr())) return false;
    bool numbers = true;
    return converts([&] {
        nb::object seq = tuple_of(h, "node");
        for (nb::handle item : nb::borrow<nb::tuple>(seq))
            if (!PyNumber_Check(item.ptr()) || PyUnicode_Check(item.ptr())) numbers = false;
        if (numbers) out = to_point(seq, "node");
    }) && numbers;
}

// A heading: None (when allowed) or an integer 0..3.
template <class W>
int to_heading(nb::handle h, const W& what, bool allow_none) {
    if (h.is_none()) {
        if (allow_none) return kNoDir;
        raise_type(msg(what) + " must be a direction 0..3, got None");
    }
    nb::object idx = nb::steal(PyNumber_Index(h.ptr()));
    if (!idx.is_valid()) {
        PyErr_Clear();
        raise_type(msg(what) + " must be a direction (int 0..3" + (allow_none ? " or None" : "") + "), got " +
                   nb::type_name(h.type()).c_str());
    }
    const long v = PyLong_AsLong(idx.ptr());
    if (v == -1 && PyErr_Occurred()) PyErr_Clear();
    if (v < 0 || v > 3) raise_value(msg(what) + " must be a direction 0..3 (E, N, W, S), got " + repr_of(h));
    return static_cast<int>(v);
}

inline double to_penalty(nb::handle h, const char* what) {
    const double v = to_finite(h, what);
    if (v < 0) raise_value(std::string(what) + " must be >= 0, got " + repr_of(h));
    return v;
}

// The two items of a pair, as a tuple; TypeError naming `what` and the
// pair's `form` for anything else.
template <class W>
nb::object pair_of(nb::handle obj, const W& what, const char* form) {
    if (PyTuple_CheckExact(obj.ptr()) && PyTuple_GET_SIZE(obj.ptr()) == 2) return nb::borrow(obj);
    nb::object t = tuple_of(obj, what);
    if (PyTuple_GET_SIZE(t.ptr()) != 2) raise_type(msg(what) + " must be a " + form + " pair, got " + repr_of(obj));
    return t;
}

// Calls fn(key, value) for every entry of a dict or of any mapping
// (items()), over a snapshot of the items taken first.
template <class Fn>
void for_each_item(nb::handle mapping, const char* what, Fn&& fn) {
    nb::object items;
    if (PyDict_Check(mapping.ptr())) {
        items = nb::steal(PyDict_Items(mapping.ptr()));
        if (!items.is_valid()) throw nb::python_error();
    } else {
        if (!nb::hasattr(mapping, "items"))
            raise_type(std::string(what) + " must be a mapping, got " + nb::type_name(mapping.type()).c_str());
        items = tuple_of(mapping.attr("items")(), std::string(what) + ".items()");
    }
    nb::object snapshot = tuple_of(items, what);
    const Py_ssize_t n = PyTuple_GET_SIZE(snapshot.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object pair =
            pair_of(PyTuple_GET_ITEM(snapshot.ptr(), i), [&] { return std::string(what) + ".items() entry"; },
                    "(key, value)");
        fn(nb::handle(PyTuple_GET_ITEM(pair.ptr(), 0)), nb::handle(PyTuple_GET_ITEM(pair.ptr(), 1)));
    }
}

// A yes/no option: the host's truth value of anything but None.
inline bool to_flag(nb::handle obj, const char* what) {
    if (obj.is_none()) raise_type(std::string(what) + " must be True or False, got None");
    return truth(obj);
}

inline double to_unit_interval(nb::handle obj, const char* what) {
    return checked_unit_interval(to_finite(obj, what), what);
}

// Rows of a B x 2 array-like of numbers (a bundle's positions or tangents).
// `exact` is cleared unless numpy holds them in float64 or an integer type
// (then sums and products of them come out the same here as in numpy).
inline std::vector<Point> to_point_rows(nb::handle value, const char* what, bool& exact) {
    // Kept for the life of the process (never released during shutdown).
    static PyObject* asarray = nb::object(nb::module_::import_("numpy").attr("asarray")).release().ptr();
    nb::object arr = nb::steal(PyObject_CallOneArg(asarray, value.ptr()));
    if (arr.is_valid()) {
        const std::string code = nb::cast<std::string>(arr.attr("dtype").attr("str")).substr(1);  // "f8", "i4" ...
        exact = exact && (code == "f8" || code[0] == 'i' || code[0] == 'u' || code[0] == 'b');
    } else {
        PyErr_Clear();
        exact = false;
    }
    return to_path(value, what);
}

inline nb::list float_list(const std::vector<double>& v) {
    return list_of_each(v, [](double x) { return x; });
}

// An optional number: None gives none.
inline std::optional<double> to_optional_number(nb::handle h, const char* what) {
    if (h.is_none()) return std::nullopt;
    return to_double(h, what);
}

// An integer the way range() takes one (__index__): TypeError otherwise.
inline long to_index(nb::handle h) {
    const long v = PyLong_AsLong(own(PyNumber_Index(h.ptr())).ptr());
    if (v == -1 && PyErr_Occurred()) fail();
    return v;
}

}  // namespace kelvane::py
