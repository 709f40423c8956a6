#include "tessel/core/raster.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

namespace tessel::core::raster {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Longest segment painted, in image sizes (rows + columns).
constexpr double kLongestSegment = 16.0;

// ceil(value) and floor(value) held within [low, high], as integers (the
// same as rounding first, since the bounds are integers); NaN gives `low`.
// Inline, without a call into libm where the target has no rounding
// instruction: a z-buffer rounds twice per row of every triangle.
std::int64_t ceiled(double value, std::int64_t low, std::int64_t high) {
    if (!(value > static_cast<double>(low))) return low;
    if (!(value < static_cast<double>(high))) return high;
    const auto truncated = static_cast<std::int64_t>(value);
    return static_cast<double>(truncated) < value ? truncated + 1 : truncated;
}

std::int64_t floored(double value, std::int64_t low, std::int64_t high) {
    if (!(value > static_cast<double>(low))) return low;
    if (!(value < static_cast<double>(high))) return high;
    const auto truncated = static_cast<std::int64_t>(value);
    return static_cast<double>(truncated) > value ? truncated - 1 : truncated;
}

// `colour` over `under` at `opacity`, each channel rounded half to even.
std::uint32_t blend(std::uint32_t under, std::uint32_t colour, double opacity) {
    if (opacity >= 1.0) return colour;
    std::uint32_t out = 0;
    for (int shift = 16; shift >= 0; shift -= 8) {
        const double c = static_cast<double>((colour >> shift) & 255U);
        const double u = static_cast<double>((under >> shift) & 255U);
        out |= static_cast<std::uint32_t>(std::nearbyint(opacity * c + (1.0 - opacity) * u)) << shift;
    }
    return out;
}

// std::fmod(value, kDashPeriod), to the bit, without its slow exact division
// where it need not: for 0 <= value < 2^52, value - kDashPeriod * q is exact
// for the q taken (Sterbenz), and so is the step back into [0, kDashPeriod)
// when the rounded quotient was one off, since the remainder is representable.
double remainder_of_period(double value) {
    if (!(value >= 0.0 && value < 4503599627370496.0)) return std::fmod(value, kDashPeriod);
    double rest = value - kDashPeriod * std::floor(value / kDashPeriod);
    if (rest < 0.0) rest += kDashPeriod;
    if (rest >= kDashPeriod) rest -= kDashPeriod;
    return rest;
}

// Is (x, y) within `reach` pixels of the image? False also for what is not
// finite, so that a point that passes converts to an integer pixel safely.
bool near(const Image& image, double x, double y, double reach) {
    return x > -reach && y > -reach && x < static_cast<double>(image.cols) + reach &&
           y < static_cast<double>(image.rows) + reach;
}

// Paints pixels at `colour`; a faded painter blends each pixel once however
// often it is stamped.
class Painter {
public:
    Painter(Image image, std::uint32_t colour, bool faded)
        : image_(image), colour_(colour), faded_(faded),
          seen_(faded ? static_cast<std::size_t>(image.rows * image.cols) : 0, false) {}

    // Stamps a square of `half` pixels around the pixel (cx, cy).
    void square(std::int64_t cx, std::int64_t cy, std::int64_t half) {
        if (!faded_ && cx - half >= 0 && cy - half >= 0 && cx + half < image_.cols && cy + half < image_.rows) {
            // Within the image, row by row.
            for (std::int64_t y = cy - half; y <= cy + half; ++y)
                std::fill_n(image_.pixels.data() + y * image_.cols + cx - half, 2 * half + 1, colour_);
        } else {
            for (std::int64_t dy = -half; dy <= half; ++dy)
                for (std::int64_t dx = -half; dx <= half; ++dx) stamp(cx + dx, cy + dy);
        }
        stamped_ = true;
        last_x_ = cx;
        last_y_ = cy;
        last_half_ = half;
    }

