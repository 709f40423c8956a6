// The model as the analysis ships it.
#pragma once

#include "plexum/plexum.h"

namespace tessel::plexum {

// `model._serialize()` for a job content that goes straight to the upload:
// while the model and its interfaces are the module's own, the linear
// analysis is added as `_serialize` adds it and the records are written as
// JSON text straight from where they wait (a `_ShippedModel`, which the job
// content's encoder writes as it is); otherwise `_serialize()` itself, or
// what it would return. The records stay where they are: a later look at
// them finds them as `_serialize` would have left them.
nb::object serialized_for_shipping(nb::handle model);

}  // namespace tessel::plexum
