// Base64 (RFC 4648 standard alphabet, with padding) for chunked streaming.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

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

}  // namespace tessel::core::base64
