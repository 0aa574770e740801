// Word-at-a-time box and pixel count of a frame-size mask: empty stretches
// of a row are skipped eight bytes at a time, so a mask that covers a small
// part of the frame costs little more than reading it once.
#pragma once

#include <opencv2/core.hpp>

#include "core/mask.h"

namespace vexo::detection {

// Same result as vexo::mask_stat (tight inclusive box, nonzero count).
MaskStat fast_mask_stat(const cv::Mat& mask);

}  // namespace vexo::detection
