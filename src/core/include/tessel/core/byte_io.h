// The small byte-stream interfaces the core engines read from and write to.
// The binding layer adapts Python file objects to them; tests use memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessel::core {

enum class Whence : int { set = 0, current = 1, end = 2 };

// A seekable source of bytes, like a binary file opened for reading.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Moves the position and returns the new absolute position.
    virtual std::int64_t seek(std::int64_t offset, Whence whence) = 0;
    // Reads up to out.size() bytes at the position and advances it; 0 only
    // at the end of the source (or for an empty `out`). May return fewer.
    virtual std::size_t read(std::span<std::uint8_t> out) = 0;
    // Reads up to `size` bytes at the position (fewer only at the end of the
    // source) into memory the source lends: valid until the next call on the
    // source. Sources with a buffer of their own override it to save a copy.
    virtual std::span<const std::uint8_t> read_window(std::size_t size);

private:
    std::vector<std::uint8_t> window_;
};

// A source that breaks its own contract (reports more bytes than it was
// asked for, or reads past the size it reported).
class SourceError : public std::runtime_error {
public:
    explicit SourceError(const std::string& what) : std::runtime_error(what) {}
};

// A sink of bytes, like a binary file opened for writing.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual void write(std::span<const std::uint8_t> data) = 0;
};

// Reads until `out` is full or the source ends; returns the bytes read.
inline std::size_t read_full(ByteSource& source, std::span<std::uint8_t> out) {
    std::size_t filled = 0;
    while (filled < out.size()) {
        const std::size_t n = source.read(out.subspan(filled));
        if (n == 0) break;
        filled += n;
    }
    return filled;
}

inline std::span<const std::uint8_t> ByteSource::read_window(std::size_t size) {
    window_.resize(size);
    return std::span<const std::uint8_t>(window_).first(read_full(*this, window_));
}

}  // namespace tessel::core
