// A deliverable module whose body is Python source, with native roads (the
// design and the body's layout: ARCHITECTURE.md, "Replaced helpers").  The
// build embeds bindings/py/<module>.py in the extension (<module>_body.inc).
// run_module_body() executes it in the module's namespace, calls and removes
// `_define(_native, _intact)`, dedents the functions' docstrings, and
// snapshots the namespace as the module's own objects (what `_intact`
// compares with).
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <utility>

namespace kelvane::py {

namespace nb = nanobind;

namespace module_body_detail {

// _intact(names): true while every name is bound, in the module namespace,
// to the object it held at import.  `self` is (globals, own).
inline PyObject* intact(PyObject* self, PyObject* names) {
    PyObject* globals = PyTuple_GET_ITEM(self, 0);
    PyObject* own = PyTuple_GET_ITEM(self, 1);
    if (!PyTuple_Check(names)) {
        PyErr_SetString(PyExc_TypeError, "_intact() takes a tuple of names");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        PyObject* now = PyDict_GetItemWithError(globals, name);
        if (!now) {
            if (PyErr_Occurred()) return nullptr;
            Py_RETURN_FALSE;  // deleted: the Python body raises the host's NameError
        }
        if (now != PyDict_GetItemWithError(own, name)) {
            if (PyErr_Occurred()) return nullptr;
            Py_RETURN_FALSE;
        }
    }
    Py_RETURN_TRUE;
}

inline PyMethodDef intact_def = {"_intact", intact, METH_O,
                                 "True while every named module attribute is the module's own."};

}  // namespace module_body_detail

// A namespace for the native roads, handed to the body as `_native`; it is
// not a module attribute.
inline nb::module_ native_namespace(const char* name) {
    return nb::steal<nb::module_>(PyModule_New(name));
}

// ns.def(name, f) with every parameter taking any host value, None included
// (the Python body hands over its arguments as the caller gave them).
template <class R, class... A, size_t... I>
void def_native(nb::module_& ns, const char* name, R (*f)(A...), std::index_sequence<I...>) {
    static const char* const names[] = {"a0", "a1", "a2", "a3", "a4", "a5", "a6", "a7", "a8", "a9",
                                        "a10", "a11", "a12", "a13", "a14", "a15", "a16", "a17", "a18", "a19"};
    static_assert(sizeof...(A) <= 20, "def_native: at most 20 parameters");
    ns.def(name, f, nb::arg(names[I]).none()...);
}

template <class R, class... A>
void def_native(nb::module_& ns, const char* name, R (*f)(A...)) {
    def_native(ns, name, f, std::index_sequence_for<A...>{});
}

inline void run_module_body(nb::module_& m, const char* source, nb::handle native) {
    nb::dict globals = nb::borrow<nb::dict>(PyModule_GetDict(m.ptr()));
    globals["__builtins__"] = nb::borrow(PyEval_GetBuiltins());
    const std::string filename = "<" + std::string(nb::str(m.attr("__name__")).c_str()) + ">";
    nb::object code = nb::steal(Py_CompileString(source, filename.c_str(), Py_file_input));
    if (!code.is_valid()) throw nb::python_error();
    nb::object ran = nb::steal(PyEval_EvalCode(code.ptr(), globals.ptr(), globals.ptr()));
    if (!ran.is_valid()) throw nb::python_error();
    // Tracebacks and inspect.getsource show the embedded lines.
    nb::str text(source);
    nb::object lines = text.attr("splitlines")(true);
    nb::module_::import_("linecache").attr("cache")[nb::str(filename.c_str())] =
        nb::make_tuple(nb::len(text), nb::none(), lines, nb::str(filename.c_str()));
    nb::object define = globals["_define"];
    PyDict_DelItemString(globals.ptr(), "_define");

    nb::dict own;
    nb::object state = nb::make_tuple(globals, own);
    nb::object intact = nb::steal(PyCFunction_New(&module_body_detail::intact_def, state.ptr()));
    if (!intact.is_valid()) throw nb::python_error();
    define(native, intact);
    // Docstrings as the host's compiler keeps them from 3.13 on: dedented.
    nb::object cleandoc = nb::module_::import_("inspect").attr("cleandoc");
    for (auto [name, value] : globals)
        if (PyFunction_Check(value.ptr()) && !value.attr("__doc__").is_none())
            value.attr("__doc__") = cleandoc(value.attr("__doc__"));
    own.update(globals);
}

}  // namespace kelvane::py
