// JSON encoding of job content, byte-identical to `json.dumps(value)` with
// default options and encoded as UTF-8.
#pragma once

#include "bind/bind.h"

#include <string_view>

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
//
// A value whose class has `__json_text__` writes itself: the method returns
// its JSON text as bytes, which are copied in as they are (for content made
// by C++ that never needs to become Python objects).
nb::bytes json_dumps_bytes(nb::handle value, nb::handle dumps);

// The same encoder, fed piece by piece: JSON text written as it is (the
// punctuation between pieces) and values written as `json.dumps` would.
class JsonWriter {
public:
    explicit JsonWriter(nb::handle dumps, std::size_t reserve = 4096);
    ~JsonWriter();
    JsonWriter(const JsonWriter&) = delete;
    JsonWriter& operator=(const JsonWriter&) = delete;

    JsonWriter& raw(std::string_view text);
    JsonWriter& value(nb::handle v);
    // The text written, as bytes (the writer takes nothing more afterwards).
    nb::bytes take();

private:
    struct State;
    State* state_;
};

}  // namespace tessel::bind
