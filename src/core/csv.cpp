#include "tessel/core/csv.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace tessel::core::csv {

void append_general(std::string& out, double value, int significant) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
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
