// Module kelvane.yokeset: which start port goes with which end port.
//
//   yokeset(port_centers, port_tangents)    ranks of start and end ports across a
//                                           bundle (numpy index arrays)
//   sort_ports_gdsfactory(start, end)       port-object lists reordered so that
//                                           equal positions are joined
//   _port_bbox, _port_angle, _sort_ports_like_kfactory, _sort_port_bank
//                                           the helpers, reached by module-level name
//
// How it is put together:
//  * The ordering rules (quarter turns, box centres, bank keys, side order,
//    target side) come from the core, kelvane/ports.hpp.  This file reads the
//    port objects and assembles the result lists.
//  * Every call between the functions goes through a Seam (seam.hpp): the name
//    is looked up in the module namespace when the call happens; while it holds
//    the module's own function the call stays native, otherwise the
//    replacement is called with the documented arguments (`_port_angle(port)`,
//    `_port_bbox(ports)`, `_sort_port_bank(bank_list)`,
//    `_sort_ports_like_kfactory(ports, side, clockwise=...)`) and its result is
//    used the way the caller would use it (dict key, ==, indexing, list ops).
//  * Port attributes are read exactly where and in the order the rules read
//    them: a group centre reads every center[0], then every center[1]; sorting
//    a group reads every orientation, then bank by bank the first port's
//    orientation and the key coordinates.  Values go through the host's
//    float(); its errors (and AttributeError, IndexError ...) propagate as they
//    are.
//  * yokeset runs on numpy itself (the module's `np`, looked up per call):
//    mean, norm, matrix product and argsort in the input's own dtype, so ties
//    among equal projections come out exactly in numpy's argsort order.  The
//    one exception is the mean of integral float tangents, which is exact and
//    computed here from the buffer (exact_means) instead of by two strided
//    reductions.
#include <nanobind/nanobind.h>

#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

#include "kelvane/ports.hpp"
#include "pyfunc.hpp"
#include "seam.hpp"

namespace nb = nanobind;
namespace kp = kelvane::ports;
using kelvane::py::Seam;

namespace {

// Interned names and constants, made at import and kept for the process.
struct Statics {
    PyObject* center;
    PyObject* orientation;
    PyObject* extend;
    PyObject* reverse;
    PyObject* clockwise_kw;  // ("clockwise",)
    PyObject* axis_kw;       // ("axis",)
    PyObject* dtype_kw;      // ("dtype",)
    PyObject* dtype;
    PyObject* asarray;
    PyObject* shape;
    PyObject* mean;
    PyObject* linalg;
    PyObject* norm;
    PyObject* array;
    PyObject* argsort;
    PyObject* dot;
    PyObject* arange;
    PyObject* small[4];       // the ints 0..3
    PyObject* side_of;        // {0: 0, 1: 1, 2: 2, 3: 3}: ports_by_angle's keys
    PyObject* start_rows;     // (:, 0, :)
    PyObject* end_rows;       // (:, 1, :)
    PyObject* backwards;      // ::-1
    PyObject* eps;            // 1e-12
    PyObject* builtin_min;
    PyObject* builtin_sorted;
    PyObject* empty_tuple;
};
Statics S;

Seam s_np, s_port_bbox, s_port_angle, s_sort_port_bank, s_sort_ports_like_kfactory;

[[noreturn]] void fail() { throw nb::python_error(); }

nb::object own(PyObject* o) {
    if (!o) fail();
    return nb::steal(o);
}

nb::object call1(PyObject* f, PyObject* a) { return own(PyObject_CallOneArg(f, a)); }
nb::object attr(PyObject* o, PyObject* name) { return own(PyObject_GetAttr(o, name)); }

PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) fail();
    return o;
}

// ---- reading port objects -------------------------------------------------

// float(v) with the host's conversion; exact floats and ints without a call.
double as_float(PyObject* v) {
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v);
    if (PyLong_CheckExact(v)) {
        const double d = PyLong_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred()) fail();
        return d;
    }
    PyObject* f = PyNumber_Float(v);
    if (!f) fail();
    const double d = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return d;
}

