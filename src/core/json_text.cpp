#include "tessel/core/json_text.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace tessel::core::json_text {

// ------------------------------------------------------------------ buffers

StringBuffer::StringBuffer(std::size_t reserve) {
    storage_.resize(reserve);
    reset(storage_.data(), storage_.size());
}

void StringBuffer::grow(std::size_t extra) {
    storage_.resize(next_capacity(extra));
    reset(storage_.data(), storage_.size());
}

std::string StringBuffer::take() {
    storage_.resize(size());
    std::string out = std::move(storage_);
    storage_.clear();
    reset(storage_.data(), 0);
    truncate(0);
    return out;
}

// ------------------------------------------------------------------ strings

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Bytes a character below U+0080 takes beyond its own one: 0 when written as
// itself, 1 for a two-character escape, 5 for a \uXXXX escape.
constexpr auto kAsciiExtra = [] {
    struct Table {
        std::uint8_t extra[128];
    } t{};
    for (int c = 0; c < 128; ++c) t.extra[c] = (c < 0x20 || c == 0x7f) ? 5 : 0;
    for (int c : {'"', '\\', '\b', '\f', '\n', '\r', '\t'}) t.extra[c] = 1;
    return t;
}();

template <typename Unit>
std::size_t literal_size(const Unit* text, std::size_t length) noexcept {
    std::size_t size = length + 2;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint32_t c = text[i];
        if (c < 0x80)
            size += kAsciiExtra.extra[c];
        else
            size += c > 0xffff ? 11 : 5;
    }
    return size;
}

inline char* write_u_escape(std::uint32_t c, char* p) noexcept {
    p[0] = '\\';
    p[1] = 'u';
    p[2] = kHex[(c >> 12) & 0xf];
    p[3] = kHex[(c >> 8) & 0xf];
    p[4] = kHex[(c >> 4) & 0xf];
    p[5] = kHex[c & 0xf];
    return p + 6;
}

inline char* write_escape(std::uint32_t c, char* p) noexcept {
    char short_form = 0;
    switch (c) {
        case '"': short_form = '"'; break;
        case '\\': short_form = '\\'; break;
        case '\b': short_form = 'b'; break;
        case '\f': short_form = 'f'; break;
        case '\n': short_form = 'n'; break;
        case '\r': short_form = 'r'; break;
        case '\t': short_form = 't'; break;
        default: break;
    }
    if (short_form) {
        p[0] = '\\';
        p[1] = short_form;
        return p + 2;
    }
    if (c > 0xffff) {
        const std::uint32_t v = c - 0x10000;
        p = write_u_escape(0xd800 | ((v >> 10) & 0x3ff), p);
        return write_u_escape(0xdc00 | (v & 0x3ff), p);
    }
    return write_u_escape(c, p);
}

template <typename Unit>
void append_literal(Buffer& out, const Unit* text, std::size_t length) {
    const std::size_t size = literal_size(text, length);
    char* p = out.room(size);
    *p++ = '"';
    if (size == length + 2) {
        // Nothing to escape: every unit is printable ASCII.
        for (std::size_t i = 0; i < length; ++i) p[i] = static_cast<char>(text[i]);
        p += length;
    } else {
        for (std::size_t i = 0; i < length; ++i) {
            const std::uint32_t c = text[i];
            if (c < 0x80 && kAsciiExtra.extra[c] == 0)
                *p++ = static_cast<char>(c);
            else
                p = write_escape(c, p);
        }
    }
    *p++ = '"';
    out.commit(p);
}

}  // namespace

void append_string(Buffer& out, const std::uint8_t* text, std::size_t length) {
    const std::size_t size = literal_size(text, length);
    if (size == length + 2) {
        char* p = out.room(size);
        *p = '"';
        if (length) std::memcpy(p + 1, text, length);
        p[length + 1] = '"';
        out.commit(p + size);
        return;
    }
    append_literal(out, text, length);
}

void append_string(Buffer& out, const std::uint16_t* text, std::size_t length) { append_literal(out, text, length); }

void append_string(Buffer& out, const std::uint32_t* text, std::size_t length) { append_literal(out, text, length); }

