// Module kelvane.engine (its Python body: bindings/py/engine.py): the thread state every module's core
// reads its time budget from (deadline_link.hpp), the deadline engine.TimeBudget holds while it is
// entered (a deadline::Scope for this thread), and the body's other native roads (engine.hpp).
#include "bundle_support.hpp"
#include "deadline_link.hpp"
#include "engine.hpp"
#include "module_body.hpp"

#include "engine_body.inc"

NB_MODULE(engine, m) {
    using namespace kelvane::py;
    static DeadlineLink link{&kelvane::deadline::own_state};
    m.attr(kDeadlineCapsuleAttr) = nb::capsule(&link, kDeadlineCapsuleName);
    nb::module_ native = native_namespace("kelvane.engine._native");
    nb::class_<kelvane::deadline::Scope>(native, "Scope")
        .def(nb::init<double>())
        .def_prop_ro("reached", &kelvane::deadline::Scope::reached);
    native.def("budget_seconds",
               [](nb::handle s) { return kelvane::checked_seconds(to_double(s, "time_budget: seconds")); },
               nb::arg("seconds").none());
    engine::def_river(native);
    engine::def_spaced(native);
    def_native(native, "bundle_rail_bridge", &rail_bundle);
    def_native(native, "bundle_backbone", &backbone_bundle);
    run_module_body(m, kEngineBody, native);
}