// float(port.center[axis])
double center_coord(PyObject* port, int axis) {
    nb::object c = own(PyObject_GetAttr(port, S.center));
    PyObject* cp = c.ptr();
    PyObject* item;
    if (PyTuple_CheckExact(cp) && PyTuple_GET_SIZE(cp) > axis)
        item = Py_NewRef(PyTuple_GET_ITEM(cp, axis));
    else if (PyList_CheckExact(cp) && PyList_GET_SIZE(cp) > axis)
        item = Py_NewRef(PyList_GET_ITEM(cp, axis));
    else
        item = PyObject_GetItem(cp, S.small[axis]);
    nb::object held = own(item);
    return as_float(item);
}

// _port_angle of the module itself: round(float(port.orientation) / 90) % 4.
int angle_native(PyObject* port) {
    nb::object o = own(PyObject_GetAttr(port, S.orientation));
    const double deg = as_float(o.ptr());
    const int side = kp::quarter_turn(deg);
    if (side < 0) {
        // round() of a non-finite value: let the host raise its own error
        // (OverflowError for infinities, ValueError for NaN).
        Py_XDECREF(PyLong_FromDouble(deg / 90.0));
        fail();
    }
    return side;
}

// `for p in items: fn(p)`; lists are walked by index with the length checked
// at every step, as the list iterator does.
template <class Fn>
void for_each(PyObject* items, Fn&& fn) {
    if (PyList_CheckExact(items)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
            nb::object p = nb::borrow(PyList_GET_ITEM(items, i));
            fn(p.ptr());
        }
        return;
    }
    nb::object it = own(PyObject_GetIter(items));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object p = nb::steal(raw);
        fn(p.ptr());
    }
    if (PyErr_Occurred()) fail();
}

// ports[0]
nb::object first_of(PyObject* ports) {
    if (PyList_CheckExact(ports) && PyList_GET_SIZE(ports) > 0) return nb::borrow(PyList_GET_ITEM(ports, 0));
    return own(PyObject_GetItem(ports, S.small[0]));
}

// ---- values returned by replaced helpers ---------------------------------

// ports_by_angle[key]: the bucket index, with the dict's own KeyError/TypeError.
int side_index(PyObject* key) {
    nb::object v = own(PyObject_GetItem(S.side_of, key));
    return static_cast<int>(PyLong_AsLong(v.ptr()));
}

// The branch an `== 0 / == 1 / == 2 / else` chain takes for `a`.
int row_of(PyObject* a) {
    for (int k = 0; k < 3; ++k) {
        const int eq = PyObject_RichCompareBool(a, S.small[k], Py_EQ);
        if (eq < 0) fail();
        if (eq) return k;
    }
    return 3;
}

bool truth(PyObject* o) {
    const int t = PyObject_IsTrue(o);
    if (t < 0) fail();
    return t != 0;
}

// ---- _port_angle / _port_bbox through their seams -------------------------

// _port_angle(port) as a bucket index of ports_by_angle.
int angle_bucket(PyObject* port) {
    if (nb::object f = s_port_angle.replacement()) {
        nb::object a = own(PyObject_CallOneArg(f.ptr(), port));
        return side_index(a.ptr());
    }
    return angle_native(port);
}

// _port_angle(port) as the branch of the ==-chain on its value; `value`
// receives the value itself (an int from the module's own helper).
int angle_row(PyObject* port, nb::object* value = nullptr) {
    if (nb::object f = s_port_angle.replacement()) {
        nb::object a = own(PyObject_CallOneArg(f.ptr(), port));
        if (value) *value = a;
        return row_of(a.ptr());
    }
    const int side = angle_native(port);
    if (value) *value = nb::borrow(S.small[side]);
    return side;
}

[[noreturn]] void raise_min_of_empty() {
    Py_XDECREF(PyObject_CallOneArg(S.builtin_min, S.empty_tuple));  // the host's own message
    fail();
}

// _port_bbox of the module itself.
std::pair<double, double> bbox_native(PyObject* ports) {
    std::vector<double> xs, ys;
    for_each(ports, [&](PyObject* p) { xs.push_back(center_coord(p, 0)); });
    for_each(ports, [&](PyObject* p) { ys.push_back(center_coord(p, 1)); });
    if (xs.empty()) raise_min_of_empty();
    const double cx = kp::span_centre(xs.data(), xs.size());
    if (ys.empty()) raise_min_of_empty();
    return {cx, kp::span_centre(ys.data(), ys.size())};
}

