"""Process-wide controls of kelvane's native routers, and the routers of the
user layer beyond the deliverable modules.

time_budget(seconds): a context manager that bounds the time of every native routing
call made in its block on this thread (see its documentation).
route_river(...): a bundle laid as a planar ribbon.
negotiate_spaced(...): many routes negotiated to keep the spacing, crossing where a
detour costs more."""


def _define(_native, _intact):
    global time_budget

    def time_budget(seconds: "float") -> "TimeBudget":
        """A context manager bounding the time of native routing calls:

            with engine.time_budget(2.0) as budget:
                skels = negotiated.negotiate_routes(...)
            if budget.reached: ...  # the result is the best found in time

        Every native call made in the block on this thread (negotiated, bundle, graph and
        waypoint routers) stops its long work once `seconds` have passed since the block
        began and returns the best result it has: a negotiation its routes as they are
        and the best route order and cage size tried, a single route its least-bad route
        with info['budget_exhausted'], a lattice search no route.  budget.reached tells
        whether that happened.  Blocks nest (the inner deadline is never later than the
        outer one); a budget is for one block at a time.  seconds: a number >= 0, inf for
        no limit.  Without a budget nothing changes.
        """
        return TimeBudget(seconds)
