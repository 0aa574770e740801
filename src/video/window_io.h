// How the frame writer of one window talks to the run around it; shared by
// the single-window call and the catalogue run.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "video/frame_writer.h"

namespace vexo::video {

// Thrown inside a window written ahead when the run is abandoned.
struct Cancelled {};

// Where a window's console lines go, how it learns that it must stop, and
// (for windows written ahead of the current one) when it may consult the
// region cache.
struct WindowIo {
  std::function<void(std::string)> emit;
  std::function<void()> poll;            // throws to stop the window
  std::function<void()> before_region;   // waits until earlier windows are past the cache
  std::function<void()> region_settled;  // this window is past the cache
  // Frames saved so far of the window's `total` (set only while progress is shown).
  std::function<void(std::size_t saved, std::size_t total)> frames;
  std::size_t frames_total = 0;
};

// One window: the body of crop_video_to_frames, with its console lines,
// stop checks and cache ordering supplied by the caller.
void run_window(const ExtractSettings& settings, RegionCache& cache, const WindowJob& job,
                WindowIo& io);

}  // namespace vexo::video