    // Is the square around pixel (cx, cy) the one stamped last? A painter
    // paints the union of what it stamps, so stamping it again changes nothing.
    bool repeats(std::int64_t cx, std::int64_t cy, std::int64_t half) const {
        return stamped_ && half == last_half_ && cx == last_x_ && cy == last_y_;
    }

    void stamp(std::int64_t x, std::int64_t y) {
        if (x < 0 || y < 0 || x >= image_.cols || y >= image_.rows) return;
        const auto at = static_cast<std::size_t>(y * image_.cols + x);
        if (!faded_) {
            image_.pixels[at] = colour_;
        } else if (!seen_[at]) {
            seen_[at] = true;
            image_.pixels[at] = blend(image_.pixels[at], colour_, kFaded);
        }
    }

private:
    Image image_;
    std::uint32_t colour_;
    bool faded_;
    std::vector<bool> seen_;
    bool stamped_ = false;
    std::int64_t last_x_ = 0, last_y_ = 0, last_half_ = 0;
};

void check(const Image& image) {
    if (image.rows < 0 || image.cols < 0 || static_cast<std::int64_t>(image.pixels.size()) != image.rows * image.cols)
        throw std::invalid_argument("the image's pixels are not rows x columns");
}


// The image's distinct colours in the order first met, each pixel's place
// among them in `index`; nothing when there are more than 256.
std::vector<std::uint32_t> palette_of(const Image& image, std::vector<std::uint8_t>& index) {
    constexpr std::size_t kSlots = 1024;  // open addressing, at most a quarter full
    constexpr std::uint32_t kEmpty = 0xFFFFFFFFU;  // no 24-bit colour
    std::vector<std::uint32_t> palette, keys(kSlots, kEmpty);
    std::vector<std::uint8_t> places(kSlots, 0);
    index.resize(image.pixels.size());
    std::uint32_t last = kEmpty;
    std::uint8_t last_place = 0;
    for (std::size_t at = 0; at < image.pixels.size(); ++at) {
        const std::uint32_t colour = image.pixels[at] & 0xFFFFFFU;
        if (colour != last) {
            std::size_t slot = (colour * 2654435761U) % kSlots;
            while (keys[slot] != kEmpty && keys[slot] != colour) slot = (slot + 1) % kSlots;
            if (keys[slot] == kEmpty) {
                if (palette.size() == 256) {
                    index.clear();
                    return {};
                }
                keys[slot] = colour;
                places[slot] = static_cast<std::uint8_t>(palette.size());
                palette.push_back(colour);
            }
            last = colour;
            last_place = places[slot];
        }
        index[at] = last_place;
    }
    return palette;
}
}  // namespace

