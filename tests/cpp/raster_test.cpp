#include "tessel/core/occlusion.h"
#include "tessel/core/raster.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace raster = tessel::core::raster;

namespace {

constexpr std::int64_t kRows = 20, kCols = 30;

// A square of corners (x0, y0) .. (x1, y1) at one depth.
void square(std::vector<double>& corners, std::vector<double>& depth, double x0, double y0, double x1, double y1,
            double d) {
    corners.insert(corners.end(), {x0, y0, x1, y0, x1, y1, x0, y1});
    depth.insert(depth.end(), {d, d, d, d});
}

std::vector<std::int32_t> nearest(const std::vector<double>& corners, const std::vector<double>& depth) {
    std::vector<std::int32_t> index(kRows * kCols);
    raster::nearest_quads(corners, depth, kRows, kCols, index);
    return index;
}

std::int32_t at(const std::vector<std::int32_t>& index, int x, int y) { return index[y * kCols + x]; }

struct Canvas {
    std::vector<std::uint32_t> pixels = std::vector<std::uint32_t>(kRows * kCols, 0xFFFFFF);
    raster::Image image() { return {pixels, kRows, kCols}; }
};

std::uint32_t read32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v = (v << 8) | static_cast<std::uint8_t>(s[at + k]);
    return v;
}

}  // namespace

TEST(Raster, NearestQuadShowsAndTiesGoToTheLater) {
    std::vector<double> corners, depth;
    square(corners, depth, 0, 0, 20, 10, 5.0);   // 0: far
    square(corners, depth, 10, 0, 30, 10, 1.0);  // 1: near, overlapping 0 on x 10..20
    square(corners, depth, 0, 10, 10, 20, 2.0);  // 2 and 3: the same place and depth
    square(corners, depth, 0, 10, 10, 20, 2.0);
    const auto index = nearest(corners, depth);
    EXPECT_EQ(at(index, 5, 5), 0);
    EXPECT_EQ(at(index, 15, 5), 1);
    EXPECT_EQ(at(index, 25, 5), 1);
    EXPECT_EQ(at(index, 5, 15), 3);
    EXPECT_EQ(at(index, 25, 15), -1);
    // Centres on an edge count: square 1 from x = 9.5 would show at column 9.
    EXPECT_EQ(at(index, 9, 5), 0);
    corners[8] = corners[14] = 9.5;
    EXPECT_EQ(at(nearest(corners, depth), 9, 5), 1);
}

TEST(Raster, EdgeOnOrNotFiniteQuadsCoverNothing) {
    std::vector<double> corners, depth;
    square(corners, depth, 0, 0, 30, 0, 1.0);  // no height
    square(corners, depth, 0, 0, 30, 20, 1.0);
    corners[8] = std::nan("");
    EXPECT_EQ(nearest(corners, depth), std::vector<std::int32_t>(kRows * kCols, -1));
    std::vector<std::int32_t> index(kRows * kCols);
    EXPECT_THROW(raster::nearest_quads(corners, {depth.data(), 7}, kRows, kCols, index), std::invalid_argument);
}

TEST(Raster, QuadsBlendAndShowEdgesWhenLarge) {
    std::vector<double> corners, depth;
    square(corners, depth, 0, 0, 15, 20, 1.0);
    square(corners, depth, 15, 0, 30, 20, 1.0);
    const auto index = nearest(corners, depth);
    const std::vector<std::uint8_t> rgb = {255, 0, 0, 0, 0, 255};
    Canvas half;
    raster::paint_quads(half.image(), index, rgb, -1, 0.5);
    EXPECT_EQ(half.pixels[0], 0xFF8080U);  // 127.5 rounds to even: 128
    Canvas edged;
    raster::paint_quads(edged.image(), index, rgb, 0x000000, 1.0);
    EXPECT_EQ(edged.pixels[5 * kCols + 14], 0xFF0000U);
    EXPECT_EQ(edged.pixels[5 * kCols + 15], 0x000000U);  // where quadrilateral 1 starts
    EXPECT_EQ(edged.pixels[5 * kCols + 16], 0x0000FFU);
}

