#include "railbridge/zones.hpp"

#include "kelvane/box_union.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <tuple>
#include <utility>

namespace kelvane::rail {

// ------------------------------------------------------------------ scores

RouteScore& RouteScore::operator+=(const RouteScore& o) {
    hard += o.hard;
    contacts += o.contacts;
    bends += o.bends;
    soft += o.soft;
    cost += o.cost;
    return *this;
}

bool RouteScore::operator<(const RouteScore& o) const {
    return std::tie(hard, contacts, bends, soft, cost) < std::tie(o.hard, o.contacts, o.bends, o.soft, o.cost);
}

RouteScore score_of(const RouteInfo& info, double cost) {
    RouteScore s;
    s.hard = info.obstacle_overlap + info.keep_out_overlap + info.arc_obstacle;
    s.contacts = info.pivot_contacts + info.self_contacts;
    s.bends = info.bends_ok ? 0.0 : 1.0;
    s.soft = info.clearance_overlap + info.spacing_overlap + info.arc_clearance;
    s.cost = cost;
    return s;
}

// -------------------------------------------------------------------- arcs

namespace {

// Does the quarter arc {o + rho * (sx cos t, sy sin t) : t in [0, pi/2]}
// pass through the open rectangle (x0, x1) x (y0, y1)?  Along the arc x and
// y are monotone, so over the x-range it shares with the rectangle its y
// values form one interval.
bool arc_through_open_rect(Point o, double sx, double sy, double rho, double x0, double y0, double x1, double y1) {
    if (!(x0 < x1) || !(y0 < y1)) return false;
    const double ax0 = std::min(o.x, o.x + sx * rho), ax1 = std::max(o.x, o.x + sx * rho);
    const double lo = std::max(ax0, x0), hi = std::min(ax1, x1);
    if (!(lo < hi)) return false;
    auto y_at = [&](double x) {
        const double dx = x - o.x;
        return o.y + sy * std::sqrt(std::max(0.0, rho * rho - dx * dx));
    };
    const double ya = y_at(lo), yb = y_at(hi);
    return std::max(std::min(ya, yb), y0) < std::min(std::max(ya, yb), y1);
}

// Distance from point q to the quarter arc.
double arc_distance(Point o, double sx, double sy, double rho, Point q) {
    const double dx = q.x - o.x, dy = q.y - o.y;
    if (dx * sx >= 0 && dy * sy >= 0) return std::fabs(std::sqrt(dx * dx + dy * dy) - rho);
    const double ax = q.x - (o.x + sx * rho), ay = q.y - o.y, bx = q.x - o.x, by = q.y - (o.y + sy * rho);
    return std::sqrt(std::min(ax * ax + ay * ay, bx * bx + by * by));
}

}  // namespace

bool arc_meets(Point at, int d, int nd, double rho, const Box& b, double margin) {
    if (rho <= 0) return false;
    const Point o{at.x - rho * dir_dx(d) + rho * dir_dx(nd), at.y - rho * dir_dy(d) + rho * dir_dy(nd)};
    // Every arc point lies at distance rho from o, and a point within
    // `margin` of the box lies within (near - margin, far + margin) of o:
    // boxes wholly inside or outside that ring are passed without the arc
    // geometry (most boxes near a large bend are).
    const double gx = std::max({b.x0 - o.x, 0.0, o.x - b.x1}), gy = std::max({b.y0 - o.y, 0.0, o.y - b.y1});
    const double fx = std::max(std::fabs(b.x0 - o.x), std::fabs(b.x1 - o.x));
    const double fy = std::max(std::fabs(b.y0 - o.y), std::fabs(b.y1 - o.y));
    const double reach = std::max(margin, 0.0);
    if (gx * gx + gy * gy >= (rho + reach) * (rho + reach)) return false;
    if (rho > reach && fx * fx + fy * fy <= (rho - reach) * (rho - reach)) return false;
    const double sx = at.x > o.x ? 1.0 : -1.0, sy = at.y > o.y ? 1.0 : -1.0;
    const double tol = 1e-9 * (1.0 + std::fabs(at.x) + std::fabs(at.y) + rho);
    if (margin <= 0)
        return arc_through_open_rect(o, sx, sy, rho, b.x0 + tol, b.y0 + tol, b.x1 - tol, b.y1 - tol);
    const double m = margin - tol;  // the open neighbourhood: the box grown by m with round corners
    if (arc_through_open_rect(o, sx, sy, rho, b.x0 - m, b.y0, b.x1 + m, b.y1)) return true;
    if (arc_through_open_rect(o, sx, sy, rho, b.x0, b.y0 - m, b.x1, b.y1 + m)) return true;
    for (Point c : {Point{b.x0, b.y0}, Point{b.x1, b.y0}, Point{b.x0, b.y1}, Point{b.x1, b.y1}})
        if (arc_distance(o, sx, sy, rho, c) < m) return true;
    return false;
}

// ------------------------------------------------------------------- bands

namespace {

void add_band(Point a, Point b, double hw, double ext_a, double ext_b, std::vector<Box>* out) {
    if (std::fabs(a.y - b.y) <= std::fabs(a.x - b.x)) {
        const double lo = a.x <= b.x ? a.x - ext_a : b.x - ext_b, hi = a.x <= b.x ? b.x + ext_b : a.x + ext_a;
        out->push_back({lo, a.y - hw, hi, a.y + hw});
    } else {
        const double lo = a.y <= b.y ? a.y - ext_a : b.y - ext_b, hi = a.y <= b.y ? b.y + ext_b : a.y + ext_a;
        out->push_back({a.x - hw, lo, a.x + hw, hi});
    }
}

}  // namespace

// Spacing band around each segment of an earlier route: half-width
// `spacing`, reaching its own half-width past inner corners and past both
// ends (a route may not run over an earlier route's end).  Next to the
// earlier route's ports the band narrows to 80 % of the distance between
// that port segment and this route's own port, over the stretch a route
// needs to leave its port and jog out to full spacing (2r + spacing), so
// neighbouring ports of a bundle closer than the spacing can still be left
// cleanly.
void add_spacing_bands(const Path& pivot, double spacing, double bend_radius, Point own_start, Point own_end,
                       std::vector<Box>* out) {
    const Path p = simplify_path(pivot);
    if (p.size() < 2 || spacing <= 0) return;
    const size_t n = p.size() - 1;
    const double stretch = 2.0 * bend_radius + spacing;
    for (size_t k = 0; k < n; ++k) {
        Point a = p[k], b = p[k + 1];
        const bool horizontal = std::fabs(a.y - b.y) <= std::fabs(a.x - b.x);
        auto narrow_hw = [&](Point own) {
            const double dist = horizontal ? std::fabs(own.y - a.y) : std::fabs(own.x - a.x);
            return dist > 1e-9 ? std::min(spacing, 0.8 * dist) : spacing;
        };
        double ext_a = spacing, ext_b = spacing;
        // Narrowed stretches at a port end of the earlier route.
        if (k == 0) {
            const double hw = narrow_hw(own_start);
            if (hw < spacing) {
                const double t = std::min(1.0, stretch / manhattan(a, b));
                const Point m{a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t};
                add_band(a, m, hw, hw, t >= 1.0 && n == 1 ? hw : 0.0, out);
                a = m;
                ext_a = 0.0;
                if (t >= 1.0) continue;
            }
        }
        if (k + 1 == n) {
            const double hw = narrow_hw(own_end);
            if (hw < spacing) {
                const double t = std::min(1.0, stretch / manhattan(a, b));
                const Point m{b.x + (a.x - b.x) * t, b.y + (a.y - b.y) * t};
                add_band(m, b, hw, 0.0, hw, out);
                b = m;
                ext_b = 0.0;
                if (t >= 1.0) continue;
            }
        }
        add_band(a, b, spacing, ext_a, ext_b, out);
    }
}

void add_crossable_stretches(const Path& pivot, double spacing, double clearance, double port_clearance,
                             std::vector<Box>* out) {
    const Path p = simplify_path(pivot);
    if (p.size() < 2 || spacing <= 0) return;
    const size_t n = p.size() - 1;
    for (size_t k = 0; k < n; ++k) {
        const Point a = p[k], b = p[k + 1];
        const bool horizontal = std::fabs(a.y - b.y) <= std::fabs(a.x - b.x);
        const bool a_low = horizontal ? a.x <= b.x : a.y <= b.y;
        // Clearance from the end at the low and the high coordinate.
        const double from_a = k == 0 ? port_clearance : clearance, from_b = k + 1 == n ? port_clearance : clearance;
        const double lo = (horizontal ? std::min(a.x, b.x) : std::min(a.y, b.y)) + (a_low ? from_a : from_b);
        const double hi = (horizontal ? std::max(a.x, b.x) : std::max(a.y, b.y)) - (a_low ? from_b : from_a);
        if (!(hi > lo)) continue;
        out->push_back(horizontal ? Box{lo, a.y - spacing, hi, a.y + spacing} : Box{a.x - spacing, lo, a.x + spacing, hi});
    }
}

// ----------------------------------------------------------------- zone set

namespace {

// Is `b` a box laid along a segment of one of the routes (centred on it,
// covering it)?  Such a keep-out stands for an earlier route, whose own arcs
// cut its corners: arcs keep their distance from that route through its
// spacing band, not from the box's square corners.
bool laid_along(const Box& b, const std::vector<Path>& routes, double eps) {
    for (const Path& p : routes)
        for (size_t k = 1; k < p.size(); ++k) {
            const Point u = p[k - 1], v = p[k];
            if (u.y == v.y) {
                if (std::fabs(0.5 * (b.y0 + b.y1) - u.y) <= eps && b.x0 <= std::min(u.x, v.x) + eps &&
                    b.x1 >= std::max(u.x, v.x) - eps)
                    return true;
            } else if (u.x == v.x) {
                if (std::fabs(0.5 * (b.x0 + b.x1) - u.x) <= eps && b.y0 <= std::min(u.y, v.y) + eps &&
                    b.y1 >= std::max(u.y, v.y) - eps)
                    return true;
            }
        }
    return false;
}

double total_area(const std::vector<Box>& boxes) {
    double a = 0.0;
    for (const Box& b : boxes) a += (b.x1 - b.x0) * (b.y1 - b.y0);
    return a;
}
double bounding_area(const std::vector<Box>& boxes) {
    if (boxes.empty()) return 0.0;
    Box all = boxes[0];
    for (const Box& b : boxes) {
        all.x0 = std::min(all.x0, b.x0); all.y0 = std::min(all.y0, b.y0);
        all.x1 = std::max(all.x1, b.x1); all.y1 = std::max(all.y1, b.y1);
    }
    return (all.x1 - all.x0) * (all.y1 - all.y0);
}

// `b` less the open interior of `c`, in at most four boxes, appended to *out.
void subtract_box(const Box& b, const Box& c, std::vector<Box>* out) {
    if (!(c.x0 < b.x1 && b.x0 < c.x1 && c.y0 < b.y1 && b.y0 < c.y1)) {
        out->push_back(b);
        return;
    }
    if (b.x0 < c.x0) out->push_back({b.x0, b.y0, c.x0, b.y1});
    if (c.x1 < b.x1) out->push_back({c.x1, b.y0, b.x1, b.y1});
    const double x0 = std::max(b.x0, c.x0), x1 = std::min(b.x1, c.x1);
    if (b.y0 < c.y0) out->push_back({x0, b.y0, x1, c.y0});
    if (c.y1 < b.y1) out->push_back({x0, c.y1, x1, b.y1});
}

}  // namespace

ZoneSet::ZoneSet(const RouteRequest& req, double eps, const Box* region)
    : req_(req), eps_(eps), r_(req.bend_radius), rp_(req.port_radius >= 0 ? req.port_radius : req.bend_radius) {
    const double margin = clearance(req);
    if (region) {
        region_ = *region;
        bounded_ = true;
    }
    auto inside = [&](const Box& b) {
        return !bounded_ || (b.x1 >= region_.x0 && b.x0 <= region_.x1 && b.y1 >= region_.y0 && b.y0 <= region_.y1);
    };
    std::vector<const Box*> kept;  // the obstacles taken, for the duplicate test below
    std::vector<Box> merged;       // obstacles with their clearance, merged where they overlap
    for (const Box& b : req.obstacles) {
        const Box g = b.inflated(margin);
        if (!inside(g)) continue;
        kept.push_back(&b);
        // An obstacle holding one of our own ports in its margin keeps only its interior.
        const bool waived = g.contains_closed(req.own_start(), eps) || g.contains_closed(req.own_end(), eps);
        if (margin > 0 && waived) zones_.push_back({b, ZoneKind::Obstacle, true, 0.0});
        else merged.push_back(b);
    }
    // A heap of overlapping obstacles is one obstacle: when their union takes
    // less than half as many pieces, the pieces are the zones, so that the
    // heap gives the lines of its outline rather than of every box in it.
    // (Elsewhere the boxes stay: pieces would add lines along their seams.)
    // Only boxes whose areas add up to more than the box round them all are
    // taken for a heap; sparse fields skip the sweep.
    std::vector<Box> pieces;
    if (total_area(merged) > bounding_area(merged)) pieces = union_pieces(merged);
    if (pieces.empty() || 2 * pieces.size() >= merged.size()) pieces = std::move(merged);
    for (const Box& b : pieces) {
        if (margin > 0) {
            // A clearance zone is always followed by its obstacle (inner_obstacle).
            zones_.push_back({b.inflated(margin), ZoneKind::Clearance, true});
            zones_.push_back({b, ZoneKind::Obstacle, false, margin});
        } else {
            zones_.push_back({b, ZoneKind::Obstacle, true, 0.0});
        }
    }
    // An exact obstacle that is also an obstacle (a caller passing one list
    // both ways) is already a zone.
    auto key = [](const Box& b) { return std::make_tuple(b.x0, b.y0, b.x1, b.y1); };
    std::set<std::tuple<double, double, double, double>> cleared;
    if (!req.exact_obstacles.empty())
        for (const Box* b : kept) cleared.insert(key(*b));
    for (const Box& b : req.exact_obstacles)
        if (inside(b) && !cleared.count(key(b))) zones_.push_back({b, ZoneKind::Obstacle, true, 0.0});
    // Bands (with their pivot's weight) and, with a crossing cost, the
    // stretches where a pivot may be crossed, cut out of its bands.
    std::vector<Box> bands, crossable, cut;
    std::vector<double> band_weight;
    std::vector<std::pair<Box, double>> crossings;
    const bool crossing = req.crossing_cost >= 0;
    // Our own port runs as far as a crossing keeps from a port: 2r + spacing
    // ahead of the start and behind the end, as wide as a band.
    std::vector<Box> own_stubs;
    if (crossing) {
        const double reach = 2.0 * req.bend_radius + req.route_spacing, s = req.route_spacing;
        auto stub = [&](Point port, int d) {
            const Point far{port.x + reach * dir_dx(d), port.y + reach * dir_dy(d)};
            const double sx = is_horizontal(d) ? 0.0 : s, sy = is_horizontal(d) ? s : 0.0;
            own_stubs.push_back(Box{std::min(port.x, far.x) - sx, std::min(port.y, far.y) - sy,
                                    std::max(port.x, far.x) + sx, std::max(port.y, far.y) + sy});
        };
        if (!req.is_piece || req.start == req.route_start) stub(req.start, req.start_dir);
        if (!req.is_piece || req.end == req.route_end) stub(req.end, (req.end_dir + 2) & 3);
    }
    for (size_t k = 0; k < req.pivots.size(); ++k) {
        const Path& pv = req.pivots[k];
        const double w = k < req.pivot_weights.size() ? req.pivot_weights[k] : 1.0;
        const size_t first = bands.size();
        add_spacing_bands(pv, req.route_spacing, req.bend_radius, req.own_start(), req.own_end(), &bands);
        crossable.clear();
        if (crossing) {
            add_crossable_stretches(pv, req.route_spacing, req.crossing_clearance(),
                                    2.0 * req.bend_radius + req.route_spacing, &crossable);
            // Nor is a pivot crossed next to our own ports.
            for (const Box& stub : own_stubs) {
                cut.clear();
                for (const Box& c : crossable) subtract_box(c, stub, &cut);
                crossable.swap(cut);
            }
        }
        if (!crossable.empty()) {
            std::vector<Box> own(bands.begin() + static_cast<std::ptrdiff_t>(first), bands.end());
            bands.resize(first);
            for (const Box& b : own) {
                std::vector<Box> pieces{b};
                for (const Box& c : crossable) {
                    cut.clear();
                    for (const Box& piece : pieces) subtract_box(piece, c, &cut);
                    pieces.swap(cut);
                }
                bands.insert(bands.end(), pieces.begin(), pieces.end());
            }
            for (const Box& c : crossable) crossings.push_back({c, w});
        }
        band_weight.resize(bands.size(), w);
        Path s = simplify_path(pv);
        if (s.size() >= 2) {
            pivots_.push_back(std::move(s));
            if (crossing) crossable_.push_back(crossable);
        }
    }
    for (const Box& b : req.keep_outs)
        if (inside(b)) zones_.push_back({b, ZoneKind::KeepOut, true, laid_along(b, pivots_, eps) ? -1.0 : 0.0});
    // Bands are boxes round the earlier routes' corner points, not round
    // their arcs: arcs are kept from obstacles and keep-outs only.
    for (size_t k = 0; k < bands.size(); ++k)
        if (inside(bands[k])) zones_.push_back({bands[k], ZoneKind::Spacing, true, -1.0, band_weight[k]});
    for (const auto& [b, w] : crossings)
        if (inside(b)) {
            zones_.push_back({b, ZoneKind::Crossing, true, -1.0, w, b.x1 - b.x0 > b.y1 - b.y0});
            has_crossings_ = true;
        }

    std::vector<Box> boxes;
    boxes.reserve(zones_.size());
    for (const Zone& z : zones_) {
        boxes.push_back(z.box);
        max_arc_margin_ = std::max(max_arc_margin_, z.arc_margin);
    }
    index_ = ObstacleIndex(std::move(boxes), req.grid);
}

template <class Keep>
const ZoneSet::Subset& ZoneSet::subset(Subset& s, Keep&& keep) const {
    if (!s.ready) {
        s.ready = true;
        std::vector<Box> boxes;
        for (std::size_t k = 0; k < zones_.size(); ++k)
            if (keep(k)) {
                s.zones.push_back(static_cast<std::uint32_t>(k));
                boxes.push_back(zones_[k].box);
            }
        s.index = ObstacleIndex(std::move(boxes), req_.grid);
    }
    return s;
}

const ZoneSet::Subset& ZoneSet::shells() const {
    return subset(shells_, [&](std::size_t k) {
        const ZoneKind kind = zones_[k].kind;
        const bool inside_clearance = kind == ZoneKind::Obstacle && k > 0 && zones_[k - 1].kind == ZoneKind::Clearance;
        return kind == ZoneKind::Clearance || (kind == ZoneKind::Obstacle && !inside_clearance);
    });
}

const ZoneSet::Subset& ZoneSet::arc_zones() const {
    return subset(arc_zones_, [&](std::size_t k) { return zones_[k].arc_margin >= 0; });
}

bool ZoneSet::covers(const Box& b) const {
    return !bounded_ || (b.x0 >= region_.x0 && b.x1 <= region_.x1 && b.y0 >= region_.y0 && b.y1 <= region_.y1);
}

double ZoneSet::arc_cost(Point at, int d, int nd, double rho) const {
    double left = 0.0, right = 0.0;
    arc_costs(at, d, rho, nd == turn_left(d) ? &left : nullptr, nd == turn_right(d) ? &right : nullptr);
    return nd == turn_left(d) ? left : right;
}

void ZoneSet::arc_costs(Point at, int d, double rho, double* left, double* right) const {
    if (left) *left = 0.0;
    if (right) *right = 0.0;
    if (rho <= 0 || max_arc_margin_ < 0) return;
    // Both arcs lie within one radius behind the corner, to either side.
    const double bx = at.x - rho * dir_dx(d), by = at.y - rho * dir_dy(d);
    const double px = rho * dir_dy(d), py = rho * dir_dx(d);  // across the heading
    const double x0 = std::min({at.x, bx - px, bx + px}), x1 = std::max({at.x, bx - px, bx + px});
    const double y0 = std::min({at.y, by - py, by + py}), y1 = std::max({at.y, by - py, by + py});
    const double m = max_arc_margin_;
    const Subset& arcs = arc_zones();
    arcs.index.for_each_near(x0 - m, y0 - m, x1 + m, y1 + m, [&](size_t k) {
        const Zone& z = zones_[arcs.zones[k]];
        for (int side = 0; side < 2; ++side) {
            double* cost = side == 0 ? left : right;
            if (!cost) continue;
            const int nd = side == 0 ? turn_left(d) : turn_right(d);
            // An arc entering the box enters its margin too: most arcs miss
            // both, and the wider test tells so first.
            if (z.arc_margin > 0 && !arc_meets(at, d, nd, rho, z.box, z.arc_margin)) continue;
            if (arc_meets(at, d, nd, rho, z.box, 0.0)) *cost += kHardFixed;
            else if (z.arc_margin > 0) *cost += kSoftFixed;
        }
    });
}

void ZoneSet::crossing_bend_costs(Point at, int d, double* left, double* right) const {
    *left = *right = 0.0;
    if (!has_crossings_) return;
    const double reach = req_.crossing_clearance();
    // The band of a pivot crossed by the run from `at` along heading h
    // within `reach` (its centre line strictly ahead, nearer than reach).
    auto crossed_near = [&](int h) {
        const double x1 = at.x + reach * dir_dx(h), y1 = at.y + reach * dir_dy(h);
        double cost = 0.0;
        index_.for_each_near(std::min(at.x, x1), std::min(at.y, y1), std::max(at.x, x1), std::max(at.y, y1),
                             [&](size_t zi) {
            const Zone& z = zones_[zi];
            if (!z.crossed_by(is_horizontal(h))) return;
            const double c = is_horizontal(h) ? at.y : at.x;  // the run's line
            const double p0 = is_horizontal(h) ? z.box.y0 : z.box.x0, p1 = is_horizontal(h) ? z.box.y1 : z.box.x1;
            if (c < p0 - eps_ || c > p1 + eps_) return;
            const double mid = is_horizontal(h) ? 0.5 * (z.box.x0 + z.box.x1) : 0.5 * (z.box.y0 + z.box.y1);
            const double ahead = (mid - (is_horizontal(h) ? at.x : at.y)) * (is_horizontal(h) ? dir_dx(h) : dir_dy(h));
            if (ahead > eps_ && ahead < reach - eps_) cost = std::max(cost, z.fixed());
        });
        return cost;
    };
    const double behind = crossed_near((d + 2) & 3);
    *left = behind + crossed_near(turn_left(d));
    *right = behind + crossed_near(turn_right(d));
}

namespace {

using Interval = std::pair<double, double>;

double union_length(std::vector<Interval>& v) {
    std::sort(v.begin(), v.end());
    double total = 0.0, lo = 0.0, hi = 0.0;
    bool open = false;
    for (const auto& [a, b] : v) {
        if (!open || a > hi) {
            if (open) total += hi - lo;
            lo = a;
            hi = b;
            open = true;
        } else {
            hi = std::max(hi, b);
        }
    }
    if (open) total += hi - lo;
    return total;
}

// Length covered by both unions.
double common_length(std::vector<Interval> a, std::vector<Interval> b) {
    if (a.empty() || b.empty()) return 0.0;
    std::vector<Interval> both = a;
    both.insert(both.end(), b.begin(), b.end());
    return union_length(a) + union_length(b) - union_length(both);
}

bool segments_touch(Point a, Point b, Point c, Point d, double eps) {
    return std::max(std::min(a.x, b.x), std::min(c.x, d.x)) <= std::min(std::max(a.x, b.x), std::max(c.x, d.x)) + eps &&
           std::max(std::min(a.y, b.y), std::min(c.y, d.y)) <= std::min(std::max(a.y, b.y), std::max(c.y, d.y)) + eps;
}

// Do a-b and c-d cross at right angles, each through the other's interior,
// at a point of one of the `allowed` boxes?
bool crosses_at(Point a, Point b, Point c, Point d, const std::vector<Box>& allowed, double eps) {
    const bool ab_h = std::fabs(a.y - b.y) <= eps, cd_h = std::fabs(c.y - d.y) <= eps;
    if (ab_h == cd_h) return false;
    const Point h0 = ab_h ? a : c, h1 = ab_h ? b : d, v0 = ab_h ? c : a, v1 = ab_h ? d : b;
    const Point x{v0.x, h0.y};
    auto strictly_inside = [&](double t, double u, double w) { return t > std::min(u, w) + eps && t < std::max(u, w) - eps; };
    if (!strictly_inside(x.x, h0.x, h1.x) || !strictly_inside(x.y, v0.y, v1.y)) return false;
    for (const Box& box : allowed)
        if (box.contains_closed(x, eps)) return true;
    return false;
}

}  // namespace

std::vector<std::pair<std::size_t, std::size_t>> self_contacts(const Path& path, double eps) {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    for (size_t k = 1; k < path.size(); ++k)
        for (size_t j = k + 2; j < path.size(); ++j)
            if (segments_touch(path[k - 1], path[k], path[j - 1], path[j], eps)) out.emplace_back(k, j);
    return out;
}

RouteInfo ZoneSet::measure(const Path& path) const {
    RouteInfo info;
    const double eps = eps_;
    // Does the pivot segment c-d cross the run path[k-1]-path[k] at least
    // crossing_clearance() from the run's bends and 2r + spacing from its ports?
    // (The ends of a piece of a longer route are neither.)
    auto clear_of_own_corners = [&](const Path& p, size_t k, Point c) {
        const bool run_h = std::fabs(p[k - 1].y - p[k].y) <= eps;
        const Point x = run_h ? Point{c.x, p[k].y} : Point{p[k].x, c.y};
        auto needs = [&](size_t at) {
            if (at > 0 && at + 1 < p.size()) return req_.crossing_clearance();
            const bool port = manhattan(p[at], at == 0 ? req_.own_start() : req_.own_end()) <= eps;
            return port ? 2.0 * r_ + req_.route_spacing : 0.0;
        };
        return manhattan(p[k - 1], x) >= needs(k - 1) - eps && manhattan(p[k], x) >= needs(k) - eps;
    };
    std::vector<Interval> obstacle, keep, clearance, spacing, seam_lo_obs, seam_hi_obs, seam_lo, seam_hi;
    for (size_t k = 1; k < path.size(); ++k) {
        const Point a = path[k - 1], b = path[k];
        const bool horizontal = std::fabs(a.y - b.y) <= std::fabs(a.x - b.x);
        const double c = horizontal ? a.y : a.x;
        const double s0 = horizontal ? std::min(a.x, b.x) : std::min(a.y, b.y);
        const double s1 = horizontal ? std::max(a.x, b.x) : std::max(a.y, b.y);
        for (auto* v : {&obstacle, &keep, &clearance, &spacing, &seam_lo_obs, &seam_hi_obs, &seam_lo, &seam_hi})
            v->clear();
        index_.for_each_near(std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y),
                             [&](size_t zi) {
            const Zone& z = zones_[zi];
            const double p0 = horizontal ? z.box.y0 : z.box.x0, p1 = horizontal ? z.box.y1 : z.box.x1;
            const double q0 = std::max(s0, horizontal ? z.box.x0 : z.box.y0);
            const double q1 = std::min(s1, horizontal ? z.box.x1 : z.box.y1);
            if (z.crossed_by(horizontal)) {
                // Across a crossable stretch (its ends included): a run
                // through the whole band is a crossing (counted below with
                // the contacts), one ending inside it is a spacing overlap.
                const double b0 = horizontal ? z.box.x0 : z.box.y0, b1 = horizontal ? z.box.x1 : z.box.y1;
                if (c < p0 - eps || c > p1 + eps || !(q1 - q0 > eps)) return;
                if (s0 > b0 + eps || s1 < b1 - eps) spacing.push_back({q0, q1});
                return;
            }
            double inside = 0.0;
            if (!open_overlap(s0, s1, horizontal ? z.box.x0 : z.box.y0, horizontal ? z.box.x1 : z.box.y1, eps, &inside))
                return;
            if (open_overlap(c, c, p0, p1, eps)) {
                // A zero-length segment inside counts a token length.
                const Interval iv{q0, std::max(q1, q0 + eps)};
                switch (z.kind) {
                    case ZoneKind::Obstacle: obstacle.push_back(iv); break;
                    case ZoneKind::KeepOut: keep.push_back(iv); break;
                    case ZoneKind::Clearance: clearance.push_back(iv); break;
                    case ZoneKind::Spacing:
                    case ZoneKind::Crossing: spacing.push_back(iv); break;
                }
            } else if (z.solid() && p1 - p0 > eps) {
                const bool below = std::fabs(p1 - c) <= eps, above = std::fabs(p0 - c) <= eps;
                if (below) (z.kind == ZoneKind::Obstacle ? seam_lo_obs : seam_lo).push_back({q0, q1});
                if (above) (z.kind == ZoneKind::Obstacle ? seam_hi_obs : seam_hi).push_back({q0, q1});
            }
        });
        const double obs_seam = common_length(seam_lo_obs, seam_hi_obs);
        seam_lo.insert(seam_lo.end(), seam_lo_obs.begin(), seam_lo_obs.end());
        seam_hi.insert(seam_hi.end(), seam_hi_obs.begin(), seam_hi_obs.end());
        const double all_seam = common_length(seam_lo, seam_hi);
        const double in_obstacle = union_length(obstacle);
        info.obstacle_overlap += in_obstacle + obs_seam;
        info.keep_out_overlap += union_length(keep) + (all_seam - obs_seam);
        clearance.insert(clearance.end(), obstacle.begin(), obstacle.end());
        info.clearance_overlap += std::max(0.0, union_length(clearance) - in_obstacle);
        info.spacing_overlap += union_length(spacing);
    }
    for (size_t p = 0; p < pivots_.size(); ++p) {
        const Path& pv = pivots_[p];
        const std::vector<Box>* crossable = p < crossable_.size() ? &crossable_[p] : nullptr;
        bool touched = false;
        for (size_t k = 1; k < path.size() && !touched; ++k)
            for (size_t j = 1; j < pv.size() && !touched; ++j) {
                if (!segments_touch(path[k - 1], path[k], pv[j - 1], pv[j], eps)) continue;
                if (crossable && crosses_at(path[k - 1], path[k], pv[j - 1], pv[j], *crossable, eps) &&
                    clear_of_own_corners(path, k, pv[j - 1]))
                    ++info.crossings;
                else touched = true;
            }
        info.pivot_contacts += touched;
    }
    // A route looping over itself (a large radius can make that the
    // cheapest way round) crosses its own waveguide.  Ports given on top of
    // each other force it to: the caller's doing, not counted.
    const size_t n = path.size();
    const bool ports_meet = n >= 2 && manhattan(path.front(), path.back()) <= eps;
    if (!req_.allow_self_contact && !ports_meet) info.self_contacts += static_cast<int>(self_contacts(path, eps).size());
    if (req_.arc_clearance) {
        for (size_t k = 1; k + 1 < path.size(); ++k) {
            const int d = direction_of(path[k - 1], path[k]), nd = direction_of(path[k], path[k + 1]);
            const bool by_port = k == 1 || k + 2 == path.size();
            const double c = arc_cost(path[k], d, nd, by_port ? std::min(r_, rp_) : r_);
            if (c >= kHardFixed) ++info.arc_obstacle;
            else if (c > 0) ++info.arc_clearance;
        }
    }
    const double scale = 1.0 + (path.empty() ? 0.0 : std::fabs(path.front().x) + std::fabs(path.front().y));
    info.bends_ok = runs_ok(path, rp_, r_, 1e-9 * scale + eps);
    info.length = path_length(path);
    info.bends = path.size() > 2 ? static_cast<int>(path.size()) - 2 : 0;
    return info;
}

