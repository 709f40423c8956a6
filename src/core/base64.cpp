#include "tessel/core/base64.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TESSEL_BASE64_AVX2 1
#endif

namespace tessel::core::base64 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> make_values() {
    std::array<std::uint8_t, 256> t{};
    for (auto& v : t) v = kInvalid;
    for (std::uint8_t i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = i;
    return t;
}
constexpr auto kValues = make_values();

// Lookup tables of the fast path: the four characters of a group each give
// their bits already in place in the 3-byte result (byte 0 lowest); any
// character outside the alphabet, '=' included, sets bit 24.
constexpr std::uint32_t kBad = 0x01000000;
template <int Slot>
constexpr std::array<std::uint32_t, 256> make_slot() {
    std::array<std::uint32_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        const std::uint32_t v = kValues[c];
        if (v >= 64) {
            t[c] = kBad;
            continue;
        }
        if constexpr (Slot == 0) t[c] = v << 2;
        if constexpr (Slot == 1) t[c] = (v >> 4) | ((v & 0x0F) << 12);
        if constexpr (Slot == 2) t[c] = ((v >> 2) << 8) | ((v & 0x03) << 22);
        if constexpr (Slot == 3) t[c] = v << 16;
    }
    return t;
}
constexpr auto kSlot0 = make_slot<0>();
constexpr auto kSlot1 = make_slot<1>();
constexpr auto kSlot2 = make_slot<2>();
constexpr auto kSlot3 = make_slot<3>();

inline void store3(std::uint8_t* o, std::uint32_t x) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(o, &x, 4);  // the 4th byte is overwritten by the next group or ignored
    } else {
        o[0] = static_cast<std::uint8_t>(x);
        o[1] = static_cast<std::uint8_t>(x >> 8);
        o[2] = static_cast<std::uint8_t>(x >> 16);
    }
}

#ifdef TESSEL_BASE64_AVX2
// Decodes blocks of 32 alphabet characters into 24 bytes each (stores 32, so
// `o` needs 8 bytes of room past the output) and stops before the first block
// holding any other character. Returns the characters consumed.
//
// Each character is classified by its high and low nibble with two table
// lookups (a bit set in both marks a character outside the alphabet), turned
// into its 6-bit value by adding an offset picked by the high nibble, and the
// values are packed four into three bytes with multiply-adds and shuffles.
__attribute__((target("avx2"))) std::size_t decode_blocks_avx2(const std::uint8_t* s, std::size_t n,
                                                              std::uint8_t* o) noexcept {
    const __m256i lut_lo = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                                            0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                            0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i lut_hi = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                                            0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                                            0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    const __m256i lut_roll = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4,
                                              -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i mask_2f = _mm256_set1_epi8(0x2F);
    const __m256i merge_pairs = _mm256_set1_epi32(0x01400140);
    const __m256i merge_quads = _mm256_set1_epi32(0x00011000);
    const __m256i gather = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5,
                                            4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32, o += 24) {
        __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
        const __m256i hi_nibbles = _mm256_and_si256(_mm256_srli_epi32(text, 4), mask_2f);
        const __m256i lo = _mm256_shuffle_epi8(lut_lo, _mm256_and_si256(text, mask_2f));
        const __m256i hi = _mm256_shuffle_epi8(lut_hi, hi_nibbles);
        if (!_mm256_testz_si256(lo, hi)) break;
        const __m256i slash = _mm256_cmpeq_epi8(text, mask_2f);
        text = _mm256_add_epi8(text, _mm256_shuffle_epi8(lut_roll, _mm256_add_epi8(slash, hi_nibbles)));
        text = _mm256_madd_epi16(_mm256_maddubs_epi16(text, merge_pairs), merge_quads);
        text = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(text, gather), lanes);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), text);
    }
    return i;
}

bool has_avx2() noexcept {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

bool is_ascii(std::span<const char> text) noexcept {
    unsigned char any = 0;
    for (const char c : text) any |= static_cast<unsigned char>(c);
    return (any & 0x80) == 0;
}

}  // namespace

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

