// The bundle module's check of the waypoint router it reaches.
#include <cstring>

#include "bundle_support.hpp"
#include "graph_types.hpp"

namespace kelvane::py {

bool is_own_waypoint_router(nb::handle f) {
    // A function of the waypoints module's embedded body (module_body.hpp
    // names its code after the module); a replacement is compiled elsewhere.
    if (!PyFunction_Check(f.ptr())) return false;
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(f.ptr()));
    return PyUnicode_CompareWithASCIIString(code->co_filename, "<kelvane.manhattan_router.waypoints>") == 0 &&
           PyUnicode_CompareWithASCIIString(code->co_name, "route_waypoints_v2") == 0;
}

}  // namespace kelvane::py
