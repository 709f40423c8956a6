#include "bind/file_io.h"

#include <cstring>
#include <new>
#include <stdexcept>

namespace tessel::bind {
namespace {

// A memoryview of C++ memory for the duration of one call; released after it
// so that a file object that kept the view cannot see the memory change.
class TransientView {
public:
    TransientView(void* data, std::size_t size, int flags)
        : view_(nb::steal(check(PyMemoryView_FromMemory(static_cast<char*>(data), static_cast<Py_ssize_t>(size), flags)))) {}
    ~TransientView() {
        PyObject* r = PyObject_CallMethod(view_.ptr(), "release", nullptr);
        if (r) Py_DECREF(r);
        else PyErr_Clear();  // still exported by its holder: nothing more to do
    }
    nb::handle get() const { return view_; }

private:
    nb::object view_;
};

std::size_t as_size(nb::handle count) {
    if (count.is_none()) return 0;  // nothing available (non-blocking): ends the read like an empty one
    const long long n = PyLong_AsLongLong(count.ptr());
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    return n < 0 ? 0 : static_cast<std::size_t>(n);
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

std::size_t PyByteSource::read(std::span<std::uint8_t> out) {
    if (out.empty()) return 0;
    if (readinto_.is_valid()) {
        TransientView view(out.data(), out.size(), PyBUF_WRITE);
        return std::min(as_size(readinto_(view.get())), out.size());
    }
    nb::object data = file_.attr("read")(out.size());
    Py_buffer buffer;
    check(PyObject_GetBuffer(data.ptr(), &buffer, PyBUF_SIMPLE));
    const std::size_t n = std::min(out.size(), static_cast<std::size_t>(buffer.len));
    std::memcpy(out.data(), buffer.buf, n);
    PyBuffer_Release(&buffer);
    return n;
}

PyByteSink::PyByteSink(nb::handle file) : write_(file.attr("write")) {}

void PyByteSink::write(std::span<const std::uint8_t> data) {
    if (data.empty()) return;
    TransientView view(const_cast<std::uint8_t*>(data.data()), data.size(), PyBUF_READ);
    write_(view.get());
}

void translating_core_errors(const std::function<void()>& body) {
    try {
        body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        throw nb::python_error();
    } catch (const std::invalid_argument& e) {
        raise(PyExc_ValueError, e.what());
    }
}

}  // namespace tessel::bind
