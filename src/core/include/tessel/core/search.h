// Finding a literal word in a seekable byte source with overlapping windows,
// and reading the bytes between two positions in pieces.
#pragma once

#include "tessel/core/byte_io.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>

namespace tessel::core::search {

inline constexpr std::size_t npos = static_cast<std::size_t>(-1);

// Index of the first occurrence of `needle` in `haystack`, npos when there is
// none; an empty needle is found at 0.
std::size_t find(std::span<const std::uint8_t> haystack, std::span<const std::uint8_t> needle) noexcept;

// Raised when the window could not hold the word.
class BufferTooSmall : public std::invalid_argument {
public:
    BufferTooSmall()
        : std::invalid_argument("The buffer size must be equal or larger than the string being searched for.") {}
};

// Window size used for the scan whatever the caller's buffer size (at least
// twice the word, so that every window advances by at least half of itself,
// and no more than the bytes left to read from the start).
inline constexpr std::size_t kScanWindow = std::size_t{1} << 20;

// Absolute position of the first occurrence of `word` in `source` found by
// scanning windows from `start`, or -1.
//
// Each window begins `len(word) - 1` bytes before the end of the previous
// one, so a word that straddles two windows is found; when `start` is at
// least that overlap, the first window also begins that far before `start`,
// so a match beginning up to `len(word) - 1` bytes before `start` counts.
// The result does not depend on the window size: any occurrence lies whole in
// the first window that reaches it. The scan therefore reads windows of
// kScanWindow bytes (few, large reads); `buffer_size` is only checked against
// the word's length (BufferTooSmall). The source is left positioned after the
// last window read.
std::int64_t find_word_position(ByteSource& source, std::span<const std::uint8_t> word, std::int64_t start,
                                std::int64_t buffer_size);

// The bytes of [begin, end) of a source, in pieces of at most `piece_size`.
// An end at or before the begin gives no piece (it never loops), and the
// stream also ends when the source ends early.
class RangeReader {
public:
    RangeReader(ByteSource& source, std::int64_t begin, std::int64_t end, std::int64_t piece_size) noexcept
        : source_(source), begin_(begin), end_(end), piece_size_(piece_size) {}

    // Size of the next piece; 0 when the stream has ended. The first call
    // seeks to `begin`.
    std::size_t next_size();
    // Reads the next piece (at most next_size() bytes) into `out`; returns the
    // bytes read, 0 when the source ended before `end`.
    std::size_t read(std::span<std::uint8_t> out);

private:
    ByteSource& source_;
    std::int64_t begin_, end_, piece_size_;
    std::int64_t position_ = 0;
    bool started_ = false;
    bool ended_ = false;
};

}  // namespace tessel::core::search
