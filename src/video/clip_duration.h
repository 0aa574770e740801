// The length of a clip, from its frame rate and frame count.
#pragma once

#include <optional>
#include <string>

namespace vexo::video {

struct ClipTiming {
  double fps = 0.0;
  double frames = 0.0;
};

// Clip length in minutes, or nothing (after a message) when the clip cannot
// be opened. Prints the frame rate, frame count and duration.
std::optional<double> video_duration_minutes(const std::string& video_path);

// As video_duration_minutes, for a clip about to be cut into windows: also
// nothing (after a message naming the clip) when its frame rate, as the whole
// number windows are counted in, is below 1 (a damaged time scale).
std::optional<double> windowed_duration_minutes(const std::string& video_path);

// A frame rate whose whole-number part is at least 1.
bool usable_frame_rate(double fps);

}  // namespace vexo::video
