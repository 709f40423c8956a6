// Streaming gzip decompression (one gzip member, header and trailer checked)
// on the system zlib.
#pragma once

#include "tessel/core/byte_io.h"

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

namespace tessel::core::gzip {

// Data that does not inflate, with zlib's code and a message worded as the
// interpreter's zlib module words it ("Error -3 while decompressing data: ...").
class GzipError : public std::runtime_error {
public:
    GzipError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

// Inflates a gzip stream written to it in pieces of any size and writes the
// output to `out` in pieces of at most kOutput bytes, so memory stays bounded
// whatever the compression ratio. Like the interpreter's decompressor object
// for window bits 31 it reads one gzip member: bytes after its end are
// ignored. Unlike it, `finish` reports a stream that ended early.
class GzipInflater final : public ByteSink {
public:
    static constexpr std::size_t kOutput = 65536;

    explicit GzipInflater(ByteSink& out);
    ~GzipInflater() override;
    GzipInflater(const GzipInflater&) = delete;
    GzipInflater& operator=(const GzipInflater&) = delete;

    void write(std::span<const std::uint8_t> in) override;
    // Raises GzipError (-5, truncated) when input was given but the member
    // did not end. No input at all is an empty stream, not an error.
    void finish();
    bool ended() const noexcept { return ended_; }

private:
    struct Stream;
    ByteSink& out_;
    std::unique_ptr<Stream> stream_;
    std::vector<std::uint8_t> output_;
    bool ended_ = false;
    bool started_ = false;
};

}  // namespace tessel::core::gzip
