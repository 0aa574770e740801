// Carries the pigs' numbers from one clip into the next: a usable frame near
// the end of the previous clip is chosen, the boxes of its masks prompt the
// segmenter on a frame of the new clip, and the new masks are kept when they
// are complete and well separated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "detection/last_frame.h"
#include "detection/models.h"

namespace vexo::detection {

// New masks may overlap each other by at most this percentage.
inline constexpr double kMaxNewMaskOverlap = 10.0;

// "Box0" .. "Box9" in ascending order, without the names in `removed`.
std::vector<std::string> kept_box_names(const std::vector<std::optional<std::string>>& removed);

// Tight inclusive box (x_min, y_min, x_max, y_max) of each mask, in order.
// ValueError naming the key when a mask is empty.
std::vector<BoxXYXY> prompt_boxes(const RecordMasks& frame);

// Brings the segmenter's answer to N x H x W: a 2-D stack gains a leading
// axis of 1, a 4-D stack loses axis 1 (which must have length 1), a 3-D
// stack stays. ValueError for other shapes.
MaskStack normalise_mask_stack(MaskStack stack);

// Whether the new masks pass: every overlap at most 10 %, as many masks as
// prompts, every mask at least `min_area` pixels (tested in this order).
bool new_masks_usable(const std::vector<cv::Mat>& masks, std::size_t n_prompts, double min_area);

struct MatcherParams {
  std::vector<std::optional<std::string>> remove_stack_box;  // boxes left out
  HostNumber min_area = HostNumber::integer(10);
  HostNumber max_attempts = HostNumber::integer(10);
  std::string ann_frame_idx_text = "0";  // the new frame's index as the caller wrote it
};

struct MatchResult {
  bool failed = true;
  std::size_t frame_pos = 0;        // position of the chosen old frame in the keys
  MaskStack masks;                  // new masks, N x H x W, in prompt order
  std::vector<std::string> labels;  // "pig" per mask
  std::vector<std::string> kept_names;
};

// `keys` / `masks_of` as for find_best_last_frame (the left-out boxes already
// removed from the records). `open_frame` opens the new clip's frame; it and
// the segmenter are used only once an old frame is chosen (a null segmenter
// is then a TypeError). `display`, when set, receives the prompts drawn on
// the new frame (RGBA) whatever the outcome.
MatchResult match_next_clip(const std::vector<std::int64_t>& keys, const RecordMasksFn& masks_of,
                            const std::function<FrameImage()>& open_frame,
                            ImageSegmenter* segmenter,
                            const std::function<void(const cv::Mat& rgba)>& display,
                            const MatcherParams& params);

}  // namespace vexo::detection
