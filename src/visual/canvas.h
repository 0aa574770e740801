// The drawing engine behind every rendered image of the library. Images are
// 8-bit cv::Mat in R, G, B(, A) channel order (not OpenCV's BGR): CV_8UC3
// for RGB, CV_8UC4 for RGBA. Pixel (x, y) is column x, row y; a coordinate
// names a pixel centre, so a shape spanning 0..10 covers 11 pixels. Drawing
// replaces pixels (no blending) and is clipped to the image; only
// alpha_composite, composite_mask and text blend.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "core/mask.h"

namespace vexo::visual {

struct Rgba {
  std::uint8_t r = 0, g = 0, b = 0, a = 255;
  bool operator==(const Rgba&) const = default;
};

inline constexpr Rgba kWhite{255, 255, 255, 255};
inline constexpr Rgba kRed{255, 0, 0, 255};
inline constexpr Rgba kTransparentWhite{255, 255, 255, 0};

// A rows x cols RGBA canvas filled with `fill`.
cv::Mat new_canvas(int rows, int cols, Rgba fill);

// Copies of an 8-bit image (grey, RGB or RGBA) as RGBA (alpha 255 where the
// input had none) or RGB (alpha dropped). ValueError for other layouts.
cv::Mat to_rgba(const cv::Mat& image);
cv::Mat to_rgb(const cv::Mat& image);

// Sets every pixel where `mask` (CV_8UC1, the canvas's size) is nonzero,
// looking only inside `mask`'s nonzero bounding box.
void set_pixels(cv::Mat& canvas, const cv::Mat& mask, Rgba colour);

// Fills the closed polygon through real-valued vertices (even-odd rule): a
// pixel is set when its centre lies inside or on the outline. One vertex
// sets at most one pixel, two vertices a line.
void fill_polygon(cv::Mat& canvas, const std::vector<cv::Point2d>& vertices, Rgba colour);

// Filled rectangle with inclusive corners (x1, y1), (x2, y2); coordinates
// are truncated toward zero and the corners may be given in any order.
void fill_rectangle(cv::Mat& canvas, double x1, double y1, double x2, double y2, Rgba colour);

// Rectangle outline `width` pixels wide, drawn inward from the inclusive
// corners (a width larger than half the rectangle fills it). Width < 1 draws
// nothing.
void draw_rectangle(cv::Mat& canvas, double x1, double y1, double x2, double y2, Rgba colour,
                    int width);

// Open polyline through `points`: each segment a band `width` pixels wide
// centred on it (flat ends); with `round_joints`, a disc of diameter `width`
// fills every joint between two segments.
void draw_polyline(cv::Mat& canvas, const std::vector<cv::Point2d>& points, Rgba colour, int width,
                   bool round_joints);

// Porter-Duff "src over dst" in place: dst is RGBA, src RGBA of the same
// size. Pixels where src is fully transparent are left unchanged; channels
// are rounded to nearest.
void alpha_composite(cv::Mat& dst, const cv::Mat& src);

// Composites `colour` over the RGBA image `dst` at every pixel inside `box`
// where `mask` is nonzero and `taken` (CV_8UC1, dst's size) is still zero,
// then marks those pixels in `taken`. Painting masks from the last to the
// first with one `taken` map gives the picture of drawing them in order onto
// a transparent overlay (later masks replacing earlier ones) and compositing
// that overlay once, without building the overlay.
void composite_mask(cv::Mat& dst, const cv::Mat& mask, const Box& box, Rgba colour, cv::Mat& taken);

// Loads an image file as RGB or RGBA (channels 3 or 4), without applying any
// orientation tag. FileNotFound / IoError naming the path when it cannot be
// read or decoded.
cv::Mat load_image(const std::string& path, int channels);
// The image's width and height, reading the file; same errors as load_image.
cv::Size image_size(const std::string& path);
// Saves an RGB / RGBA / grey image, format by the path's extension. IoError
// when the format is unknown or writing fails.
void save_image(const cv::Mat& image, const std::string& path);

}  // namespace vexo::visual
