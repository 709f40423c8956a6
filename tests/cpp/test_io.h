// In-memory byte sources and sinks for the core tests.
#pragma once

#include "tessel/core/byte_io.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::testing {

inline std::span<const std::uint8_t> bytes_of(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// A seekable source over a string whose reads return random short counts
// (at least one byte), so the engines must cope with partial reads.
class MemorySource final : public core::ByteSource {
public:
    explicit MemorySource(std::string data, unsigned seed = 0, std::size_t max_read = 0)
        : data_(std::move(data)), rng_(seed), max_read_(max_read) {}

    std::int64_t seek(std::int64_t offset, core::Whence whence) override {
        const std::int64_t base = whence == core::Whence::set       ? 0
                                  : whence == core::Whence::current ? position_
                                                                    : static_cast<std::int64_t>(data_.size());
        position_ = base + offset;
        ++seeks;
        return position_;
    }

    std::size_t read(std::span<std::uint8_t> out) override {
        ++reads;
        const auto size = static_cast<std::int64_t>(data_.size());
        if (out.empty() || position_ >= size) return 0;
        std::size_t n = std::min<std::size_t>(out.size(), static_cast<std::size_t>(size - position_));
        if (max_read_ != 0) n = std::min(n, std::uniform_int_distribution<std::size_t>(1, max_read_)(rng_));
        std::memcpy(out.data(), data_.data() + position_, n);
        position_ += static_cast<std::int64_t>(n);
        bytes_read += n;
        return n;
    }

    std::int64_t position() const { return position_; }

    int seeks = 0;
    int reads = 0;
    std::size_t bytes_read = 0;

private:
    std::string data_;
    std::int64_t position_ = 0;
    std::mt19937 rng_;
    std::size_t max_read_;
};

class StringSink final : public core::ByteSink {
public:
    void write(std::span<const std::uint8_t> data) override {
        text.append(reinterpret_cast<const char*>(data.data()), data.size());
        ++writes;
        largest = std::max(largest, data.size());
    }
    std::string text;
    int writes = 0;
    std::size_t largest = 0;
};

// Splits `text` into pieces of random sizes between 1 and `max_piece`.
inline std::vector<std::string_view> random_pieces(std::string_view text, std::mt19937& rng, std::size_t max_piece) {
    std::vector<std::string_view> pieces;
    std::uniform_int_distribution<std::size_t> size(1, max_piece);
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t n = std::min(size(rng), text.size() - at);
        pieces.push_back(text.substr(at, n));
        at += n;
    }
    return pieces;
}

}  // namespace tessel::testing
