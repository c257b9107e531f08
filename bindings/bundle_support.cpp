// Host-level helpers of the bundle module's native roads: obstacle bounds and
// filters on host values, projections across a bundle, the lane searches.
#include <nanobind/ndarray.h>

#include <cmath>
#include <cstring>
#include <string>

#include "bundle_support.hpp"
#include "graph_types.hpp"

namespace kelvane::py {

using namespace nb::literals;

BundleOwn& bundle_own() {
    // Never destroyed: its references must not be released after the
    // interpreter has finalised.
    static BundleOwn* own = new BundleOwn;
    return *own;
}

// ------------------------------------------------------- host-level helpers

namespace {

bool compare(nb::handle a, nb::handle b, int op) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

}  // namespace

bool less(nb::handle a, nb::handle b) { return compare(a, b, Py_LT); }
bool greater(nb::handle a, nb::handle b) { return compare(a, b, Py_GT); }
nb::object py_add(nb::handle a, nb::handle b) { return own(PyNumber_Add(a.ptr(), b.ptr())); }
nb::object py_sub(nb::handle a, nb::handle b) { return own(PyNumber_Subtract(a.ptr(), b.ptr())); }
nb::object py_mul(nb::handle a, nb::handle b) { return own(PyNumber_Multiply(a.ptr(), b.ptr())); }

nb::object np_asarray(nb::handle value, bool as_float) {
    nb::handle np = bundle_own().np;
    if (as_float) return np.attr("asarray")(value, "dtype"_a = nb::borrow(reinterpret_cast<PyObject*>(&PyFloat_Type)));
    return np.attr("asarray")(value);
}

nb::object index_list(const std::vector<size_t>& idx) {
    nb::list values;
    for (size_t i : idx) values.append(i);
    nb::handle np = bundle_own().np;
    return own(PySequence_List(np.attr("array")(values, "dtype"_a = np.attr("intp")).ptr()));
}

bool is_obstacle_record(nb::handle o) {
    const int r = PyObject_IsInstance(o.ptr(), bundle_own().obstacle.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

std::array<nb::object, 4> raw_bounds(nb::handle o) {
    if (is_obstacle_record(o)) return {o.attr("x_min"), o.attr("y_min"), o.attr("x_max"), o.attr("y_max")};
    return {item_of(o, 0), item_of(o, 1), item_of(o, 2), item_of(o, 3)};
}

nb::list filter_to_window(nb::handle obs, nb::handle x0, nb::handle y0, nb::handle x1, nb::handle y1) {
    nb::list out;
    nb::object it = own(PyObject_GetIter(obs.ptr()));
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object o = nb::steal(item);
        const auto b = raw_bounds(o);
        if (less(b[2], x0) || greater(b[0], x1) || less(b[3], y0) || greater(b[1], y1)) continue;
        out.append(o);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

const ObstacleIndex* native_obstacle_index(nb::handle obj) {
    PyObstacleIndex* idx = nullptr;
    if (!nb::try_cast<PyObstacleIndex*>(obj, idx, false) || !idx) return nullptr;
    return idx->index.get();
}

bool hits_real_obstacle(nb::handle skel, nb::handle full_idx) {
    if (skel.is_none()) return false;
    const Py_ssize_t n = PyObject_Length(skel.ptr());
    if (n < 0) throw nb::python_error();
    if (n < 2) return false;
    // A float64 array against the graph module's own index: the same
    // queries, answered in the core.
    if (const ObstacleIndex* index = native_obstacle_index(full_idx)) {
        nb::ndarray<const double, nb::ndim<2>, nb::device::cpu> view;
        if (nb::try_cast(skel, view, false) && view.shape(1) >= 2) {
            auto v = view.view();
            for (size_t i = 0; i + 1 < view.shape(0); ++i)
                if (index->blocked({v(i, 0), v(i, 1)}, {v(i + 1, 0), v(i + 1, 1)})) return true;
            return false;
        }
    }
    auto at = [&](Py_ssize_t i, long j) { return own(PyObject_GetItem(skel.ptr(), nb::make_tuple(i, j).ptr())); };
    for (Py_ssize_t i = 0; i + 1 < n; ++i) {
        nb::object r = full_idx.attr("blocked")(at(i, 0), at(i, 1), at(i + 1, 0), at(i + 1, 1));
        if (truth(r)) return true;
    }
    return false;
}

// ------------------------------------------------------------- bundle ports

PortRows read_port_rows(nb::handle sp, nb::handle ep, nb::handle st, nb::handle et) {
    PortRows rows;
    bool ignored = true;
    rows.ports.starts = to_point_rows(sp, "start_positions", rows.exact);
    rows.ports.ends = to_point_rows(ep, "end_positions", ignored);
    rows.ports.start_tangents = to_point_rows(st, "start_tangents", rows.exact);
    rows.ports.end_tangents = to_point_rows(et, "end_tangents", ignored);
    return rows;
}

namespace {

// The projections as numpy computes them: (sp @ perp, np.argsort of it).
std::pair<nb::object, nb::object> numpy_projection(nb::handle positions, nb::handle tangents) {
    nb::handle np = bundle_own().np;
    nb::object pos = np.attr("asarray")(positions);
    nb::object avg = np.attr("mean")(np.attr("asarray")(tangents), "axis"_a = 0);
    avg = own(PyNumber_TrueDivide(avg.ptr(), py_add(np.attr("linalg").attr("norm")(avg), nb::float_(1e-12)).ptr()));
    nb::list axis;
    axis.append(own(PyNumber_Negative(item_of(avg, 1).ptr())));
    axis.append(item_of(avg, 0));
    nb::object proj = own(PyNumber_MatrixMultiply(pos.ptr(), np.attr("array")(axis).ptr()));
    return {proj, np.attr("argsort")(proj)};
}

}  // namespace

Projection project_starts(nb::handle positions, nb::handle tangents, const std::vector<Point>& sp,
                          const std::vector<Point>& st, bool exact) {
    if (exact) {
        Projection p;
        p.values = kb::project(sp, kb::across(kb::mean_direction(st)));
        p.ranking = kb::stable_ranking(p.values);
        double scale = 1.0;
        for (const Point& q : sp) scale = std::max(scale, std::fabs(q.x) + std::fabs(q.y));
        if (!kb::ranking_has_near_ties(p.values, p.ranking, 1e-9 * scale)) return p;
    }
    auto [proj, order] = numpy_projection(positions, tangents);
    Projection p;
    nb::object values = tuple_of(proj.attr("tolist")(), "projections");
    nb::object ranks = tuple_of(order.attr("tolist")(), "argsort");
    for (size_t i = 0; i < nb::len(values); ++i) p.values.push_back(to_double(values[i], "projection"));
    for (size_t i = 0; i < nb::len(ranks); ++i) p.ranking.push_back(nb::cast<size_t>(ranks[i]));
    return p;
}


void require_routes(size_t count) {
    if (count == 0) throw nb::index_error("start_positions has no rows: a bundle needs at least one route");
}

BundleOrder bundle_order(nb::handle routing_order, size_t count, const std::function<Projection()>& project) {
    auto is = [&](const char* name) {
        const int r = PyObject_RichCompareBool(routing_order.ptr(), nb::str(name).ptr(), Py_EQ);
        if (r < 0) throw nb::python_error();
        return r != 0;
    };
    if (count == 1) return {{0}, false};
    if (is("given")) return {kb::lane_order({}, count, kb::OrderRule::Given), false};
    if (is("reverse")) return {kb::lane_order({}, count, kb::OrderRule::Reverse), false};
    const Projection proj = project();
    if (is("outside-in")) return {kb::lane_order(proj.ranking, count, kb::OrderRule::OutsideIn), true};
    if (is("center-out")) return {kb::lane_order(proj.ranking, count, kb::OrderRule::CenterOut), true};
    nb::object text = own(PyObject_Format(routing_order.ptr(), nb::str("").ptr()));
    raise_value("Unknown routing_order: " + nb::cast<std::string>(text));
}

nb::object order_list(const BundleOrder& order) {
    if (order.index_scalars) return index_list(order.order);
    nb::list out;
    for (size_t i : order.order) out.append(i);
    return out;
}

Point float32_point(nb::handle value, const char* what) {
    const Point p = kb::round_to_float32(to_point(value, what));
    // What the search reports for a value float32 cannot hold.
    const std::string w(what);
    if (!std::isfinite(p.x)) raise_value(w + "[0] must be finite, got " + std::to_string(p.x));
    if (!std::isfinite(p.y)) raise_value(w + "[1] must be finite, got " + std::to_string(p.y));
    return p;
}

void check_lane_request(const RouteRequest& req, Point start_tangent, Point end_tangent) {
    for (auto [p, what] : {std::pair{req.start, "start"}, std::pair{req.end, "end"}}) {
        if (!std::isfinite(p.x)) raise_value(std::string(what) + "[0] must be finite, got " + std::to_string(p.x));
        if (!std::isfinite(p.y)) raise_value(std::string(what) + "[1] must be finite, got " + std::to_string(p.y));
    }
    to_direction(kb::round_to_float32(start_tangent), "start_tangent");
    to_direction(kb::round_to_float32(end_tangent), "end_tangent");
    check_route_request(req);
}

// --------------------------------------------------------------- searches

namespace {

nb::handle keyword(const SearchCall& call, const char* name, nb::handle fallback) {
    for (const auto& [k, v] : call.keywords)
        if (std::strcmp(k, name) == 0) return v;
    return fallback;
}

// The request a call with these arguments makes of the own router.
RouteRequest native_request(const SearchCall& call) {
    nb::object center = nb::str("center"), half = nb::float_(0.5), three = nb::float_(3.0), none = nb::none(),
               empty = nb::tuple();
    RouteRequest req;
    req.grid = to_grid(keyword(call, "dbu", none));
    req.start = float32_point(call.start, "start");
    req.end = float32_point(call.end, "end");
    req.start_dir = to_direction(float32_point(call.start_tangent, "start_tangent"), "start_tangent");
    req.end_dir = to_direction(float32_point(call.end_tangent, "end_tangent"), "end_tangent");
    read_route_options(req, call.delta, call.obstacles, keyword(call, "turn_bias", center),
                       keyword(call, "sliding_bias", half), keyword(call, "real_obstacles", none),
                       keyword(call, "route_skeletons", none), keyword(call, "route_spacing", three),
                       keyword(call, "route_pivots", empty), keyword(call, "bend_delta", none));
    return req;
}

}  // namespace

bool is_own_waypoint_router(nb::handle f) {
    // A function of the waypoints module's embedded body (module_body.hpp
    // names its code after the module); a replacement is compiled elsewhere.
    if (!PyFunction_Check(f.ptr())) return false;
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(f.ptr()));
    return PyUnicode_CompareWithASCIIString(code->co_filename, "<kelvane.manhattan_router.waypoints>") == 0 &&
           PyUnicode_CompareWithASCIIString(code->co_name, "route_waypoints_v2") == 0;
}

nb::tuple search_rail_bridge(const SearchCall& call) {
    RouteRequest req = native_request(call);
    check_route_request(req);
    RouteResult res;
    {
        nb::gil_scoped_release release;
        res = route_rail_bridge(req);
    }
    return nb::make_tuple(path_to_array(res.skeleton), info_dict(res.info));
}

}  // namespace kelvane::py
