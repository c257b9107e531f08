// Module kelvane.engine: process-wide controls of the native routers.  This
// file is the frame: the part registry (engine.hpp) and the thread state
// every module's core reads its time budget from (deadline_link.hpp).  The
// functions are in the parts, bindings/engine_*.cpp; the module docstring and
// time_budget in bindings/py/engine.py (module_body.hpp).
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "bundle_support.hpp"
#include "deadline_link.hpp"
#include "engine.hpp"
#include "module_body.hpp"

namespace kelvane::py::engine {

namespace {
std::vector<std::pair<std::string, Part>>& parts() {
    static std::vector<std::pair<std::string, Part>> all;
    return all;
}
}  // namespace

bool add_part(const char* name, Part bind) {
    parts().emplace_back(name, bind);
    return true;
}

}  // namespace kelvane::py::engine

#include "engine_body.inc"

NB_MODULE(engine, m) {
    using namespace kelvane::py;
    static DeadlineLink link{&kelvane::deadline::own_state};
    m.attr(kDeadlineCapsuleAttr) = nanobind::capsule(&link, kDeadlineCapsuleName);
    auto& all = engine::parts();
    std::sort(all.begin(), all.end());
    for (const auto& [name, bind] : all) bind(m);
    nanobind::module_ native = native_namespace("kelvane.engine._native");
    def_native(native, "bundle_rail_bridge", &rail_bundle);
    def_native(native, "bundle_backbone", &backbone_bundle);
    run_module_body(m, kEngineBody, native);
}
