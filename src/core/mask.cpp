#include "core/mask.h"

#include <algorithm>
#include <string>

#include "core/errors.h"
#include "core/mask_scan.h"

namespace vexo {

Box box_intersect(const Box& a, const Box& b) {
  if (a.empty() || b.empty()) return {};
  Box r{std::max(a.x1, b.x1), std::max(a.y1, b.y1), std::min(a.x2, b.x2), std::min(a.y2, b.y2)};
  if (r.empty()) return {};
  return r;
}

Box box_clip(const Box& b, int rows, int cols) {
  return box_intersect(b, Box{0, 0, cols - 1, rows - 1});
}

Box mask_box(const cv::Mat& mask) { return scan_box(mask); }

std::int64_t mask_area_in(const cv::Mat& mask, const Box& box) {
  if (box.empty()) return 0;
  std::int64_t n = 0;
  for (int y = box.y1; y <= box.y2; ++y) {
    n += count_nonzero_bytes(mask.ptr<std::uint8_t>(y) + box.x1, box.width());
  }
  return n;
}

std::int64_t mask_area(const cv::Mat& mask) {
  return mask_area_in(mask, Box{0, 0, mask.cols - 1, mask.rows - 1});
}

std::int64_t overlap_in(const cv::Mat& a, const cv::Mat& b, const Box& box) {
  if (box.empty()) return 0;
  std::int64_t n = 0;
  for (int y = box.y1; y <= box.y2; ++y) {
    const std::uint8_t* ra = a.ptr<std::uint8_t>(y);
    const std::uint8_t* rb = b.ptr<std::uint8_t>(y);
    for (int x = box.x1; x <= box.x2; ++x) n += (ra[x] != 0) & (rb[x] != 0);
  }
  return n;
}

std::int64_t overlap_count(const cv::Mat& a, const cv::Mat& b) {
  return overlap_in(a, b, box_intersect(mask_box(a), mask_box(b)));
}

MaskStat mask_stat(const cv::Mat& mask) { return scan_mask(mask); }

bool mask_centroid(const cv::Mat& mask, double& cx, double& cy) {
  double sx = 0, sy = 0;
  std::int64_t n = 0;
  for (int y = 0; y < mask.rows; ++y) {
    const std::uint8_t* row = mask.ptr<std::uint8_t>(y);
    for (int x = 0; x < mask.cols; ++x) {
      if (row[x]) {
        sx += x;
        sy += y;
        ++n;
      }
    }
  }
  if (n == 0) return false;
  cx = sx / static_cast<double>(n);
  cy = sy / static_cast<double>(n);
  return true;
}

void require_same_shape(const std::vector<cv::Mat>& masks, const char* what) {
  for (std::size_t i = 1; i < masks.size(); ++i) {
    if (masks[i].rows != masks[0].rows || masks[i].cols != masks[0].cols) {
      throw ValueError(std::string(what) + ": masks differ in shape (" +
                       std::to_string(masks[0].rows) + " x " + std::to_string(masks[0].cols) +
                       " and " + std::to_string(masks[i].rows) + " x " +
                       std::to_string(masks[i].cols) + ")");
    }
  }
}

}  // namespace vexo
