#include "kelvane/box_union.hpp"

#include <algorithm>
#include <map>

namespace kelvane {

namespace {

// Cover counts over the elementary stretches between consecutive y values,
// answering which maximal stretches are covered at all.
class CoverTree {
public:
    explicit CoverTree(const std::vector<double>& ys) : ys_(ys), n_(ys.size() - 1) {
        size_t size = 1;
        while (size < n_) size <<= 1;
        count_.assign(2 * size, 0);
        full_.assign(2 * size, 0);
        any_.assign(2 * size, 0);
    }
    // Adds `delta` to the cover of elementary stretches [lo, hi).
    void add(size_t lo, size_t hi, int delta) { add(1, 0, n_, lo, hi, delta); }
    // Appends the maximal covered stretches (as y values) meeting [lo, hi)
    // of elementary stretches, clipped to it.
    void runs(size_t lo, size_t hi, std::vector<std::pair<double, double>>* out) const {
        runs(1, 0, n_, lo, hi, out);
    }

private:
    void pull(size_t node, size_t l, size_t r) {
        if (count_[node] > 0) {
            full_[node] = any_[node] = 1;
        } else if (r - l == 1) {
            full_[node] = any_[node] = 0;
        } else {
            full_[node] = full_[2 * node] && full_[2 * node + 1];
            any_[node] = any_[2 * node] || any_[2 * node + 1];
        }
    }
    void add(size_t node, size_t l, size_t r, size_t lo, size_t hi, int delta) {
        if (hi <= l || r <= lo) return;
        if (lo <= l && r <= hi) {
            count_[node] += delta;
        } else {
            const size_t m = (l + r) / 2;
            add(2 * node, l, m, lo, hi, delta);
            add(2 * node + 1, m, r, lo, hi, delta);
        }
        pull(node, l, r);
    }
    void runs(size_t node, size_t l, size_t r, size_t lo, size_t hi, std::vector<std::pair<double, double>>* out) const {
        if (hi <= l || r <= lo || !any_[node]) return;
        if (full_[node]) {
            const double a = ys_[std::max(l, lo)], b = ys_[std::min(r, hi)];
            if (!out->empty() && out->back().second == a) out->back().second = b;
            else out->push_back({a, b});
            return;
        }
        const size_t m = (l + r) / 2;
        runs(2 * node, l, m, lo, hi, out);
        runs(2 * node + 1, m, r, lo, hi, out);
    }

    const std::vector<double>& ys_;
    size_t n_;
    std::vector<int> count_;
    std::vector<char> full_, any_;
};

// Sorts ranges and merges those that overlap or touch.
void merge_ranges(std::vector<std::pair<size_t, size_t>>* ranges) {
    std::vector<std::pair<size_t, size_t>>& r = *ranges;
    if (r.empty()) return;
    std::sort(r.begin(), r.end());
    size_t w = 0;
    for (size_t k = 1; k < r.size(); ++k) {
        if (r[k].first <= r[w].second) r[w].second = std::max(r[w].second, r[k].second);
        else r[++w] = r[k];
    }
    r.resize(w + 1);
}

struct Event {
    double x;
    double y0, y1;
    int delta;  // +1 a box starts, -1 it ends
};

}  // namespace

std::vector<Box> union_pieces(const std::vector<Box>& boxes) {
    std::vector<Box> out, flat;
    std::vector<Event> events;
    std::vector<double> ys;
    for (const Box& b : boxes) {
        if (b.x1 > b.x0 && b.y1 > b.y0) {
            events.push_back({b.x0, b.y0, b.y1, +1});
            events.push_back({b.x1, b.y0, b.y1, -1});
            ys.push_back(b.y0);
            ys.push_back(b.y1);
        } else {
            flat.push_back(b);
        }
    }
    if (!events.empty()) {
        std::sort(ys.begin(), ys.end());
        ys.erase(std::unique(ys.begin(), ys.end()), ys.end());
        std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.x < b.x; });
        auto slot = [&](double y) { return static_cast<size_t>(std::lower_bound(ys.begin(), ys.end(), y) - ys.begin()); };
        CoverTree tree(ys);
        // Open pieces: bottom -> (top, left side).
        std::map<double, std::pair<double, double>> open;
        std::vector<std::pair<size_t, size_t>> touched, envelope;  // elementary ranges the events at x change
        std::vector<std::pair<double, double>> runs;
        std::vector<std::pair<double, std::pair<double, double>>> closing;
        for (size_t e = 0; e < events.size();) {
            const double x = events[e].x;
            touched.clear();
            size_t f = e;
            for (; f < events.size() && events[f].x == x; ++f) touched.push_back({slot(events[f].y0), slot(events[f].y1)});
            merge_ranges(&touched);  // a stretch only changes there
            // Take out the open pieces meeting a changed range (touching
            // included: a stretch may grow into its neighbour); the stretches
            // to search again are the changed ranges and those pieces.
            closing.clear();
            envelope = touched;
            for (const auto& [lo, hi] : touched) {
                const double a = ys[lo], b = ys[hi];
                auto it = open.upper_bound(b);
                while (it != open.begin()) {
                    auto prev = std::prev(it);
                    if (prev->second.first < a) break;  // open pieces are disjoint and sorted
                    envelope.push_back({slot(prev->first), slot(prev->second.first)});
                    closing.push_back(*prev);
                    it = open.erase(prev);
                }
            }
            merge_ranges(&envelope);
            for (size_t k = e; k < f; ++k) tree.add(slot(events[k].y0), slot(events[k].y1), events[k].delta);
            // Reopen the covered stretches there; one unchanged keeps its left side.
            for (const auto& [lo, hi] : envelope) {
                runs.clear();
                tree.runs(lo, hi, &runs);
                for (const auto& [a, b] : runs) {
                    double left = x;
                    for (auto& c : closing)
                        if (c.first == a && c.second.first == b) {
                            left = c.second.second;
                            c.second.second = x;  // nothing to close
                            break;
                        }
                    open[a] = {b, left};
                }
            }
            for (const auto& [a, piece] : closing)
                if (piece.second < x) out.push_back({piece.second, a, x, piece.first});
            e = f;
        }
    }
    std::sort(out.begin(), out.end(), [](const Box& a, const Box& b) { return a.x0 != b.x0 ? a.x0 < b.x0 : a.y0 < b.y0; });
    out.insert(out.end(), flat.begin(), flat.end());
    return out;
}

}  // namespace kelvane
