#include "detection/models.h"

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/errors.h"

namespace vexo::detection {

FrameImage OpenCvFrameSource::open(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    throw FileNotFound("frame image not found: " + path);
  }
  cv::Mat bgr = cv::imread(path, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
  if (bgr.empty()) throw ValueError("cannot decode frame image: " + path);
  FrameImage f;
  f.path = path;
  cv::cvtColor(bgr, f.rgb, cv::COLOR_BGR2RGB);
  return f;
}

}  // namespace vexo::detection
