// Pen membership of detection boxes (exact geometry) and of masks (the pen
// polygon rasterised at the mask's size).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "pen/pen_file.h"

namespace vexo::pen {

using RealBox = std::array<double, 4>;  // x1, y1, x2, y2

struct PenRatios {
  std::vector<double> ratios;  // percentage of each box's area inside the pen
  std::vector<bool> in_pen;    // ratio >= threshold
};

// For each box, 100 * area(pen ∩ box) / area(box) on the exact geometry
// (double precision polygon clipping), and whether it reaches
// `ratio_threshold` (inclusive). ValueError for a zero-area box, a pen with
// fewer than three vertices or non-finite numbers, or a pen outline the
// clipping cannot handle. No boxes give two empty lists.
PenRatios calculate_pen_intersection_ratio(const std::vector<cv::Point2d>& polygon_points,
                                           const std::vector<RealBox>& boxes,
                                           double ratio_threshold);

// Pen ratios against a polygon prepared once, for testing many box lists
// against one pen.
class PenGeometry {
 public:
  explicit PenGeometry(const std::vector<cv::Point2d>& polygon_points);
  ~PenGeometry();
  PenGeometry(const PenGeometry&) = delete;
  PenGeometry& operator=(const PenGeometry&) = delete;
  // Percentage of the box's area inside the pen (ValueError for zero area).
  double ratio(const RealBox& box) const;

 private:
  struct Impl;
  Impl* impl_;
};

// The pen mask of a rows x cols frame: CV_8UC1, 1 inside the polygon and 0
// elsewhere, filled like OpenCV fillPoly with each vertex truncated toward
// zero; parts outside the frame are clipped. Compute it once per frame size
// and reuse it with cut_to_pen for repeated cuts.
cv::Mat pen_mask(const std::vector<cv::Point2d>& polygon_points, int rows, int cols);

// `mask` (CV_8UC1, rows x cols of `pen`) kept only where `pen` is nonzero:
// a new mask holding mask's value inside the pen and 0 outside.
cv::Mat cut_to_pen(const cv::Mat& mask, const cv::Mat& pen);

// The pen mask of a rows x cols frame for frame `frame_idx` of a clip: reads
// the pen polygon of `pen_json_path` (draw_pen without drawing; the frame
// image is not read, but `frame_idx` must index `frame_names`, negative
// values counting from its end; IndexError otherwise).
cv::Mat frame_pen_mask(std::int64_t frame_idx, const std::string& pen_json_path,
                       const std::vector<std::string>& frame_names, int rows, int cols);

// Cuts `slices` consecutive rows x cols arrays of `item_size`-byte elements
// (numbers or booleans, zero bytes meaning 0) to `pen`: dst keeps src's
// element where the pen mask is nonzero; dst must be zero-filled, and only
// its nonzero elements inside the pen are written.
void cut_slices_to_pen(const void* src, void* dst, std::size_t slices, std::size_t item_size,
                       const cv::Mat& pen);

// Reads the pen polygon of `pen_json_path` (draw_pen without drawing; the
// frame `frame_names[frame_idx]` is not read, but `frame_idx` must index the
// list, negative values counting from its end) and cuts `test_mask` (CV_8UC1)
// to it. IndexError for an index outside the list.
cv::Mat get_in_pen_mask(std::int64_t frame_idx, const cv::Mat& test_mask,
                        const std::string& pen_json_path,
                        const std::vector<std::string>& frame_names);

}  // namespace vexo::pen
