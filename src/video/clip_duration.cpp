#include "video/clip_duration.h"

#include <opencv2/videoio.hpp>

#include "core/console.h"
#include "core/errors.h"
#include "core/format.h"

namespace vexo::video {

std::optional<double> video_duration_minutes(const std::string& video_path) {
  cv::VideoCapture cap(video_path);
  if (!cap.isOpened()) {
    cap.release();
    print_line("Error: Could not open video " + video_path);
    return std::nullopt;
  }
  double fps = cap.get(cv::CAP_PROP_FPS);
  print_line("Video FPS: " + fmt_float(fps));
  double frames = cap.get(cv::CAP_PROP_FRAME_COUNT);
  print_line("Total frames: " + fmt_float(frames));
  cap.release();
  if (fps == 0.0) {
    throw ValueError("cannot compute the duration of '" + video_path + "': its frame rate is 0");
  }
  double seconds = frames / fps;
  print_line("Video duration: " + fmt_fixed(seconds, 2) + " seconds");
  return seconds / 60.0;
}

}  // namespace vexo::video
