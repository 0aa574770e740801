// The mask scan kernels behind mask.h: vectorised box and pixel counts (16
// bytes at a time), with the column extent searched only at row ends that
// can still widen the box.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/mask.h"

namespace vexo {

// Nonzero bytes among p[0, n).
std::int64_t count_nonzero_bytes(const std::uint8_t* p, int n);

// Tight inclusive box of the nonzero pixels (what mask_box() returns): rows
// are searched from both ends, and the rows between are read only beyond the
// columns already inside the box.
Box scan_box(const cv::Mat& mask);

// Tight inclusive box and nonzero count in one pass (what mask_stat() returns).
MaskStat scan_mask(const cv::Mat& mask);
std::vector<MaskStat> scan_masks(const std::vector<cv::Mat>& masks);

// dst[i] = src[i] != 0 for n single-precision mask values (vectorised).
// Returns false when a value is NaN or infinite (dst is then incomplete).
bool float_mask_to_bytes(const float* src, std::size_t n, std::uint8_t* dst);

}  // namespace vexo
