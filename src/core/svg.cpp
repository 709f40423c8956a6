#include "tessel/core/svg.h"

#include <charconv>
#include <cmath>
#include <cstdint>
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

// "%.1f" of a value, correctly rounded (halfway cases to even). Below 1e8
// in size the value is scaled by ten (one rounding, a relative error below
// 2^-53) and rounded there, unless that is too near a halfway case to be
// sure of; the rest is written exactly.
void append_number(std::string& out, double value) {
    const double size = std::abs(value);
    if (size < 1e8) {
        const double scaled = size * 10.0;
        const double whole = static_cast<double>(static_cast<std::uint64_t>(scaled));  // floor: scaled >= 0
        if (std::abs(scaled - whole - 0.5) > 1e-6) {
            const std::uint64_t tenths = static_cast<std::uint64_t>(whole) + (scaled - whole > 0.5 ? 1 : 0);
            char text[24];
            char* end = text + sizeof text;
            char* at = end;
            *--at = static_cast<char>('0' + tenths % 10);
            *--at = '.';
            std::uint64_t units = tenths / 10;
            do {
                *--at = static_cast<char>('0' + units % 10);
                units /= 10;
            } while (units != 0);
            if (std::signbit(value)) *--at = '-';
            out.append(at, end);
            return;
        }
    }
    char text[400];  // the largest double has 309 digits before the point
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

std::string polyline_path(std::span<const double> pixels) {
    if (pixels.size() % 2 != 0) throw std::invalid_argument("pixels must be (n, 2)");
    const std::size_t n = pixels.size() / 2;
    auto finite = [&pixels, n](std::size_t k) { return k < n && std::isfinite(pixels[2 * k]); };
    std::string out;
    out.reserve(pixels.size() * 7);
    for (std::size_t k = 0; k < n; ++k) {
        if (!finite(k)) continue;
        const bool first = k == 0 || !finite(k - 1), last = !finite(k + 1);
        if (first && last) continue;  // a run of one point
        if (!first && !last &&
            !(std::hypot(pixels[2 * k] - pixels[2 * k - 2], pixels[2 * k + 1] - pixels[2 * k - 1]) >= 0.5))
            continue;
        out.push_back(first ? 'M' : ' ');
        append_number(out, pixels[2 * k]);
        out.push_back(',');
        append_number(out, pixels[2 * k + 1]);
    }
    return out;
}

}  // namespace tessel::core::svg
