#include "standins/classical_segmenter.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "core/errors.h"
#include "core/parallel.h"

namespace vexo::standins {

namespace {

cv::Rect box_rect(const std::array<double, 4>& b, int rows, int cols) {
  for (double v : b) {
    if (!std::isfinite(v)) throw ValueError("segment_in_box: box corners must be finite");
  }
  int x0 = static_cast<int>(std::floor(std::clamp(b[0], 0.0, static_cast<double>(cols))));
  int y0 = static_cast<int>(std::floor(std::clamp(b[1], 0.0, static_cast<double>(rows))));
  int x1 = static_cast<int>(std::ceil(std::clamp(b[2], 0.0, static_cast<double>(cols))));
  int y1 = static_cast<int>(std::ceil(std::clamp(b[3], 0.0, static_cast<double>(rows))));
  if (x1 <= x0 || y1 <= y0) return {};
  return {x0, y0, x1 - x0, y1 - y0};
}

void segment_into(const cv::Mat& rgb, const std::array<double, 4>& box, cv::Mat& mask) {
  mask.setTo(0);
  cv::Rect r = box_rect(box, rgb.rows, rgb.cols);
  if (r.area() == 0) return;
  cv::Mat grey;
  cv::cvtColor(rgb(r), grey, cv::COLOR_RGB2GRAY);
  cv::GaussianBlur(grey, grey, cv::Size(5, 5), 0);
  cv::Mat fg;
  cv::threshold(grey, fg, 0, 1, cv::THRESH_BINARY | cv::THRESH_OTSU);
  int k = std::max(3, std::min(r.width, r.height) / 40 * 2 + 3);
  cv::Mat kernel = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(k, k));
  cv::morphologyEx(fg, fg, cv::MORPH_OPEN, kernel);
  cv::morphologyEx(fg, fg, cv::MORPH_CLOSE, kernel);
  cv::Mat labels, stats, centroids;
  int n = cv::connectedComponentsWithStats(fg, labels, stats, centroids, 8, CV_32S);
  int best = 0, best_area = 0;
  for (int i = 1; i < n; ++i) {
    int a = stats.at<int>(i, cv::CC_STAT_AREA);
    if (a > best_area) {
      best_area = a;
      best = i;
    }
  }
  if (best == 0) return;
  cv::Mat part = labels == best;
  // Fill holes: everything the outside cannot reach belongs to the object.
  cv::Mat padded;
  cv::copyMakeBorder(part, padded, 1, 1, 1, 1, cv::BORDER_CONSTANT, 0);
  cv::floodFill(padded, cv::Point(0, 0), 255);
  cv::Mat holes = padded(cv::Rect(1, 1, r.width, r.height)) == 0;
  cv::Mat filled = (part | holes) / 255;
  filled.copyTo(mask(r));
}

}  // namespace

cv::Mat segment_in_box(const cv::Mat& rgb, const std::array<double, 4>& box) {
  if (rgb.empty() || rgb.type() != CV_8UC3) {
    throw ValueError("segment_in_box: expected an H x W x 3 8-bit RGB image");
  }
  cv::Mat mask(rgb.rows, rgb.cols, CV_8UC1);
  segment_into(rgb, box, mask);
  return mask;
}

void segment_boxes(const cv::Mat& rgb, const std::vector<std::array<double, 4>>& boxes,
                   std::vector<cv::Mat>& out) {
  if (rgb.empty() || rgb.type() != CV_8UC3) {
    throw ValueError("segment_boxes: expected an H x W x 3 8-bit RGB image");
  }
  cv::Mat stack(static_cast<int>(boxes.size()) * rgb.rows, rgb.cols, CV_8UC1);
  out.clear();
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    out.push_back(
        stack.rowRange(static_cast<int>(i) * rgb.rows, static_cast<int>(i + 1) * rgb.rows));
  }
  parallel_for(boxes.size(), [&](std::size_t i) { segment_into(rgb, boxes[i], out[i]); });
}

}  // namespace vexo::standins
