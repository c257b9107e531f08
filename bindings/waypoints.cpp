#include "convert.hpp"

NB_MODULE(waypoints, m) { m.doc() = "Single routes through ordered waypoints."; }
