// tessel.local.plexum_worker._painter: the local Plexum worker's painter. The
// result page paints pictures of many elements into PNG images, places their
// labels and writes their paths; numpy arrays in, the work in the C++ core
// with the interpreter released. Arrays
// painted into are never converted (a copy would take the paint): they must
// be C-contiguous of the stated type.
#include "tessel/core/occlusion.h"
#include "tessel/core/projection.h"
#include "tessel/core/raster.h"
#include "tessel/core/svg.h"

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <span>
#include <string>

namespace nb = nanobind;
namespace occlusion = tessel::core::occlusion;
namespace projection = tessel::core::projection;
namespace raster = tessel::core::raster;
namespace svg = tessel::core::svg;

namespace {

template <typename T>
using Array = nb::ndarray<T, nb::c_contig, nb::device::cpu>;
using Pixels = nb::ndarray<std::uint32_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

template <typename T>
std::span<T> span(const Array<T>& array) {
    return {array.data(), array.size()};
}

raster::Image image_of(const Pixels& pixels) {
    return {{pixels.data(), pixels.size()}, static_cast<std::int64_t>(pixels.shape(0)),
            static_cast<std::int64_t>(pixels.shape(1))};
}

}  // namespace

NB_MODULE(_painter, m) {
    m.doc() = "Painting a picture's many primitives into pixels for the local Plexum worker's result pages.";
    using Release = nb::call_guard<nb::gil_scoped_release>;

    m.def(
        "to_pixels",
        [](Array<const double> points, double cos_azimuth, double sin_azimuth, double cos_elevation,
           double sin_elevation, double low_x, double high_y, double scale, double offset_x, double offset_y,
           Array<double> pixels) {
            projection::to_pixels(span(points),
                                  {cos_azimuth, sin_azimuth, cos_elevation, sin_elevation, low_x, high_y, scale,
                                   offset_x, offset_y},
                                  span(pixels));
        },
        nb::arg("points"), nb::arg("cos_azimuth"), nb::arg("sin_azimuth"), nb::arg("cos_elevation"),
        nb::arg("sin_elevation"), nb::arg("low_x"), nb::arg("high_y"), nb::arg("scale"), nb::arg("offset_x"),
        nb::arg("offset_y"), nb::arg("pixels").noconvert(), Release(),
        "Writes the pixel (x, y) of each point (n, 3) of a parallel view to pixels (n, 2): x = offset_x +\n"
        "(x_view - low_x) * scale, y = offset_y + (high_y - y_view) * scale, rounded as numpy rounds them.");
    m.def(
        "nearest_quads",
        [](Array<const double> corners, Array<const double> depth, Array<std::int32_t> index) {
            if (index.ndim() != 2) throw nb::value_error("index must be a (rows, columns) array");
            raster::nearest_quads(span(corners), span(depth), static_cast<std::int64_t>(index.shape(0)),
                                  static_cast<std::int64_t>(index.shape(1)), span(index));
        },
        nb::arg("corners"), nb::arg("depth"), nb::arg("index").noconvert(), Release(),
        "Fills index (rows, columns) with the nearest quadrilateral at each pixel centre, -1 where none is.\n\n"
        "corners: (n, 4, 2) pixel coordinates; depth: (n, 4), smaller is nearer.");
    m.def(
        "paint_quads",
        [](Pixels image, Array<const std::int32_t> index, Array<const std::uint8_t> rgb, std::int64_t stroke,
           double opacity) { raster::paint_quads(image_of(image), span(index), span(rgb), stroke, opacity); },
        nb::arg("image").noconvert(), nb::arg("index"), nb::arg("rgb"), nb::arg("stroke"), nb::arg("opacity"),
        Release(),
        "Paints each pixel of a quadrilateral (index from nearest_quads) with its colour (rgb: (n, 3) uint8) at\n"
        "opacity; with a stroke colour (0xRRGGBB, else -1) the edges between quadrilaterals take it when they\n"
        "are large enough to show.");
    m.def(
        "paint_lines",
        [](Pixels image, Array<const double> points, std::uint32_t colour, double width, double unit, bool dashed,
           bool faded) { raster::paint_lines(image_of(image), span(points), colour, width, unit, dashed, faded); },
        nb::arg("image").noconvert(), nb::arg("points"), nb::arg("colour"), nb::arg("width"), nb::arg("unit"),
        nb::arg("dashed"), nb::arg("faded"), Release(),
        "Paints polylines (points (n, 2) in pixels, broken by rows of NaN) with a square brush width picture\n"
        "pixels wide (unit: image pixels per picture pixel); faded lines are dashed and blend once per pixel.");
    m.def(
        "paint_dots",
        [](Pixels image, Array<const double> centres, std::uint32_t colour, double radius, bool faded) {
            raster::paint_dots(image_of(image), span(centres), colour, radius, faded);
        },
        nb::arg("image").noconvert(), nb::arg("centres"), nb::arg("colour"), nb::arg("radius"), nb::arg("faded"),
        Release(),
        "Paints discs of radius pixels at the centres ((n, 2) in pixels); faded ones blend once per pixel.");
    m.def(
        "place_labels",
        [](Array<const double> anchors, Array<const double> widths, double cell, double text_height,
           Array<std::uint8_t> taken, Array<double> left, Array<double> base) {
            if (taken.ndim() != 2) throw nb::value_error("taken must be a (rows, columns) array");
            svg::place_labels(span(anchors), span(widths), cell, text_height, span(taken),
                              static_cast<std::int64_t>(taken.shape(0)), static_cast<std::int64_t>(taken.shape(1)),
                              span(left), span(base));
        },
        nb::arg("anchors"), nb::arg("widths"), nb::arg("cell"), nb::arg("text_height"), nb::arg("taken").noconvert(),
        nb::arg("left").noconvert(), nb::arg("base").noconvert(), Release(),
        "Places labels (anchors (n, 2), widths (n,) in pixels) in their order on the grid of cells taken\n"
        "(rows, columns) of uint8, each at the first of six places around its anchor that is free; left and\n"
        "base (n,) receive each label's left end and baseline, NaN where it has no room.");
    m.def(
        "path_data",
        [](Array<const double> points, Array<const std::uint8_t> starts) {
            std::string data;
            {
                nb::gil_scoped_release released;
                data = svg::path_data(span(points), span(starts));
            }
            return nb::str(data.data(), data.size());
        },
        nb::arg("points"), nb::arg("starts"),
        "SVG path data of points (n, 2) with one decimal, \"M\" before each point where starts (n,) is set.");
    m.def(
        "polyline_path",
        [](Array<const double> pixels) {
            std::string data;
            {
                nb::gil_scoped_release released;
                data = svg::polyline_path(span(pixels));
            }
            return nb::str(data.data(), data.size());
        },
        nb::arg("pixels"),
        "SVG path data of polylines in pixels (n, 2) one after the other, broken by rows whose x is not finite;\n"
        "points closer than half a pixel to the one before (but a run's ends) and runs of one point left out.");
    m.def(
        "png",
        [](Pixels image, int level, nb::object deflate) {
            std::string data;
            if (deflate.is_none()) {
                nb::gil_scoped_release released;
                data = raster::png(image_of(image), level);
            } else {
                raster::PngRows rows;
                {
                    nb::gil_scoped_release released;
                    rows = raster::png_rows(image_of(image));
                }
                // The deflater's bytes are immutable and held here: read without the lock.
                const nb::bytes deflated = nb::cast<nb::bytes>(
                    deflate(nb::bytes(reinterpret_cast<const char*>(rows.data.data()), rows.data.size())));
                nb::gil_scoped_release released;
                data = raster::png_file(rows, std::string_view(deflated.c_str(), deflated.size()));
            }
            return nb::bytes(data.data(), data.size());
        },
        nb::arg("image"), nb::arg("level"), nb::arg("deflate") = nb::none(),
        "The image (rows, columns) of 0xRRGGBB as a PNG: an index into its colours when it holds at most 256 of\n"
        "them, else 8-bit RGB. Its rows are deflated by zlib at level, or by deflate (bytes -> zlib stream)\n"
        "when given.");

    nb::class_<occlusion::TriangleGrid>(
        m, "TriangleGrid",
        "Triangles (n, 3, 3) in view coordinates (x, y across the picture, z: larger is farther), binned on a\n"
        "grid over the view, to find which points they hide.")
        .def(
            "__init__",
            [](occlusion::TriangleGrid* self, Array<const double> triangles, double tolerance) {
                new (self) occlusion::TriangleGrid(span(triangles), tolerance);
            },
            nb::arg("triangles"), nb::arg("tolerance"), Release())
        .def("__len__", &occlusion::TriangleGrid::size)
        .def(
            "hidden",
            [](const occlusion::TriangleGrid& self, Array<const double> points, Array<bool> out) {
                self.hidden(span(points), span(out));
            },
            nb::arg("points"), nb::arg("out").noconvert(), Release(),
            "Sets out (n,) where a triangle covers the point (points (n, 3) in view coordinates) in front of it,\n"
            "clears it elsewhere (outside the grid, not finite, on a triangle or in front).");
}