TEST(Raster, FadedLinesBlendOncePerPixelAndDash) {
    // Along row 5 and back again: a faded line is pale once, however often it passes.
    const std::vector<double> there_and_back = {0.5, 5.5, 29.5, 5.5, 0.5, 5.5};
    Canvas faded;
    raster::paint_lines(faded.image(), there_and_back, 0x000000, 1.0, 1.0, false, true);
    int pale = 0, gaps = 0;
    for (int x = 0; x < kCols; ++x) {
        const std::uint32_t pixel = faded.pixels[5 * kCols + x];
        EXPECT_TRUE(pixel == 0x8C8C8CU || pixel == 0xFFFFFFU) << std::hex << pixel;  // 0.55 * 255 = 140
        (pixel == 0xFFFFFFU ? gaps : pale) += 1;
    }
    EXPECT_GT(gaps, 0);
    EXPECT_GT(pale, gaps);
    // A break (NaN) ends a line: nothing is painted between (0, 15) and (29, 15).
    const std::vector<double> broken = {0.5, 15.5, 2.5, 15.5, std::nan(""), 0.0, 27.5, 15.5, 29.5, 15.5};
    Canvas solid;
    raster::paint_lines(solid.image(), broken, 0x123456, 1.0, 1.0, false, false);
    EXPECT_EQ(solid.pixels[15 * kCols + 1], 0x123456U);
    EXPECT_EQ(solid.pixels[15 * kCols + 15], 0xFFFFFFU);
    EXPECT_EQ(solid.pixels[15 * kCols + 28], 0x123456U);
    // Far outside, nothing is painted; a segment to the far away is refused rather than stepped along.
    const std::vector<double> outside = {1e300, 1e300, 2e300, 1e300};
    Canvas untouched;
    raster::paint_lines(untouched.image(), {outside.data(), 2}, 0, 1.0, 1.0, false, false);
    raster::paint_dots(untouched.image(), outside, 0, 2.0, false);
    EXPECT_EQ(untouched.pixels, Canvas().pixels);
    EXPECT_THROW(raster::paint_lines(untouched.image(), outside, 0, 1.0, 1.0, false, false), std::invalid_argument);
    const std::vector<double> away = {0.5, 0.5, 1e12, 0.5};
    EXPECT_THROW(raster::paint_lines(untouched.image(), away, 0, 1.0, 1.0, false, false), std::invalid_argument);
}

// The pixels a PNG holds (colour types 2 and 3, filter type 0 only, as written), after checking every chunk's CRC.
std::vector<std::uint32_t> decoded(const std::string& png, int& depth, int& type) {
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n"));
    EXPECT_EQ(read32(png, 16), static_cast<std::uint32_t>(kCols));
    EXPECT_EQ(read32(png, 20), static_cast<std::uint32_t>(kRows));
    depth = static_cast<std::uint8_t>(png[24]);
    type = static_cast<std::uint8_t>(png[25]);
    std::string idat, palette;
    std::size_t chunk = 8;
    while (chunk < png.size()) {
        const std::uint32_t size = read32(png, chunk);
        const auto crc = crc32(0L, reinterpret_cast<const Bytef*>(png.data() + chunk + 4), size + 4);
        EXPECT_EQ(read32(png, chunk + 8 + size), crc);
        if (png.compare(chunk + 4, 4, "IDAT") == 0) idat = png.substr(chunk + 8, size);
        if (png.compare(chunk + 4, 4, "PLTE") == 0) palette = png.substr(chunk + 8, size);
        chunk += 12 + size;
    }
    EXPECT_EQ(chunk, png.size());
    const std::size_t row_size = 1 + (type == 2 ? 3 * kCols : (kCols * depth + 7) / 8);
    std::vector<std::uint8_t> raw(kRows * row_size);
    uLongf raw_size = raw.size();
    EXPECT_EQ(uncompress(raw.data(), &raw_size, reinterpret_cast<const Bytef*>(idat.data()), idat.size()), Z_OK);
    EXPECT_EQ(raw_size, raw.size());
    std::vector<std::uint32_t> pixels;
    for (std::int64_t row = 0; row < kRows; ++row) {
        const std::uint8_t* in = &raw[row * row_size];
        EXPECT_EQ(in[0], 0);
        for (std::int64_t column = 0; column < kCols; ++column) {
            if (type == 2) {
                const std::uint8_t* rgb = in + 1 + 3 * column;
                pixels.push_back((std::uint32_t{rgb[0]} << 16) | (std::uint32_t{rgb[1]} << 8) | rgb[2]);
                continue;
            }
            const std::int64_t bit = column * depth;
            const unsigned place = (in[1 + bit / 8] >> (8 - depth - bit % 8)) & ((1U << depth) - 1);
            EXPECT_LT(3 * place + 2, palette.size());
            const auto channel = [&](int k) {
                return std::uint32_t{static_cast<std::uint8_t>(palette[3 * place + k])};
            };
            pixels.push_back((channel(0) << 16) | (channel(1) << 8) | channel(2));
        }
    }
    return pixels;
}

