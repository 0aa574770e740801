// Shared mask kernels: tight boxes, pixel counts and overlaps restricted to
// bounding boxes, so no full-frame scan happens per pair. A mask is an 8-bit
// single-channel cv::Mat in which nonzero pixels belong to the object.
#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <vector>

namespace vexo {

// Inclusive pixel box; empty when x2 < x1.
struct Box {
  int x1 = 0, y1 = 0, x2 = -1, y2 = -1;
  bool empty() const { return x2 < x1 || y2 < y1; }
  int width() const { return empty() ? 0 : x2 - x1 + 1; }
  int height() const { return empty() ? 0 : y2 - y1 + 1; }
  bool operator==(const Box&) const = default;
};

// Intersection of two boxes (empty when they do not meet).
Box box_intersect(const Box& a, const Box& b);
// Box clipped to a rows x cols frame.
Box box_clip(const Box& b, int rows, int cols);

// Tight inclusive box of the nonzero pixels (empty box for an empty mask).
Box mask_box(const cv::Mat& mask);
// Nonzero pixels of the whole mask / of the part inside `box`.
std::int64_t mask_area(const cv::Mat& mask);
std::int64_t mask_area_in(const cv::Mat& mask, const Box& box);
// Pixels nonzero in both masks, counted only inside `box` (pass the
// intersection of the masks' boxes).
std::int64_t overlap_in(const cv::Mat& a, const cv::Mat& b, const Box& box);
// Pixels nonzero in both masks (boxes computed here).
std::int64_t overlap_count(const cv::Mat& a, const cv::Mat& b);

// A mask with its box and area known.
struct MaskStat {
  Box box;
  std::int64_t area = 0;
};
MaskStat mask_stat(const cv::Mat& mask);

// Centroid (mean column, mean row) of the nonzero pixels; false when empty.
bool mask_centroid(const cv::Mat& mask, double& cx, double& cy);

// Checks that all masks share one size; throws ValueError otherwise.
void require_same_shape(const std::vector<cv::Mat>& masks, const char* what);

}  // namespace vexo
