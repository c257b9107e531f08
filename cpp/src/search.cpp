#include "kelvane/search.hpp"

#include "kelvane/deadline.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace kelvane {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// States near the start whose costs from it cost_to_go finds first.
constexpr size_t kNearStartStates = 4096;

// A cost with room for rounding (sums of the same terms in other orders).
double with_room(double c) { return c + 1e-9 * (1.0 + c); }

// Side pairs {0,1} {0,2} {0,3} {1,2} {1,3} {2,3} -> 0..5.
constexpr int kPair[4][4] = {{-1, 0, 1, 2}, {0, -1, 3, 4}, {1, 3, -1, 5}, {2, 4, 5, -1}};
constexpr int kPairSides[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};

}  // namespace

int side_pair_index(int a, int b) { return kPair[a & 3][b & 3]; }

std::uint32_t SearchWorkspace::state(std::uint32_t node, int heading) const {
    if (node >= n_) return kNoState;
    if (heading == kNoDir) return node == start_ ? headless_state() : kNoState;
    if (heading < 0 || heading > 3) return kNoState;
    return node * 4 + static_cast<std::uint32_t>(heading);
}

void SearchWorkspace::reset_marks() {
    for (std::uint32_t e : touched_edges_)
        if (e < edge_pen_.size()) edge_pen_[e] = 0.0;
    touched_edges_.clear();
    for (std::uint32_t n : touched_nodes_)
        if (n < banned_.size()) {
            banned_[n] = 0;
            chord_slot_[n] = -1;
        }
    touched_nodes_.clear();
    chord_cost_.clear();
}

