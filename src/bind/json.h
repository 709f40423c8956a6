// JSON encoding of job content, byte-identical to `json.dumps(value)` with
// default options and encoded as UTF-8.
#pragma once

#include "bind/bind.h"

namespace tessel::bind {

// The bytes of `dumps(value).encode("utf-8")`, where `dumps` is the
// interpreter's `json.dumps` (passed in by the caller, looked up when it runs,
// so that patches are seen). Values of exactly the types dict, list, tuple,
// str, int (within 64 bits), float, bool and None are written here in one pass
// into one growing bytes object; every other value (subclasses such as IntEnum
// members, dictionaries with keys that are not exactly str, larger ints,
// unknown types) is encoded by `dumps` itself and its text copied in, so the
// output and the errors for it stay the stdlib's. A container met again inside
// itself raises ValueError("Circular reference detected"); nesting deeper than
// the interpreter allows raises RecursionError.
nb::bytes json_dumps_bytes(nb::handle value, nb::handle dumps);

}  // namespace tessel::bind
