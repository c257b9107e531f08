// Module kelvane.engine: process-wide controls of the native routers.  This
// file is the frame: the part registry (engine.hpp) and the thread state
// every module's core reads its time budget from (deadline_link.hpp).  The
// functions are in the parts, bindings/engine_*.cpp.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "deadline_link.hpp"
#include "engine.hpp"

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

NB_MODULE(engine, m) {
    using namespace kelvane::py;
    m.doc() = R"(Process-wide controls of kelvane's native routers, and the routers of the
user layer beyond the deliverable modules.

time_budget(seconds): a context manager that bounds the time of every native routing
call made in its block on this thread (see its documentation).
route_river(...): a bundle laid as a planar ribbon.
negotiate_spaced(...): many routes negotiated to keep the spacing, crossing where a
detour costs more.)";
    static DeadlineLink link{&kelvane::deadline::own_state};
    m.attr(kDeadlineCapsuleAttr) = nanobind::capsule(&link, kDeadlineCapsuleName);
    auto& all = engine::parts();
    std::sort(all.begin(), all.end());
    for (const auto& [name, bind] : all) bind(m);
}
