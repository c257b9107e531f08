// Numbers in messages, written as Python's repr writes them, so that a
// binding can pass a core error on unchanged.
#pragma once

#include <string>

#include "kelvane/geometry.hpp"

namespace kelvane {

// Shortest digits that read back as v, positional unless the exponent is
// below -4 or above 15 ("1.0", "1e+16", "nan", "-inf").
std::string float_repr(double v);
// (x, y) as a tuple of such floats: "(1.0, -0.5)".
std::string point_repr(Point p);

}  // namespace kelvane
