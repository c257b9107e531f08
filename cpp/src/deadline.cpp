#include "kelvane/deadline.hpp"

#include <atomic>
#include <cmath>

namespace kelvane::deadline {

namespace {
std::atomic<Accessor> g_accessor{nullptr};
}  // namespace

State& own_state() {
    thread_local State s;
    return s;
}

State& state() {
    const Accessor a = g_accessor.load(std::memory_order_relaxed);
    return a ? a() : own_state();
}

void share(Accessor accessor) { g_accessor.store(accessor == &own_state ? nullptr : accessor); }

bool reached() {
    State& s = state();
    if (!s.active || s.held > 0) return false;
    if (s.reached) return true;  // the clock does not go back
    if (Clock::now() < s.at) return false;
    s.reached = true;
    return true;
}

Scope::Scope(double seconds) : saved_(state()) {
    State& s = state();
    Clock::time_point at = Clock::time_point::max();
    const auto left = std::chrono::duration<double>(Clock::time_point::max() - Clock::now()).count();
    if (seconds < left) at = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    if (saved_.active && saved_.at < at) at = saved_.at;
    s.active = true;
    s.at = at;
    s.reached = false;
}

Scope::~Scope() {
    State& s = state();
    const bool cut = s.reached, same_time = saved_.active && s.at == saved_.at;
    const int held = s.held;
    s = saved_;
    s.held = held;
    if (cut && same_time) s.reached = true;
}

}  // namespace kelvane::deadline
