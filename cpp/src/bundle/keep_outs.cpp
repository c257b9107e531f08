// Keep-out boxes around a routed skeleton, for the routes placed after it.
#include <algorithm>
#include <cmath>

#include "kelvane/bundle.hpp"

namespace kelvane::bundle {

std::vector<Box> skeleton_keep_outs(const Path& skeleton, double spacing, std::optional<double> port_pitch) {
    const double half_interior = spacing;
    double half_port = spacing;
    if (port_pitch && *port_pitch > 1e-9) half_port = std::min(spacing, 0.8 * *port_pitch);
    std::vector<Box> out;
    if (skeleton.size() < 2) return out;
    const std::size_t n_seg = skeleton.size() - 1;
    out.reserve(n_seg);
    for (std::size_t i = 0; i < n_seg; ++i) {
        const double half = (i == 0 || i == n_seg - 1) ? half_port : half_interior;
        const Point p = skeleton[i], q = skeleton[i + 1];
        // Reach past inner corners only, so consecutive boxes overlap there
        // and no box reaches past a port.
        const double lo_ext = i > 0 ? half : 0.0;
        const double hi_ext = i < n_seg - 1 ? half : 0.0;
        if (std::fabs(p.y - q.y) < 1e-9) {
            if (p.x <= q.x) out.push_back({p.x - lo_ext, p.y - half, q.x + hi_ext, p.y + half});
            else out.push_back({q.x - hi_ext, p.y - half, p.x + lo_ext, p.y + half});
        } else {
            if (p.y <= q.y) out.push_back({p.x - half, p.y - lo_ext, p.x + half, q.y + hi_ext});
            else out.push_back({p.x - half, q.y - hi_ext, p.x + half, p.y + lo_ext});
        }
    }
    return out;
}

}  // namespace kelvane::bundle
