// Pieces of a picture's SVG: labels placed where they overlap nothing placed
// before them, and the path data of polylines.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tessel::core::svg {

// Places labels greedily, in their order, on a grid of square cells `cell`
// pixels wide; `taken` (rows * columns, nonzero: taken) holds what is already
// covered and receives the cells of each label placed. Label k, `widths[k]`
// pixels wide and `text_height` high, is anchored at (x, y) = anchors[2k],
// anchors[2k + 1]: it takes the first of six places around its anchor (right
// above, right below, left above, left below, centred above, centred below)
// whose cells are all inside the grid and free. `left` and `base` receive the
// place's left end and baseline, NaN for a label without room.
void place_labels(std::span<const double> anchors, std::span<const double> widths, double cell, double text_height,
                  std::span<std::uint8_t> taken, std::int64_t rows, std::int64_t columns, std::span<double> left,
                  std::span<double> base);

// Path data of polylines: points (x, y) with one decimal, "M" before each
// point where `starts` is nonzero, a space before every other one.
std::string path_data(std::span<const double> points, std::span<const std::uint8_t> starts);

// Path data of polylines in pixels (x, y), one after the other, broken by
// points whose x is not finite: each run starts with "M"; a point less than
// half a pixel from the one before it (the point, not what was written) is
// left out unless it ends its run, and so are runs of a single point.
std::string polyline_path(std::span<const double> pixels);

}  // namespace tessel::core::svg