// ------------------------------------------------------------------ numbers

void append_int(Buffer& out, std::int64_t value) {
    char* p = out.room(20);
    out.commit(std::to_chars(p, p + 20, value).ptr);
}

namespace {

// 5**j for the binary fractions of the fast path (j <= 13).
constexpr std::uint64_t kPow5[] = {1, 5, 25, 125, 625, 3125, 15625, 78125, 390625, 1953125, 9765625,
                                   48828125, 244140625, 1220703125};
constexpr std::uint64_t kPow10[] = {1,
                                    10,
                                    100,
                                    1000,
                                    10000,
                                    100000,
                                    1000000,
                                    10000000,
                                    100000000,
                                    1000000000,
                                    10000000000,
                                    100000000000,
                                    1000000000000,
                                    10000000000000,
                                    100000000000000,
                                    1000000000000000,
                                    10000000000000000,
                                    100000000000000000,
                                    1000000000000000000};
constexpr double kTwo53 = 9007199254740992.0;
// 5 * 2**53: below it, a binary fraction's exact decimal is its shortest text.
constexpr std::uint64_t kShortFractionLimit = 5 * (std::uint64_t{1} << 53);

// Fast paths for the values models are full of (0.0, 3.0, 1.5, 0.25). They
// write the exact decimal expansion, which is then also the shortest text that
// reads back to the value:
// - an integer v < 2**53: a text with fewer significant digits is a
//   different multiple of a power of ten, at least 1 away, while the doubles
//   next to v are at most 1 away (a text must lie within half of that);
// - v = n / 2**j with n odd, 1 <= j <= 13: the expansion q * 10**-j
//   (q = n * 5**j) ends in the digit 5, so every text with fewer digits after
//   the point is at least 5 * 10**-j away; when q < 5 * 2**53 that exceeds
//   v * 2**-53, the largest distance a text may have to read back to v. And
//   v >= 2**-13 > 1e-4 and v < 1e16 keep it in positional form.
// Returns nullptr when neither applies.
char* write_short_double(double v, char* p) noexcept {
    if (v >= kTwo53) return nullptr;
    const auto whole = static_cast<std::uint64_t>(v);
    if (static_cast<double>(whole) == v) {
        p = std::to_chars(p, p + 20, whole).ptr;
        *p++ = '.';
        *p++ = '0';
        return p;
    }
    const double scaled = v * 8192.0;  // exact: a power of two
    const auto n13 = static_cast<std::uint64_t>(scaled);
    if (static_cast<double>(n13) != scaled) return nullptr;
    const int zeros = std::countr_zero(n13);  // < 13: v is not an integer
    const int j = 13 - zeros;
    const std::uint64_t n = n13 >> zeros;
    if (n >= kShortFractionLimit / kPow5[j]) return nullptr;
    const std::uint64_t q = n * kPow5[j];
    p = std::to_chars(p, p + 20, q / kPow10[j]).ptr;
    *p++ = '.';
    std::uint64_t fraction = q % kPow10[j];
    for (int i = j - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + fraction % 10);
        fraction /= 10;
    }
    return p + j;
}

}  // namespace

// ------------------------------------------------- shortest decimal digits
//
// The digits come from the interval method: the decimals that read back to v
// lie between the midpoints to its neighbouring doubles (ends included when
// v's significand is even, as reading rounds half to even); the interval's
// ends and v are scaled by a power of ten with 128-bit fixed-point powers of
// five, and digits are dropped while the interval still holds a decimal of
// that length. The last kept digit is rounded to nearest, halfway cases to
// even, which gives the closest of the shortest decimals.

