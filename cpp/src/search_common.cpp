#include "kelvane/search_common.hpp"

#include <algorithm>

namespace kelvane {

int turns_to_arrive(double dx, double dy, int d, int end_dir) {
    // The target in the frame of d: forward f, to the left l.
    double f, l;
    switch (d) {
        case E: f = dx; l = dy; break;
        case N: f = dy; l = -dx; break;
        case W: f = -dx; l = -dy; break;
        default: f = -dy; l = dx; break;
    }
    // Turns to arrive heading forward, left, right and back (relative to d).
    int t[4];
    if (f == 0 && l == 0) {
        t[0] = 0; t[1] = 3; t[3] = 3; t[2] = 4;
    } else {
        t[0] = f > 0 ? (l == 0 ? 0 : 2) : 4;
        t[1] = (l > 0 && f >= 0) ? 1 : 3;
        t[3] = (l < 0 && f >= 0) ? 1 : 3;
        t[2] = l != 0 ? 2 : 4;
    }
    if (end_dir == kNoDir) return std::min({t[0], t[1], t[2], t[3]});
    return t[(end_dir - d + 4) & 3];
}

}  // namespace kelvane
