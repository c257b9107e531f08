// The union of many axis-parallel boxes as a few disjoint ones.
#pragma once

#include <vector>

#include "kelvane/geometry.hpp"

namespace kelvane {

// Disjoint boxes (interiors apart) whose union is the union of `boxes`: a
// sweep across x keeps one box open per covered stretch of y and closes it
// where that stretch changes, so heavily overlapping boxes become a handful
// of pieces, while boxes that overlap nothing come back unchanged.  Boxes
// without area (a side of zero length) have no interior to merge and come
// back as they are, after the pieces.  Order: by left side, then bottom.
std::vector<Box> union_pieces(const std::vector<Box>& boxes);

}  // namespace kelvane
