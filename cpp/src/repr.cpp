#include "kelvane/repr.hpp"

#include <charconv>
#include <cmath>

namespace kelvane {

std::string float_repr(double v) {
    if (!std::isfinite(v)) return std::isnan(v) ? "nan" : (v > 0 ? "inf" : "-inf");
    char buf[64];
    const std::string sci(buf, std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific).ptr);
    const size_t e = sci.find('e');
    const int point = std::stoi(sci.substr(e + 1)) + 1;  // digits before the decimal point
    if (point < -3 || point > 16) return sci;             // Python's exponent form: beyond 1e16 or below 1e-4
    const bool negative = sci[0] == '-';
    std::string digits;
    for (char c : sci.substr(0, e))
        if (c >= '0' && c <= '9') digits += c;
    const int n = static_cast<int>(digits.size());
    std::string out = point <= 0 ? "0." + std::string(-point, '0') + digits
                      : point >= n ? digits + std::string(point - n, '0') + ".0"
                                   : digits.substr(0, point) + "." + digits.substr(point);
    return negative ? "-" + out : out;
}

std::string point_repr(Point p) { return "(" + float_repr(p.x) + ", " + float_repr(p.y) + ")"; }

}  // namespace kelvane