void SearchWorkspace::prepare(const Lattice& L, const SearchQuery& q) {
    reset_marks();
    n_ = L.size();
    if (n_ >= (std::numeric_limits<std::uint32_t>::max() - 1) / 4) throw std::invalid_argument("lattice too large");
    if (q.start >= n_) throw std::invalid_argument("start node out of range");
    if (q.end >= static_cast<long>(n_)) throw std::invalid_argument("end node out of range");
    if (!(q.turn_pen >= 0) || !std::isfinite(q.turn_pen)) throw std::invalid_argument("turn_pen must be finite and >= 0");
    if (!(q.cross_pen >= 0) || !std::isfinite(q.cross_pen)) throw std::invalid_argument("cross_pen must be finite and >= 0");
    if (q.start_dir < kNoDir || q.start_dir > 3 || q.end_dir < kNoDir || q.end_dir > 3)
        throw std::invalid_argument("headings must be 0..3 or none");

    const size_t states = 4 * n_ + 1;
    if (label_.size() < states) label_.resize(states, Label{0.0, kNoState, 0});
    if (++gen_ == 0) {  // wrapped: old stamps could alias
        for (Label& l : label_) l.stamp = 0;
        gen_ = 1;
    }
    if (!q.edge_cost && edge_pen_.size() < L.num_edges) edge_pen_.resize(L.num_edges, 0.0);
    if (q.edge_cost && !q.edge_pen.empty()) throw std::invalid_argument("edge_pen and edge_cost are exclusive");
    if (q.chord_slot && !q.node_chords.empty()) throw std::invalid_argument("node_chords and chord tables are exclusive");
    if (banned_.size() < n_) {
        banned_.resize(n_, 0);
        chord_slot_.resize(n_, -1);
    }

    for (const auto& [e, pen] : q.edge_pen) {
        if (e >= L.num_edges) throw std::invalid_argument("edge id out of range");
        if (!(pen >= 0)) throw std::invalid_argument("edge penalties must be >= 0");
        if (edge_pen_[e] == 0.0) touched_edges_.push_back(e);
        edge_pen_[e] += pen;
    }
    for (const auto& [n, d] : q.blocked_passthrough) {
        if (n >= n_ || d > 3) throw std::invalid_argument("bad blocked pass-through entry");
        if (banned_[n] == 0 && chord_slot_[n] < 0) touched_nodes_.push_back(n);
        banned_[n] |= static_cast<std::uint8_t>(1u << d);
    }
    if (q.cross_pen > 0) {
        for (const auto& [n, c] : q.node_chords) {
            if (n >= n_ || c[0] > 3 || c[1] > 3) throw std::invalid_argument("bad chord entry");
            // An own chord meeting theirs on no common side crosses it or
            // kisses it at a corner; a chord of one side only (a doubling
            // back) is ignored.
            if (c[0] == c[1]) continue;
            std::array<double, 6> add{};
            for (int p = 0; p < 6; ++p) {
                const int a0 = kPairSides[p][0], a1 = kPairSides[p][1];
                if (a0 != c[0] && a0 != c[1] && a1 != c[0] && a1 != c[1]) add[p] = q.cross_pen;
            }
            if (chord_slot_[n] < 0) {
                if (banned_[n] == 0) touched_nodes_.push_back(n);
                chord_slot_[n] = static_cast<std::int32_t>(chord_cost_.size());
                chord_cost_.push_back({});
            }
            auto& cc = chord_cost_[chord_slot_[n]];
            for (int p = 0; p < 6; ++p) cc[p] += add[p];
        }
    }

    start_ = q.start;
    end_ = q.end;
    end_dir_ = q.end_dir;
    turn_pen_ = q.turn_pen;
    use_dist_bound_ = L.lengths_at_least_manhattan;
    use_turn_bound_ = L.axis_parallel && q.turn_pen > 0;
    end_pt_ = end_ >= 0 ? L.nodes[end_] : Point{};
    start_pt_ = L.nodes[q.start];
    // The turn part of the bound depends only on the signs of the offset to
    // the end and on the heading (none: the least over the four).
    if (use_turn_bound_) {
        for (int sx = -1; sx <= 1; ++sx)
            for (int sy = -1; sy <= 1; ++sy) {
                auto& row = turn_bound_[(sx + 1) * 3 + (sy + 1)];
                int least = 4;
                for (int d = 0; d < 4; ++d) {
                    const int t = turns_to_arrive(sx, sy, d, end_dir_);
                    row[d + 1] = turn_pen_ * t;
                    least = std::min(least, t);
                }
                row[0] = turn_pen_ * least;
            }
    }
    heap_.reset(states);
    stats_ = SearchStats{};
}

inline double SearchWorkspace::bound(const Lattice& L, std::uint32_t node, int heading) const {
    const Point p = L.nodes[node];
    const double dx = end_pt_.x - p.x, dy = end_pt_.y - p.y;
    double h = use_dist_bound_ ? std::fabs(dx) + std::fabs(dy) : 0.0;
    if (use_turn_bound_) {
        const int sx = (dx > 0) - (dx < 0), sy = (dy > 0) - (dy < 0);
        h += turn_bound_[(sx + 1) * 3 + (sy + 1)][heading + 1];
    }
    return h;
}

inline double SearchWorkspace::turn_bound(const Lattice& L, std::uint32_t node, int heading) const {
    if (!use_turn_bound_) return 0.0;
    const Point p = L.nodes[node];
    const double dx = end_pt_.x - p.x, dy = end_pt_.y - p.y;
    const int sx = (dx > 0) - (dx < 0), sy = (dy > 0) - (dy < 0);
    return turn_bound_[(sx + 1) * 3 + (sy + 1)][heading + 1];
}

inline const std::array<double, 6>* SearchWorkspace::chords_at(const SearchQuery& q, std::uint32_t n) const {
    if (n == q.start || static_cast<long>(n) == end_) return nullptr;
    if (!q.chord_slot) return chord_slot_[n] >= 0 ? &chord_cost_[chord_slot_[n]] : nullptr;
    return q.cross_pen > 0 && q.chord_slot[n] >= 0 ? &q.chord_cost[q.chord_slot[n]] : nullptr;
}

