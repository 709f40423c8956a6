#include "tessel/core/projection.h"

#include <stdexcept>

namespace tessel::core::projection {

void to_pixels(std::span<const double> points, const Fit& fit, std::span<double> pixels) {
    const std::size_t n = points.size() / 3;
    if (points.size() != 3 * n || pixels.size() != 2 * n)
        throw std::invalid_argument("points must be (n, 3) and pixels (n, 2)");
    for (std::size_t k = 0; k < n; ++k) {
        const double px = points[3 * k], py = points[3 * k + 1], pz = points[3 * k + 2];
        const double x = px * fit.cos_azimuth - py * fit.sin_azimuth;
        const double y = (px * fit.sin_azimuth + py * fit.cos_azimuth) * fit.sin_elevation + pz * fit.cos_elevation;
        pixels[2 * k] = fit.offset_x + (x - fit.low_x) * fit.scale;
        pixels[2 * k + 1] = fit.offset_y + (fit.high_y - y) * fit.scale;
    }
}

}  // namespace tessel::core::projection
