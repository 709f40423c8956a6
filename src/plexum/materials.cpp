// Materials and cross-sections (MaterialInterface, CrossSectionInterface).
#include "plexum/plexum.h"

namespace tessel::plexum {

void populate_materials(nb::module_&) {}

}  // namespace tessel::plexum
