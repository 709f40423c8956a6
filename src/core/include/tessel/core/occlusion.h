// What the surfaces of a picture hide: their triangles as seen, binned on a
// grid over the view, and which points lie behind one of them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tessel::core::occlusion {

// Triangles in view coordinates (x, y across the picture, depth z: larger is
// farther), each in the cells of a square grid its bounding box, widened by
// the tolerance, overlaps.
class TriangleGrid {
public:
    // `triangles` holds n triangles of three corners (x, y, z); `tolerance`
    // is a length in the view's units below which things coincide.
    TriangleGrid(std::span<const double> triangles, double tolerance);

    // Per point (x, y, z in view coordinates): does a triangle cover it, in
    // front of it where it lies (not merely on it)? Points outside the grid,
    // or not finite, are not hidden.
    void hidden(std::span<const double> points, std::span<bool> out) const;

    std::size_t size() const { return triangles_.size() / 9; }

private:
    std::vector<double> triangles_;
    double tolerance_;
    double origin_[2] = {0.0, 0.0};
    double cell_[2] = {1.0, 1.0};
    std::int64_t cells_ = 1;
    std::vector<std::int64_t> starts_;   // per cell, where its triangles start in members_ (one more at the end)
    std::vector<std::int64_t> members_;  // triangles by cell, in their order within a cell
};

}  // namespace tessel::core::occlusion
