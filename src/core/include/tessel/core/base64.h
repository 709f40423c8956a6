// Base64 (RFC 4648 standard alphabet, with padding) for chunked streaming.
#pragma once

#include "tessel/core/byte_io.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessel::core::base64 {

// Length of the encoded text of `n` input bytes, padding included.
constexpr std::size_t encoded_size(std::size_t n) noexcept { return (n + 2) / 3 * 4; }

// Encodes `in` into `out`, which must hold encoded_size(in.size()) characters.
// Returns the number of characters written. Chunks whose length is a multiple
// of 3 encode without padding, so their encodings concatenate to the encoding
// of the whole input.
std::size_t encode(std::span<const std::uint8_t> in, char* out) noexcept;

// Convenience: the encoded text as a string.
std::string encode(std::span<const std::uint8_t> in);

// Text that does not decode; the message is the one the interpreter's
// decoder gives for the same text.
class DecodeError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Room `decode` needs for `n` characters of text.
constexpr std::size_t decoded_capacity(std::size_t n) noexcept { return n / 4 * 3 + 8; }

// Decodes one piece of text by the rules of the interpreter's lenient
// decoder (binascii.a2b_base64): characters outside the alphabet are
// skipped, a padding sequence ends the text (what follows is ignored), and a
// text whose data characters do not end on a whole group (after padding)
// raises DecodeError. `out` must hold decoded_capacity(in.size()) bytes.
// Returns the number of bytes written.
std::size_t decode(std::span<const char> in, std::uint8_t* out);

// Decodes a text that arrives in pieces of any size the way a value is
// decoded into a file: cut into chunks of `chunk` (65536) characters, each
// decoded on its own (so chunk boundaries, not the whole text, delimit groups
// and padding); what is left at the end is cut into chunks of a quarter of
// that size, a quarter again and so on down to 4 (16384, 4096, ..., 4). Decoded chunks go to `out` in order. A chunk with a character
// outside ASCII raises DecodeError, as the decoder does for such text; so
// does a final remainder of 1 to 3 characters.
class ChunkedDecoder {
public:
    static constexpr std::size_t kChunk = 65536;

    explicit ChunkedDecoder(ByteSink& out, std::size_t chunk = kChunk);
    void write(std::span<const char> text);
    void finish();

private:
    void decode_chunk(std::span<const char> chunk);

    ByteSink& out_;
    std::size_t chunk_;
    std::string pending_;
    std::vector<std::uint8_t> decoded_;
};

}  // namespace tessel::core::base64
