// The deadline engine.TimeBudget (bindings/py/engine.py) holds while it is
// entered: a kelvane::deadline::Scope for this thread.
#include <cmath>

#include "convert.hpp"
#include "engine.hpp"
#include "kelvane/deadline.hpp"

namespace kelvane::py::engine {

void def_budget(nb::module_& native) {
    nb::class_<deadline::Scope>(native, "Scope")
        .def(nb::init<double>())
        .def_prop_ro("reached", &deadline::Scope::reached);
    native.def("budget_seconds", [](nb::handle seconds) {
        const double s = to_double(seconds, "time_budget: seconds");
        if (std::isnan(s) || s < 0) throw nb::value_error("time_budget: seconds must be >= 0 (inf: no limit)");
        return s;
    }, nb::arg("seconds").none());
}

}  // namespace kelvane::py::engine
