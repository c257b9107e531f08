// Small helpers over the CPython API, written once for every binding module:
// a failed call becomes nb::python_error (the host's exception propagates
// unchanged), and the host's own protocols (truth, float(), obj[i],
// iteration) are applied the way Python code applies them.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvane::py {

namespace nb = nanobind;

[[noreturn]] inline void fail() { throw nb::python_error(); }

// f() with the GIL released, for a core call that touches no host object
// (other threads run Python meanwhile).
template <class F>
auto without_gil(F&& f) {
    nb::gil_scoped_release release;
    return f();
}

// A new reference from the C API as an object; NULL re-raises the error set.
inline nb::object own(PyObject* o) {
    if (!o) fail();
    return nb::steal(o);
}

inline bool truth(nb::handle h) {
    const int t = PyObject_IsTrue(h.ptr());
    if (t < 0) fail();
    return t != 0;
}

// float(v) with the host's conversion; exact floats and ints without a call.
inline double as_float(nb::handle v) {
    if (PyFloat_CheckExact(v.ptr())) return PyFloat_AS_DOUBLE(v.ptr());
    if (PyLong_CheckExact(v.ptr())) {  // float()'s own conversion, OverflowError included
        const double d = PyLong_AsDouble(v.ptr());
        if (d == -1.0 && PyErr_Occurred()) fail();
        return d;
    }
    nb::object f = own(PyNumber_Float(v.ptr()));
    return PyFloat_AS_DOUBLE(f.ptr());
}

// obj[i], with tuples and lists in range read directly.
inline nb::object item_of(nb::handle obj, Py_ssize_t i) {
    PyObject* o = obj.ptr();
    if (PyTuple_CheckExact(o) && i >= 0 && i < PyTuple_GET_SIZE(o)) return nb::borrow(PyTuple_GET_ITEM(o, i));
    if (PyList_CheckExact(o) && i >= 0 && i < PyList_GET_SIZE(o)) return nb::borrow(PyList_GET_ITEM(o, i));
    nb::object key = own(PyLong_FromSsize_t(i));
    return own(PyObject_GetItem(o, key.ptr()));
}

// `for x in items: fn(x)`; lists are walked by index with the length checked
// at every step, as the list iterator does.
template <class Fn>
void for_each(nb::handle items, Fn&& fn) {
    if (PyList_CheckExact(items.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
            nb::object x = nb::borrow(PyList_GET_ITEM(items.ptr(), i));
            fn(nb::handle(x));
        }
        return;
    }
    nb::object it = own(PyObject_GetIter(items.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object x = nb::steal(raw);
        fn(nb::handle(x));
    }
    if (PyErr_Occurred()) fail();
}

}  // namespace kelvane::py
