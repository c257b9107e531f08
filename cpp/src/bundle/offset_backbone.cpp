// All lanes of a backbone bundle from the routed backbone.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "kelvane/bundle.hpp"
#include "kelvane/polish.hpp"

namespace kelvane::bundle {

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Coordinate along the segment's axis (lon) or across it (lat).
double lon(Point p, bool horizontal) { return horizontal ? p.x : p.y; }
double lat(Point p, bool horizontal) { return horizontal ? p.y : p.x; }

double sign(double v) { return v > 0 ? 1.0 : (v < 0 ? -1.0 : 0.0); }

// Puts lane[end] on `port` (end = 0 or the last index; next = its
// neighbour, beyond = the one after that, or kNone for a one-segment lane)
// when the port lies on the end segment's line; false, lane unchanged, when
// it does not or when a segment would vanish or turn round.
bool snap_end(Path& lane, std::size_t end, std::size_t next, std::size_t beyond, Point port) {
    Point& p = lane[end];
    Point& q = lane[next];
    const bool horizontal = std::fabs(q.y - p.y) <= std::fabs(q.x - p.x);
    const double scale = 1.0 + std::max({std::fabs(p.x), std::fabs(p.y), std::fabs(port.x), std::fabs(port.y)});
    if (std::fabs(lat(port, horizontal) - lat(p, horizontal)) > 1e-6 * scale) return false;
    const double run = lon(q, horizontal) - lon(p, horizontal);
    const double new_run = lon(q, horizontal) - lon(port, horizontal);
    if (!(std::fabs(new_run) > 1e-9) || sign(new_run) != sign(run)) return false;
    if (beyond != kNone) {
        // The corner slides along the next segment, which runs across.
        const Point& r = lane[beyond];
        const double across = lat(r, horizontal) - lat(q, horizontal);
        const double new_across = lat(r, horizontal) - lat(port, horizontal);
        if (!(std::fabs(new_across) > 1e-9) || sign(new_across) != sign(across)) return false;
        (horizontal ? q.y : q.x) = lat(port, horizontal);
    }
    p = port;
    return true;
}

}  // namespace

void snap_to_ports(Path& lane, Point start, Point end) {
    if (lane.size() < 2) return;
    if (lane.size() == 2) {
        // One segment: both ends move or neither.
        Path trial = lane;
        if (snap_end(trial, 0, 1, kNone, start) && snap_end(trial, 1, 0, kNone, end) &&
            (trial[0].x == trial[1].x || trial[0].y == trial[1].y))
            lane = trial;
        return;
    }
    const std::size_t n = lane.size();
    snap_end(lane, 0, 1, 2, start);
    snap_end(lane, n - 1, n - 2, n - 3, end);
}

LaneSet offset_backbone(const OffsetBackboneRequest& req) {
    const Path& bb = req.backbone;
    if (bb.size() < 2) throw std::out_of_range("backbone must have at least 2 points");
    const std::size_t count = req.count;
    if (req.median >= count) throw std::out_of_range("median_idx is not a route of the bundle");
    if (req.ends.size() < count || req.start_proj.size() < count)
        throw std::out_of_range("fewer end ports or start projections than routes");

    const Point end_normal = side_normal(bb[bb.size() - 2], bb.back());
    auto end_proj = [&](std::size_t i) { return req.ends[i].x * end_normal.x + req.ends[i].y * end_normal.y; };
    const double median_e_offset = end_proj(req.median);
    std::vector<double> d_start(count), d_end(count);
    for (std::size_t i = 0; i < count; ++i) {
        d_start[i] = req.start_proj[i] - req.median_s_offset;
        if (req.float32_offsets) d_start[i] = static_cast<float>(d_start[i]);
        d_end[i] = end_proj(i) - median_e_offset;
    }

    // Inner segments one connect pitch apart in start order, the backbone's
    // lane at 0, whatever the spacing of the ports.
    const std::vector<std::size_t> lane_of_rank = stable_ranking(d_start);
    const long bb_lane = static_cast<long>(
        std::find(lane_of_rank.begin(), lane_of_rank.end(), req.median) - lane_of_rank.begin());
    std::vector<double> connect(count, 0.0);
    for (std::size_t lane = 0; lane < count; ++lane)
        connect[lane_of_rank[lane]] = static_cast<double>(static_cast<long>(lane) - bb_lane) * req.connect_pitch;

    // Inner segments that a lane's offsets would run backwards are shifted to
    // the other side of the backbone.
    const std::size_t n_segs = bb.size() - 1;
    std::vector<std::vector<bool>> flipped(count);
    for (std::size_t i = 0; i < count; ++i) {
        const Path trial = offset_skeleton(bb, d_start[i], d_end[i], connect[i]);
        if (trial.size() - 1 != n_segs) continue;
        for (std::size_t s = 1; s + 1 < n_segs; ++s) {
            const auto [bb_axis, bb_sign] = axis_and_sign(bb[s], bb[s + 1]);
            const auto [tr_axis, tr_sign] = axis_and_sign(trial[s], trial[s + 1]);
            if (bb_axis == tr_axis && bb_sign != tr_sign) {
                flipped[i].resize(n_segs, false);
                flipped[i][s] = true;
            }
        }
    }

    const ObstacleIndex index(req.obstacles, req.grid);
    const SegmentBlocked blocked = [&index](Point p, Point q) { return index.blocked(p, q); };
    LaneSet out;
    out.lanes.reserve(count);
    out.offsets.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        out.offsets.emplace_back(d_start[i], d_end[i]);
        Path lane = offset_skeleton(bb, d_start[i], d_end[i], connect[i], flipped[i]);
        if (i < req.starts.size()) snap_to_ports(lane, req.starts[i], req.ends[i]);
        if (lane.size() >= 2) lane = extend_short_segments(lane, req.delta, blocked);
        out.lanes.push_back(std::move(lane));
    }
    return out;
}

}  // namespace kelvane::bundle
