"""Obstacle index, single-route router (rail_bridge_v2), per-route graphs and lattice search.

Conventions:
  directions  the ints 0, 1, 2, 3 for E (+x), N (+y), W (-x), S (-y), counter-clockwise;
              _direction(a, b) is that of the step a -> b, _OPP[d] the opposite one,
              _DIR_IDX[d] the index of side d around a node (the identity here).
  chords      a route through a node uses two of its four sides; its chord is the
              sorted pair of their indices.  Two chords cross exactly when the pairs
              interleave (_interleaved_pos); chords sharing a side overlap instead.
  nodes       (x, y) tuples of floats, compared exactly; edges are keyed by _ekey.
  adjacency   g.adj maps node -> list of (neighbour, length) (here a LatticeAdjacency)."""

_OPP = {0: 2, 1: 3, 2: 0, 3: 1}
_DIR_IDX = {0: 0, 1: 1, 2: 2, 3: 3}


def _define(_native, _intact):
    global RailBridgeGraph, rail_bridge_v2, _build_rail_bridge_graph, _interleaved_pos
    import dataclasses
    import inspect
    import operator
    from collections.abc import Mapping

    def rail_bridge_v2(start, end, start_tangent, end_tangent, delta, obstacles=None, turn_bias="center",
                       sliding_bias=0.5, real_obstacles=None, route_skeletons=None, route_spacing=3.0,
                       route_pivots=(), bend_delta=None, dbu=None, arc_clearance=True):
        """Route one Manhattan route from `start` to `end`.

        Returns (skeleton, info): skeleton is an N x 2 float array of corner points, from
        exactly `start` to exactly `end`; info is a dict (keys below).

        start, end       points (x, y); any 2-sequence or array (float32 jax arrays too).
        start_tangent    heading when leaving the start port, axis-parallel, non-zero.
        end_tangent      heading of travel into the end port, axis-parallel, non-zero.
        delta            bend radius (>= 0): every bend is a quarter arc of this radius,
                         runs between two bends are at least 2 * delta (room for both
                         arcs), the straight run at each port at least bend_delta.
        obstacles        boxes (Obstacle or (x_min, y_min, x_max, y_max)), or an N x 4
                         array, kept clear with a clearance of route_spacing / 2; waived
                         for an obstacle holding one of the route's own ports (ports sit
                         on device outlines).
        turn_bias        where bends go among equally good routes (ties only): "center"
                         (midway between start and end), "start", "end", "none", or a
                         relative position in [0, 1].
        sliding_bias     position of bridge lines across the gap between two neighbouring
                         rails, 0..1 (0.5 = the middle of a channel).
        real_obstacles   further boxes kept clear exactly (interiors only, no clearance),
                         e.g. the true outlines behind padded `obstacles`.
        route_skeletons  keep-out boxes (e.g. around placed routes), kept clear exactly.
        route_spacing    minimum centre-line distance to the earlier routes in
                         `route_pivots`, also past their ends (narrowed to 80% of the port
                         distance along their port segments); sets the obstacle clearance.
        route_pivots     polylines of earlier routes.  Touching or crossing one is never
                         clean.
        bend_delta       bend radius at the ports (default: delta); the first and last
                         arcs use the smaller radius (a bundle lane: its enlarged radius
                         as delta, the plain one here).
        dbu              grid step: every bend coordinate lies on multiples of it (end
                         points too when they are grid points up to float32 noise); track
                         lines are rounded away from what they keep clear of, so the route
                         is as good as the best one on that grid.  Contact is judged to a
                         thousandth of the step.
        arc_clearance    True (default): every bend's arc keeps the clearance from
                         obstacles and stays out of keep-outs, as straight runs do (a
                         keep-out laid along an earlier route of route_pivots stands for
                         that route, whose arcs cut the box's corners; the spacing rule
                         keeps it).  False: only the corner points are checked.

        Zones: obstacles, keep-outs and exact obstacles are solid, and the seam where two
        abut is part of the wall.  Clearance zones and spacing bands that merely touch
        leave their common boundary usable: a corridor exactly as wide as the spacing can
        be used along its centre line.

        Rules: the route is axis-parallel with no zero-length segment, no collinear
        interior point and no reversal.  Among clean routes it minimises length + delta
        per bend, then fewer bends, then prefers bends at the turn_bias position,
        deterministically.  With no clean route the least-bad one comes back, ranked
        (worst first): length inside obstacles or keep-outs (an arc entering one counts
        one unit), earlier routes touched or crossed, runs shorter than the bend rules
        (relax_level, relaxed only when the zones force it), length inside clearances
        or spacing bands (an arc dipping into one counts one unit), then cost.

        Search: windows round the end points, widened until the route is provably the
        cheapest on its track lattice.  A window of more than 16 million crossings is
        searched in a weighted order heading for the end, and that route searched again
        exactly piece by piece (about twelve bends a piece, a few passes with the cuts
        moved): info "guided".  A heap of overlapping obstacles counts as its outline.
        Work: at most about 1e6 + 20 per box + 200 per point of route_pivots states
        (lattice lines built count too; about a microsecond each), then the least-bad
        route found comes back (info "budget_exhausted").  A port shut in is found out
        early, and the least-bad route looked for within 100,000 states.  ValueError only
        when no route at all was found.

        info keys: clean (every rule kept), bends_ok (run-length rule kept), relax_level
        (0 full rules, 1 runs >= r between bends, 2 no run rule), length, bends,
        obstacle_overlap / clearance_overlap / keep_out_overlap / spacing_overlap (length
        inside each kind of zone), contacts (earlier routes touched or crossed),
        arc_obstacle / arc_clearance (bends whose arc enters an obstacle or keep-out /
        dips into a clearance only), violations (list of "obstacle", "clearance",
        "keep_out", "spacing", "bend_radius", "arc", "self_crossing": the route touches
        or crosses itself, which a large radius can make the cheapest way round), lattice
        ((vertical lines, horizontal lines) of the first search), states_expanded,
        budget_exhausted, guided (both above; clean when so marked, not proved cheapest).
        """
        return _native.rail_bridge_v2(start, end, start_tangent, end_tangent, delta, obstacles, turn_bias,
                                      sliding_bias, real_obstacles, route_skeletons, route_spacing, route_pivots,
                                      bend_delta, dbu, arc_clearance)

    def _build_rail_bridge_graph(start, end, start_tangent, end_tangent, delta, obstacles=None, sliding_bias=0.5,
                                 enforce_min_segment_length=True, dbu=None):
        """Per-route search graph (a dataclass instance, RailBridgeGraph).

        Track lines: both end points, one bend radius (`delta`) in front of each port,
        every obstacle side at delta / 2 outside the obstacle, one cage ring 2 * delta
        outside everything, and bridge lines at `sliding_bias` across every gap wider
        than 2 * delta.  Nodes are all crossings; neighbours are joined unless the
        segment runs through an obstacle interior.  With enforce_min_segment_length,
        lines closer than `delta` to a kept line are dropped (lines through the end
        points stay), so bends on the lattice are at least delta apart.

        Fields: start, end (the approach node one bend radius in front of the end port,
        which the search targets), end_port (the end point), end_approach_len, adj (a
        LatticeAdjacency), h_lines, v_lines, h_bridges, v_bridges, obs_list (list of
        Obstacle), start_dir, end_dir (headings as direction ints), delta, dbu.
        """
        parts = _native.build_rail_bridge_graph(start, end, start_tangent, end_tangent, delta, obstacles,
                                                sliding_bias, bool(enforce_min_segment_length), dbu)
        return RailBridgeGraph(*parts, dbu)

    def _interleaved_pos(a0, a1, b0, b1):
        """True when the sorted pairs (a0, a1) and (b0, b1) interleave with four distinct
        values (a0 < b0 < a1 < b1 or b0 < a0 < b1 < a1)."""
        a0, a1, b0, b1 = (index(v, name) for v, name in ((a0, "a0"), (a1, "a1"), (b0, "b0"), (b1, "b1")))
        return a0 < b0 < a1 < b1 or b0 < a0 < b1 < a1

    def index(value, name):
        try:
            return operator.index(value)
        except TypeError:
            raise TypeError(f"{name} must be an integer index, got {type(value).__name__}") from None

    # The obstacle record is native (its fields, construction); its sequence and
    # value behaviour follow from the fields.
    def fields(o):
        return (o.x_min, o.y_min, o.x_max, o.y_max)

    def __iter__(self):
        return iter(fields(self))

    def __len__(self):
        return 4

    def __getitem__(self, i):
        return fields(self)[i]

    def __eq__(self, other):
        return fields(self) == fields(other) if isinstance(other, Obstacle) else NotImplemented

    def __hash__(self):
        return hash(fields(self))

    def __repr__(self):
        return "Obstacle(x_min=%r, y_min=%r, x_max=%r, y_max=%r)" % fields(self)

    def __reduce__(self):  # pickle and copy by the four bounds
        return Obstacle, fields(self)

    for method in (__iter__, __len__, __getitem__, __eq__, __hash__, __repr__, __reduce__):
        setattr(Obstacle, method.__name__, method)

    # The adjacency mapping: the native class has the look-ups, these follow from
    # them (collections.abc.Mapping's own where it has them); it is immutable, so
    # copies are the object itself.
    def values(self):
        return [self[n] for n in self]

    def items(self):
        return [(n, self[n]) for n in self]

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self

    LatticeAdjacency.values, LatticeAdjacency.items = values, items
    LatticeAdjacency.__copy__, LatticeAdjacency.__deepcopy__ = __copy__, __deepcopy__
    LatticeAdjacency.get, LatticeAdjacency.keys = Mapping.get, Mapping.keys
    LatticeAdjacency.__eq__, LatticeAdjacency.__hash__ = Mapping.__eq__, None
    Mapping.register(LatticeAdjacency)

    # A real dataclass, so that callers can copy a graph with dataclasses.replace.
    RailBridgeGraph = dataclasses.make_dataclass(
        "RailBridgeGraph", ["start", "end", "end_port", "end_approach_len", "adj", "h_lines", "v_lines", "h_bridges",
                            "v_bridges", "obs_list", "start_dir", "end_dir", "delta", "dbu"],
        namespace={"__doc__": inspect.cleandoc(_build_rail_bridge_graph.__doc__)}, module=__name__)
