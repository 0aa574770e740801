// Pairwise similarity tables between two lists of masks of one frame size:
// intersection over union, and closeness of centroids scaled to 0..1. Row i
// belongs to new mask i, column j to old mask j; tables are row-major.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace vexo::detection {

// intersection / (union + 1e-06) per pair; pixels are counted only inside
// the masks' bounding boxes.
std::vector<double> masks_iou_scores(const std::vector<cv::Mat>& masks_new,
                                     const std::vector<cv::Mat>& masks_old);

// 1 - d / (max d + 1e-06) per pair, d the Euclidean distance of the centroids
// (mean row, mean column). Pairs involving an empty mask take the largest
// real distance + 1 before scaling; with no real distance at all, the whole
// table is NaN. Empty when either list is empty.
std::vector<double> centroid_similarity(const std::vector<cv::Mat>& masks_new,
                                        const std::vector<cv::Mat>& masks_old);

}  // namespace vexo::detection
