#include "video/crop_region.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "core/errors.h"

namespace vexo::video {

std::optional<CropRegion> MemoryRegionCache::lookup(std::size_t camera) {
  return camera < regions.size() ? regions[camera] : std::nullopt;
}

void MemoryRegionCache::store(std::size_t camera, const CropRegion& region) {
  if (regions.size() <= camera) regions.resize(camera + 1);
  regions[camera] = region;
}

std::optional<CropRegion> find_orange_region(const cv::Mat& bgr) {
  if (bgr.empty() || bgr.type() != CV_8UC3) {
    throw ValueError("find_orange_region: expected a non-empty H x W x 3 uint8 BGR frame");
  }
  cv::Mat hsv, mask;
  cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
  cv::inRange(hsv, cv::Scalar(10, 150, 150), cv::Scalar(25, 255, 255), mask);
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  if (contours.empty()) return std::nullopt;

  std::vector<std::size_t> order(contours.size());
  std::vector<double> areas(contours.size());
  for (std::size_t i = 0; i < contours.size(); ++i) {
    order[i] = i;
    areas[i] = cv::contourArea(contours[i]);
  }
  std::stable_sort(order.begin(), order.end(),
                   [&areas](std::size_t a, std::size_t b) { return areas[a] > areas[b]; });
  auto centroid_x = [&contours](std::size_t i) {
    cv::Moments m = cv::moments(contours[i]);
    return m.m10 / (m.m00 + 1e-05);
  };
  std::size_t best = order[0];
  if (order.size() > 1 && centroid_x(order[1]) > centroid_x(order[0])) best = order[1];
  cv::Rect r = cv::boundingRect(contours[best]);
  return CropRegion{r.x, r.y, r.x + r.width, r.y + r.height};
}

CropRegion pen_region(const CropRegion& marker, bool left_crop) {
  bool far_right = marker.x2 >= 2300;
  if (left_crop) return CropRegion{far_right ? 380 : 120, 0, marker.x1 - 45, 1440};
  return CropRegion{marker.x1 - 50, 0, far_right ? 2560 : 2300, 1440};
}

}  // namespace vexo::video
