// Directional overlap measures between the masks of one frame: how much of
// one mask's own area another mask covers, in percent.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/mask.h"

namespace vexo {

// Percentage of mask1's area covered by mask2 (0 when mask1 is empty).
double masks_intersection(const cv::Mat& mask1, const cv::Mat& mask2);

// (overlap / area1 * 100, overlap / area2 * 100), each 0 when its area is
// not greater than 0.
std::pair<double, double> masks_intersection_two_way(std::int64_t overlap, double area1,
                                                     double area2);

// Row-major n x n table: cell (i, j) is the percentage of mask i covered by
// mask j. A pair p < q is measured only when area[q] > 1; the diagonal is 0.
// `stats` gives each mask's box (and, when `areas` is empty, its area);
// `areas` are the caller's denominators, used unchanged.
std::vector<double> intersection_table(const std::vector<cv::Mat>& masks,
                                       const std::vector<MaskStat>& stats,
                                       const std::vector<double>& areas);

}  // namespace vexo