std::size_t decode(std::span<const char> in, std::uint8_t* out) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(in.data());
    const std::size_t n = in.size();
    std::uint8_t* o = out;
    std::size_t i = 0;
    int quad = 0;  // data characters of the current group seen so far
    unsigned left = 0;
    int pads = 0;
    while (i < n) {
        if (quad == 0) {
            // Fast paths: whole groups of four alphabet characters.
#ifdef TESSEL_BASE64_AVX2
            if (has_avx2() && n - i >= 32) {
                const std::size_t used = decode_blocks_avx2(s + i, n - i, o);
                i += used;
                o += used / 4 * 3;
            }
#endif
            for (; i + 4 <= n; i += 4, o += 3) {
                const std::uint32_t x = kSlot0[s[i]] | kSlot1[s[i + 1]] | kSlot2[s[i + 2]] | kSlot3[s[i + 3]];
                if (x & kBad) break;
                store3(o, x);
            }
            if (i >= n) break;
        }
        // One character at a time, exactly as the interpreter's decoder.
        const std::uint8_t ch = s[i++];
        if (ch == '=') {
            if (quad >= 2 && quad + ++pads >= 4) return static_cast<std::size_t>(o - out);
            continue;
        }
        const unsigned v = kValues[ch];
        if (v >= 64) continue;
        pads = 0;
        switch (quad) {
            case 0:
                quad = 1;
                left = v;
                break;
            case 1:
                quad = 2;
                *o++ = static_cast<std::uint8_t>((left << 2) | (v >> 4));
                left = v & 0x0F;
                break;
            case 2:
                quad = 3;
                *o++ = static_cast<std::uint8_t>((left << 4) | (v >> 2));
                left = v & 0x03;
                break;
            default:
                quad = 0;
                *o++ = static_cast<std::uint8_t>((left << 6) | v);
                left = 0;
                break;
        }
    }
    if (quad == 1) {
        char message[160];
        std::snprintf(message, sizeof message,
                      "Invalid base64-encoded string: number of data characters (%zu) cannot be 1 more than a "
                      "multiple of 4",
                      static_cast<std::size_t>(o - out) / 3 * 4 + 1);
        throw DecodeError(message);
    }
    if (quad != 0) throw DecodeError("Incorrect padding");
    return static_cast<std::size_t>(o - out);
}

ChunkedDecoder::ChunkedDecoder(ByteSink& out, std::size_t chunk)
    : out_(out), chunk_(std::max<std::size_t>(chunk, 1)), decoded_(decoded_capacity(chunk_)) {
    pending_.reserve(chunk_);
}

void ChunkedDecoder::decode_chunk(std::span<const char> chunk) {
    if (!is_ascii(chunk)) throw DecodeError("string argument should contain only ASCII characters");
    const std::size_t n = decode(chunk, decoded_.data());
    if (n != 0) out_.write(std::span(decoded_).first(n));
}

void ChunkedDecoder::write(std::span<const char> text) {
    while (!text.empty()) {
        if (pending_.empty() && text.size() >= chunk_) {
            decode_chunk(text.first(chunk_));
            text = text.subspan(chunk_);
            continue;
        }
        const std::size_t take = std::min(chunk_ - pending_.size(), text.size());
        pending_.append(text.data(), take);
        text = text.subspan(take);
        if (pending_.size() == chunk_) {
            decode_chunk(pending_);
            pending_.clear();
        }
    }
}

void ChunkedDecoder::finish() {
    std::size_t at = 0;
    for (std::size_t size = chunk_; size >= 4; size /= 4) {
        for (; pending_.size() - at >= size; at += size) decode_chunk(std::span(pending_).subspan(at, size));
    }
    const bool whole = at == pending_.size();
    pending_.clear();
    if (!whole) throw DecodeError("Value could not be decoded with base64 properly");
}

}  // namespace tessel::core::base64
