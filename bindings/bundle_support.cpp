// The bundle module's check of the waypoint router it reaches.
#include <cstring>

#include "bundle_support.hpp"
#include "pyfunc.hpp"

namespace kelvane::py {

bool is_own_waypoint_router(nb::handle f) {
    // def_function objects of the waypoints module; only that module makes
    // one under this label.
    if (std::strcmp(Py_TYPE(f.ptr())->tp_name, "kelvane.native_function") != 0) return false;
    PyObject* label = reinterpret_cast<pyfunc_detail::FuncObject*>(f.ptr())->label;
    return label && PyUnicode_CompareWithASCIIString(label, "kelvane.manhattan_router.waypoints.route_waypoints_v2") == 0;
}

}  // namespace kelvane::py
