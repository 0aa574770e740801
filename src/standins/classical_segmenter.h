// Classical stand-in for the box-prompted segmenter: inside each box prompt,
// the bright object is separated from the floor with an Otsu threshold of
// the box's own pixels, cleaned with morphology, reduced to its largest
// connected part and hole-filled.
#pragma once

#include <array>
#include <opencv2/core.hpp>
#include <vector>

namespace vexo::standins {

// One frame-size 8-bit 0/1 mask for the box (x_min, y_min, x_max, y_max in
// pixel edges; clipped to the frame). An empty box gives an empty mask.
cv::Mat segment_in_box(const cv::Mat& rgb, const std::array<double, 4>& box);

// Masks for several boxes, written into `out` (n x H x W, 8-bit,
// contiguous; allocated here).
void segment_boxes(const cv::Mat& rgb, const std::vector<std::array<double, 4>>& boxes,
                   std::vector<cv::Mat>& out);

}  // namespace vexo::standins
