#include "standins/classical_detector.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "core/errors.h"

namespace vexo::standins {

namespace {

cv::Mat ellipse_kernel(int size) {
  size = std::max(1, size);
  return cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(size, size));
}

}  // namespace

std::vector<Blob> detect_blobs(const cv::Mat& rgb, const BlobDetectorParams& p) {
  if (rgb.empty() || rgb.type() != CV_8UC3) {
    throw ValueError("detect_blobs: expected an H x W x 3 8-bit RGB image");
  }
  cv::Mat grey, hsv;
  cv::cvtColor(rgb, grey, cv::COLOR_RGB2GRAY);
  cv::cvtColor(rgb, hsv, cv::COLOR_RGB2HSV);
  cv::Mat scratch;
  double otsu = cv::threshold(grey, scratch, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
  double thr = std::max(otsu, p.min_brightness);

  cv::Mat bright, pale, fg;
  cv::threshold(grey, bright, thr, 255, cv::THRESH_BINARY);
  cv::inRange(hsv, cv::Scalar(0, 0, 0), cv::Scalar(180, p.max_saturation, 255), pale);
  cv::bitwise_and(bright, pale, fg);
  const double scale =
      p.reference_rows > 0 ? static_cast<double>(rgb.rows) / p.reference_rows : 1.0;
  // Kernels keep an odd size, so they stay centred and move no edge; their
  // radius is rounded down, so a kernel never grows past its share.
  const auto kernel = [scale](int size) {
    const int radius = static_cast<int>(std::floor((std::max(1, size) - 1) / 2.0 * scale + 1e-9));
    return ellipse_kernel(2 * radius + 1);
  };
  cv::morphologyEx(fg, fg, cv::MORPH_OPEN, kernel(p.open_size));
  cv::morphologyEx(fg, fg, cv::MORPH_CLOSE, kernel(p.close_size));

  cv::Mat labels, stats, centroids;
  int n = cv::connectedComponentsWithStats(fg, labels, stats, centroids, 8, CV_32S);
  const double frame_area = static_cast<double>(rgb.rows) * rgb.cols;
  std::vector<Blob> out;
  for (int i = 1; i < n; ++i) {
    const int* s = stats.ptr<int>(i);
    double area = s[cv::CC_STAT_AREA];
    if (area < p.min_area_fraction * frame_area || area > p.max_area_fraction * frame_area) {
      continue;
    }
    const int x = s[cv::CC_STAT_LEFT], y = s[cv::CC_STAT_TOP];
    const int w = s[cv::CC_STAT_WIDTH], h = s[cv::CC_STAT_HEIGHT];
    // Contrast: blob brightness against the floor ring around it.
    const int r = std::max(1, static_cast<int>(std::lround(p.ring_width * scale)));
    cv::Rect outer(std::max(0, x - r), std::max(0, y - r), 0, 0);
    outer.width = std::min(rgb.cols, x + w + r) - outer.x;
    outer.height = std::min(rgb.rows, y + h + r) - outer.y;
    cv::Mat lab = labels(outer), g = grey(outer), f = fg(outer);
    cv::Mat inside = lab == i;
    cv::Mat grown;
    cv::dilate(inside, grown, ellipse_kernel(2 * r + 1));
    cv::Mat ring = grown & (f == 0);
    double in_mean = cv::mean(g, inside)[0];
    double ring_mean = cv::countNonZero(ring) > 0 ? cv::mean(g, ring)[0] : 0.0;
    double contrast = std::max(0.0, (in_mean - ring_mean) / 255.0);
    Blob b;
    b.box = {static_cast<double>(x), static_cast<double>(y), static_cast<double>(x + w),
             static_cast<double>(y + h)};
    b.score = std::clamp(1.0 - std::exp(-4.0 * contrast), 0.0, 0.999);
    b.area = area;
    out.push_back(b);
  }
  return out;
}

}  // namespace vexo::standins
