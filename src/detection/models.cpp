#include "detection/models.h"

#include <opencv2/imgproc.hpp>

#include "core/errors.h"
#include "core/image_io.h"

namespace vexo::detection {

FrameImage OpenCvFrameSource::open(const std::string& path) {
  cv::Mat bgr =
      read_image_file(path, ImageLayout::kBgrAsStored,
                      {"frame image not found: " + path, "cannot decode frame image: " + path});
  FrameImage f;
  f.path = path;
  cv::cvtColor(bgr, f.rgb, cv::COLOR_BGR2RGB);
  return f;
}

}  // namespace vexo::detection
