// Polygon string parser and rasteriser: the coordinates of one
// "formatted_polygon" string at a small frame size.
#include <cstdint>
#include <opencv2/imgproc.hpp>
#include <string>

#include "core/errors.h"
#include "core/polygon.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  try {
    auto coords = vexo::parse_polygon_coords(text, "fuzz");
    auto pts = vexo::polygon_to_pixels(coords, 64, 48, "fuzz");
    if (!pts.empty()) {
      cv::Mat m = cv::Mat::zeros(48, 64, CV_8UC1);
      const cv::Point* p = pts.data();
      int n = static_cast<int>(pts.size());
      cv::fillPoly(m, &p, &n, 1, cv::Scalar(1));
    }
  } catch (const vexo::Error&) {
  }
  return 0;
}
