// Choice of the frame near the end of a tracked clip whose masks are all
// large enough, numerous enough and well separated, to carry the pigs'
// identities into the next clip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/format.h"

namespace vexo::detection {

// Ten pigs live in every pen.
inline constexpr int kPigsPerPen = 10;
// Annotation index of the last frame of a regular clip; choosing it is the
// normal case and goes unreported.
inline constexpr std::int64_t kNormalLastFrameKey = 599;

struct LastFrameParams {
  HostNumber min_area = HostNumber::integer(10);      // masks must be strictly larger
  HostNumber max_attempts = HostNumber::integer(10);  // frames examined, last first
  int expected = kPigsPerPen;                         // least number of non-empty masks
};

// The masks of one frame record, keys in map order.
struct RecordMasks {
  std::vector<std::string> keys;
  std::vector<cv::Mat> masks;
};
// Gives the masks of the frame at a position of the ascending key list.
using RecordMasksFn = std::function<RecordMasks(std::size_t pos)>;

// Expected track count: ten minus the named (non-null) boxes to leave out.
int expected_tracks(const std::vector<std::optional<std::string>>& removed);

// Outcome of examining one frame's masks (tests run in this order).
enum class FrameVerdict { kAccepted, kMaskTooSmall, kTooFewMasks, kOverlapping };

// Examines one frame: every mask strictly above `min_area` pixels, at least
// `expected` non-empty masks, every directional overlap strictly below 50 %.
// Throws ValueError when the masks differ in size.
FrameVerdict examine_last_frame(const std::vector<cv::Mat>& masks, double min_area, int expected);

// Walks the frames from the largest key down, at most `max_attempts` of
// them, and returns the position (in `keys`, which must be ascending) of the
// first acceptable frame. `masks_of(pos)` yields the masks of the frame at
// that position and is called only for frames examined (boxes the caller
// leaves out must already be gone from them). Prints the switch
// message when the chosen key is not the normal last frame, and the failure
// message when none is accepted (also when the frames run out first).
std::optional<std::size_t> find_best_last_frame(const std::vector<std::int64_t>& keys,
                                                const RecordMasksFn& masks_of,
                                                const LastFrameParams& params);

}  // namespace vexo::detection
