// Native module functions with a real Python signature.
//
// nanobind's function objects cannot carry `__signature__` or
// `__annotations__`, and their argument errors use nanobind's wording.
// def_function() installs, under the given name, a small native callable that
// forwards to the nanobind function and carries what Python functions have:
//
//   __signature__    inspect.Signature with the real parameters and defaults
//   __annotations__  the annotation strings, "return" last
//   __name__, __qualname__, __module__, __doc__
//   __wrapped__      the nanobind function that does the work
//
// Everything comes from one def header written in Python syntax, e.g.
//
//   def_function(m, "_sort_ports_like_kfactory",
//                "(ports: 'list[Any]', target_side: 'int', *, clockwise: 'bool') -> 'list[Any]'",
//                doc, nb::cpp_function(impl, nb::arg("ports"), nb::arg("target_side"),
//                                      nb::kw_only(), nb::arg("clockwise")));
//
// At install time the header is compiled once into a throwaway Python
// function `def <name><header>: return locals()` (the "binder").  Its
// signature and annotations are copied onto the callable.  Calls then go:
//
//   * fast path: exactly the canonical form (every positional-or-keyword
//     parameter given positionally, keyword-only ones by keyword in declared
//     order, no *args / **kwargs in the header) is forwarded untouched by
//     vectorcall to the implementation;
//   * any other form (keywords for positional parameters, omitted defaults,
//     wrong counts, unknown names) goes through the binder, so binding and
//     its TypeErrors are the host's own ("f() missing 1 required keyword-only
//     argument: 'clockwise'"); the bound values are then passed to the
//     implementation in canonical form (*args expanded after the positional
//     parameters, **kwargs merged into the keywords).
//
// The callable also has __get__ returning itself (so pydoc and
// inspect.isroutine treat it as a routine) and a writable __dict__.
//
// Stubs: nanobind's stub generator writes a member verbatim when its type has
// `__nb_signature__` and the member's value is a declaration string.  The type
// here has that attribute; for public names it renders the declaration from
// __name__, __signature__ and __doc__ (docstring laid out as the generator lays
// out its own), so these functions get their real parameters in .pyi files.
// Private names give None and stay out of stubs, like nanobind's private
// functions.
#pragma once

#include <nanobind/nanobind.h>
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

#include <cstddef>
#include <string>

namespace kelvane::py {

namespace nb = nanobind;

namespace pyfunc_detail {

struct FuncObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* impl;    // does the work; called in canonical form
    PyObject* binder;  // the def header as a Python function returning its locals()
    PyObject* kwonly;  // tuple of keyword-only names in declared order
    PyObject* label;   // "module.qualname" for repr
    PyObject* dict;
    Py_ssize_t npos;   // positional-or-keyword (and positional-only) parameters
    Py_ssize_t nkwonly;
    int has_star;      // header has *args
    int has_starstar;  // header has **kwargs
};

inline bool canonical_form(const FuncObject* f, Py_ssize_t nargs, PyObject* kwnames) {
    if (f->has_star || f->has_starstar || nargs != f->npos) return false;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw != f->nkwonly) return false;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* given = PyTuple_GET_ITEM(kwnames, i);
        PyObject* want = PyTuple_GET_ITEM(f->kwonly, i);
        if (given != want && PyUnicode_Compare(given, want) != 0) return false;
    }
    return true;
}