// A group centre: native floats, or whatever a replaced _port_bbox returned.
struct Centre {
    double x = 0, y = 0;
    nb::object obj;  // set when replaced
    nb::object as_object() const {
        return obj.is_valid() ? obj : nb::object(nb::make_tuple(x, y));
    }
};

Centre bbox(PyObject* ports) {
    Centre c;
    if (nb::object f = s_port_bbox.replacement()) {
        c.obj = own(PyObject_CallOneArg(f.ptr(), ports));
        return c;
    }
    std::tie(c.x, c.y) = bbox_native(ports);
    return c;
}

// ---- _sort_port_bank ------------------------------------------------------

// items[order[i]] for i in range(len(order)); a list that shrank meanwhile
// raises instead of being read out of bounds.
PyObject* item_at(PyObject* items, size_t i) {
    if (static_cast<Py_ssize_t>(i) >= PyList_GET_SIZE(items)) {
        PyErr_SetString(PyExc_RuntimeError, "port list changed size during sorting");
        fail();
    }
    return PyList_GET_ITEM(items, static_cast<Py_ssize_t>(i));
}


// The order sorted(items, key=...) gives a bank whose first port faces `row`
// (indices into `items`, a list owned here).
std::vector<size_t> bank_order(PyObject* items, int row) {
    const kp::BankKey key = kp::bank_key(row);
    const Py_ssize_t n = PyList_GET_SIZE(items);
    std::vector<double> keys(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object p = nb::borrow(item_at(items, static_cast<size_t>(i)));
        const double c = center_coord(p.ptr(), key.axis);
        keys[static_cast<size_t>(i)] = key.negate ? -c : c;
    }
    std::vector<size_t> order;
    if (!kp::has_nan(keys.data(), keys.size())) {
        kp::stable_order(keys.data(), keys.size(), order);
        return order;
    }
    // NaN keys have no total order, so the result depends on the sort
    // algorithm: let the host's own sort place them.
    nb::list key_list;
    for (double k : keys) key_list.append(k);
    nb::object count = own(PyLong_FromSsize_t(n));
    nb::object idx = call1(reinterpret_cast<PyObject*>(&PyRange_Type), count.ptr());
    nb::object sorted_idx = nb::handle(S.builtin_sorted)(idx, nb::arg("key") = key_list.attr("__getitem__"));
    order.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        order[static_cast<size_t>(i)] = static_cast<size_t>(PyLong_AsSsize_t(PyList_GET_ITEM(sorted_idx.ptr(), i)));
    return order;
}

// _sort_port_bank of the module itself on a bucket owned here (sorted()'s
// copy of the list is not needed: nothing else can see the bucket).
std::vector<size_t> bucket_order(PyObject* bucket) {
    if (PyList_GET_SIZE(bucket) == 0) return {};
    const int row = angle_row(PyList_GET_ITEM(bucket, 0));
    return bank_order(bucket, row);
}

nb::object list_in_order(PyObject* items, const std::vector<size_t>& order) {
    nb::object out = own(PyList_New(static_cast<Py_ssize_t>(order.size())));
    for (size_t i = 0; i < order.size(); ++i)
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(item_at(items, order[i])));
    return out;
}

nb::object sort_port_bank_native(PyObject* ports) {
    if (!truth(ports)) return own(PyList_New(0));
    nb::object first = first_of(ports);
    const int row = angle_row(first.ptr());
    nb::object items = own(PySequence_List(ports));
    return list_in_order(items.ptr(), bank_order(items.ptr(), row));
}

// _sort_port_bank(bucket) inside a group sort: either the order of the
// module's own helper over the bucket, or what a replacement returned.
struct Bank {
    PyObject* bucket = nullptr;
    std::vector<size_t> order;  // when native
    nb::object result;          // when replaced
    nb::object as_list() const { return result.is_valid() ? result : list_in_order(bucket, order); }
};

