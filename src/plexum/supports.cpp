// Node and line supports (NodeSupportInterface, LineSupportInterface).
#include "plexum/plexum.h"

namespace tessel::plexum {

void populate_supports(nb::module_&) {}

}  // namespace tessel::plexum
