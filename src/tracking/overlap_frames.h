// Episodes of heavy overlap between two tracked pigs and the vote for the pig
// most likely tracked in error: each pig involved is compared with itself
// across the frame where the earliest episode begins (or ends), by shape,
// box and appearance.
#pragma once

#include <array>
#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "detection/features.h"
#include "detection/models.h"
#include "tracking/frame_runs.h"

namespace vexo::tracking {

// The episodes and the frames to compare.
struct OverlapPlan {
  std::vector<FrameRunGroup> episodes;  // by box pair, in text order
  std::vector<std::string> test_boxes;  // pieces of the pair keys, text order
  std::int64_t test_frame = 0;
  bool reverse_track = false;
  std::vector<std::int64_t> window;  // window frames inside 0 .. record_count - 1
  std::int64_t compare_frame = 0;    // the frame every window frame is compared with
};

// Finds the episodes of the overlap rows (frame, box pair), prints the
// episode keys and each pair's first frames, and fixes the test frame, the
// boxes and the window. ValueError when there is no episode or no window
// frame inside the clip's `record_count` records.
OverlapPlan plan_overlap_frames(const std::vector<std::int64_t>& frames,
                                const std::vector<std::optional<std::string>>& pairs,
                                std::int64_t n_consecutive, std::int64_t record_count);

// x_min, y_min, x_max, y_max of the nonzero pixels (inclusive); (0, 0, 0, 0)
// for an empty mask.
std::array<double, 4> corner_box(const cv::Mat& mask);
// Intersection over union of two corner boxes, sides as plain differences.
double bb_iou(const std::array<double, 4>& a, const std::array<double, 4>& b);

// The masks of the test boxes in one frame, and its image file.
struct FrameSide {
  std::string image_path;
  std::vector<cv::Mat> masks;  // test_boxes order, 8-bit, nonzero inside
};

// Mismatch of every pig between frame m (old) and frame n (new): (1 - cosine
// of its appearance vectors) + (1 - shape IoU) + (1 - box IoU); +inf when it
// has no vector on either side.
std::vector<double> mismatch_scores(const std::vector<cv::Mat>& old_masks,
                                    const std::vector<cv::Mat>& new_masks,
                                    const std::vector<detection::Feature>& old_features,
                                    const std::vector<detection::Feature>& new_features);

// Position of the largest score (the first among equals).
std::size_t worst_position(const std::vector<double>& scores);
// Position in `votes` of the first occurrence of the most frequent value
// (the earliest first occurrence among equally frequent ones).
std::size_t most_frequent_position(const std::vector<std::string>& votes);

// One vote per window frame: the test box with the largest mismatch between
// the window frame (`sides[i].first`) and the compared frame
// (`sides[i].second`). Frames are opened from their image files.
std::vector<std::string> vote_worst_boxes(const OverlapPlan& plan,
                                          const std::vector<std::pair<FrameSide, FrameSide>>& sides,
                                          detection::FrameSource& frames,
                                          detection::ImageSegmenter& segmenter,
                                          detection::ImageEncoder& encoder);

}  // namespace vexo::tracking
