#include "tessel/core/svg.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace tessel::core::svg {
namespace {

// Python's float floor division (`a // b`), rounding as the interpreter does,
// so that labels land in the cells the worker's arithmetic expects.
double floor_divide(double a, double b) {
    double mod = std::fmod(a, b);
    double div = (a - mod) / b;
    if (mod != 0.0 && ((b < 0) != (mod < 0))) div -= 1.0;
    if (div == 0.0) return std::copysign(0.0, a / b);
    double floored = std::floor(div);
    if (div - floored > 0.5) floored += 1.0;
    return floored;
}

void append_number(std::string& out, double value) {
    char text[64];
    const auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
    if (written.ec != std::errc()) throw std::invalid_argument("a path coordinate could not be written");
    out.append(text, written.ptr);
}

}  // namespace

void place_labels(std::span<const double> anchors, std::span<const double> widths, double cell, double text_height,
                  std::span<std::uint8_t> taken, std::int64_t rows, std::int64_t columns, std::span<double> left,
                  std::span<double> base) {
    const std::size_t n = widths.size();
    if (anchors.size() != 2 * n || left.size() != n || base.size() != n)
        throw std::invalid_argument("anchors must be (n, 2) and widths, left and base (n,)");
    if (rows < 0 || columns < 0 || static_cast<std::int64_t>(taken.size()) != rows * columns)
        throw std::invalid_argument("the grid is not rows x columns");
    if (!(cell > 0.0)) throw std::invalid_argument("cells must be wider than 0");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t k = 0; k < n; ++k) {
        const double x = anchors[2 * k], y = anchors[2 * k + 1], w = widths[k];
        const double places[6][2] = {{4, -4}, {4, 12}, {-w - 4, -4}, {-w - 4, 12}, {-w / 2, -8}, {-w / 2, 16}};
        left[k] = base[k] = nan;
        for (const auto& place : places) {
            const double l = x + place[0], b = y + place[1];
            const double c0 = floor_divide(l, cell), c1 = floor_divide(l + w, cell);
            const double r0 = floor_divide(b - text_height + 2, cell), r1 = floor_divide(b + 1, cell);
            // Also false for NaN: a label at no point has no room.
            if (!(c0 >= 0 && r0 >= 0 && c1 < static_cast<double>(columns) && r1 < static_cast<double>(rows))) continue;
            const auto row0 = static_cast<std::int64_t>(r0), row1 = static_cast<std::int64_t>(r1);
            const auto col0 = static_cast<std::int64_t>(c0), col1 = static_cast<std::int64_t>(c1);
            bool free = true;
            for (std::int64_t r = row0; r <= row1 && free; ++r)
                for (std::int64_t c = col0; c <= col1 && free; ++c) free = taken[r * columns + c] == 0;
            if (!free) continue;
            for (std::int64_t r = row0; r <= row1; ++r)
                for (std::int64_t c = col0; c <= col1; ++c) taken[r * columns + c] = 1;
            left[k] = l;
            base[k] = b;
            break;
        }
    }
}

std::string path_data(std::span<const double> points, std::span<const std::uint8_t> starts) {
    if (points.size() != 2 * starts.size()) throw std::invalid_argument("points must be (n, 2) and starts (n,)");
    std::string out;
    out.reserve(points.size() * 7);
    for (std::size_t k = 0; k < starts.size(); ++k) {
        out.push_back(starts[k] ? 'M' : ' ');
        append_number(out, points[2 * k]);
        out.push_back(',');
        append_number(out, points[2 * k + 1]);
    }
    return out;
}

}  // namespace tessel::core::svg
