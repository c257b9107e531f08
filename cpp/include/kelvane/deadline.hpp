// A time budget for the calling thread.
//
// Long native work asks reached() now and then: the lattice searches, the
// single-route router's state budget, the negotiated passes and order
// search.  Once it is true the work returns the best result it has instead
// of going on (a cut lattice search finds nothing, the router returns its
// least-bad route, the negotiation keeps the paths it has, the order search
// the best order so far), and the thread's state records that the deadline
// cut something short, so that a caller can say so.  Without a deadline
// nothing changes.
//
// The state is per thread.  A process may hold several copies of the core
// (each extension module links its own): share() points a copy at the
// state of another, so that one deadline reaches every module.
#pragma once

#include <chrono>

namespace kelvane::deadline {

using Clock = std::chrono::steady_clock;

struct State {
    bool active = false;    // a deadline is set
    Clock::time_point at{};  // when it passes
    bool reached = false;   // work was cut short by it
    int held = 0;           // Hold guards in force
};

using Accessor = State& (*)();

// The calling thread's state (this copy's own unless shared).
State& state();
// This copy's own state of the calling thread.
State& own_state();
// Reads the state through `accessor` from now on (nullptr: this copy's own).
void share(Accessor accessor);

// Has the deadline passed?  Records that it cut work short when it has.
// Cheap without a deadline (no clock read); false under a Hold.
bool reached();

// reached() for a hot loop: reads the clock on the first call and then
// once every `every` calls.
class Check {
public:
    explicit Check(unsigned every = 1024) : every_(every), count_(every - 1) {}
    bool operator()() {
        if (++count_ < every_) return false;
        count_ = 0;
        return reached();
    }

private:
    unsigned every_, count_;
};

// Bounded work that must finish even past the deadline (the single-route
// router's fallback route, for one): reached() is false while one is alive.
class Hold {
public:
    Hold() { ++state().held; }
    ~Hold() { --state().held; }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
};

// A deadline `seconds` from now (+inf: none of its own) for the calling
// thread while the scope lives, never later than one already set; the
// one before comes back at the end, told when this one cut work short at
// its time too.
class Scope {
public:
    explicit Scope(double seconds);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    bool reached() const { return state().reached; }

private:
    State saved_;
};

}  // namespace kelvane::deadline
