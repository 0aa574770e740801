#include "video/clip_duration.h"

#include <cmath>
#include <opencv2/videoio.hpp>

#include "core/console.h"
#include "core/errors.h"
#include "core/format.h"

namespace vexo::video {

namespace {

// Opens the clip and prints its frame rate and frame count, or the message
// for a clip that cannot be opened.
std::optional<ClipTiming> probe(const std::string& video_path) {
  cv::VideoCapture cap(video_path);
  if (!cap.isOpened()) {
    cap.release();
    print_line("Error: Could not open video " + video_path);
    return std::nullopt;
  }
  ClipTiming t;
  t.fps = cap.get(cv::CAP_PROP_FPS);
  print_line("Video FPS: " + fmt_float(t.fps));
  t.frames = cap.get(cv::CAP_PROP_FRAME_COUNT);
  print_line("Total frames: " + fmt_float(t.frames));
  cap.release();
  return t;
}

double minutes_of(const std::string& video_path, const ClipTiming& t) {
  if (t.fps == 0.0) {
    throw ValueError("cannot compute the duration of '" + video_path + "': its frame rate is 0");
  }
  double seconds = t.frames / t.fps;
  print_line("Video duration: " + fmt_fixed(seconds, 2) + " seconds");
  return seconds / 60.0;
}

}  // namespace

bool usable_frame_rate(double fps) { return std::isfinite(fps) && fps >= 1.0 && fps < 1e9; }

std::optional<double> video_duration_minutes(const std::string& video_path) {
  std::optional<ClipTiming> t = probe(video_path);
  if (!t) return std::nullopt;
  return minutes_of(video_path, *t);
}

std::optional<double> windowed_duration_minutes(const std::string& video_path) {
  std::optional<ClipTiming> t = probe(video_path);
  if (!t) return std::nullopt;
  if (!usable_frame_rate(t->fps)) {
    print_line("Error: Video " + video_path + " has a frame rate of " + fmt_float(t->fps) +
               " frames per second; windows need at least 1. Skipping it.");
    return std::nullopt;
  }
  return minutes_of(video_path, *t);
}

}  // namespace vexo::video