void nearest_quads(std::span<const double> corners, std::span<const double> depth, std::int64_t rows,
                   std::int64_t cols, std::span<std::int32_t> index) {
    const std::size_t n = depth.size() / 4;
    if (depth.size() != 4 * n || corners.size() != 8 * n)
        throw std::invalid_argument("corners must be (n, 4, 2) and depths (n, 4)");
    if (rows < 0 || cols < 0 || static_cast<std::int64_t>(index.size()) != rows * cols)
        throw std::invalid_argument("the index is not rows x columns");
    if (n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw std::invalid_argument("too many quadrilaterals for an int32 index");
    std::fill(index.begin(), index.end(), -1);
    std::vector<double> nearest(index.size(), kInf);
    static constexpr int kTriangles[2][3] = {{0, 1, 2}, {0, 2, 3}};
    for (const auto& triangle : kTriangles) {
        for (std::size_t q = 0; q < n; ++q) {
            double x[3], y[3], d[3];
            bool finite = true;
            for (int k = 0; k < 3; ++k) {
                const std::size_t corner = 4 * q + static_cast<std::size_t>(triangle[k]);
                x[k] = corners[2 * corner];
                y[k] = corners[2 * corner + 1];
                d[k] = depth[corner];
                finite = finite && std::isfinite(x[k]) && std::isfinite(y[k]) && std::isfinite(d[k]);
            }
            const double e1x = x[1] - x[0], e1y = y[1] - y[0], e2x = x[2] - x[0], e2y = y[2] - y[0];
            const double det = e1x * e2y - e2x * e1y;
            if (!finite || !(std::abs(det) > 1e-12)) continue;  // edge-on: it covers no pixel centre
            // Depth as a plane over the picture: d0 + gx (x - x0) + gy (y - y0).
            const double gx = ((d[1] - d[0]) * e2y - (d[2] - d[0]) * e1y) / det;
            const double gy = (e1x * (d[2] - d[0]) - e2x * (d[1] - d[0])) / det;
            const double top = std::min({y[0], y[1], y[2]}), bottom = std::max({y[0], y[1], y[2]});
            const std::int64_t first = ceiled(top - 0.5, 0, rows);
            const std::int64_t last = floored(bottom - 0.5, -1, rows - 1);
            for (std::int64_t row = first; row <= last; ++row) {
                // The row's centre line meets the triangle in one stretch.
                const double centre = static_cast<double>(row) + 0.5;
                double low = kInf, high = -kInf;
                for (int a = 0; a < 3; ++a) {
                    const int b = (a + 1) % 3;
                    if (y[a] == y[b] || centre < std::min(y[a], y[b]) || centre > std::max(y[a], y[b])) continue;
                    const double at = x[a] + (centre - y[a]) * (x[b] - x[a]) / (y[b] - y[a]);
                    low = std::min(low, at);
                    high = std::max(high, at);
                }
                if (!std::isfinite(low)) continue;
                const std::int64_t left = ceiled(low - 0.5, 0, cols);
                const std::int64_t right = floored(high - 0.5, -1, cols - 1);
                const double start = d[0] + gx * (0.5 - x[0]) + gy * (centre - y[0]);
                for (std::int64_t column = left; column <= right; ++column) {
                    const double at = start + gx * static_cast<double>(column);
                    const auto pixel = static_cast<std::size_t>(row * cols + column);
                    if (at <= nearest[pixel]) {
                        nearest[pixel] = at;
                        index[pixel] = static_cast<std::int32_t>(q);
                    }
                }
            }
        }
    }
}

void paint_quads(Image image, std::span<const std::int32_t> index, std::span<const std::uint8_t> rgb,
                 std::int64_t stroke, double opacity) {
    check(image);
    if (index.size() != image.pixels.size()) throw std::invalid_argument("the index is not the image's size");
    const auto n = static_cast<std::int64_t>(rgb.size() / 3);
    if (rgb.size() != static_cast<std::size_t>(3 * n)) throw std::invalid_argument("colours must be (n, 3)");
    std::int64_t covered = 0;
    for (const std::int32_t q : index) {
        if (q >= n) throw std::invalid_argument("the index names a quadrilateral without a colour");
        covered += q >= 0;
    }
    const bool edges = stroke >= 0 && covered >= kEdgePixels * n;
    for (std::int64_t row = 0; row < image.rows; ++row) {
        for (std::int64_t column = 0; column < image.cols; ++column) {
            const auto at = static_cast<std::size_t>(row * image.cols + column);
            const std::int32_t q = index[at];
            if (q < 0) continue;
            std::uint32_t colour = (std::uint32_t{rgb[3 * q]} << 16) | (std::uint32_t{rgb[3 * q + 1]} << 8) |
                                   rgb[3 * q + 2];
            if (edges && ((column > 0 && index[at - 1] != q) ||
                          (row > 0 && index[at - static_cast<std::size_t>(image.cols)] != q)))
                colour = static_cast<std::uint32_t>(stroke);
            image.pixels[at] = blend(image.pixels[at], colour, opacity);
        }
    }
}

void paint_lines(Image image, std::span<const double> points, std::uint32_t colour, double width, double unit,
                 bool dashed, bool faded) {
    check(image);
    if (points.size() % 2 != 0) throw std::invalid_argument("points must be (n, 2)");
    Painter painter(image, colour, faded);
    dashed = dashed || faded;
    if (!(width * unit >= 0.0 && width * unit <= static_cast<double>(image.rows + image.cols)))
        throw std::invalid_argument("a line's width must be between 0 and the image's size");
    const auto half = static_cast<std::int64_t>(std::max(width * unit / 2.0, 0.5));
    const std::size_t count = points.size() / 2;
    double along = 0.0;  // length of the segments before, in image pixels
    for (std::size_t k = 0; k + 1 < count; ++k) {
        const double ax = points[2 * k], ay = points[2 * k + 1], bx = points[2 * k + 2], by = points[2 * k + 3];
        if (!std::isfinite(ax) || !std::isfinite(ay) || !std::isfinite(bx) || !std::isfinite(by)) continue;
        const double length = std::hypot(bx - ax, by - ay);
        // Lines of a picture lie in it; a segment far longer than the image is a caller's mistake, not a loop
        // to run for ever.
        if (!(length <= kLongestSegment * static_cast<double>(image.rows + image.cols + 1)))
            throw std::invalid_argument("a line segment is far longer than the image");
        const auto steps = static_cast<std::int64_t>(std::ceil(length)) + 1;
        // A segment whose ends lie a pixel within the image has every step there (a step is within a few ulps
        // of the segment), at a pixel found by truncation.
        const bool inside = std::min({ax, ay, bx, by}) >= 1.0 &&
                            std::max(ax, bx) <= static_cast<double>(image.cols) - 2.0 &&
                            std::max(ay, by) <= static_cast<double>(image.rows) - 2.0;
        for (std::int64_t step = 0; step < steps; ++step) {
            const double t = static_cast<double>(step) / static_cast<double>(std::max<std::int64_t>(steps - 1, 1));
            const double x = ax + (bx - ax) * t, y = ay + (by - ay) * t;
            std::int64_t cx = 0, cy = 0;
            if (inside) {
                cx = static_cast<std::int64_t>(x);
                cy = static_cast<std::int64_t>(y);
            } else {
                if (!near(image, x, y, static_cast<double>(half) + 1.0)) continue;  // its square misses the image
                // Near the image, the bounds never hold the floor back.
                cx = floored(x, -half - 2, image.cols + half + 2);
                cy = floored(y, -half - 2, image.rows + half + 2);
            }
            if (painter.repeats(cx, cy, half)) continue;  // before the dash test: painted or not, nothing changes
            if (dashed && remainder_of_period((along + t * length) / unit) >= kDashOn) continue;
            painter.square(cx, cy, half);
        }
        along += length;
    }
}

void paint_dots(Image image, std::span<const double> centres, std::uint32_t colour, double radius, bool faded) {
    check(image);
    if (centres.size() % 2 != 0) throw std::invalid_argument("centres must be (n, 2)");
    Painter painter(image, colour, faded);
    if (!(radius >= 0.0 && radius <= static_cast<double>(image.rows + image.cols)))
        throw std::invalid_argument("a dot's radius must be between 0 and the image's size");
    const auto reach = static_cast<std::int64_t>(std::ceil(radius));
    for (std::size_t k = 0; k + 1 < centres.size(); k += 2) {
        if (!near(image, centres[k], centres[k + 1], static_cast<double>(reach) + 1.0)) continue;
        const auto x = static_cast<std::int64_t>(std::floor(centres[k]));
        const auto y = static_cast<std::int64_t>(std::floor(centres[k + 1]));
        for (std::int64_t dy = -reach; dy <= reach; ++dy)
            for (std::int64_t dx = -reach; dx <= reach; ++dx)
                if (static_cast<double>(dx * dx + dy * dy) <= radius * radius) painter.stamp(x + dx, y + dy);
    }
}

PngRows png_rows(const Image& image) {
    check(image);
    // A picture holds a few colours: each pixel is then an index into them, at the fewest bits that hold it,
    // so a third of the bytes or fewer are deflated. Rows start with filter type 0.
    PngRows out;
    out.rows = image.rows;
    out.cols = image.cols;
    std::vector<std::uint8_t> index;
    out.palette = palette_of(image, index);
    const std::size_t colours = out.palette.size();
    const int depth = out.depth = colours == 0 ? 8 : colours <= 2 ? 1 : colours <= 4 ? 2 : colours <= 16 ? 4 : 8;
    const auto cols = static_cast<std::size_t>(image.cols);
    const std::size_t row_size =
        1 + (out.palette.empty() ? 3 * cols : (cols * static_cast<std::size_t>(depth) + 7) / 8);
    out.data.assign(row_size * static_cast<std::size_t>(image.rows), 0);
    for (std::size_t row = 0; row < static_cast<std::size_t>(image.rows); ++row) {
        std::uint8_t* at = out.data.data() + row * row_size + 1;
        if (out.palette.empty()) {
            for (std::size_t column = 0; column < cols; ++column) {
                const std::uint32_t pixel = image.pixels[row * cols + column];
                *at++ = static_cast<std::uint8_t>(pixel >> 16);
                *at++ = static_cast<std::uint8_t>(pixel >> 8);
                *at++ = static_cast<std::uint8_t>(pixel);
            }
        } else {
            // Pixels packed from the high bits of each byte down; the last byte's unused bits stay 0.
            const std::uint8_t* in = index.data() + row * cols;
            const std::size_t per_byte = 8 / static_cast<std::size_t>(depth);
            for (std::size_t column = 0; column < cols; column += per_byte) {
                unsigned byte = 0;
                for (std::size_t k = 0; k < per_byte; ++k)
                    byte = (byte << depth) | (column + k < cols ? in[column + k] : 0U);
                *at++ = static_cast<std::uint8_t>(byte);
            }
        }
    }
    return out;
}

std::string png_file(const PngRows& rows, std::string_view deflated) {
    std::string out = "\x89PNG\r\n\x1a\n";
    auto chunk = [&out](const char* kind, std::string_view data) {
        const auto size = static_cast<std::uint32_t>(data.size());
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(size >> shift));
        const std::size_t start = out.size();
        out.append(kind, 4);
        out += data;
        const auto crc = static_cast<std::uint32_t>(
            crc32(0L, reinterpret_cast<const Bytef*>(out.data() + start), static_cast<uInt>(out.size() - start)));
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(crc >> shift));
    };
    std::string header;
    for (const std::int64_t size : {rows.cols, rows.rows})
        for (int shift = 24; shift >= 0; shift -= 8) header.push_back(static_cast<char>(size >> shift));
    // Bits per sample, colour type (3: palette, 2: RGB), no interlace.
    header += std::string{static_cast<char>(rows.depth), rows.palette.empty() ? '\x02' : '\x03', '\0', '\0', '\0'};
    chunk("IHDR", header);
    if (!rows.palette.empty()) {
        std::string entries;
        for (const std::uint32_t colour : rows.palette)
            for (int shift = 16; shift >= 0; shift -= 8) entries.push_back(static_cast<char>(colour >> shift));
        chunk("PLTE", entries);
    }
    chunk("IDAT", deflated);
    chunk("IEND", "");
    return out;
}

std::string png(const Image& image, int level) {
    const PngRows rows = png_rows(image);
    uLongf deflated_size = compressBound(static_cast<uLong>(rows.data.size()));
    std::string deflated(deflated_size, '\0');
    const int code = compress2(reinterpret_cast<Bytef*>(deflated.data()), &deflated_size, rows.data.data(),
                               static_cast<uLong>(rows.data.size()), level);
    if (code == Z_MEM_ERROR) throw std::bad_alloc();
    if (code != Z_OK) throw std::invalid_argument("the image could not be deflated at level " + std::to_string(level));
    deflated.resize(deflated_size);
    return png_file(rows, deflated);
}

}  // namespace tessel::core::raster
