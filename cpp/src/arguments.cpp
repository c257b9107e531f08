// The rules of kelvane/arguments.hpp.
#include "kelvane/arguments.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace kelvane {

double checked_length(double v, const char* what, bool allow_zero) {
    if (v < 0 || (!allow_zero && v == 0))
        throw std::invalid_argument(std::string(what) + (allow_zero ? " must be >= 0" : " must be > 0"));
    return v;
}

double checked_seconds(double seconds) {
    if (std::isnan(seconds) || seconds < 0)
        throw std::invalid_argument("time_budget: seconds must be >= 0 (inf: no limit)");
    return seconds;
}

double checked_unit_interval(double v, const char* what) {
    if (v < 0 || v > 1) throw std::invalid_argument(std::string(what) + " must be in [0, 1]");
    return v;
}

int tangent_direction(Point t, const char* what) {
    const double ax = std::fabs(t.x), ay = std::fabs(t.y);
    if (ax <= 1e-12 && ay <= 1e-12) throw std::invalid_argument(std::string(what) + " must be a non-zero vector");
    if (std::min(ax, ay) > 1e-9 * std::max(ax, ay))
        throw std::invalid_argument(std::string(what) + " must be axis-parallel, got (" + std::to_string(t.x) + ", " +
                                    std::to_string(t.y) + ")");
    return tangent_heading(t);
}

TurnBias turn_bias_named(std::string_view name) {
    if (name == "center" || name == "centre") return {true, 0.5};
    if (name == "start") return {true, 0.0};
    if (name == "end") return {true, 1.0};
    if (name == "none") return {false, 0.5};
    throw std::invalid_argument("turn_bias must be 'center', 'start', 'end', 'none' or a number in [0, 1], got '" +
                                std::string(name) + "'");
}

}  // namespace kelvane