namespace {

__extension__ typedef unsigned __int128 uint128;

constexpr int kPow5Bits = 125;     // significant bits kept of 5**i
constexpr int kPow5InvBits = 125;  // and of 2**k / 5**q
constexpr int kPow5Count = 326;
constexpr int kPow5InvCount = 342;

// ceil(log2(5**e)) for e >= 1, and 1 for e == 0; exact for 0 <= e <= 3528.
constexpr int pow5_bits(int e) { return static_cast<int>((static_cast<std::uint32_t>(e) * 1217359) >> 19) + 1; }
// floor(log10(2**e)) for 0 <= e <= 1650.
constexpr std::uint32_t log10_pow2(int e) { return (static_cast<std::uint32_t>(e) * 78913) >> 18; }
// floor(log10(5**e)) for 0 <= e <= 2620.
constexpr std::uint32_t log10_pow5(int e) { return (static_cast<std::uint32_t>(e) * 732923) >> 20; }

// The eight decimal digits of v < 10**8 as ASCII, first digit in the lowest
// byte: split into halves, quarters and single digits in parallel lanes.
inline std::uint64_t eight_digits(std::uint32_t v) noexcept {
    std::uint64_t x = (v / 10000) | (std::uint64_t{v % 10000} << 32);
    std::uint64_t q = ((x * 10486) >> 20) & 0x0000007f0000007full;  // x / 100 per lane
    x = q | ((x - q * 100) << 16);
    q = ((x * 103) >> 10) & 0x000f000f000f000full;  // x / 10 per lane
    x = q | ((x - q * 10) << 8);
    return x | 0x3030303030303030ull;
}

// Writes v < 10**17 right-aligned as 17 digits into out[0, 17), leaving
// out[17, 33) scratch, and returns the number of significant digits (v > 0).
inline int write_digits(std::uint64_t v, char* out) noexcept {
    const std::uint64_t high = v / 100000000;
    const std::uint64_t parts[2] = {eight_digits(static_cast<std::uint32_t>(high % 100000000)),
                                    eight_digits(static_cast<std::uint32_t>(v % 100000000))};
    out[0] = static_cast<char>('0' + high / 100000000);
    std::memcpy(out + 1, parts, 16);
    const int log10_estimate = (std::bit_width(v) * 1233) >> 12;
    return log10_estimate - (v < kPow10[log10_estimate]) + 1;
}

struct Pow5Tables {
    std::uint64_t pow5[kPow5Count][2];         // 5**i to kPow5Bits bits: {low, high}
    std::uint64_t pow5_inv[kPow5InvCount][2];  // floor(2**(pow5_bits(q) - 1 + kPow5InvBits) / 5**q) + 1
};

// Big numbers of 32-bit words, least significant first.
constexpr int kWords = 34;  // 2**1056 > 2**(max shift) covers every reciprocal
using Big = std::uint32_t[kWords];

// Bits [from, from + 128) of a big number.
constexpr uint128 bits_of(const Big& b, int from) {
    uint128 r = 0;
    for (int bit = 127; bit >= 0; --bit) {
        const int at = from + bit;
        const std::uint32_t v = at < 0 || at >= kWords * 32 ? 0 : (b[at / 32] >> (at % 32)) & 1;
        r = (r << 1) | v;
    }
    return r;
}

// Computed once by the compiler: 5**i by repeated multiplication; the
// reciprocals by repeated division of 2**1055 by 5 (floor(floor(x/a)/b) is
// floor(x/ab)), then cut down to the wanted power of two.
constexpr Pow5Tables make_pow5_tables() {
    Pow5Tables t{};
    Big p{};
    p[0] = 1;
    for (int i = 0; i < kPow5Count; ++i) {
        const uint128 top = bits_of(p, pow5_bits(i) - kPow5Bits);
        t.pow5[i][0] = static_cast<std::uint64_t>(top);
        t.pow5[i][1] = static_cast<std::uint64_t>(top >> 64);
        std::uint64_t carry = 0;
        for (auto& w : p) {
            const std::uint64_t v = std::uint64_t{w} * 5 + carry;
            w = static_cast<std::uint32_t>(v);
            carry = v >> 32;
        }
    }
    constexpr int kTop = kWords * 32 - 1;
    Big r{};
    r[kWords - 1] = 0x80000000u;  // 2**kTop
    for (int q = 0; q < kPow5InvCount; ++q) {
        const int shift = pow5_bits(q) - 1 + kPow5InvBits;
        const uint128 value = bits_of(r, kTop - shift) + 1;
        t.pow5_inv[q][0] = static_cast<std::uint64_t>(value);
        t.pow5_inv[q][1] = static_cast<std::uint64_t>(value >> 64);
        std::uint64_t rest = 0;
        for (int w = kWords - 1; w >= 0; --w) {
            const std::uint64_t v = (rest << 32) | r[w];
            r[w] = static_cast<std::uint32_t>(v / 5);
            rest = v % 5;
        }
    }
    return t;
}

constexpr Pow5Tables kTables = make_pow5_tables();

// (m * mul) >> j for a significand m below 2**55 and j >= 64.
inline std::uint64_t mul_shift(std::uint64_t m, const std::uint64_t* mul, int j) noexcept {
    const uint128 low = uint128{m} * mul[0];
    const uint128 high = uint128{m} * mul[1];
    return static_cast<std::uint64_t>(((low >> 64) + high) >> (j - 64));
}

inline int pow5_factor(std::uint64_t v) noexcept {
    int count = 0;
    while (v % 5 == 0) {
        v /= 5;
        ++count;
    }
    return count;
}
inline bool multiple_of_pow5(std::uint64_t v, std::uint32_t p) noexcept { return pow5_factor(v) >= static_cast<int>(p); }
inline bool multiple_of_pow2(std::uint64_t v, std::uint32_t p) noexcept { return (v & ((std::uint64_t{1} << p) - 1)) == 0; }

}  // namespace

