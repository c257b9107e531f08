// Rules for the values a caller hands the routers.  A value that breaks one
// raises std::invalid_argument whose text names the argument (`what`).
#pragma once

#include <string_view>

#include "kelvane/geometry.hpp"

namespace kelvane {

// A length: >= 0, or > 0 where zero is refused.
double checked_length(double v, const char* what, bool allow_zero = true);

// A time budget: seconds >= 0, inf for no limit.
double checked_seconds(double seconds);

// A value in [0, 1] (a relative position).
double checked_unit_interval(double v, const char* what);

// The heading of travel along a tangent vector, which must be non-zero and
// axis-parallel (the smaller component at most 1e-9 of the larger).
int tangent_direction(Point tangent, const char* what);

// turn_bias by name: "center" / "centre" (bends midway), "start", "end",
// "none" (no preference).
TurnBias turn_bias_named(std::string_view name);

}  // namespace kelvane
