#include "bind/file_io.h"

#include <cstring>
#include <new>
#include <stdexcept>

namespace tessel::bind {
namespace {

// The count a file object returned for a request of `size` bytes: None (no
// data available without blocking) ends the read like 0; anything outside
// 0..size is refused, as the io module refuses it.
std::size_t checked_count(nb::handle count, std::size_t size, const char* method) {
    if (count.is_none()) return 0;
    nb::object index = nb::steal(check(PyNumber_Index(count.ptr())));
    const long long n = PyLong_AsLongLong(index.ptr());
    if (n == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
        PyErr_Clear();
    } else if (n >= 0 && static_cast<unsigned long long>(n) <= size) {
        return static_cast<std::size_t>(n);
    }
    PyErr_Format(PyExc_OSError, "%s() returned invalid length %S (should have been between 0 and %zu)", method,
                 index.ptr(), size);
    throw nb::python_error();
}

void release_view(nb::handle view) {
    PyObject* r = PyObject_CallMethod(view.ptr(), "release", nullptr);
    if (r) Py_DECREF(r);
    else PyErr_Clear();  // still exported by a holder, which keeps the bytearray alive
}

}  // namespace

PyByteSource::PyByteSource(nb::handle file) : file_(nb::borrow(file)), seek_(file.attr("seek")) {
    if (nb::hasattr(file, "readinto")) readinto_ = file.attr("readinto");
}

std::int64_t PyByteSource::seek(std::int64_t offset, core::Whence whence) {
    nb::object position = seek_(offset, static_cast<int>(whence));
    if (position.is_none()) position = file_.attr("tell")();
    const long long p = PyLong_AsLongLong(position.ptr());
    if (p == -1 && PyErr_Occurred()) throw nb::python_error();
    return p;
}

PyObject* PyByteSource::lent(std::size_t size) {
    const auto want = static_cast<Py_ssize_t>(size);
    // A reference held elsewhere (the object itself or a view of it, which
    // refers to it) means the file object kept it: it gets a fresh one.
    if (buffer_.is_valid() && Py_REFCNT(buffer_.ptr()) == 1) {
        if (PyByteArray_GET_SIZE(buffer_.ptr()) != want) check(PyByteArray_Resize(buffer_.ptr(), want));
    } else {
        buffer_ = nb::steal(check(PyByteArray_FromStringAndSize(nullptr, want)));
    }
    return buffer_.ptr();
}

std::size_t PyByteSource::read_once(std::size_t offset, std::size_t size) {
    PyObject* buffer = buffer_.ptr();
    if (!readinto_.is_valid()) {
        nb::object data = file_.attr("read")(size);
        Py_buffer view;
        check(PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE));
        const auto n = static_cast<std::size_t>(view.len);
        if (n <= size) std::memcpy(PyByteArray_AS_STRING(buffer) + offset, view.buf, n);
        PyBuffer_Release(&view);
        if (n > size) {
            PyErr_Format(PyExc_OSError, "read() returned %zu bytes when at most %zu were asked for", n, size);
            throw nb::python_error();
        }
        return n;
    }
    nb::object view = nb::steal(check(PyMemoryView_FromObject(buffer)));
    if (offset != 0 || static_cast<std::size_t>(PyByteArray_GET_SIZE(buffer)) != offset + size) {
        nb::object whole = view;
        view = nb::steal(check(PySequence_GetSlice(whole.ptr(), static_cast<Py_ssize_t>(offset),
                                                   static_cast<Py_ssize_t>(offset + size))));
        release_view(whole);
    }
    nb::object count = readinto_(view);
    release_view(view);
    return checked_count(count, size, "readinto");
}

std::size_t PyByteSource::read(std::span<std::uint8_t> out) {
    if (out.empty()) return 0;
    lent(out.size());
    const std::size_t n = read_once(0, out.size());
    std::memcpy(out.data(), PyByteArray_AS_STRING(buffer_.ptr()), n);
    return n;
}

std::span<const std::uint8_t> PyByteSource::read_window(std::size_t size) {
    if (size == 0) return {};
    lent(size);
    std::size_t filled = 0;
    while (filled < size) {
        const std::size_t n = read_once(filled, size - filled);
        if (n == 0) break;
        filled += n;
    }
    // No Python code runs until the next call on this source, so the bytes
    // stay as read even if the file object kept the bytearray.
    return {reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(buffer_.ptr())), filled};
}

PyByteSink::PyByteSink(nb::handle file) : write_(file.attr("write")) {}

void PyByteSink::write(std::span<const std::uint8_t> data) {
    if (data.empty()) return;
    // An immutable copy: the writer may keep it, the C++ buffer is reused.
    nb::object copy = nb::steal(check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                                static_cast<Py_ssize_t>(data.size()))));
    write_(copy);
}

void translating_core_errors(const std::function<void()>& body) {
    try {
        body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        throw nb::python_error();
    } catch (const std::invalid_argument& e) {
        raise(PyExc_ValueError, e.what());
    } catch (const core::SourceError& e) {
        raise(PyExc_OSError, e.what());
    }
}

}  // namespace tessel::bind