Bank sort_bank_of(PyObject* bucket) {
    Bank b;
    b.bucket = bucket;
    if (nb::object f = s_sort_port_bank.replacement())
        b.result = own(PyObject_CallOneArg(f.ptr(), bucket));
    else
        b.order = bucket_order(bucket);
    return b;
}

// ---- _sort_ports_like_kfactory --------------------------------------------

// An int small enough for native side arithmetic (bool included: True + 2 == 3).
bool small_int(PyObject* o, long long* v) {
    if (!PyLong_CheckExact(o) && !PyBool_Check(o)) return false;
    int overflow = 0;
    *v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (*v == -1 && PyErr_Occurred()) fail();
    return !overflow && *v > -(1LL << 60) && *v < (1LL << 60);
}

// ports_by_angle[(target_side + delta) % 4] for a target side that is not a small int.
int side_from_object(PyObject* target_side, long delta) {
    nb::object d = own(PyLong_FromLong(delta));
    nb::object sum = own(PyNumber_Add(target_side, d.ptr()));
    nb::object four = own(PyLong_FromLong(4));
    nb::object key = own(PyNumber_Remainder(sum.ptr(), four.ptr()));
    return side_index(key.ptr());
}

// start_ports.extend(part)
void extend(PyObject* list, PyObject* part) {
    if (PyList_CheckExact(part)) {
        if (PyList_SetSlice(list, PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, part) < 0) fail();
        return;
    }
    nb::object r = own(PyObject_CallMethodOneArg(list, S.extend, part));
}

nb::object sort_ports_like_kfactory_native(PyObject* ports, PyObject* target_side, PyObject* clockwise) {
    nb::object buckets[4];
    for (auto& b : buckets) b = own(PyList_New(0));
    for_each(ports, [&](PyObject* p) {
        const int side = angle_bucket(p);
        if (PyList_Append(buckets[side].ptr(), p) < 0) fail();
    });

    long long t = 0;
    const bool native_side = small_int(target_side, &t);
    auto side = [&](long delta) { return native_side ? kp::floor_mod4(t + delta) : side_from_object(target_side, delta); };

    // back bank first, then target-1, target, target+1; listed back bank last
    Bank banks[4];
    banks[3] = sort_bank_of(buckets[side(2)].ptr());
    for (int k = 0; k < 3; ++k) banks[k] = sort_bank_of(buckets[side(k - 1)].ptr());

    nb::object sorted_ports;
    if (!banks[0].result.is_valid() && !banks[1].result.is_valid() && !banks[2].result.is_valid() &&
        !banks[3].result.is_valid()) {
        size_t n = 0;
        for (const Bank& b : banks) n += b.order.size();
        sorted_ports = own(PyList_New(static_cast<Py_ssize_t>(n)));
        Py_ssize_t at = 0;
        for (const Bank& b : banks)
            for (size_t i : b.order)
                PyList_SET_ITEM(sorted_ports.ptr(), at++, Py_NewRef(item_at(b.bucket, i)));
    } else {
        // start_ports = []; start_ports.extend(...) x 3; start_ports + end_ports
        nb::object start_part = own(PyList_New(0));
        for (int k = 0; k < 3; ++k) {
            nb::object part = banks[k].as_list();
            extend(start_part.ptr(), part.ptr());
        }
        nb::object end_part = banks[3].as_list();
        sorted_ports = own(PyNumber_Add(start_part.ptr(), end_part.ptr()));
    }
    if (!truth(clockwise)) {
        if (PyList_CheckExact(sorted_ports.ptr())) {
            if (PyList_Reverse(sorted_ports.ptr()) < 0) fail();
        } else {
            nb::object r = own(PyObject_CallMethodNoArgs(sorted_ports.ptr(), S.reverse));
        }
    }
    return sorted_ports;
}

nb::object sort_ports_like_kfactory(PyObject* ports, PyObject* target_side, bool clockwise) {
    PyObject* cw = clockwise ? Py_True : Py_False;
    if (nb::object f = s_sort_ports_like_kfactory.replacement()) {
        PyObject* args[3] = {ports, target_side, cw};
        return own(PyObject_Vectorcall(f.ptr(), args, 2, S.clockwise_kw));
    }
    return sort_ports_like_kfactory_native(ports, target_side, cw);
}

// ---- the Python-visible functions ----------------------------------------

