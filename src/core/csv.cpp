#include "tessel/core/csv.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace tessel::core::csv {

namespace {

// Powers of ten as doubles, 10^0 to 10^308, each the double nearest to it (exact up to 10^22).
const double* powers_of_ten() {
    static const std::array<double, 309> table = [] {
        std::array<double, 309> out{};
        for (std::size_t k = 0; k < out.size(); ++k) {
            const std::string text = "1e" + std::to_string(k);
            std::from_chars(text.data(), text.data() + text.size(), out[k]);
        }
        return out;
    }();
    return table.data();
}

// "%.<significant>g" of a finite value with 1e-290 <= |value| < 1e290 and
// significant <= 9, without the exact decimal expansion: the value is scaled
// by a power of ten to [10^(p-1), 10^p) and rounded there. The power and the
// product are each rounded once, so the scaled value is within 10^p * 2^-51
// of the exact one (below 5e-7): rounding it to an integer gives the exact
// one's digits unless that is within 1e-6 of a halfway case, where this says
// false (the caller's exact path). A zero is written as "0" or "-0".
bool append_general_fast(std::string& out, double value, int significant) {
    if (significant < 1 || significant > 9) return false;
    if (value == 0.0) {
        out += std::signbit(value) ? "-0" : "0";
        return true;
    }
    const double size = std::abs(value);
    if (!(size >= 1e-290 && size < 1e290)) return false;
    const double* powers = powers_of_ten();
    // The decimal exponent from the binary one (log10(2) = 0.30103), put right below.
    std::uint64_t bits = 0;
    std::memcpy(&bits, &size, sizeof bits);
    const int binary = static_cast<int>((bits >> 52) & 0x7FF) - 1023;  // size is normal here
    int exponent = binary * 30103 / 100000 - (binary < 0 ? 1 : 0);
    const double low = powers[significant - 1], high = powers[significant];
    double scaled = 0.0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int shift = significant - 1 - exponent;  // within [-291, 300]
        scaled = shift >= 0 ? size * powers[shift] : size / powers[-shift];
        if (scaled < low) {
            --exponent;
        } else if (scaled >= high) {
            ++exponent;
        } else {
            break;
        }
    }
    if (!(scaled >= low && scaled < high)) return false;
    const double whole = static_cast<double>(static_cast<std::uint64_t>(scaled));  // floor: scaled > 0
    // The scaled value is within high * 2^-51 of the exact one: far from a halfway case, it rounds as the
    // exact one would.
    if (std::abs(scaled - whole - 0.5) < 1e-6) return false;
    auto digits = static_cast<std::uint64_t>(whole) + (scaled - whole > 0.5 ? 1 : 0);
    if (digits == static_cast<std::uint64_t>(high)) {  // rounded up to the next power of ten
        digits /= 10;
        ++exponent;
    }
    char mantissa[16];
    int count = significant;
    for (int k = count - 1; k >= 0; --k) {
        mantissa[k] = static_cast<char>('0' + digits % 10);
        digits /= 10;
    }
    while (count > 1 && mantissa[count - 1] == '0') --count;  // trailing zeros dropped
    char text[40];
    char* at = text;
    if (value < 0) *at++ = '-';
    if (exponent < -4 || exponent >= significant) {
        *at++ = mantissa[0];
        if (count > 1) {
            *at++ = '.';
            for (int k = 1; k < count; ++k) *at++ = mantissa[k];
        }
        *at++ = 'e';
        *at++ = exponent < 0 ? '-' : '+';
        const int magnitude = std::abs(exponent);  // at least two digits, as printf writes it
        if (magnitude >= 100) *at++ = static_cast<char>('0' + magnitude / 100);
        *at++ = static_cast<char>('0' + magnitude / 10 % 10);
        *at++ = static_cast<char>('0' + magnitude % 10);
    } else if (exponent < 0) {
        *at++ = '0';
        *at++ = '.';
        for (int k = 1; k < -exponent; ++k) *at++ = '0';
        for (int k = 0; k < count; ++k) *at++ = mantissa[k];
    } else {
        for (int k = 0; k <= exponent; ++k) *at++ = k < count ? mantissa[k] : '0';
        if (count > exponent + 1) {
            *at++ = '.';
            for (int k = exponent + 1; k < count; ++k) *at++ = mantissa[k];
        }
    }
    out.append(text, at);
    return true;
}

}  // namespace

void append_general(std::string& out, double value, int significant) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (append_general_fast(out, value, significant)) return;
    char text[64];
    const auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::general, significant);
    if (written.ec != std::errc()) throw std::invalid_argument("a number could not be written");
    out.append(text, written.ptr);
}

void append_fixed_or_zero(std::string& out, double value, int decimals) {
    if (!std::isfinite(value)) {
        out += std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf";
        return;
    }
    char text[400];  // the largest double has 309 digits before the point
    const auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (written.ec != std::errc()) throw std::invalid_argument("a number could not be written");
    const std::string_view digits(text, static_cast<std::size_t>(written.ptr - text));
    if (digits.find_first_not_of("-0.") == std::string_view::npos) {
        out += '0';
        return;
    }
    out += digits;
}

void append_escaped(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#x27;"; break;
            default: out += c;
        }
    }
}

}  // namespace tessel::core::csv
