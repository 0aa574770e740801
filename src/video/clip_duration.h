// The length of a clip, from its frame rate and frame count.
#pragma once

#include <optional>
#include <string>

namespace vexo::video {

// Clip length in minutes, or nothing (after a message) when the clip cannot
// be opened. Prints the frame rate, frame count and duration.
std::optional<double> video_duration_minutes(const std::string& video_path);

}  // namespace vexo::video