double zone_reach(const RouteRequest& req) {
    return req.bend_radius + clearance(req) + 2.0 * req.route_spacing + 1.0;
}

namespace {
// The box a path's zones must lie in to touch it.
Box reach_box(const RouteRequest& req, const Path& path) {
    Box b{path[0].x, path[0].y, path[0].x, path[0].y};
    for (const Point& p : path) {
        b.x0 = std::min(b.x0, p.x); b.x1 = std::max(b.x1, p.x);
        b.y0 = std::min(b.y0, p.y); b.y1 = std::max(b.y1, p.y);
    }
    return b.inflated(zone_reach(req));
}
}  // namespace

RouteInfo measure_route(const RouteRequest& req, const ZoneSet& near, const Path& path) {
    if (path.empty()) return near.measure(path);
    const Box b = reach_box(req, path);
    if (near.covers(b)) return near.measure(path);
    return ZoneSet(req, near.eps(), &b).measure(path);
}

RouteInfo measure_route(const RouteRequest& req, double eps, const Path& path) {
    const Box b = reach_box(req, path);
    return ZoneSet(req, eps, &b).measure(path);
}

bool runs_ok(const Path& p, double port_radius, double r, double tol) {
    if (p.size() <= 2) return true;
    for (size_t k = 1; k < p.size(); ++k) {
        const double len = manhattan(p[k - 1], p[k]);
        const bool port = k == 1 || k + 1 == p.size();
        if (len < (port ? port_radius : 2.0 * r) - tol) return false;
    }
    return true;
}

}  // namespace kelvane::rail

namespace kelvane {

RouteInfo measure_rail_route(const RouteRequest& req, const Path& path) {
    if (path.size() < 2) return RouteInfo{};
    RouteInfo info = rail::measure_route(req, contact_tolerance(req.grid), path);
    info.clean = rail::score_of(info, 0.0).clean();
    return info;
}

double violation_score(const RouteInfo& info) {
    const rail::RouteScore s = rail::score_of(info, 0.0);
    return 1e9 * s.hard + 1e7 * s.contacts + 1e5 * s.bends + 1e3 * s.soft;
}

std::vector<const char*> violations(const RouteInfo& info) {
    std::vector<const char*> out;
    if (info.obstacle_overlap > 0) out.push_back("obstacle");
    if (info.clearance_overlap > 0) out.push_back("clearance");
    if (info.keep_out_overlap > 0) out.push_back("keep_out");
    if (info.spacing_overlap > 0 || info.pivot_contacts > 0) out.push_back("spacing");
    if (!info.bends_ok) out.push_back("bend_radius");
    if (info.arc_obstacle > 0 || info.arc_clearance > 0) out.push_back("arc");
    if (info.self_contacts > 0) out.push_back("self_crossing");
    return out;
}

}  // namespace kelvane