Decimal shortest_decimal(double value) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);

    // value = m2 * 2**e2, with two extra bits for the interval's ends.
    int e2;
    std::uint64_t m2;
    if (biased == 0) {
        e2 = 1 - 1023 - 52 - 2;
        m2 = fraction;
    } else {
        e2 = biased - 1023 - 52 - 2;
        m2 = (std::uint64_t{1} << 52) | fraction;
    }
    const bool accept_bounds = (m2 & 1) == 0;
    const std::uint64_t mv = 4 * m2;
    // The lower neighbour is closer at a power of two (except the smallest).
    const std::uint32_t mm_shift = fraction != 0 || biased <= 1;

    // Scale v (vr) and the ends of its interval (vm, vp) by 10**-e10.
    std::uint64_t vr, vp, vm;
    int e10;
    bool vm_trailing_zeros = false;
    bool vr_trailing_zeros = false;
    if (e2 >= 0) {
        const std::uint32_t q = log10_pow2(e2) - (e2 > 3);
        e10 = static_cast<int>(q);
        const int k = kPow5InvBits + pow5_bits(static_cast<int>(q)) - 1;
        const int i = -e2 + static_cast<int>(q) + k;
        const std::uint64_t* mul = kTables.pow5_inv[q];
        vr = mul_shift(4 * m2, mul, i);
        vp = mul_shift(4 * m2 + 2, mul, i);
        vm = mul_shift(4 * m2 - 1 - mm_shift, mul, i);
        if (q <= 21) {
            // At most one of mv, mp and mm is a multiple of 5.
            if (mv % 5 == 0)
                vr_trailing_zeros = multiple_of_pow5(mv, q);
            else if (accept_bounds)
                vm_trailing_zeros = multiple_of_pow5(mv - 1 - mm_shift, q);
            else
                vp -= multiple_of_pow5(mv + 2, q);
        }
    } else {
        const std::uint32_t q = log10_pow5(-e2) - (-e2 > 1);
        e10 = static_cast<int>(q) + e2;
        const int i = -e2 - static_cast<int>(q);
        const int k = pow5_bits(i) - kPow5Bits;
        const int j = static_cast<int>(q) - k;
        const std::uint64_t* mul = kTables.pow5[i];
        vr = mul_shift(4 * m2, mul, j);
        vp = mul_shift(4 * m2 + 2, mul, j);
        vm = mul_shift(4 * m2 - 1 - mm_shift, mul, j);
        if (q <= 1) {
            // mv = 4 * m2 has at least two trailing zero bits.
            vr_trailing_zeros = true;
            if (accept_bounds)
                vm_trailing_zeros = mm_shift == 1;
            else
                --vp;
        } else if (q < 63) {
            vr_trailing_zeros = multiple_of_pow2(mv, q);
        }
    }

    // Drop digits while the interval still holds a shorter decimal.
    int removed = 0;
    std::uint64_t output;
    if (vm_trailing_zeros || vr_trailing_zeros) {
        // Exact ends or an exact v: track the dropped digits exactly.
        std::uint32_t last_removed = 0;
        while (vp / 10 > vm / 10) {
            vm_trailing_zeros &= vm % 10 == 0;
            vr_trailing_zeros &= last_removed == 0;
            last_removed = static_cast<std::uint32_t>(vr % 10);
            vr /= 10;
            vp /= 10;
            vm /= 10;
            ++removed;
        }
        if (vm_trailing_zeros) {
            while (vm % 10 == 0) {
                vr_trailing_zeros &= last_removed == 0;
                last_removed = static_cast<std::uint32_t>(vr % 10);
                vr /= 10;
                vp /= 10;
                vm /= 10;
                ++removed;
            }
        }
        // Exactly halfway: round to even.
        if (vr_trailing_zeros && last_removed == 5 && vr % 2 == 0) last_removed = 4;
        output = vr + ((vr == vm && (!accept_bounds || !vm_trailing_zeros)) || last_removed >= 5);
    } else {
        bool round_up = false;
        if (vp / 100 > vm / 100) {
            round_up = vr % 100 >= 50;
            vr /= 100;
            vp /= 100;
            vm /= 100;
            removed += 2;
        }
        while (vp / 10 > vm / 10) {
            round_up = vr % 10 >= 5;
            vr /= 10;
            vp /= 10;
            vm /= 10;
            ++removed;
        }
        output = vr + (vr == vm || round_up);
    }
    int exponent = e10 + removed;
    while (output % 10 == 0 && output != 0) {
        output /= 10;
        ++exponent;
    }
    return {output, exponent};
}

