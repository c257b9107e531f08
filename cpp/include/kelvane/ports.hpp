// Port ranking: the rules that order the ports of a bundle so that the i-th
// start port can be joined to the i-th end port without crossings.
//
// Sides and facings are quarter turns counted counter-clockwise from +x:
// 0 = +x, 1 = +y, 2 = -x, 3 = -y.  A group of ports is listed bank by bank
// (a bank is the ports facing one side); within a bank the ports are walked
// counter-clockwise around the group (+x side upwards, +y side leftwards, -x
// side downwards, -y side rightwards).
//
// Plain C++: no Python here.  The extension module `kelvane.yokeset` calls
// these pieces one by one so that its Python-visible helpers stay replaceable;
// sort_bank / sort_group / match_groups are the same rules end to end for C++
// callers.
#pragma once

#include <array>
#include <cstddef>
#include <utility>
#include <vector>

namespace kelvane::ports {

// Floored modulo 4 (never negative): -1 -> 3, 4 -> 0, 5 -> 1.
int floor_mod4(long long v);

// Quarter-turn index of an orientation in degrees: orientation / 90 rounded to
// the nearest integer with ties to even (45 -> 0, 135 -> 2, 225 -> 2,
// 315 -> 4 -> 0), then floored modulo 4.  Returns -1 when the orientation is
// not finite (it has no index).
int quarter_turn(double orientation_deg);

// Centre of the span of v[0..n), n >= 1: (min + max) / 2, where min and max
// are first-wins scans with `<` and `>` (a NaN never replaces the current
// extreme; a leading NaN stays).  The box centre, not the mean.
double span_centre(const double* v, std::size_t n);

// How the ports of a bank are keyed, chosen by the facing of its first port:
// side 0 -> ascending y, 1 -> descending x, 2 -> descending y, anything else
// -> ascending x.  Descending rows negate the key (equal keys keep their
// input order in every row).
struct BankKey {
    int axis;     // 0 = x, 1 = y
    bool negate;  // key is -coordinate
};
BankKey bank_key(int side);

// Stable ascending order of keys[0..n) into `order` (indices 0..n-1): equal
// keys (0.0 and -0.0 included) keep their input order.  Keys must not contain
// NaN (their order is then unspecified); has_nan() tells.  Sorted input costs
// one scan; large inputs are radix sorted.
void stable_order(const double* keys, std::size_t n, std::vector<std::size_t>& order);
bool has_nan(const double* v, std::size_t n);

// The mean of n >= 1 values (doubles, or floats with `single`) read `stride`
// bytes apart from `at`, when every summation order gives the same sum: all
// values integral and the sum of their magnitudes below 2**53 (2**24 for
// floats).  That sum is then the one any reduction computes, with the sign of
// a zero set by the values alone; the mean is sum / n in double.  False for
// anything else (non-integral, too large, inf or NaN).
bool exact_mean(const char* at, std::ptrdiff_t stride, std::size_t n, bool single, double& mean);

// Banks of a group in listing order around `target_side`: target-1, target,
// target+1, then the back side target+2 (all floored modulo 4).
std::array<int, 4> group_sides(long long target_side);

// Side from which the start group is listed, given the facing of the end
// group and the offset (vx, vy) of the start group's centre from the end
// group's centre: the start side that looks towards the end group along the
// axis the end ports face; the side opposite the end facing when level.
int start_target_side(int end_side, double vx, double vy);

// ---- the rules end to end, on plain values --------------------------------

struct Port {
    double x = 0, y = 0;         // centre
    double orientation = 0;      // degrees, finite
};

// Stable order of the ports named by `bank` (indices into `ports`), keyed by
// the facing of the bank's first port.  Returns indices into `ports`.
std::vector<std::size_t> sort_bank(const std::vector<Port>& ports, const std::vector<std::size_t>& bank);

// All ports of a group, bank by bank in group_sides(target_side) order; with
// clockwise == false the whole list reversed.  Returns indices into `ports`.
std::vector<std::size_t> sort_group(const std::vector<Port>& ports, long long target_side, bool clockwise);

// Start and end groups (equal sizes) ordered so that equal positions are
// joined: the start group listed from the side facing the end group, the end
// group from its own facing side and reversed.  Groups of fewer than two
// ports keep their order.  Returns indices into `start` and into `end`.
std::pair<std::vector<std::size_t>, std::vector<std::size_t>> match_groups(const std::vector<Port>& start,
                                                                           const std::vector<Port>& end);

}  // namespace kelvane::ports
