// Python file objects seen through the core's byte-stream interfaces.
//
// Data moves in whole buffers: a read is a `readinto` call (or a `read` call
// for objects without `readinto`), a write is one `write` call. Python code
// only ever sees memory that Python owns: reads fill a bytearray lent to the
// file object (replaced by a fresh one when the file object kept a reference
// or a view of it), writes pass an immutable bytes copy. A file object that
// reports more bytes than it was given raises OSError. Errors raised by the
// file object pass through as nb::python_error.
#pragma once

#include "bind/bind.h"
#include "tessel/core/byte_io.h"

namespace tessel::bind {

// A readable, seekable Python file object (binary mode).
class PyByteSource final : public core::ByteSource {
public:
    explicit PyByteSource(nb::handle file);
    std::int64_t seek(std::int64_t offset, core::Whence whence) override;
    std::size_t read(std::span<std::uint8_t> out) override;
    std::span<const std::uint8_t> read_window(std::size_t size) override;

private:
    // The lent bytearray, `size` bytes long and referred to by nothing else.
    PyObject* lent(std::size_t size);
    // One `readinto` of lent()[offset:offset + size] (or one `read`); the
    // number of bytes the file object reported.
    std::size_t read_once(std::size_t offset, std::size_t size);

    nb::object file_;
    nb::object seek_;
    nb::object readinto_;  // invalid when the object has none: `read` is used
    nb::object buffer_;    // the bytearray lent to readinto / filled from read
};

// A writable Python file object (binary mode).
class PyByteSink final : public core::ByteSink {
public:
    explicit PyByteSink(nb::handle file);
    void write(std::span<const std::uint8_t> data) override;

private:
    nb::object write_;
};

// A Python bytes object of `size` bytes filled by `fill(span)`, which returns
// how many it wrote (the object is shrunk to that). Only C++ writes into it,
// and it is never shared before it is filled.
template <typename Fill>
nb::bytes make_bytes(std::size_t size, Fill&& fill) {
    PyObject* obj = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    nb::object owner = nb::steal(obj);
    const std::size_t n = fill(std::span(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(obj)), size));
    if (n != size) {
        owner.release();
        check(_PyBytes_Resize(&obj, static_cast<Py_ssize_t>(n)));
        owner = nb::steal(obj);
    }
    return nb::steal<nb::bytes>(owner.release());
}

// Runs `body`, turning the core's exceptions into the Python errors they
// stand for: its value errors into ValueError with the same message, a byte
// source that broke its contract into OSError, memory exhaustion into
// MemoryError. Other C++ exceptions pass unchanged.
void translating_core_errors(const std::function<void()>& body);

}  // namespace tessel::bind
