// The deadline engine.TimeBudget (bindings/py/engine.py) holds while it is
// entered: a kelvane::deadline::Scope for this thread.
#include "convert.hpp"
#include "engine.hpp"
#include "kelvane/deadline.hpp"

namespace kelvane::py::engine {

void def_budget(nb::module_& native) {
    nb::class_<deadline::Scope>(native, "Scope")
        .def(nb::init<double>())
        .def_prop_ro("reached", &deadline::Scope::reached);
    native.def("budget_seconds", [](nb::handle s) { return checked_seconds(to_double(s, "time_budget: seconds")); },
               nb::arg("seconds").none());
}

}  // namespace kelvane::py::engine