// The rest bound splits a route's cost into its edge lengths, which stay on
// the edges, and everything else, which is charged to the nodes it passes
// through: the crossing cost of its chord there and half the penalty of
// each of the two edges it uses there (the other halves go to the nodes at
// the edges' other ends; the halves at the route's own ends are dropped).
// A pass through n therefore costs at least
//     w(n) = min over side pairs {a, b} of chord(n, {a, b}) + pen_a / 2 + pen_b / 2
// (pen_x: the cheapest open edge leaving n on side x), and w is 0 at the
// start and the end, where no crossing is charged.  The bound of node n is
// the cheapest way to the end in the node graph with edge lengths on the edges
// and w on the nodes passed; turns are left to the turn bound.  Another
// route's path is a wall in that graph: passing one of its nodes costs at
// least the crossing penalty or half an overlap, so the bound counts the
// walls still to be crossed.
void SearchWorkspace::rest_start() {
    if (rest_.size() < n_) rest_.resize(n_, RestLabel{kInf, 0});
    rest_gen_ += 2;
    if (rest_gen_ < 2) {  // wrapped: old stamps could alias
        for (RestLabel& r : rest_) r.stamp = 0;
        rest_gen_ = 2;
    }
    rest_heap_.clear();
    const std::uint32_t end = static_cast<std::uint32_t>(end_);
    rest_[end] = {0.0, rest_gen_};
    rest_heap_.push(manhattan(end_pt_, start_pt_), end, 0.0);
    rest_floor_ = 0.0;
}

void SearchWorkspace::rest_grow(const Lattice& L, const SearchQuery& q, double radius, long until) {
    const double* epen = q.edge_cost ? q.edge_cost : edge_pen_.data();
    const std::uint32_t end = static_cast<std::uint32_t>(end_);
    while (!rest_heap_.empty()) {
        if (until >= 0 && rest_[until].stamp == rest_gen_ + 1) break;
        if (rest_heap_.top().fval() > radius) break;
        const RadixHeap::Entry e = rest_heap_.pop();
        const std::uint32_t m = e.id;
        if (rest_[m].stamp != rest_gen_ || rest_[m].value != e.value) continue;  // settled or superseded
        const double h = e.value;
        rest_[m].stamp = rest_gen_ + 1;
        ++stats_.settled;
        const std::uint32_t k0 = L.offsets[m], k1 = L.offsets[m + 1];
        double pass = 0.0;
        if (m != q.start && m != end) {
            double side[4] = {kInf, kInf, kInf, kInf};
            for (std::uint32_t k = k0; k < k1; ++k) side[L.dir[k]] = std::min(side[L.dir[k]], epen[L.edge_id[k]]);
            if (const std::array<double, 6>* chords = chords_at(q, m)) {
                pass = kInf;
                for (int p = 0; p < 6; ++p) {
                    const double a = side[kPairSides[p][0]], b = side[kPairSides[p][1]];
                    if (a != kInf && b != kInf) pass = std::min(pass, 0.5 * a + 0.5 * b + (*chords)[p]);
                }
            } else {  // the two cheapest sides
                double a = kInf, b = kInf;
                for (const double v : side) {
                    if (v < a) {
                        b = a;
                        a = v;
                    } else if (v < b) {
                        b = v;
                    }
                }
                pass = b == kInf ? kInf : 0.5 * a + 0.5 * b;
            }
            if (pass == kInf) continue;  // no way through m
        }
        const double through = h + pass;
        const Point pm = L.nodes[m];
        for (std::uint32_t k = k0; k < k1; ++k) {
            if (epen[L.edge_id[k]] == kInf) continue;
            const std::uint32_t n = L.neighbour[k];
            RestLabel& r = rest_[n];
            const double v = through + manhattan(pm, L.nodes[n]);
            if (r.stamp >= rest_gen_ && !(v < r.value)) continue;  // labelled (or settled) no higher
            r = {v, rest_gen_};
            rest_heap_.push(v + manhattan(L.nodes[n], start_pt_), n, v);
        }
    }
    rest_floor_ = rest_heap_.empty() ? kInf : rest_heap_.top().fval();
}

