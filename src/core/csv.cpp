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

}  // namespace tessel::core::csv
