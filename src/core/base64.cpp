#include "tessel/core/base64.h"

namespace tessel::core::base64 {
namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::size_t encode(std::span<const std::uint8_t> in, char* out) noexcept {
    const std::uint8_t* p = in.data();
    const std::size_t n = in.size();
    const std::size_t whole = n - n % 3;
    char* o = out;
    for (std::size_t i = 0; i < whole; i += 3, o += 4) {
        const std::uint32_t v = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8) | p[i + 2];
        o[0] = kAlphabet[v >> 18];
        o[1] = kAlphabet[(v >> 12) & 63];
        o[2] = kAlphabet[(v >> 6) & 63];
        o[3] = kAlphabet[v & 63];
    }
    if (const std::size_t rest = n - whole; rest != 0) {
        const std::uint32_t v = (std::uint32_t{p[whole]} << 16) | (rest == 2 ? std::uint32_t{p[whole + 1]} << 8 : 0);
        o[0] = kAlphabet[v >> 18];
        o[1] = kAlphabet[(v >> 12) & 63];
        o[2] = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        o[3] = '=';
        o += 4;
    }
    return static_cast<std::size_t>(o - out);
}

std::string encode(std::span<const std::uint8_t> in) {
    std::string out(encoded_size(in.size()), '\0');
    out.resize(encode(in, out.data()));
    return out;
}

}  // namespace tessel::core::base64