double SearchWorkspace::route_cost(const Lattice& L, const SearchQuery& q,
                                   const std::vector<std::uint32_t>& route) const {
    if (route.size() < 2 || route.front() != start_ || static_cast<long>(route.back()) != end_) return kInf;
    const Point start_pt = L.nodes[q.start];
    const double* epen = q.edge_cost ? q.edge_cost : edge_pen_.data();
    double g = 0.0;
    int arr = q.start_dir;
    for (size_t i = 0; i + 1 < route.size(); ++i) {
        const std::uint32_t n = route[i], m = route[i + 1];
        if (n >= n_ || m >= n_) return kInf;
        std::uint32_t k = L.offsets[n];
        while (k < L.offsets[n + 1] && L.neighbour[k] != m) ++k;
        if (k == L.offsets[n + 1]) return kInf;
        const int d2 = L.dir[k];
        // The same additions in the same order as the search makes them.
        double c = g + L.edge_length(n, k);
        if (i == 0) {
            if (arr != kNoDir && d2 != arr) return kInf;
        } else {
            if (d2 == opposite(arr)) return kInf;
            if (d2 == arr) {
                if (banned_[n] & (1u << d2)) return kInf;
            } else {
                const double turn_cost = q.turn_pen + (q.turn_bias.active ? turn_bias_cost(q.turn_bias, L.nodes[n], start_pt,
                                                                                           end_pt_, L.extent)
                                                                          : 0.0);
                c += turn_cost;
            }
            if (const std::array<double, 6>* chords = chords_at(q, n)) c += (*chords)[kPair[opposite(arr)][d2]];
        }
        const double ep = epen[L.edge_id[k]];
        if (ep != 0.0) {
            if (ep == kInf) return kInf;
            c += ep;
        }
        g = c;
        arr = d2;
    }
    if (end_dir_ != kNoDir && arr != end_dir_) return kInf;
    return g;
}

void SearchWorkspace::run(const Lattice& L, const SearchQuery& q) {
    prepare(L, q);
    stats_.reached = 1;
    if (end_ < 0) {
        const std::uint32_t s0 = q.start_dir == kNoDir ? headless_state() : q.start * 4 + q.start_dir;
        label_[s0] = {0.0, kNoState, gen_};
        stats_.stopped_early = true;  // nothing was searched
        return;
    }
    const std::uint32_t s0 = q.start_dir == kNoDir ? headless_state() : q.start * 4 + q.start_dir;
    // Past the time budget a search finds nothing: only the start is labelled.
    auto nothing = [&] {
        if (++gen_ == 0) {
            for (Label& l : label_) l.stamp = 0;
            gen_ = 1;
        }
        label_[s0] = {0.0, kNoState, gen_};
        stats_.cut_short = true;
    };
    cut_ = deadline::reached();
    if (cut_) return nothing();
    double cap = kInf;
    if (q.capped && L.length.empty() && !probe(L, q, cap)) {
        // No route: the search proper would find none either.
        if (cut_) return nothing();
        label_[s0] = {0.0, kNoState, gen_};
        return;
    }
    expand<false>(L, q, cap);
    if (cut_) nothing();
}