nb::object py_sort_ports_gdsfactory(nb::handle start_ports, nb::handle end_ports) {
    PyObject* sp = start_ports.ptr();
    PyObject* ep = end_ports.ptr();
    const Py_ssize_t ns = PyObject_Length(sp);
    if (ns < 0) fail();
    const Py_ssize_t ne = PyObject_Length(ep);
    if (ne < 0) fail();
    if (ns != ne) {
        PyErr_SetString(PyExc_ValueError, "start_ports and end_ports must have equal length");
        fail();
    }
    if (ns < 2) return nb::make_tuple(own(PySequence_List(sp)), own(PySequence_List(ep)));

    const Centre start_box = bbox(sp);
    const Centre end_box = bbox(ep);
    const bool native_boxes = !start_box.obj.is_valid() && !end_box.obj.is_valid();
    double vx = 0, vy = 0;
    nb::object vxo, vyo;
    if (native_boxes) {
        vx = start_box.x - end_box.x;
        vy = start_box.y - end_box.y;
    } else {
        nb::object sb = start_box.as_object(), eb = end_box.as_object();
        nb::object sx = own(PyObject_GetItem(sb.ptr(), S.small[0]));
        nb::object ex = own(PyObject_GetItem(eb.ptr(), S.small[0]));
        vxo = own(PyNumber_Subtract(sx.ptr(), ex.ptr()));
        nb::object sy = own(PyObject_GetItem(sb.ptr(), S.small[1]));
        nb::object ey = own(PyObject_GetItem(eb.ptr(), S.small[1]));
        vyo = own(PyNumber_Subtract(sy.ptr(), ey.ptr()));
    }

    nb::object end_angle;
    const int end_row = angle_row(first_of(ep).ptr(), &end_angle);

    int target;
    if (native_boxes) {
        target = kp::start_target_side(end_row, vx, vy);
    } else {
        // the same table, with the comparisons made on the returned values
        auto cmp = [](const nb::object& v, int op) {
            const int r = PyObject_RichCompareBool(v.ptr(), S.small[0], op);
            if (r < 0) fail();
            return r != 0;
        };
        switch (end_row) {
            case 0: target = cmp(vxo, Py_LT) ? 0 : 2; break;
            case 1: target = cmp(vyo, Py_LT) ? 1 : 3; break;
            case 2: target = cmp(vxo, Py_GT) ? 2 : 0; break;
            default: target = cmp(vyo, Py_GT) ? 3 : 1; break;
        }
    }

    nb::object start_sorted = sort_ports_like_kfactory(sp, S.small[target], true);
    nb::object end_sorted = sort_ports_like_kfactory(ep, end_angle.ptr(), false);
    return nb::make_tuple(start_sorted, end_sorted);
}

nb::object py_port_bbox(nb::handle ports) {
    auto [x, y] = bbox_native(ports.ptr());
    return nb::make_tuple(x, y);
}

nb::object py_port_angle(nb::handle port) { return nb::borrow(S.small[angle_native(port.ptr())]); }

nb::object py_sort_ports_like_kfactory(nb::handle ports, nb::handle target_side, nb::handle clockwise) {
    return sort_ports_like_kfactory_native(ports.ptr(), target_side.ptr(), clockwise.ptr());
}

nb::object py_sort_port_bank(nb::handle ports) { return sort_port_bank_native(ports.ptr()); }

// ---- yokeset --------------------------------------------------------------


// np.mean(pt[:, 0, :], axis=0) and np.mean(pt[:, 1, :], axis=0) without
// numpy's strided reductions, for the case whose result is known exactly:
// float64 or float32 tangents whose values are all integers with
// sum(|v|) below 2**53 (float64) or 2**24 (float32).  Such sums are exact in
// any order, with the sign of zero set by the values alone, so they are the
// sums numpy's reduction computes; the mean is then sum / B divided as numpy
// does (in float64; for float32 rounded back to float32 by the array built
// from it).  Anything else returns false and numpy computes the means.
struct ExactMeans {
    double start[2], end[2];
};

