// Writer of per-frame tracking files, the format the tracking output reader
// reads: masks become outer contours written as normalised polygon strings.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace vexo::standins {

struct TrackedMask {
  std::int64_t object_id = 1;  // tracker id, counted from 1
  cv::Mat mask;                // 8-bit, nonzero inside
};

// JSON text of one frame. Vertices are written at pixel centres
// ((x + 0.5) / width), so reading them back with truncation restores the
// contour's pixel vertices exactly.
std::string tracking_frame_json(const std::string& image_path,
                                const std::vector<TrackedMask>& masks,
                                const std::string& label = "pig");

// Writes <out_dir>/output_pp_<frame_number>.json (atomically, creating the
// folder) and returns its path.
std::string write_tracking_frame(const std::string& out_dir, std::int64_t frame_number,
                                 const std::string& image_path,
                                 const std::vector<TrackedMask>& masks);

}  // namespace vexo::standins