// The cap of a capped search: the cost of the cheapest route, found by a
// probe ordered by the rest bound (with a little room for rounding: route
// costs and bounds add the same terms in other orders), or a known route's
// cost when that is within a few turns of the least any route can cost.
// The rest bound is left settled up to the cap, and the labels are cleared
// for the search proper.  +inf: no cap (the probe gave up); false: there is
// no route at all.
bool SearchWorkspace::probe(const Lattice& L, const SearchQuery& q, double& cap) {
    const double known = q.known_route ? with_room(route_cost(L, q, *q.known_route)) : kInf;
    double least;
    if (q.rest_table) {
        least = q.rest_table[headless_state()];
        if (least == kInf) return false;
    } else {
        rest_start();
        rest_grow(L, q, known, q.start);
        least = rest(L, q.start) + turn_bound(L, q.start, q.start_dir);
    }
    double best = known;
    if (!(known - least <= 4.0 * q.turn_pen)) {
        best = expand<true>(L, q, known);
        if (best == kInf) return false;
        best = best < 0 ? known : with_room(best);
    }
    cap = best;
    if (cap < kInf && !q.rest_table) rest_grow(L, q, cap);
    if (++gen_ == 0) {
        for (Label& l : label_) l.stamp = 0;
        gen_ = 1;
    }
    heap_.reset(4 * n_ + 1);
    return true;
}

// One A* pass from the start.  The search proper (kProbe false) orders the
// heap by the distance-and-turn bound, which fixes which of several equally
// cheap routes is found; states whose cost plus the rest bound exceeds a
// finite `cap` are not entered.  The probe orders by the rest bound itself
// (never lowering a state's estimate below its predecessor's, and leaving
// out states that cannot reach the end), stops at the first end state taken
// from the heap and returns its cost: +inf when there is none, -1 when it
// gives up after expanding as many states as the lattice has (the rest
// bound is not consistent, so states may be expanded again).
template <bool kProbe>
double SearchWorkspace::expand(const Lattice& L, const SearchQuery& q, double cap) {
    const std::uint32_t s0 = q.start_dir == kNoDir ? headless_state() : q.start * 4 + q.start_dir;
    label_[s0] = {0.0, kNoState, gen_};
    const std::uint32_t end = static_cast<std::uint32_t>(end_);
    const Point start_pt = L.nodes[q.start];
    const bool bias_on = q.turn_bias.active;
    const double* epen = q.edge_cost ? q.edge_cost : edge_pen_.data();
    const double tp = q.turn_pen;
    const bool capped = cap < kInf;

    auto push = [this](double f, double g, std::uint32_t s) {
        heap_.push(f, g, s);
        ++stats_.pushed;
    };
    push(kProbe ? (q.rest_table ? q.rest_table[headless_state()] : rest(L, q.start) + turn_bound(L, q.start, q.start_dir))
                : bound(L, q.start, q.start_dir),
         0.0, s0);
    // End states that count: heading end_dir only, or any heading (and the
    // start itself without heading) when there is no end_dir.
    unsigned wanted = end_dir_ == kNoDir ? 0x0Fu : (1u << end_dir_);
    if (end == q.start && q.start_dir == kNoDir && end_dir_ == kNoDir) wanted |= 0x10u;
    double best_end = kInf;
    unsigned end_settled = 0;  // bit per end-node heading, bit 4: start without heading
    size_t probed = 0;

    deadline::Check past(4096);
    while (!heap_.empty()) {
        if (past()) {
            cut_ = true;
            return kInf;
        }
        if (heap_.top().fval() > best_end || end_settled == wanted) {
            stats_.stopped_early = true;
            break;
        }
        const StateHeap::Item top = heap_.pop();
        const struct {
            double g;
            std::uint32_t id;
        } it{top.gval(), top.id};
        if (it.g != label_[it.id].dist) continue;  // superseded by a cheaper entry
        ++stats_.expanded;
        if (kProbe && ++probed > 4 * n_ + 1) return -1.0;
        const std::uint32_t s = it.id;
        const std::uint32_t n = node_of(s);
        const int arr = heading_of(s);
        const bool initial = label_[s].prev == kNoState;
        if (n == end) {
            const unsigned bit = arr == kNoDir ? 0x10u : (1u << arr);
            if (wanted & bit) {
                if (kProbe) return it.g;
                end_settled |= bit;
                best_end = std::min(best_end, it.g);
            }
        }
        const std::uint8_t ban = initial ? 0 : banned_[n];
        const std::array<double, 6>* chords = initial ? nullptr : chords_at(q, n);
        double turn_cost = -1.0;  // computed on the first turn out of n
        for (std::uint32_t k = L.offsets[n], ke = L.offsets[n + 1]; k < ke; ++k) {
            const int d2 = L.dir[k];
            double c = it.g + L.edge_length(n, k);
            if (initial) {
                // Leaving the start: along start_dir only, when there is one.
                if (arr != kNoDir && d2 != arr) continue;
            } else {
                if (d2 == opposite(arr)) continue;
                if (d2 == arr) {
                    if (ban & (1u << d2)) continue;
                } else {
                    if (turn_cost < 0)
                        turn_cost = tp + (bias_on ? turn_bias_cost(q.turn_bias, L.nodes[n], start_pt, end_pt_, L.extent) : 0.0);
                    c += turn_cost;
                }
                if (chords) c += (*chords)[kPair[opposite(arr)][d2]];
            }
            const double ep = epen[L.edge_id[k]];
            if (ep != 0.0) {
                if (ep == kInf) continue;
                c += ep;
            }
            const std::uint32_t m = L.neighbour[k];
            if (capped && c + rest_bound(L, q, m, d2) > cap) continue;
            const double f = kProbe ? std::max(c + rest_bound(L, q, m, d2), top.fval()) : c + bound(L, m, d2);
            if (kProbe && f == kInf) continue;
            const std::uint32_t t = m * 4 + static_cast<std::uint32_t>(d2);
            Label& lt = label_[t];
            if (lt.stamp == gen_) {
                if (!(c < lt.dist)) continue;
            } else {
                lt.stamp = gen_;
                ++stats_.reached;
            }
            lt.dist = c;
            lt.prev = s;
            push(f, c, t);
        }
    }
    return best_end;
}

