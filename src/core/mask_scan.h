// Vectorised single-pass box and pixel count of a mask: every byte is read
// once, 16 at a time, and the column extent is searched only at row ends
// that can still widen the box.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/mask.h"

namespace vexo {

// Tight inclusive box and nonzero count in one pass (what mask_stat() returns).
MaskStat scan_mask(const cv::Mat& mask);
std::vector<MaskStat> scan_masks(const std::vector<cv::Mat>& masks);

// dst[i] = src[i] != 0 for n single-precision mask values (vectorised).
// Returns false when a value is NaN or infinite (dst is then incomplete).
bool float_mask_to_bytes(const float* src, std::size_t n, std::uint8_t* dst);

}  // namespace vexo
