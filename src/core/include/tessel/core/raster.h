// Painting a picture's many primitives into pixels: which quadrilateral is
// nearest at each pixel (a z-buffer), surfaces, lines and dots painted over an
// RGB image, and the image written as PNG.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::core::raster {

// Pixels row by row, each 0xRRGGBB.
struct Image {
    std::span<std::uint32_t> pixels;
    std::int64_t rows;
    std::int64_t cols;
};

// Opacity of what is painted faded (what a surface hides).
inline constexpr double kFaded = 0.45;
// Edges of a surface are painted where its quadrilaterals cover this many
// pixels each on average: smaller ones would be all edge.
inline constexpr std::int64_t kEdgePixels = 40;
// Dashes of dashed and faded lines: this many picture pixels on, then off up
// to the period.
inline constexpr double kDashOn = 4.0;
inline constexpr double kDashPeriod = 7.0;

// Fills `index` (rows * cols) with the quadrilateral nearest at each pixel
// centre, -1 where none covers it. `corners` holds n quadrilaterals of four
// (x, y) in pixels, `depth` their four depths (smaller is nearer). Each
// quadrilateral is the triangles (0, 1, 2) and (0, 2, 3); a pixel centre is
// covered when it lies in a triangle's stretch of its row (centres on the
// stretch's ends count). Of equally near triangles the later shows, the first
// triangles of all quadrilaterals coming before the second ones; triangles
// seen edge-on or with a coordinate that is not finite cover nothing.
void nearest_quads(std::span<const double> corners, std::span<const double> depth, std::int64_t rows,
                   std::int64_t cols, std::span<std::int32_t> index);

// Paints each pixel that `index` (from nearest_quads) gives a quadrilateral
// with that quadrilateral's colour (`rgb`: three bytes per quadrilateral),
// `opacity` over what is there; with a `stroke` colour (else -1), pixels where
// the quadrilateral changes from the pixel to the left or above take it, when
// the quadrilaterals are large enough to show edges (kEdgePixels).
void paint_quads(Image image, std::span<const std::int32_t> index, std::span<const std::uint8_t> rgb,
                 std::int64_t stroke, double opacity);

// Paints polylines (points x, y in pixels; a point that is not finite breaks
// them) with a square brush `width` picture pixels wide, stamped at every
// pixel's step along each segment; `unit` is the image's pixels per picture
// pixel. Dashed lines keep the steps within kDashOn of every kDashPeriod
// picture pixels along the whole path. Faded lines are dashed and blend each
// pixel once at kFaded. A line wider than the image, or a segment many times
// longer, is refused (invalid_argument): a picture's lines lie in it.
void paint_lines(Image image, std::span<const double> points, std::uint32_t colour, double width, double unit,
                 bool dashed, bool faded);

// Paints discs of `radius` pixels at the centres (x, y in pixels; those that
// are not finite are left out); faded ones blend each pixel once at kFaded. A
// radius larger than the image is refused.
void paint_dots(Image image, std::span<const double> centres, std::uint32_t colour, double radius, bool faded);

// A PNG's image before it is deflated: its rows, each after its filter type
// byte (0), as an index into its colours at 1, 2, 4 or 8 bits per pixel when
// it holds at most 256 of them (the palette), else as 8-bit RGB.
struct PngRows {
    std::int64_t rows = 0, cols = 0;
    int depth = 8;
    std::vector<std::uint32_t> palette;  // 0xRRGGBB in index order; empty: RGB
    std::vector<std::uint8_t> data;
};

PngRows png_rows(const Image& image);

// The PNG file of the rows and their zlib stream (as png() makes it, or by
// any other deflater).
std::string png_file(const PngRows& rows, std::string_view deflated);

// The image as a PNG, its rows deflated by zlib at `level`.
std::string png(const Image& image, int level);

}  // namespace tessel::core::raster