// Lowers the cost to go of every state (m, d) by the step of heading d2
// from m over edge e (length len) to a state whose cost to go is `landing`;
// pushes every state it lowers, keyed by its cost to go plus its bound from
// the start.
inline void SearchWorkspace::relax_back(const Lattice& L, const SearchQuery& q, std::uint32_t m, int d2,
                                        std::uint32_t e, double len, double landing, const double* epen,
                                        std::vector<double>& out) {
    const double ep = epen[e];
    if (ep == kInf || landing == kInf) return;
    const double step = landing + (len + ep);
    const std::array<double, 6>* chords = chords_at(q, m);
    const std::uint8_t ban = banned_[m];
    const int back = opposite(d2);
    for (int d = 0; d < 4; ++d) {
        if (d == back) continue;  // no reversal at m
        double c = step;
        if (d != d2) c += q.turn_pen;
        else if (ban & (1u << d2)) continue;
        if (chords) c += (*chords)[kPair[opposite(d)][d2]];
        double& cur = out[m * 4 + static_cast<std::uint32_t>(d)];
        if (c < cur) {
            cur = c;
            const std::uint32_t id = m * 4 + static_cast<std::uint32_t>(d);
            const double from = toward_start(L, id);
            if (from < kInf) rest_heap_.push(c + from, id, c);
        }
    }
}