// Bind through the header function, then call the implementation canonically.
inline PyObject* call_bound(FuncObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* bound = PyObject_Vectorcall(f->binder, args, nargsf, kwnames);
    if (!bound) return nullptr;
    PyObject* result = nullptr;
    PyObject* pos = nullptr;
    PyObject* kw = nullptr;
    PyObject* values = PyDict_Values(bound);  // parameters in declaration order
    Py_DECREF(bound);
    if (!values) return nullptr;
    Py_ssize_t at = 0;
    PyObject* star = nullptr;
    if (f->has_star) star = PyList_GET_ITEM(values, f->npos + f->nkwonly);
    const Py_ssize_t nstar = star ? PyTuple_GET_SIZE(star) : 0;
    pos = PyTuple_New(f->npos + nstar);
    kw = PyDict_New();
    if (!pos || !kw) goto done;
    for (Py_ssize_t i = 0; i < f->npos; ++i, ++at) {
        PyObject* v = PyList_GET_ITEM(values, at);
        Py_INCREF(v);
        PyTuple_SET_ITEM(pos, i, v);
    }
    for (Py_ssize_t i = 0; i < f->nkwonly; ++i, ++at)
        if (PyDict_SetItem(kw, PyTuple_GET_ITEM(f->kwonly, i), PyList_GET_ITEM(values, at)) < 0) goto done;
    for (Py_ssize_t i = 0; i < nstar; ++i) {
        PyObject* v = PyTuple_GET_ITEM(star, i);
        Py_INCREF(v);
        PyTuple_SET_ITEM(pos, f->npos + i, v);
    }
    if (f->has_starstar) {
        PyObject* extra = PyList_GET_ITEM(values, f->npos + f->nkwonly + (f->has_star ? 1 : 0));
        if (PyDict_Update(kw, extra) < 0) goto done;
    }
    result = PyObject_Call(f->impl, pos, kw);
done:
    Py_XDECREF(pos);
    Py_XDECREF(kw);
    Py_DECREF(values);
    return result;
}

inline PyObject* vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FuncObject*>(self);
    if (canonical_form(f, PyVectorcall_NARGS(nargsf), kwnames))
        return PyObject_Vectorcall(f->impl, args, nargsf, kwnames);
    return call_bound(f, args, nargsf, kwnames);
}

inline int traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FuncObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->impl);
    Py_VISIT(f->binder);
    Py_VISIT(f->dict);
    return 0;
}

inline int clear(PyObject* self) {
    auto* f = reinterpret_cast<FuncObject*>(self);
    Py_CLEAR(f->impl);
    Py_CLEAR(f->binder);
    Py_CLEAR(f->kwonly);
    Py_CLEAR(f->label);
    Py_CLEAR(f->dict);
    return 0;
}

inline void dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<native function %U>", reinterpret_cast<FuncObject*>(self)->label);
}

inline PyObject* descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

// def <name><signature>: followed by the docstring, or "..." without one.
constexpr const char* kStubSource = R"py(def declaration(name, signature, doc):
    import textwrap
    head = f"def {name}{signature}:"
    if not doc:
        return head + " ..."
    doc = textwrap.dedent(doc).strip().replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    if doc.endswith('"'):
        doc = doc[:-1] + '\\"'
    if len(doc) > 70 or "\n" in doc:
        doc = "\n" + doc + "\n"
    return head + "\n" + textwrap.indent(f'"""{doc}"""', "    ")
)py";

inline PyObject* stub_declaration(PyObject* self, void*) {
    try {
        nb::handle h(self);
        nb::str name = nb::borrow<nb::str>(h.attr("__name__"));
        const std::string text = name.c_str();
        if (text.size() > 1 && text[0] == '_' && text[1] != '_') return Py_NewRef(Py_None);
        static PyObject* declaration = [] {
            nb::dict ns;
            ns["__builtins__"] = nb::borrow(PyEval_GetBuiltins());
            nb::object code = nb::steal(Py_CompileString(kStubSource, "<stub>", Py_file_input));
            if (!code.is_valid()) throw nb::python_error();
            nb::object ran = nb::steal(PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr()));
            if (!ran.is_valid()) throw nb::python_error();
            return nb::object(ns["declaration"]).release().ptr();
        }();
        return nb::handle(declaration)(name, nb::str(h.attr("__signature__")), h.attr("__doc__")).release().ptr();
    } catch (nb::python_error& e) {
        e.restore();
        return nullptr;
    }
}

