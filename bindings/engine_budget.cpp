// kelvane.engine.TimeBudget, made by time_budget (bindings/py/engine.py): a
// deadline for the native routing calls of a block on this thread
// (kelvane/deadline.hpp).
#include <cmath>
#include <memory>
#include <string>

#include <nanobind/stl/string.h>

#include "convert.hpp"
#include "engine.hpp"
#include "kelvane/deadline.hpp"

namespace kelvane::py::engine {

namespace {

using namespace nb::literals;

class TimeBudget {
public:
    explicit TimeBudget(double seconds) : seconds_(seconds) {}
    double seconds() const { return seconds_; }
    // While the block runs: whether the deadline has cut work short yet;
    // after it: whether it did.
    bool reached() const { return scope_ ? scope_->reached() : reached_; }
    bool active() const { return scope_ != nullptr; }
    TimeBudget& enter() {
        if (scope_) throw nb::value_error("time_budget: this budget is in use already (make a new one)");
        reached_ = false;
        scope_ = std::make_unique<deadline::Scope>(seconds_);
        return *this;
    }
    void exit() {
        if (!scope_) return;
        reached_ = scope_->reached();
        scope_.reset();
    }

private:
    double seconds_;
    bool reached_ = false;
    std::unique_ptr<deadline::Scope> scope_;  // while entered
};

// TimeBudget(seconds), as engine.time_budget makes it.
void make_budget(TimeBudget* self, nb::handle seconds) {
    const double s = to_double(seconds, "time_budget: seconds");
    if (std::isnan(s) || s < 0) throw nb::value_error("time_budget: seconds must be >= 0 (inf: no limit)");
    new (self) TimeBudget(s);
}

void bind_budget(nb::module_& m) {
    nb::class_<TimeBudget>(m, "TimeBudget",
                           "A deadline for the native routing calls made on this thread while it is entered\n"
                           "(made by time_budget).")
        .def("__init__", &make_budget, "seconds"_a.none())
        .def_prop_ro("seconds", &TimeBudget::seconds, "The budget given.")
        .def_prop_ro("reached", &TimeBudget::reached,
                     "True when the deadline cut native work short (inside the block: so far).")
        .def_prop_ro("active", &TimeBudget::active, "True inside the with block.")
        .def("__enter__", &TimeBudget::enter, nb::rv_policy::reference)
        .def("__exit__", [](TimeBudget& b, nb::handle, nb::handle, nb::handle) { b.exit(); }, "exc_type"_a.none(),
             "exc_value"_a.none(), "traceback"_a.none())
        .def("__repr__", [](const TimeBudget& b) {
            return "time_budget(" + repr_of(nb::float_(b.seconds())) + ", reached=" +
                   (b.reached() ? "True" : "False") + ")";
        });
}

const bool registered = add_part("budget", &bind_budget);

}  // namespace

}  // namespace kelvane::py::engine
