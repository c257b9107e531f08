// Module kelvane.engine (its Python body: bindings/py/engine.py): the thread state every module's core
// reads its time budget from (deadline_link.hpp), and the body's native roads (engine.hpp).
#include "bundle_support.hpp"
#include "deadline_link.hpp"
#include "engine.hpp"
#include "module_body.hpp"

#include "engine_body.inc"

NB_MODULE(engine, m) {
    using namespace kelvane::py;
    static DeadlineLink link{&kelvane::deadline::own_state};
    m.attr(kDeadlineCapsuleAttr) = nanobind::capsule(&link, kDeadlineCapsuleName);
    nanobind::module_ native = native_namespace("kelvane.engine._native");
    engine::def_budget(native);
    engine::def_river(native);
    engine::def_spaced(native);
    def_native(native, "bundle_rail_bridge", &rail_bundle);
    def_native(native, "bundle_backbone", &backbone_bundle);
    run_module_body(m, kEngineBody, native);
}
