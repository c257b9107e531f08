// The time budget across extension modules.  Each module links its own copy
// of the core, and so its own thread state of kelvane/deadline.hpp; the
// engine module's state is the one budgets are set in.  It hands a pointer
// to it out as a capsule, and every routing module points its copy there
// when it is imported (share_engine_deadline()).
#pragma once

#include <nanobind/nanobind.h>

#include "kelvane/deadline.hpp"

namespace kelvane::py {

constexpr const char* kDeadlineCapsuleAttr = "_deadline_state";
constexpr const char* kDeadlineCapsuleName = "kelvane.engine._deadline_state";

// At a routing module's import: read the time budget where kelvane.engine
// sets it.  Without the engine module (a build that leaves it out) there is
// no budget to honour, and the module's own state stays.
inline void share_engine_deadline() {
    nanobind::object engine;
    try {
        engine = nanobind::module_::import_("kelvane.engine");
    } catch (nanobind::python_error& e) {
        if (!e.matches(PyExc_ModuleNotFoundError)) throw;
        return;
    }
    nanobind::object capsule = engine.attr(kDeadlineCapsuleAttr);
    auto* state = static_cast<deadline::Accessor*>(PyCapsule_GetPointer(capsule.ptr(), kDeadlineCapsuleName));
    if (!state) throw nanobind::python_error();
    deadline::share(*state);
}

}  // namespace kelvane::py
