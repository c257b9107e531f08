// Obstacle helpers shared by the bundle strategies: window filter, box
// inflation and the hit test of a finished route.
#include <algorithm>

#include "bundle/steps.hpp"

namespace kelvane::bundle {

std::vector<std::size_t> boxes_touching(const std::vector<Box>& boxes, const Box& window) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const Box& b = boxes[i];
        // Strict exclusions: a box that only touches the window stays in.
        if (b.x1 < window.x0 || b.x0 > window.x1 || b.y1 < window.y0 || b.y0 > window.y1) continue;
        out.push_back(i);
    }
    return out;
}

std::vector<Box> inflate_boxes(const std::vector<Box>& boxes, double margin) {
    if (margin <= 1e-9) return boxes;
    std::vector<Box> out;
    out.reserve(boxes.size());
    for (const Box& b : boxes) out.push_back(b.inflated(margin));
    return out;
}

bool path_blocked(const Path& path, const ObstacleIndex& index) {
    for (std::size_t i = 0; i + 1 < path.size(); ++i)
        if (index.blocked(path[i], path[i + 1])) return true;
    return false;
}

Box end_point_window(Point start, Point end, double margin) {
    return {std::min(start.x, end.x) - margin, std::min(start.y, end.y) - margin, std::max(start.x, end.x) + margin,
            std::max(start.y, end.y) + margin};
}

}  // namespace kelvane::bundle