bool exact_means(PyObject* pt, ExactMeans& out) {
    Py_buffer view;
    if (PyObject_GetBuffer(pt, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    const char* fmt = view.format ? view.format : "B";
    const bool f64 = fmt[0] == 'd' && fmt[1] == '\0';
    const bool f32 = fmt[0] == 'f' && fmt[1] == '\0';
    if (!(f64 || f32) || view.ndim != 3 || view.shape[1] != 2 || view.shape[2] != 2 || view.shape[0] < 1) return false;
    const double limit = f64 ? 9007199254740992.0 : 16777216.0;
    const Py_ssize_t b = view.shape[0];
    const char* base = static_cast<const char*>(view.buf);
    double* sums[2] = {out.start, out.end};
    for (int end = 0; end < 2; ++end) {
        for (int axis = 0; axis < 2; ++axis) {
            const char* at = base + end * view.strides[1] + axis * view.strides[2];
            double sum = 0, total = 0;
            for (Py_ssize_t i = 0; i < b; ++i, at += view.strides[0]) {
                double v;
                if (f64) {
                    std::memcpy(&v, at, sizeof v);
                } else {
                    float f;
                    std::memcpy(&f, at, sizeof f);
                    v = f;
                }
                const double mag = std::fabs(v);
                if (!(mag < limit)) return false;  // also rejects inf and NaN
                if (static_cast<double>(static_cast<long long>(v)) != v) return false;  // not integral
                total += mag;
                if (!(total < limit)) return false;
                sum = i == 0 ? v : sum + v;
            }
            sums[end][axis] = sum / static_cast<double>(b);
        }
    }
    return true;
}

// avg / (np.linalg.norm(avg) + 1e-12)
nb::object normalised(PyObject* np, PyObject* avg) {
    nb::object linalg = attr(np, S.linalg);
    nb::object norm = attr(linalg.ptr(), S.norm);
    nb::object len = call1(norm.ptr(), avg);
    nb::object den = own(PyNumber_Add(len.ptr(), S.eps));
    return own(PyNumber_TrueDivide(avg, den.ptr()));
}

// np.mean(tangents, axis=0), normalised
nb::object mean_direction(PyObject* np, PyObject* tangents) {
    nb::object mean = attr(np, S.mean);
    PyObject* args[2] = {tangents, S.small[0]};
    nb::object v = own(PyObject_Vectorcall(mean.ptr(), args, 1, S.axis_kw));
    return normalised(np, v.ptr());
}

// The exactly known mean as the array np.mean would return, normalised.
nb::object known_direction(PyObject* np, const double m[2], PyObject* dtype) {
    nb::object values = nb::make_tuple(m[0], m[1]);
    nb::object list = own(PySequence_List(values.ptr()));
    nb::object array = attr(np, S.array);
    PyObject* args[2] = {list.ptr(), dtype};
    nb::object v = own(PyObject_Vectorcall(array.ptr(), args, 1, S.dtype_kw));
    return normalised(np, v.ptr());
}

nb::object py_yokeset(nb::handle port_centers, nb::handle port_tangents) {
    nb::object npm = s_np.current();
    PyObject* np = npm.ptr();
    nb::object pc = call1(attr(np, S.asarray).ptr(), port_centers.ptr());
    nb::object pt = call1(attr(np, S.asarray).ptr(), port_tangents.ptr());
    nb::object shape = attr(pc.ptr(), S.shape);
    nb::object b = own(PyObject_GetItem(shape.ptr(), S.small[0]));
    const int small = PyObject_RichCompareBool(b.ptr(), S.small[1], Py_LE);
    if (small < 0) fail();
    if (small) {
        nb::object first = call1(attr(np, S.arange).ptr(), b.ptr());
        nb::object second = call1(attr(np, S.arange).ptr(), b.ptr());
        return nb::make_tuple(first, second);
    }
    nb::object sp = own(PyObject_GetItem(pc.ptr(), S.start_rows));
    nb::object ep = own(PyObject_GetItem(pc.ptr(), S.end_rows));
    nb::object s_tan = own(PyObject_GetItem(pt.ptr(), S.start_rows));
    nb::object e_tan = own(PyObject_GetItem(pt.ptr(), S.end_rows));

    nb::object avg_s, avg_e;
    ExactMeans means;
    if (exact_means(pt.ptr(), means)) {
        nb::object dtype = attr(pt.ptr(), S.dtype);
        avg_s = known_direction(np, means.start, dtype.ptr());
        avg_e = known_direction(np, means.end, dtype.ptr());
    } else {
        avg_s = mean_direction(np, s_tan.ptr());
        avg_e = mean_direction(np, e_tan.ptr());
    }

    // perp = np.array([-avg_s[1], avg_s[0]]): the start direction turned +90 degrees
    nb::object s1 = own(PyObject_GetItem(avg_s.ptr(), S.small[1]));
    nb::object neg = own(PyNumber_Negative(s1.ptr()));
    nb::object s0 = own(PyObject_GetItem(avg_s.ptr(), S.small[0]));
    nb::object pair = own(PyList_New(2));
    PyList_SET_ITEM(pair.ptr(), 0, neg.release().ptr());
    PyList_SET_ITEM(pair.ptr(), 1, s0.release().ptr());
    nb::object perp = call1(attr(np, S.array).ptr(), pair.ptr());

    nb::object start_proj = own(PyNumber_MatrixMultiply(sp.ptr(), perp.ptr()));
    nb::object end_proj = own(PyNumber_MatrixMultiply(ep.ptr(), perp.ptr()));
    nb::object start_perm = call1(attr(np, S.argsort).ptr(), start_proj.ptr());

    PyObject* dot_args[2] = {avg_s.ptr(), avg_e.ptr()};
    nb::object dot = attr(np, S.dot);
    nb::object cosine = own(PyObject_Vectorcall(dot.ptr(), dot_args, 2, nullptr));
    const bool same_direction = as_float(cosine.ptr()) > 0.5;

    nb::object end_perm = call1(attr(np, S.argsort).ptr(), end_proj.ptr());
    if (same_direction) end_perm = own(PyObject_GetItem(end_perm.ptr(), S.backwards));
    return nb::make_tuple(start_perm, end_perm);
}

// `from <module> import <name>` with the host's ImportError when the name is missing.
nb::object import_from(const char* module, const char* name) {
    nb::object mod = nb::module_::import_(module);
    PyObject* v = PyObject_GetAttrString(mod.ptr(), name);
    if (!v) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
        fail();
    }
    return nb::steal(v);
}

void init_statics() {
    S.center = intern("center");
    S.orientation = intern("orientation");
    S.extend = intern("extend");
    S.reverse = intern("reverse");
    S.asarray = intern("asarray");
    S.shape = intern("shape");
    S.mean = intern("mean");
    S.linalg = intern("linalg");
    S.norm = intern("norm");
    S.array = intern("array");
    S.argsort = intern("argsort");
    S.dot = intern("dot");
    S.arange = intern("arange");
    S.clockwise_kw = own(PyTuple_Pack(1, intern("clockwise"))).release().ptr();
    S.axis_kw = own(PyTuple_Pack(1, intern("axis"))).release().ptr();
    S.dtype = intern("dtype");
    S.dtype_kw = own(PyTuple_Pack(1, S.dtype)).release().ptr();
    for (int k = 0; k < 4; ++k) S.small[k] = own(PyLong_FromLong(k)).release().ptr();
    S.side_of = own(PyDict_New()).release().ptr();
    for (int k = 0; k < 4; ++k)
        if (PyDict_SetItem(S.side_of, S.small[k], S.small[k]) < 0) fail();
    nb::object all = own(PySlice_New(nullptr, nullptr, nullptr));
    S.start_rows = own(PyTuple_Pack(3, all.ptr(), S.small[0], all.ptr())).release().ptr();
    S.end_rows = own(PyTuple_Pack(3, all.ptr(), S.small[1], all.ptr())).release().ptr();
    nb::object minus_one = own(PyLong_FromLong(-1));
    S.backwards = own(PySlice_New(nullptr, nullptr, minus_one.ptr())).release().ptr();
    S.eps = own(PyFloat_FromDouble(1e-12)).release().ptr();
    nb::object builtins = nb::module_::import_("builtins");
    S.builtin_min = nb::object(builtins.attr("min")).release().ptr();
    S.builtin_sorted = nb::object(builtins.attr("sorted")).release().ptr();
    S.empty_tuple = own(PyTuple_New(0)).release().ptr();
}

}  // namespace

