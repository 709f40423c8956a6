// Bytes-like Python objects seen as C++ spans, and their Base64 text.
#pragma once

#include "bind/bind.h"
#include "tessel/core/base64.h"

#include <cstdint>
#include <span>

namespace tessel::bind {

// A buffer-protocol view of a bytes-like object, released on destruction.
// Fails like Python code would on anything else ("a bytes-like object is
// required, not 'str'").
class BufferView {
public:
    explicit BufferView(nb::handle obj) { check(PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_SIMPLE)); }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    std::span<const std::uint8_t> bytes() const {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_;
};

// `base64.b64encode(data)`: standard alphabet, padding, no line breaks.
inline nb::bytes base64_bytes(nb::handle data) {
    BufferView view(data);
    const auto in = view.bytes();
    nb::object out = nb::steal(check(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(core::base64::encoded_size(in.size())))));
    core::base64::encode(in, PyBytes_AS_STRING(out.ptr()));
    return nb::borrow<nb::bytes>(out);
}

// The same as text: `base64.b64encode(data).decode("ascii")`.
inline nb::str base64_str(nb::handle data) {
    BufferView view(data);
    const auto in = view.bytes();
    nb::object out = nb::steal(check(PyUnicode_New(static_cast<Py_ssize_t>(core::base64::encoded_size(in.size())), 127)));
    core::base64::encode(in, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out.ptr())));
    return nb::borrow<nb::str>(out);
}

}  // namespace tessel::bind
