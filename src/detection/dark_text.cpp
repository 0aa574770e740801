#include "detection/dark_text.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "core/errors.h"
#include "core/format.h"

namespace vexo::detection {

std::array<std::uint8_t, 256> dark_text_table(double gamma) {
  if (!std::isfinite(gamma) || !(gamma > 0)) {
    throw ValueError("enhance_dark_text: gamma must be a positive number, got " + fmt_float(gamma));
  }
  const double inv = 1.0 / gamma;
  std::array<std::uint8_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    double v = std::pow(i / 255.0, inv) * 255.0;
    // Truncation toward zero, kept inside the 8-bit range.
    table[i] = static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
  }
  return table;
}

cv::Mat enhance_dark_text(const cv::Mat& rgb, double gamma) {
  const auto table = dark_text_table(gamma);
  if (rgb.empty()) throw ValueError("enhance_dark_text: the image is empty");
  if (rgb.depth() != CV_8U) throw TypeError("enhance_dark_text: expected an 8-bit image");
  cv::Mat grey;
  switch (rgb.channels()) {
    case 1:
      grey = rgb.clone();
      break;
    case 3:
      cv::cvtColor(rgb, grey, cv::COLOR_RGB2GRAY);
      break;
    case 4:
      cv::cvtColor(rgb, grey, cv::COLOR_RGBA2GRAY);
      break;
    default:
      throw ValueError("enhance_dark_text: expected an RGB image (3 channels)");
  }
  cv::Mat lut(1, 256, CV_8UC1, const_cast<std::uint8_t*>(table.data()));
  cv::Mat lifted;
  cv::LUT(grey, lut, lifted);
  cv::Mat out;
  cv::equalizeHist(lifted, out);
  return out;
}

}  // namespace vexo::detection
