// Writing one time window of a clip as cropped still frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "video/crop_region.h"
#include "video/number.h"

namespace vexo::video {

struct ExtractSettings {
  std::optional<std::int64_t> resize_height;  // scale saved frames to this height
  std::int64_t frame_skip = 1;                // never 0
  Number time_step = Number::real(0.1);       // minutes per window
  std::string output_dir_base = "D:\\ToBeLabeled_20pigs/";
  bool crop = true;  // the record's setting, used for whole catalogues
  bool left_crop = false;
  // Decode on one thread while a second one crops, scales and encodes. The
  // files written are the same either way.
  bool overlap = true;
  // For whole catalogues: decode the next window of a clip on its own thread
  // while the current one finishes. Files and console lines are the same.
  bool windows_ahead = true;
};

struct WindowJob {
  std::string video_path;
  std::string output_dir;  // the folder named in messages
  std::string write_dir;   // where the files go (output_dir unless staged)
  Number start_min = Number::integer(10);
  Number end_min = Number::integer(12);
  std::string camera_label = "None";  // camera number as text, for messages
  std::size_t camera = 0;             // cache index
  bool crop = true;
};

// Writes the selected frames of one window as 0000.jpg, 0001.jpg, ... into
// job.write_dir (created with its parents). Start and end frames are rounded
// to whole frames.
void crop_video_to_frames(const ExtractSettings& settings, RegionCache& cache,
                          const WindowJob& job);

}  // namespace vexo::video
