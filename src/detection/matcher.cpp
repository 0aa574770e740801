#include "detection/matcher.h"

#include <algorithm>

#include "core/console.h"
#include "core/errors.h"
#include "core/mask_scan.h"
#include "core/overlap.h"
#include "visual/drawing.h"

namespace vexo::detection {

std::vector<std::string> kept_box_names(const std::vector<std::optional<std::string>>& removed) {
  std::vector<std::string> out;
  for (int i = 0; i < kPigsPerPen; ++i) {
    std::string name = "Box" + std::to_string(i);
    bool gone = std::any_of(removed.begin(), removed.end(),
                            [&](const std::optional<std::string>& r) { return r && *r == name; });
    if (!gone) out.push_back(std::move(name));
  }
  return out;
}

std::vector<BoxXYXY> prompt_boxes(const RecordMasks& frame) {
  std::vector<BoxXYXY> boxes;
  boxes.reserve(frame.masks.size());
  for (std::size_t i = 0; i < frame.masks.size(); ++i) {
    const MaskStat st = scan_mask(frame.masks[i]);
    if (st.area == 0) {
      const std::string key = i < frame.keys.size() ? frame.keys[i] : std::to_string(i);
      throw ValueError("matcher: the mask of " + key + " is empty, so it gives no box prompt");
    }
    boxes.push_back({static_cast<double>(st.box.x1), static_cast<double>(st.box.y1),
                     static_cast<double>(st.box.x2), static_cast<double>(st.box.y2)});
  }
  return boxes;
}

MaskStack normalise_mask_stack(MaskStack stack) {
  auto shape_text = [&] {
    std::string s = "(";
    for (std::size_t i = 0; i < stack.shape.size(); ++i) {
      if (i) s += ", ";
      s += std::to_string(stack.shape[i]);
    }
    return s + ")";
  };
  if (stack.ndim() == 2) {
    stack.shape.insert(stack.shape.begin(), 1);
  } else if (stack.ndim() == 4) {
    if (stack.shape[1] != 1) {
      throw ValueError("matcher: predicted masks of shape " + shape_text() +
                       " cannot lose axis 1 (its length is not 1)");
    }
    stack.shape.erase(stack.shape.begin() + 1);
  } else if (stack.ndim() != 3) {
    throw ValueError("matcher: expected predicted masks of 2 to 4 dimensions, got shape " +
                     shape_text());
  }
  if (static_cast<std::int64_t>(stack.planes.size()) != stack.shape[0]) {
    throw ValueError("matcher: predicted masks of shape " + shape_text() + " hold " +
                     std::to_string(stack.planes.size()) + " planes");
  }
  return stack;
}

bool new_masks_usable(const std::vector<cv::Mat>& masks, std::size_t n_prompts, double min_area) {
  require_same_shape(masks, "intersection_between_masks");
  const std::vector<MaskStat> stats = scan_masks(masks);
  const std::vector<double> table = intersection_table(masks, stats, {});
  for (double v : table) {
    if (!(v <= kMaxNewMaskOverlap)) return false;
  }
  if (masks.size() != n_prompts) return false;
  for (const MaskStat& s : stats) {
    if (!(static_cast<double>(s.area) >= min_area)) return false;
  }
  return true;
}

MatchResult match_next_clip(const std::vector<std::int64_t>& keys, const RecordMasksFn& masks_of,
                            const std::function<FrameImage()>& open_frame,
                            ImageSegmenter* segmenter,
                            const std::function<void(const cv::Mat& rgba)>& display,
                            const MatcherParams& params) {
  LastFrameParams lp;
  lp.min_area = params.min_area;
  lp.max_attempts = params.max_attempts;
  lp.expected = expected_tracks(params.remove_stack_box);
  const std::optional<std::size_t> chosen = find_best_last_frame(keys, masks_of, lp);

  MatchResult result;
  result.kept_names = kept_box_names(params.remove_stack_box);
  if (!chosen) {
    print_line("Issue is from the laste frame, not enough masks found.");
    return MatchResult{};
  }
  const RecordMasks old_frame = masks_of(*chosen);
  const std::vector<BoxXYXY> boxes = prompt_boxes(old_frame);

  if (segmenter == nullptr) {
    throw TypeError("matcher: image_predictor is needed to segment the new frame, got None");
  }
  const FrameImage frame = open_frame();
  segmenter->set_image(frame.rgb);
  MaskStack stack = normalise_mask_stack(segmenter->predict(boxes));

  const bool usable =
      new_masks_usable(stack.planes, old_frame.masks.size(), params.min_area.value());
  if (display) display(visual::img_bbx_drawing(frame.rgb, old_frame.keys, old_frame.masks));

  if (!usable) {
    print_line("ann_frame_idx [" + params.ann_frame_idx_text + "] cannot work..\n");
    return MatchResult{};
  }
  print_line("ann_frame_idx [" + params.ann_frame_idx_text + "] works for mask finding!!!");
  result.failed = false;
  result.frame_pos = *chosen;
  result.labels.assign(stack.planes.size(), "pig");
  result.masks = std::move(stack);
  return result;
}

}  // namespace vexo::detection
