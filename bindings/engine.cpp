// Module kelvane.engine: the native road of the user layer (kelvane.routing)
// to the routers beyond the deliverable modules' tables.  Each part
// (bindings/engine_*.cpp) registers its functions here.
#include "engine.hpp"

NB_MODULE(engine, m) {
    m.doc() = "Native routers of the user layer: river bundles (route_river), spaced negotiation (negotiate_spaced).";
    kelvane::py::register_river(m);
    kelvane::py::register_spaced(m);
}