TEST(Raster, PngHoldsTheImageAtTheFewestBitsItsColoursNeed) {
    // {distinct colours, bits per pixel, colour type}: up to 256 colours an index into a palette, then RGB.
    const int cases[][3] = {{1, 1, 3},  {2, 1, 3},   {3, 2, 3},   {16, 4, 3},
                            {17, 8, 3}, {256, 8, 3}, {257, 8, 2}, {600, 8, 2}};
    for (const auto& [colours, bits, kind] : cases) {
        Canvas canvas;
        for (std::size_t k = 0; k < canvas.pixels.size(); ++k) {
            const auto v = static_cast<std::uint32_t>((k * 7) % colours);
            canvas.pixels[k] = ((v & 0xFFU) << 16) | ((v >> 8) << 8) | 0x40U;
        }
        int depth = 0, type = 0;
        EXPECT_EQ(decoded(raster::png(canvas.image(), 3), depth, type), canvas.pixels) << colours << " colours";
        EXPECT_EQ(depth, bits) << colours << " colours";
        EXPECT_EQ(type, kind) << colours << " colours";
    }
    Canvas dot;
    const std::vector<double> centre = {15.0, 10.0, std::nan(""), 1.0};
    raster::paint_dots(dot.image(), centre, 0xAB00CD, 3.0, false);
    int depth = 0, type = 0;
    EXPECT_EQ(decoded(raster::png(dot.image(), 3), depth, type), dot.pixels);
}

TEST(Occlusion, PointsBehindTrianglesAreHiddenAndNothingElse) {
    // A unit square at depth 1 as two triangles, and one triangle seen edge-on (all on the line x = 5).
    const std::vector<double> triangles = {0, 0, 1, 1, 0, 1, 1, 1, 1, 0, 0, 1, 1, 1, 1, 0, 1, 1,
                                           5, 0, 0, 5, 1, 0, 5, 2, 0};
    const tessel::core::occlusion::TriangleGrid grid(triangles, 1e-6);
    const double nan = std::nan("");
    const std::vector<double> points = {
        0.5, 0.5, 2.0,  // behind the square
        0.5, 0.5, 0.5,  // in front of it
        0.5, 0.5, 1.0,  // on it
        1.0, 1.0, 3.0,  // behind its corner: on an edge counts as covered
        1.5, 0.5, 3.0,  // beside it
        5.0, 1.0, 9.0,  // behind the edge-on triangle: it covers nothing
        nan, 0.5, 9.0,  // not finite
        -1e300, 0.5, 9.0,
    };
    bool out[8];
    grid.hidden(points, out);
    const std::vector<bool> expected = {true, false, false, true, false, false, false, false};
    EXPECT_EQ(std::vector<bool>(out, out + 8), expected);
    EXPECT_THROW(grid.hidden(points, std::span<bool>(out, 7)), std::invalid_argument);
    // NaN among the triangles spreads to the grid: nothing is hidden, nothing is read out of bounds.
    std::vector<double> broken = triangles;
    broken[0] = nan;
    tessel::core::occlusion::TriangleGrid(broken, 1e-6).hidden(points, out);
    EXPECT_EQ(std::count(out, out + 8, true), 0);
}
