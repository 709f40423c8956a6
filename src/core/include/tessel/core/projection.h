// A picture's parallel view: model coordinates to the picture's pixels.
#pragma once

#include <span>

namespace tessel::core::projection {

// The view (the cosines and sines of its azimuth and elevation) and how its
// coordinates map to pixels: x right from `low_x`, y down from `high_y`, both
// times `scale` and then shifted by the offsets.
struct Fit {
    double cos_azimuth, sin_azimuth, cos_elevation, sin_elevation;
    double low_x, high_y, scale, offset_x, offset_y;
};

// Writes the pixel (x, y) of each point (x, y, z in model coordinates) to
// `pixels`, each operation rounded as numpy's elementwise arithmetic rounds
// it, in the same order.
void to_pixels(std::span<const double> points, const Fit& fit, std::span<double> pixels);

}  // namespace tessel::core::projection