NB_MODULE(yokeset, m) {
    using kelvane::py::def_function;
    m.doc() =
        "Port matching: which start port goes with which end port.\n\n"
        "yokeset ranks the start and end ports of a bundle (numeric arrays) across the bundle;\n"
        "sort_ports_gdsfactory reorders lists of port objects (anything with `center` and\n"
        "`orientation`) so that the i-th start port is joined to the i-th end port.";

    m.attr("Any") = import_from("typing", "Any");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("Array") = import_from("jax", "Array");
    init_statics();

    def_function(m, "yokeset", "(port_centers: 'Array', port_tangents: 'Array') -> 'tuple[np.ndarray, np.ndarray]'",
                 "Rank the start ports and the end ports of a bundle across the bundle.\n\n"
                 "port_centers, port_tangents: array-likes of shape (B, 2, 2); [b, 0] is route b's start,\n"
                 "[b, 1] its end.  Ports are projected on the mean start direction turned +90 degrees;\n"
                 "start ports are ranked by ascending projection, end ports by ascending projection, or\n"
                 "descending when the mean end direction is within 60 degrees of the mean start\n"
                 "direction.  Returns (start_perm, end_perm), numpy index arrays: start_perm[k] and\n"
                 "end_perm[k] are the rows to join.  Ties keep numpy's argsort order.",
                 nb::cpp_function(&py_yokeset, nb::name("yokeset"), nb::arg("port_centers"),
                                  nb::arg("port_tangents")));
    def_function(m, "sort_ports_gdsfactory",
                 "(start_ports: 'list[Any]', end_ports: 'list[Any]') -> 'tuple[list[Any], list[Any]]'",
                 "Reorder start and end port objects so that the i-th start port joins the i-th end port.\n\n"
                 "Returns (start, end) as new lists of the given ports.  The start group is listed from\n"
                 "its side facing the end group, the end group from the side its first port faces, in\n"
                 "opposite senses.  Raises ValueError when the lists differ in length.",
                 nb::cpp_function(&py_sort_ports_gdsfactory, nb::name("sort_ports_gdsfactory"),
                                  nb::arg("start_ports"), nb::arg("end_ports")));
    def_function(m, "_port_bbox", "(ports: 'list[Any]') -> 'tuple[float, float]'",
                 "Centre (x, y) of the bounding box of the ports' centres, as floats.",
                 nb::cpp_function(&py_port_bbox, nb::name("_port_bbox"), nb::arg("ports")));
    def_function(m, "_port_angle", "(port: 'Any') -> 'int'",
                 "Side a port faces as a quarter turn 0..3 (+x, +y, -x, -y):\n"
                 "round(float(port.orientation) / 90) % 4, ties to even.",
                 nb::cpp_function(&py_port_angle, nb::name("_port_angle"), nb::arg("port")));
    def_function(m, "_sort_ports_like_kfactory",
                 "(ports: 'list[Any]', target_side: 'int', *, clockwise: 'bool') -> 'list[Any]'",
                 "List a group of ports bank by bank: sides target-1, target, target+1, then the\n"
                 "back side, each bank ordered by _sort_port_bank.  With clockwise false the whole\n"
                 "list is reversed.",
                 nb::cpp_function(&py_sort_ports_like_kfactory, nb::name("_sort_ports_like_kfactory"),
                                  nb::arg("ports"), nb::arg("target_side"), nb::kw_only(), nb::arg("clockwise")));
    def_function(m, "_sort_port_bank", "(ports: 'list[Any]') -> 'list[Any]'",
                 "Stable order of ports facing one side, chosen by the first port's facing: +x by\n"
                 "ascending y, +y by descending x, -x by descending y, -y by ascending x.",
                 nb::cpp_function(&py_sort_port_bank, nb::name("_sort_port_bank"), nb::arg("ports")));

    s_np.bind(m, "np");
    s_port_bbox.bind(m, "_port_bbox");
    s_port_angle.bind(m, "_port_angle");
    s_sort_port_bank.bind(m, "_sort_port_bank");
    s_sort_ports_like_kfactory.bind(m, "_sort_ports_like_kfactory");
}
