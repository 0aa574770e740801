// Cutting every clip of a catalogue into time windows of cropped frames.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "video/frame_writer.h"
#include "video/number.h"

namespace vexo::video {

// Window bounds of a clip of `duration` minutes: integer 0, then sums of
// `step`; the last window ends at the duration. ValueError for a step that is
// not a positive finite number.
std::vector<std::pair<Number, Number>> plan_windows(double duration, const Number& step);

// base + "/" + date + "/" + name + "/" + start + "min_to_" + end +
// "min/left_cropped_frames" (or right_cropped_frames).
std::string window_folder(const std::string& base, const std::string& date,
                          const std::string& video_name, const Number& start, const Number& end,
                          bool left_crop);
// The start of the names of the folders a window is written into before it
// is renamed to `folder`: each writing process adds "." + its process id +
// "_" + a random number.
std::string staging_folder(const std::string& folder);

struct ClipRow {
  std::string video_name;
  std::string file_path;
  std::string date;
  std::string camera_label;  // camera number as text, for messages
  std::size_t camera = 0;    // cache index
};

// Cuts every clip into windows. A window whose folder exists is skipped; the
// others are claimed (a window another process is writing is waited for),
// written into a staging folder beside the final one and renamed into place
// when complete, so an interrupted window is redone next time. A clip whose
// whole-number frame rate is below 1 is skipped with a message.
void process_videos_to_frames(const ExtractSettings& settings, RegionCache& cache,
                              const std::vector<ClipRow>& rows);

}  // namespace vexo::video
