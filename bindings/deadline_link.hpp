// The time budget across extension modules.  Each module links its own copy
// of the core, and so its own thread state of kelvane/deadline.hpp; the
// engine module's state is the one budgets are set in.  It hands a pointer
// to it out as a capsule, and every routing module points its copy there
// when it is imported (share_engine_deadline()).
#pragma once

#include <nanobind/nanobind.h>

#include "kelvane/deadline.hpp"

namespace kelvane::py {

struct DeadlineLink {
    deadline::Accessor state;
};

constexpr const char* kDeadlineCapsuleAttr = "_deadline_state";
constexpr const char* kDeadlineCapsuleName = "kelvane.engine._deadline_state";

// At a routing module's import: read the time budget where kelvane.engine
// sets it.  Without the engine module (a build that leaves it out) there is
// no budget to honour, and the module's own state stays.
inline void share_engine_deadline() {
    PyObject* engine = PyImport_ImportModule("kelvane.engine");
    if (!engine) {
        if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) throw nanobind::python_error();
        PyErr_Clear();
        return;
    }
    PyObject* capsule = PyObject_GetAttrString(engine, kDeadlineCapsuleAttr);
    Py_DECREF(engine);
    if (!capsule) throw nanobind::python_error();
    auto* link = static_cast<DeadlineLink*>(PyCapsule_GetPointer(capsule, kDeadlineCapsuleName));
    Py_DECREF(capsule);
    if (!link) throw nanobind::python_error();
    deadline::share(link->state);
}

}  // namespace kelvane::py
