#include "detection/last_frame.h"

#include "core/console.h"
#include "core/format.h"
#include "core/mask.h"
#include "core/mask_scan.h"
#include "core/overlap.h"

namespace vexo::detection {

int expected_tracks(const std::vector<std::optional<std::string>>& removed) {
  int named = 0;
  for (const auto& r : removed) named += r.has_value();
  return kPigsPerPen - named;
}

FrameVerdict examine_last_frame(const std::vector<cv::Mat>& masks, double min_area, int expected) {
  require_same_shape(masks, "intersection_between_masks");
  std::vector<MaskStat> stats(masks.size());
  int non_empty = 0;
  for (std::size_t i = 0; i < masks.size(); ++i) {
    stats[i] = scan_mask(masks[i]);
    // One mask at or below the limit rejects the frame; the rest need not be read.
    if (!(static_cast<double>(stats[i].area) > min_area)) return FrameVerdict::kMaskTooSmall;
    if (stats[i].area > 0) ++non_empty;
  }
  if (non_empty < expected) return FrameVerdict::kTooFewMasks;

  // The areas are the masks' own pixel counts, so the table counts them too.
  const std::vector<double> table = intersection_table(masks, stats, {});
  for (double v : table) {
    if (!(v < 50.0)) return FrameVerdict::kOverlapping;
  }
  return FrameVerdict::kAccepted;
}

std::optional<std::size_t> find_best_last_frame(const std::vector<std::int64_t>& keys,
                                                const RecordMasksFn& masks_of,
                                                const LastFrameParams& params) {
  double attempt = 0;
  std::size_t back = 0;  // frames already examined, counted from the end
  while (attempt < params.max_attempts.value() && back < keys.size()) {
    check_interrupt();
    const std::size_t pos = keys.size() - 1 - back;
    const RecordMasks frame = masks_of(pos);
    if (examine_last_frame(frame.masks, params.min_area.value(), params.expected) ==
        FrameVerdict::kAccepted) {
      if (keys[pos] != kNormalLastFrameKey) {
        print_line("Switched to frame key " + fmt_int(keys[pos]) +
                   " due to small mask area in later frames.");
      }
      return pos;
    }
    ++back;
    attempt += 1;
  }
  print_line("No valid frame found with all masks area > " + params.min_area.text() +
             " in the last " + params.max_attempts.text() + " frames for " +
             fmt_int(params.expected) + " tracks.");
  return std::nullopt;
}

}  // namespace vexo::detection
