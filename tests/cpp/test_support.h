// Small helpers shared by the C++ tests.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <string_view>

#include "core/console.h"

namespace vexo::test_support {

// Collects everything printed to the console for the lifetime of the object.
struct ConsoleText {
  std::string text;
  ConsoleText() {
    set_console_sink([this](std::string_view t) { text += t; });
  }
  ~ConsoleText() { set_console_sink({}); }
  ConsoleText(const ConsoleText&) = delete;
  ConsoleText& operator=(const ConsoleText&) = delete;
};

// A rows x cols CV_8UC1 mask holding 1 inside r.
inline cv::Mat rect_mask(int rows, int cols, cv::Rect r) {
  cv::Mat m = cv::Mat::zeros(rows, cols, CV_8UC1);
  m(r).setTo(1);
  return m;
}

}  // namespace vexo::test_support