// The cheapest costs from the start of the states nearest it, `states` of
// them settled in cost order (the route's first steps as it takes them);
// every other state costs at least the key where it stopped (near_cost_),
// and at least that plus its Manhattan distance from the start less the
// largest of the states labelled (near_reach_): a route must pass a
// labelled state to leave.  Ports that several routes share make such
// costs on every way out of the start; a bound of Manhattan distances
// alone would not see them.
void SearchWorkspace::near_start(const Lattice& L, const SearchQuery& q, const double* epen, size_t states) {
    near_.assign(4 * n_, kInf);
    near_done_.assign(4 * n_, 0);
    near_cost_ = kInf;
    near_reach_ = 0.0;
    rest_heap_.clear();
    auto label = [&](std::uint32_t t, double c) {
        if (!(c < near_[t])) return;
        near_[t] = c;
        near_reach_ = std::max(near_reach_, manhattan(L.nodes[t >> 2], start_pt_));
        rest_heap_.push(c, t, c);
    };
    for (std::uint32_t k = L.offsets[q.start]; k < L.offsets[q.start + 1]; ++k) {
        const double ep = epen[L.edge_id[k]];
        if (ep == kInf || (q.start_dir != kNoDir && L.dir[k] != q.start_dir)) continue;
        label(L.neighbour[k] * 4 + L.dir[k], manhattan(L.nodes[q.start], L.nodes[L.neighbour[k]]) + ep);
    }
    size_t settled = 0;
    while (!rest_heap_.empty()) {
        const RadixHeap::Entry top = rest_heap_.pop();
        if (top.value != near_[top.id] || near_done_[top.id]) continue;  // superseded
        if (settled == states) {
            near_cost_ = top.value;
            break;
        }
        near_done_[top.id] = 1;
        ++settled;
        const std::uint32_t n = top.id >> 2;
        const int arr = static_cast<int>(top.id & 3);
        const std::array<double, 6>* chords = chords_at(q, n);
        const std::uint8_t ban = banned_[n];
        for (std::uint32_t k = L.offsets[n]; k < L.offsets[n + 1]; ++k) {
            const int d2 = L.dir[k];
            if (d2 == opposite(arr)) continue;
            const double ep = epen[L.edge_id[k]];
            if (ep == kInf || (d2 == arr && (ban & (1u << d2)))) continue;
            double c = top.value + manhattan(L.nodes[n], L.nodes[L.neighbour[k]]);
            if (d2 != arr) c += q.turn_pen;
            if (chords) c += (*chords)[kPair[opposite(arr)][d2]];
            label(L.neighbour[k] * 4 + static_cast<std::uint32_t>(d2), c + ep);
        }
    }
}

