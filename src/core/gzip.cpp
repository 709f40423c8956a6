#include "tessel/core/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <new>
#include <string>

namespace tessel::core::gzip {
namespace {

// 16 + MAX_WBITS: a gzip header and trailer around a deflate stream.
constexpr int kGzipWindowBits = 16 + MAX_WBITS;

[[noreturn]] void fail(const z_stream& z, int code) {
    if (code == Z_MEM_ERROR) throw std::bad_alloc();
    const char* detail = z.msg;
    if (detail == nullptr) {
        switch (code) {
            case Z_BUF_ERROR: detail = "incomplete or truncated stream"; break;
            case Z_STREAM_ERROR: detail = "inconsistent stream state"; break;
            case Z_DATA_ERROR: detail = "invalid input data"; break;
            default: break;
        }
    }
    std::string message = "Error " + std::to_string(code) + " while decompressing data";
    if (detail != nullptr) message += std::string(": ") + std::string(detail).substr(0, 200);
    throw GzipError(code, message);
}

}  // namespace

struct GzipInflater::Stream {
    z_stream z{};
};

GzipInflater::GzipInflater(ByteSink& out) : out_(out), stream_(std::make_unique<Stream>()), output_(kOutput) {
    const int code = inflateInit2(&stream_->z, kGzipWindowBits);
    if (code != Z_OK) fail(stream_->z, code);
}

GzipInflater::~GzipInflater() { inflateEnd(&stream_->z); }

void GzipInflater::write(std::span<const std::uint8_t> in) {
    if (in.empty()) return;
    started_ = true;
    z_stream& z = stream_->z;
    // zlib counts in 32 bits: hand over at most 1 GiB at a time.
    constexpr std::size_t kSlice = std::size_t{1} << 30;
    while (!in.empty() && !ended_) {  // after the member's end input is ignored, as unused data
        const auto slice = in.first(std::min(in.size(), kSlice));
        in = in.subspan(slice.size());
        z.next_in = const_cast<Bytef*>(slice.data());
        z.avail_in = static_cast<uInt>(slice.size());
        do {
            z.next_out = output_.data();
            z.avail_out = static_cast<uInt>(output_.size());
            const int code = inflate(&z, Z_NO_FLUSH);
            const std::size_t produced = output_.size() - z.avail_out;
            if (code != Z_OK && code != Z_STREAM_END && code != Z_BUF_ERROR) fail(z, code);
            if (produced != 0) out_.write(std::span(output_).first(produced));
            if (code == Z_STREAM_END) {
                ended_ = true;
                break;
            }
            if (code == Z_BUF_ERROR) break;  // no progress possible: more input needed
        } while (z.avail_in != 0 || z.avail_out == 0);
    }
    z.next_in = nullptr;
    z.avail_in = 0;
}

void GzipInflater::finish() {
    if (started_ && !ended_) {
        z_stream z{};
        fail(z, Z_BUF_ERROR);
    }
}

}  // namespace tessel::core::gzip
