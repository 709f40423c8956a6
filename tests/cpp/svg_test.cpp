#include "tessel/core/svg.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace svg = tessel::core::svg;

TEST(Svg, LabelsTakeTheFirstFreePlaceOrNone) {
    constexpr std::int64_t rows = 10, columns = 20;
    std::vector<std::uint8_t> taken(rows * columns, 0);
    // Three labels at one anchor, then one at no point: right above, right below, left above, no room.
    const std::vector<double> anchors = {60, 30, 60, 30, 60, 30, NAN, 30};
    const std::vector<double> widths = {20, 20, 20, 20};
    std::vector<double> left(4), base(4);
    svg::place_labels(anchors, widths, 6.0, 11.0, taken, rows, columns, left, base);
    EXPECT_EQ(left[0], 64);
    EXPECT_EQ(base[0], 26);
    EXPECT_EQ(left[1], 64);
    EXPECT_EQ(base[1], 42);
    EXPECT_EQ(left[2], 36);
    EXPECT_EQ(base[2], 26);
    EXPECT_TRUE(std::isnan(left[3]) && std::isnan(base[3]));
    // Right above took the cells of x 64..84 (columns 10..14), baselines 17..27 (rows 2..4).
    EXPECT_EQ(taken[2 * columns + 10], 1);
    EXPECT_EQ(taken[4 * columns + 14], 1);
    EXPECT_EQ(taken[1 * columns + 10], 0);
    // A grid full but for the edges leaves no room at all.
    std::vector<std::uint8_t> full(rows * columns, 1);
    svg::place_labels({anchors.data(), 2}, {widths.data(), 1}, 6.0, 11.0, full, rows, columns, {left.data(), 1},
                      {base.data(), 1});
    EXPECT_TRUE(std::isnan(left[0]));
}

TEST(Svg, PathDataHasOneDecimalRoundedHalfToEvenOnTheBinaryValue) {
    const std::vector<double> points = {0.25, -0.04, 0.35, 1234.56, 2.0, 3.0};
    const std::vector<std::uint8_t> starts = {1, 0, 1};
    // 0.25 is exact (to even: 0.2); 0.35 is just below in binary (0.3); -0.04 keeps its sign, as Python's
    // "%.1f" writes them.
    EXPECT_EQ(svg::path_data(points, starts), "M0.2,-0.0 0.3,1234.6M2.0,3.0");
    EXPECT_EQ(svg::path_data({}, {}), "");
}
