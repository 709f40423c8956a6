// Sections, result requests and the calculation step.
#include "plexum/plexum.h"

namespace tessel::plexum {

void populate_results(nb::module_&) {}

}  // namespace tessel::plexum
