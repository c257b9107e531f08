// Seams: call sites that reach a module-level name when the call happens.
//
// The functions of a module call one another by their module-level names, the
// way Python code does (a global look-up at each call).  A caller may replace
// such a name to watch or change how it is called.  A Seam keeps that and the
// speed of native calls:
//
//     static kelvane::py::Seam s_helper;          // one per called name
//     ... module init, after `_helper` has been installed:
//     s_helper.bind(m, "_helper");
//     ... at the call site:
//     if (nb::object f = s_helper.replacement())
//         result = convert(f(args...));           // someone replaced it: go through Python,
//     else                                        // with the documented argument forms
//         result = helper_native(args...);        // still the module's own: stay native
//
//  or, when both branches give the same type:
//     auto r = s_helper.call([&] { return native(...); },
//                            [&](nb::handle f) { return convert(f(...)); });
//
// Look-up rules are those of a global name in Python: the module's namespace
// first, then builtins; a name bound in neither raises the host's NameError.
// "The module's own" is the object bound to the name when bind() ran
// (compared by identity; the Seam holds a reference so that address is never
// reused).  A Seam can also name a plain module attribute (e.g. `np`):
// current() returns whatever is bound now.
//
// Seams live in static storage and keep their references for the life of the
// process on purpose: nothing is released during interpreter shutdown.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvane::py {

namespace nb = nanobind;

class Seam {
public:
    // Remember the module namespace, the (interned) name and the object bound
    // to it now.  Call once per process, at module init.
    void bind(nb::handle module, const char* name) {
        globals_ = PyModule_GetDict(module.ptr());  // borrowed from the module
        if (!globals_) throw nb::python_error();
        Py_INCREF(globals_);
        name_ = PyUnicode_InternFromString(name);
        if (!name_) throw nb::python_error();
        own_ = PyDict_GetItemWithError(globals_, name_);
        if (!own_) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_);
            throw nb::python_error();
        }
        Py_INCREF(own_);
    }

    // The object bound to the name now (new reference).
    nb::object current() const {
        PyObject* f = PyDict_GetItemWithError(globals_, name_);
        if (!f && !PyErr_Occurred()) {
            PyObject* builtins = PyEval_GetBuiltins();  // borrowed
            if (builtins) f = PyDict_GetItemWithError(builtins, name_);
            if (!f && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_);
        }
        if (!f) throw nb::python_error();
        return nb::borrow(f);
    }

    // An empty object while the name still holds the module's own function
    // (stay native); otherwise the replacement (new reference, so it stays
    // alive while it runs even if it rebinds the name).
    nb::object replacement() const {
        nb::object f = current();
        if (f.ptr() == own_) return nb::object();
        return f;
    }

    bool is_native() const { return !replacement().is_valid(); }

    template <class Native, class Replaced>
    decltype(auto) call(Native&& native, Replaced&& replaced) const {
        if (nb::object f = replacement()) return replaced(nb::handle(f));
        return native();
    }

    PyObject* name() const { return name_; }

private:
    PyObject* globals_ = nullptr;
    PyObject* name_ = nullptr;
    PyObject* own_ = nullptr;
};

}  // namespace kelvane::py