// ------------------------------------------------------------ double text

std::size_t format_double(double value, char* out) noexcept {
    if (!std::isfinite(value)) {
        const std::string_view text = std::isnan(value) ? "NaN" : value > 0 ? "Infinity" : "-Infinity";
        std::memcpy(out, text.data(), text.size());
        return text.size();
    }
    char* p = out;
    if (std::signbit(value)) {
        *p++ = '-';
        value = -value;
    }
    if (char* end = write_short_double(value, p)) return static_cast<std::size_t>(end - out);

    // Fixed-length copies below: the digit buffer and `out` have the room.
    const Decimal d = shortest_decimal(value);
    char digits[48];
    const int count = write_digits(d.digits, digits);
    const char* first = digits + 17 - count;
    // The decimal point's place: value = 0.d1d2d3... * 10**point.
    const int point = d.exponent + count;
    if (point <= -4 || point > 16) {
        p[0] = first[0];
        p[1] = '.';
        std::memcpy(p + 2, first + 1, 16);
        p += count == 1 ? 1 : count + 1;
        const int exponent = point - 1;
        const int magnitude = exponent < 0 ? -exponent : exponent;
        *p++ = 'e';
        *p++ = exponent < 0 ? '-' : '+';
        if (magnitude >= 100) *p++ = static_cast<char>('0' + magnitude / 100);
        *p++ = static_cast<char>('0' + magnitude / 10 % 10);
        *p++ = static_cast<char>('0' + magnitude % 10);
    } else if (point <= 0) {
        std::memcpy(p, "0.000", 5);
        std::memcpy(p + 2 - point, first, 17);
        p += 2 - point + count;
    } else if (point < count) {
        std::memcpy(p, first, 16);
        p[point] = '.';
        std::memcpy(p + point + 1, first + point, 16);
        p += count + 1;
    } else {
        std::memcpy(p, first, 16);
        std::memcpy(p + count, "0000000000000000", 16);
        p[point] = '.';
        p[point + 1] = '0';
        p += point + 2;
    }
    return static_cast<std::size_t>(p - out);
}

void append_double(Buffer& out, double value) {
    char* p = out.room(kDoubleRoom);
    out.commit(p + format_double(value, p));
}

}  // namespace tessel::core::json_text
