#include "tessel/core/occlusion.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace tessel::core::occlusion {
namespace {

constexpr double kEdge = 1e-9;  // barycentric slack: a point on an edge is within
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The cell a view coordinate falls in, truncated toward zero, as numpy's
// conversion to int does; what does not fit (NaN, infinities) gives the
// smallest integer, so that clamping puts it in the first cell.
std::int64_t truncated(double value) {
    constexpr double kLimit = 9.2e18;
    return std::abs(value) < kLimit ? static_cast<std::int64_t>(value) : std::numeric_limits<std::int64_t>::min();
}

}  // namespace

TriangleGrid::TriangleGrid(std::span<const double> triangles, double tolerance)
    : triangles_(triangles.begin(), triangles.end()), tolerance_(tolerance) {
    if (triangles.size() % 9 != 0) throw std::invalid_argument("triangles must be (n, 3, 3)");
    const std::size_t n = size();
    if (n == 0) {
        starts_ = {0, 0};
        return;
    }
    // Each triangle's bounding box; the grid's origin and cells cover them all, widened by the tolerance.
    // NaN spreads through the extremes (as numpy's min and max do): then nothing is hidden.
    std::vector<double> low(2 * n), high(2 * n);
    double lowest[2] = {kInf, kInf}, highest[2] = {-kInf, -kInf};
    bool undefined[2] = {false, false};
    for (std::size_t t = 0; t < n; ++t) {
        for (std::size_t c = 0; c < 2; ++c) {
            const double* x = &triangles_[9 * t + c];
            const bool nan = std::isnan(x[0]) || std::isnan(x[3]) || std::isnan(x[6]);
            low[2 * t + c] = nan ? kNaN : std::min({x[0], x[3], x[6]});
            high[2 * t + c] = nan ? kNaN : std::max({x[0], x[3], x[6]});
            undefined[c] = undefined[c] || nan;
            if (!nan) {
                lowest[c] = std::min(lowest[c], low[2 * t + c]);
                highest[c] = std::max(highest[c], high[2 * t + c]);
            }
        }
    }
    for (std::size_t c = 0; c < 2; ++c)
        if (undefined[c]) lowest[c] = highest[c] = kNaN;
    cells_ = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::sqrt(static_cast<double>(n))));
    for (std::size_t c = 0; c < 2; ++c) {
        origin_[c] = lowest[c] - tolerance_;
        const double span = highest[c] + tolerance_ - origin_[c];
        cell_[c] = (std::isnan(span) ? span : std::max(span, 1e-300)) / static_cast<double>(cells_);
    }
    // The cells of each triangle's box, counted, then the triangles listed cell by cell in their order.
    std::vector<std::int64_t> first(2 * n), last(2 * n);
    std::vector<std::int64_t> counts(static_cast<std::size_t>(cells_ * cells_) + 1, 0);
    for (std::size_t t = 0; t < n; ++t) {
        for (std::size_t c = 0; c < 2; ++c) {
            const std::int64_t low_cell = truncated((low[2 * t + c] - tolerance_ - origin_[c]) / cell_[c]);
            const std::int64_t high_cell = truncated((high[2 * t + c] + tolerance_ - origin_[c]) / cell_[c]);
            first[2 * t + c] = std::clamp(low_cell, std::int64_t{0}, cells_ - 1);
            last[2 * t + c] = std::clamp(high_cell, std::int64_t{0}, cells_ - 1);
        }
        for (std::int64_t i = first[2 * t]; i <= last[2 * t]; ++i)
            for (std::int64_t j = first[2 * t + 1]; j <= last[2 * t + 1]; ++j)
                ++counts[static_cast<std::size_t>(i * cells_ + j) + 1];
    }
    for (std::size_t k = 1; k < counts.size(); ++k) counts[k] += counts[k - 1];
    starts_ = counts;
    members_.resize(static_cast<std::size_t>(starts_.back()));
    for (std::size_t t = 0; t < n; ++t)
        for (std::int64_t i = first[2 * t]; i <= last[2 * t]; ++i)
            for (std::int64_t j = first[2 * t + 1]; j <= last[2 * t + 1]; ++j)
                members_[static_cast<std::size_t>(counts[static_cast<std::size_t>(i * cells_ + j)]++)] =
                    static_cast<std::int64_t>(t);
}

void TriangleGrid::hidden(std::span<const double> points, std::span<bool> out) const {
    if (points.size() % 3 != 0 || out.size() != points.size() / 3)
        throw std::invalid_argument("points must be (n, 3) and out (n,)");
    const double tol = tolerance_;
    for (std::size_t p = 0; p < out.size(); ++p) {
        out[p] = false;
        const double* q = &points[3 * p];
        const double fi = std::floor((q[0] - origin_[0]) / cell_[0]), fj = std::floor((q[1] - origin_[1]) / cell_[1]);
        const auto cells = static_cast<double>(cells_);
        if (!(fi >= 0.0 && fi < cells && fj >= 0.0 && fj < cells)) continue;
        const auto cell =
            static_cast<std::size_t>(static_cast<std::int64_t>(fi) * cells_ + static_cast<std::int64_t>(fj));
        for (auto k = starts_[cell]; k < starts_[cell + 1]; ++k) {
            const double* a = &triangles_[9 * static_cast<std::size_t>(members_[static_cast<std::size_t>(k)])];
            const double* b = a + 3;
            const double* c = a + 6;
            double d = (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]);
            const bool flat = std::abs(d) <= tol * tol;
            if (flat) d = 1.0;
            const double u = ((b[0] - q[0]) * (c[1] - q[1]) - (b[1] - q[1]) * (c[0] - q[0])) / d;
            const double w = ((c[0] - q[0]) * (a[1] - q[1]) - (c[1] - q[1]) * (a[0] - q[0])) / d;
            const double z = 1.0 - u - w;
            if (flat || !(u > -kEdge) || !(w > -kEdge) || !(z > -kEdge)) continue;
            // A point on a triangle (a beam on a slab's edge) is at its depth, so not behind it.
            const double depth = u * a[2] + w * b[2] + z * c[2];
            if (q[2] > depth + tol) {
                out[p] = true;
                break;
            }
        }
    }
}

}  // namespace tessel::core::occlusion
