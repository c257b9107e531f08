// The scene check, the per-route graphs and the shared lattice.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "negotiated/steps.hpp"
#include "kelvane/route_graph.hpp"

namespace kelvane::negotiated {

namespace {

[[noreturn]] void bad(const std::string& what) { throw std::invalid_argument(what); }

std::string at(const char* name, size_t r, int k) {
    return std::string(name) + "[" + std::to_string(r) + ", " + std::to_string(k) + "]";
}

// Sorted distinct values (a set's content, in ascending order).
std::vector<double> distinct(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

// round(c / snap) * snap as the host computes it: ties to even, and the
// integer round() returns makes a zero positive.
double snapped(double c, double snap) {
    const double v = std::nearbyint(c / snap) * snap;
    return v == 0.0 ? 0.0 : v;
}

}  // namespace

void check_scene(const Scene& s) {
    double largest = 0.0;
    auto coordinate = [&](double v, const std::string& what) {
        if (!std::isfinite(v)) bad(what + " must be finite, got " + std::to_string(v));
        if (std::fabs(v) > 1e12) bad(what + " must lie within +-1e12, got " + std::to_string(v));
        largest = std::max(largest, std::fabs(v));
    };
    if (s.tangents.size() != s.ports.size()) bad("port_tangents must have as many routes as port_centers");
    for (size_t r = 0; r < s.size(); ++r) {
        for (int k = 0; k < 2; ++k) {
            coordinate(s.ports[r][k].x, at("port_centers", r, k));
            coordinate(s.ports[r][k].y, at("port_centers", r, k));
            const Point t = s.tangents[r][k];
            if (!std::isfinite(t.x) || !std::isfinite(t.y)) bad(at("port_tangents", r, k) + " must be finite");
            const double ax = std::fabs(t.x), ay = std::fabs(t.y);
            if (ax <= 1e-12 && ay <= 1e-12) bad(at("port_tangents", r, k) + " must be a non-zero vector");
            if (std::min(ax, ay) > 1e-9 * std::max(ax, ay))
                bad(at("port_tangents", r, k) + " must be axis-parallel, got (" + std::to_string(t.x) + ", " +
                    std::to_string(t.y) + ")");
        }
    }
    if (!std::isfinite(s.delta)) bad("delta must be finite, got " + std::to_string(s.delta));
    if (!(s.delta > 0)) bad("delta must be > 0, got " + std::to_string(s.delta));
    coordinate(s.delta, "delta");
    for (size_t i = 0; i < s.obstacles.size(); ++i) {
        const Box& b = s.obstacles[i];
        const std::string what = "obstacles[" + std::to_string(i) + "]";
        for (double v : {b.x0, b.y0, b.x1, b.y1}) coordinate(v, what);
        if (b.x0 > b.x1 || b.y0 > b.y1) bad(what + " has min > max");
    }
    if (!std::isfinite(s.dbu) || s.dbu < 0) bad("dbu must be positive or None");
    if (s.dbu > 0 && largest / s.dbu > 1e15)
        bad("dbu is too small for coordinates up to " + std::to_string(largest) +
            ": a grid step must be at least 1e-15 of the largest coordinate");
    for (size_t r = 0; r < s.size(); ++r)
        if (settle_end_point(s.ports[r][0], s.dbu) == settle_end_point(s.ports[r][1], s.dbu))
            bad("port_centers[" + std::to_string(r) + "]: start and end are the same point");
}

std::vector<RouteLines> per_route_graphs(const Scene& scene) {
    std::vector<RouteLines> out;
    out.reserve(scene.size());
    for (size_t r = 0; r < scene.size(); ++r) {
        RouteGraphRequest req;
        req.start = scene.ports[r][0];
        req.end = scene.ports[r][1];
        req.start_dir = tangent_heading(scene.tangents[r][0]);
        req.end_dir = tangent_heading(scene.tangents[r][1]);
        req.bend_radius = scene.delta;
        req.obstacles = scene.obstacles;
        req.sliding_bias = 0.5;
        req.enforce_min_segment_length = false;
        req.grid = scene.dbu;
        req.with_lattice = false;
        RouteGraph g = build_route_graph(req);
        RouteLines l;
        l.start = g.start;
        l.end = g.end;
        l.end_port = g.end_port;
        l.end_approach_len = g.end_approach_len;
        l.start_dir = g.start_dir;
        l.end_dir = g.end_dir;
        l.h_lines = std::move(g.lines.ys);
        l.v_lines = std::move(g.lines.xs);
        l.h_bridges = std::move(g.lines.y_bridges);
        l.v_bridges = std::move(g.lines.x_bridges);
        l.obstacles = scene.obstacles;
        out.push_back(std::move(l));
    }
    return out;
}

SharedLattice build_shared_lattice(const Scene& scene, std::vector<RouteLines> graphs, const LatticeOptions& opts,
                                   const SegmentTest& blocked) {
    const size_t B = scene.size();
    if (B == 0) bad("build_shared_lattice: the scene has no routes");
    const double d = scene.delta;
    std::vector<double> H, V;
    for (const RouteLines& g : graphs) {
        H.insert(H.end(), g.h_lines.begin(), g.h_lines.end());
        V.insert(V.end(), g.v_lines.begin(), g.v_lines.end());
    }
    std::vector<double> xs, ys;
    for (const auto& pr : scene.ports)
        for (const Point& p : pr) {
            xs.push_back(p.x);
            ys.push_back(p.y);
        }
    xs = distinct(xs);
    ys = distinct(ys);

    const double margin = opts.cage_margin ? *opts.cage_margin : 3.0 * d;
    const double step = opts.cage_step ? *opts.cage_step : 2.0 * d;
    const long layers = opts.cage_layers ? *opts.cage_layers : static_cast<long>(std::max<size_t>(B, 2));
    if (!std::isfinite(margin)) bad("cage_margin must be finite");
    if (!std::isfinite(step)) bad("cage_step must be finite");
    if (layers > 1000000) bad("cage_layers " + std::to_string(layers) + " would make a lattice of more than 4e6 nodes");

    if (opts.behind) {
        for (size_t r = 0; r < B; ++r)
            for (int k = 0; k < 2; ++k) {
                const Point c = scene.ports[r][k], t = scene.tangents[r][k];
                for (long L = 0; L < layers; ++L) {
                    const double off = d + static_cast<double>(L) * step;
                    V.push_back(c.x - t.x * off);
                    H.push_back(c.y - t.y * off);
                }
            }
    }
    if (opts.lane_mids) {
        for (std::vector<double>* S : {&H, &V}) {
            const std::vector<double> now = distinct(*S);
            for (size_t i = 1; i < now.size(); ++i)
                if (now[i] - now[i - 1] > 2.0 * d) S->push_back((now[i - 1] + now[i]) / 2);
        }
    }
    double xlo = xs.front(), xhi = xs.back(), ylo = ys.front(), yhi = ys.back();
    for (const Box& o : scene.obstacles) {
        xlo = std::min({xlo, o.x0, o.x1});
        xhi = std::max({xhi, o.x0, o.x1});
        ylo = std::min({ylo, o.y0, o.y1});
        yhi = std::max({yhi, o.y0, o.y1});
    }
    for (long L = 0; L < layers; ++L) {
        const double m = margin + static_cast<double>(L) * step;
        V.push_back(xlo - m);
        V.push_back(xhi + m);
        H.push_back(ylo - m);
        H.push_back(yhi + m);
    }
    const double snap = scene.dbu > 0 ? scene.dbu : opts.snap;
    if (!(snap > 0) || !std::isfinite(snap)) bad("the snapping grid must be positive and finite");
    for (double& v : H) v = snapped(v, snap);
    for (double& v : V) v = snapped(v, snap);

    SharedLattice out;
    out.H = distinct(std::move(H));
    out.V = distinct(std::move(V));
    // Port points off the grid follow the grid nodes, by (y, x).
    std::vector<Point> extra;
    for (const auto& pr : scene.ports)
        for (const Point& p : pr) extra.push_back({snapped(p.x, snap), snapped(p.y, snap)});
    std::sort(extra.begin(), extra.end(),
              [](const Point& a, const Point& b) { return a.y < b.y || (a.y == b.y && a.x < b.x); });
    extra.erase(std::unique(extra.begin(), extra.end()), extra.end());
    out.lattice = std::make_shared<const Lattice>(build_line_lattice(out.V, out.H, extra, blocked));
    out.graphs = std::move(graphs);
    return out;
}

}  // namespace kelvane::negotiated