// One type per extension module (created on first use).
inline PyTypeObject* func_type() {
    static PyTypeObject* type = nullptr;
    if (type) return type;
    static PyMemberDef members[] = {
        {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FuncObject, vectorcall), Py_READONLY, nullptr},
        {"__dictoffset__", Py_T_PYSSIZET, offsetof(FuncObject, dict), Py_READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    static PyGetSetDef getset[] = {
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {"__nb_signature__", stub_declaration, nullptr, const_cast<char*>("declaration for .pyi stubs"), nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(clear)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
        {Py_tp_members, members},
        {Py_tp_getset, getset},
        {Py_tp_doc, const_cast<char*>("Native function with a Python signature.")},
        {0, nullptr}};
    static PyType_Spec type_slots = {"kelvane.native_function", sizeof(FuncObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                   Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_slots));
    if (!type) throw nb::python_error();
    return type;
}

}  // namespace pyfunc_detail

// Install `impl` as module attribute `name` with the parameters, defaults and
// annotation strings of `header` ("(a: 'T', *, b: 'U' = 1) -> 'R'", evaluated
// in a namespace holding only builtins).  Returns the installed callable.
inline nb::object def_function(nb::module_& m, const char* name, const char* header, const char* doc,
                               nb::object impl) {
    using namespace pyfunc_detail;
    const std::string src = std::string("def ") + name + header + ":\n    return __pyfunc_locals__()\n";
    nb::dict ns;
    ns["__builtins__"] = nb::borrow(PyEval_GetBuiltins());
    ns["__pyfunc_locals__"] = nb::module_::import_("builtins").attr("locals");
    ns["__name__"] = m.attr("__name__");
    nb::object code = nb::steal(Py_CompileString(src.c_str(), "<signature>", Py_file_input));
    if (!code.is_valid()) throw nb::python_error();
    nb::object ran = nb::steal(PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr()));
    if (!ran.is_valid()) throw nb::python_error();
    nb::object binder = ns[name];

    nb::object fcode = binder.attr("__code__");
    const Py_ssize_t npos = nb::cast<Py_ssize_t>(fcode.attr("co_argcount"));
    const Py_ssize_t nkwonly = nb::cast<Py_ssize_t>(fcode.attr("co_kwonlyargcount"));
    const int flags = nb::cast<int>(fcode.attr("co_flags"));
    nb::tuple varnames = nb::borrow<nb::tuple>(fcode.attr("co_varnames"));
    nb::tuple kwonly = nb::steal<nb::tuple>(PyTuple_GetSlice(varnames.ptr(), npos, npos + nkwonly));
    for (size_t i = 0; i < kwonly.size(); ++i) PyUnicode_InternInPlace(&PyTuple_GET_ITEM(kwonly.ptr(), i));

    PyTypeObject* tp = func_type();
    auto* f = reinterpret_cast<FuncObject*>(PyType_GenericAlloc(tp, 0));
    if (!f) throw nb::python_error();
    nb::object self = nb::steal(reinterpret_cast<PyObject*>(f));
    f->vectorcall = pyfunc_detail::vectorcall;
    f->impl = impl.release().ptr();
    f->binder = binder.release().ptr();
    f->kwonly = kwonly.release().ptr();
    f->npos = npos;
    f->nkwonly = nkwonly;
    f->has_star = (flags & CO_VARARGS) != 0;
    f->has_starstar = (flags & CO_VARKEYWORDS) != 0;
    nb::str module_name = nb::borrow<nb::str>(m.attr("__name__"));
    f->label = PyUnicode_FromFormat("%U.%s", module_name.ptr(), name);
    if (!f->label) throw nb::python_error();

    nb::handle fbinder(f->binder);
    self.attr("__name__") = nb::str(name);
    self.attr("__qualname__") = nb::str(name);
    self.attr("__module__") = module_name;
    self.attr("__doc__") = doc ? nb::object(nb::str(doc)) : nb::none();
    self.attr("__annotations__") = nb::dict(fbinder.attr("__annotations__"));
    self.attr("__signature__") = nb::module_::import_("inspect").attr("signature")(fbinder);
    self.attr("__wrapped__") = nb::handle(f->impl);
    m.attr(name) = self;
    return self;
}

}  // namespace kelvane::py
