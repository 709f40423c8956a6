// Load cases, loads and load combinations.
#include "plexum/plexum.h"

namespace tessel::plexum {

void populate_loads(nb::module_&) {}

}  // namespace tessel::plexum
