// graph._extend_short_segments: lengthening of too-short route segments.
#include "graph_types.hpp"
#include "kelvane/polish.hpp"

namespace kelvane::py {

namespace {

using namespace nb::literals;

const char* const kExtendDoc = R"doc(Lengthen segments of an axis-parallel route that are too short to bend.

points: the route, a sequence of (x, y) points (list of pairs, N x 2 array).
delta:  the bend radius, a finite number >= 0.
index:  the obstacles: an _ObstacleIndex, None (no obstacles), or any object
        with a method blocked(x1, y1, x2, y2) whose truthy result means the
        segment may not be used (exceptions it raises propagate unchanged).

Returns a new N' x 2 float64 array with the same first and last point.

Zero-length steps and interior points on a straight run are dropped first
(reversals stay).  The first and the last segment need a length of at least
delta, every inner segment at least 2 * delta.  A short segment k is
lengthened by sliding a perpendicular neighbour parallel to itself: first
segment k+1 along segment k's direction (not if k+1 is the last segment),
else segment k-1 against it (not if k-1 is the first segment).  The segment
beyond the slid one gets shorter or longer by the same amount.  A move is
taken only if each of the three changed segments is clear of the index
(every one tested in full), the path stays axis-parallel, no segment vanishes
or reverses, and a segment that gets shorter stays at or above its own
minimum.  Segments are tried in path order, and the passes repeat until
nothing changes; the result is simplified again.  End points never move, a
single segment (or an L) never changes, delta == 0 changes nothing but the
simplification, and fewer than 2 points come back as they are (shape
(n, 2)).  A clear route stays clear; deterministic.

Raises TypeError or ValueError naming the argument for coordinates that are
not finite numbers, a point that is not 2 numbers, a negative or non-finite
delta, or an index that is neither None nor has a callable blocked.)doc";

nb::object extend_short_segments_py(nb::handle points, nb::handle delta, nb::handle index) {
    const Path pts = to_path(points, "points");
    const double d = to_length(delta, "delta");

    PyObstacleIndex* native = nullptr;
    SegmentBlocked blocked;  // empty: nothing blocks
    nb::object method;
    if (index.is_none()) {
    } else if (nb::try_cast<PyObstacleIndex*>(index, native) && native) {
        if (native->index) {
            const ObstacleIndex* idx = native->index.get();
            blocked = [idx](Point p, Point q) { return idx->blocked(p, q); };
        }
    } else {
        if (!nb::hasattr(index, "blocked") || !PyCallable_Check(index.attr("blocked").ptr()))
            raise_type(std::string("index must be an _ObstacleIndex, None or an object with a method "
                                   "blocked(x1, y1, x2, y2), got ") +
                       nb::type_name(index.type()).c_str());
        method = index.attr("blocked");
        blocked = [&method](Point p, Point q) {
            nb::object r = method(p.x, p.y, q.x, q.y);
            const int truth = PyObject_IsTrue(r.ptr());
            if (truth < 0) throw nb::python_error();
            return truth != 0;
        };
    }

    if (pts.size() < 2) return path_to_array(pts);
    // The GIL stays held: the index keeps per-query scratch marks and may be
    // shared with other threads through its Python object.
    return path_to_array(extend_short_segments(pts, d, blocked));
}

}  // namespace

void bind_polish(nb::module_& m) {
    m.def("_extend_short_segments", &extend_short_segments_py, "points"_a.none(), "delta"_a.none(), "index"_a.none(), kExtendDoc);
}

}  // namespace kelvane::py