double SearchWorkspace::cost_to_go(const Lattice& L, const SearchQuery& q, std::vector<double>& out, double reach,
                                   double beyond) {
    if (!L.length.empty()) throw std::invalid_argument("cost_to_go: line lattices only");
    prepare(L, q);
    out.assign(4 * n_ + 1, kInf);
    if (end_ < 0) return kInf;
    const double* epen = q.edge_cost ? q.edge_cost : edge_pen_.data();
    const std::uint32_t end = static_cast<std::uint32_t>(end_);
    back_done_.assign(4 * n_, 0);
    // The states the route's first step lands in (heading bit per node).
    if (first_step_.size() < n_) first_step_.resize(n_, 0);
    for (std::uint32_t k = L.offsets[q.start]; k < L.offsets[q.start + 1]; ++k)
        if (epen[L.edge_id[k]] != kInf && (q.start_dir == kNoDir || L.dir[k] == q.start_dir)) {
            first_step_[L.neighbour[k]] |= static_cast<std::uint8_t>(1u << L.dir[k]);
            start_edge_[L.dir[k]] = L.edge_id[k];
        }
    near_start(L, q, epen, kNearStartStates);
    // A* towards the start: keys are costs to go plus a bound on the cost
    // from the start, which no step lowers by more than it costs.
    rest_heap_.clear();
    for (int d = 0; d < 4; ++d)
        if (end_dir_ == kNoDir || d == end_dir_) {
            const std::uint32_t id = end * 4 + static_cast<std::uint32_t>(d);
            out[id] = 0.0;
            if (toward_start(L, id) < kInf) rest_heap_.push(toward_start(L, id), id, 0.0);
        }
    // A state (m, d) reaches (n2, d2) by the step of heading d2 from m to
    // n2, the edge of n2 on the side opposite d2.
    double reached = kInf, limit = reach, first = kInf;
    deadline::Check past(4096);
    while (!rest_heap_.empty()) {
        const RadixHeap::Entry top = rest_heap_.pop();
        if (top.value != out[top.id] || back_done_[top.id]) continue;  // superseded
        if (top.fval() > limit || past()) {  // past the time budget: a bound as far as it got
            reached = top.fval();
            break;
        }
        back_done_[top.id] = 1;
        ++stats_.settled;
        const std::uint32_t n2 = top.id >> 2;
        const int d2 = static_cast<int>(top.id & 3);
        if (first_step_[n2] & (1u << d2)) {
            // A first step lands here: the start's cost to go is known.
            const double ep = epen[start_edge_[d2]];
            first = std::min(first, manhattan(L.nodes[q.start], L.nodes[n2]) + ep + top.value);
            limit = std::min(reach, first + beyond);
        }
        const int back = opposite(d2);
        for (std::uint32_t k = L.offsets[n2]; k < L.offsets[n2 + 1]; ++k)
            if (L.dir[k] == back) {
                const std::uint32_t m = L.neighbour[k];
                relax_back(L, q, m, d2, L.edge_id[k], manhattan(L.nodes[m], L.nodes[n2]), top.value, epen, out);
            }
    }
    // States not settled: no route from them costs less than the key where
    // the search stopped, less their bound from the start (less a little
    // for rounding: sums of the same terms in other orders); +inf when it
    // did not stop (they never reach the end).  States the start never gets
    // to are no concern of this query: +inf as well.
    for (std::uint32_t i = 0; i < 4 * n_; ++i)
        if (!back_done_[i]) {
            const double v = reached - toward_start(L, i);
            out[i] = v > 0 ? (v < kInf ? v - 1e-9 * (1.0 + v) : kInf) : (v == v ? 0.0 : kInf);
        }
    // The start as the route leaves it: along start_dir (any way without
    // one), no turn, no ban, no crossing.
    first = kInf;
    for (std::uint32_t k = L.offsets[q.start]; k < L.offsets[q.start + 1]; ++k) {
        first_step_[L.neighbour[k]] = 0;
        const double ep = epen[L.edge_id[k]];
        if (ep == kInf || (q.start_dir != kNoDir && L.dir[k] != q.start_dir)) continue;
        const std::uint32_t m = L.neighbour[k];
        first = std::min(first, manhattan(L.nodes[q.start], L.nodes[m]) + ep + out[m * 4 + L.dir[k]]);
    }
    const bool there = q.start == end && q.start_dir == kNoDir && end_dir_ == kNoDir;
    out[4 * n_] = there ? 0.0 : first;
    return reached;
}

double SearchWorkspace::known_cost(const Lattice& L, const SearchQuery& q) {
    if (!q.known_route) return kInf;
    prepare(L, q);
    return with_room(route_cost(L, q, *q.known_route));
}

std::uint32_t SearchWorkspace::select_end(std::uint32_t end, int end_dir) const {
    if (end >= n_) return kNoState;
    if (end_dir != kNoDir) {
        const std::uint32_t s = end * 4 + static_cast<std::uint32_t>(end_dir);
        return reached(s) ? s : kNoState;
    }
    std::uint32_t best = kNoState;
    double best_dist = kInf;
    auto consider = [&](std::uint32_t s) {
        if (reached(s) && label_[s].dist < best_dist) {
            best = s;
            best_dist = label_[s].dist;
        }
    };
    for (std::uint32_t d = 0; d < 4; ++d) consider(end * 4 + d);
    if (end == start_) consider(headless_state());
    return best;
}

bool SearchWorkspace::exact_for(long end, int end_dir) const {
    if (!stats_.stopped_early) return true;
    return end == end_ && end_dir == end_dir_;
}

std::vector<std::uint32_t> SearchWorkspace::path_to(std::uint32_t s) const {
    std::vector<std::uint32_t> out;
    if (!reached(s)) return out;
    for (std::uint32_t cur = s, guard = 0; cur != kNoState && guard <= 4 * n_ + 1; cur = label_[cur].prev, ++guard)
        out.push_back(node_of(cur));
    std::reverse(out.begin(), out.end());
    return out;
}

}  // namespace kelvane
