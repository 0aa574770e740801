#include "standins/classical_segmenter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
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

// How central a pixel lies in a box: 0 at its centre, 1 on its border.
double box_depth(const cv::Rect& r, int x, int y) {
  double cx = r.x + r.width / 2.0, cy = r.y + r.height / 2.0;
  return std::max(std::fabs(x + 0.5 - cx) / (r.width / 2.0),
                  std::fabs(y + 0.5 - cy) / (r.height / 2.0));
}

// Animals lying against each other share pixels where their box prompts
// overlap; give each shared pixel to the box it lies deepest in, so the
// masks of one call come out disjoint.
void split_shared_pixels(const std::vector<cv::Rect>& rects, std::vector<cv::Mat>& masks) {
  for (std::size_t i = 0; i < rects.size(); ++i) {
    for (std::size_t j = i + 1; j < rects.size(); ++j) {
      cv::Rect both = rects[i] & rects[j];
      if (both.area() == 0) continue;
      for (int y = both.y; y < both.y + both.height; ++y) {
        std::uint8_t* a = masks[i].ptr<std::uint8_t>(y);
        std::uint8_t* b = masks[j].ptr<std::uint8_t>(y);
        for (int x = both.x; x < both.x + both.width; ++x) {
          if (!a[x] || !b[x]) continue;
          if (box_depth(rects[i], x, y) <= box_depth(rects[j], x, y)) {
            b[x] = 0;
          } else {
            a[x] = 0;
          }
        }
      }
    }
  }
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
  std::vector<cv::Rect> rects;
  for (const auto& b : boxes) rects.push_back(box_rect(b, rgb.rows, rgb.cols));
  split_shared_pixels(rects, out);
}

}  // namespace vexo::standins
