// Contrast enhancement that makes dark marks on a bright body (painted
// numbers on a pig's back) stand out: grey conversion, a gamma curve that
// lifts dark tones, then global histogram equalisation.
#pragma once

#include <array>
#include <cstdint>
#include <opencv2/core.hpp>

namespace vexo::detection {

// 256-entry curve: entry i = trunc((i / 255) ^ (1 / gamma) * 255).
// Throws ValueError unless gamma is finite and positive.
std::array<std::uint8_t, 256> dark_text_table(double gamma);

// `rgb` is an 8-bit RGB (3 channels) or RGBA (4, alpha ignored) image, or an
// 8-bit grey image (1 channel, treated as equal R, G and B). Returns the
// enhanced 8-bit single-channel image of the same size.
cv::Mat enhance_dark_text(const cv::Mat& rgb, double gamma = 1.5);

}  // namespace vexo::detection
