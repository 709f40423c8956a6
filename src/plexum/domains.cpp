// Domains and meshing (DomainInterface).
#include "plexum/plexum.h"

namespace tessel::plexum {

void populate_domains(nb::module_&) {}

}  // namespace tessel::plexum
