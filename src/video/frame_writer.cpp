#include "video/frame_writer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string_view>
#include <thread>
#include <vector>

#include "core/console.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/fsutil.h"
#include "core/parallel.h"
#include "video/clip_duration.h"
#include "video/window_io.h"

namespace vexo::video {

namespace {

std::string region_text(const CropRegion& r) {
  return "x1=" + fmt_int(r.x1) + ", y1=" + fmt_int(r.y1) + ", x2=" + fmt_int(r.x2) +
         ", y2=" + fmt_int(r.y2);
}

std::string frame_file_name(std::int64_t counter) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04lld.jpg", static_cast<long long>(counter));
  return buf;
}

// Host slice bounds [a:b] over n items: negative bounds count from the end,
// bounds beyond the ends are clipped.
std::pair<int, int> slice_bounds(std::int64_t a, std::int64_t b, int n) {
  auto norm = [n](std::int64_t v) -> int {
    if (v < 0) v += n;
    return static_cast<int>(std::clamp<std::int64_t>(v, 0, n));
  };
  int lo = norm(a), hi = norm(b);
  return {lo, std::max(lo, hi)};
}

// Frame number of a time in minutes at `fps` frames per second, rounded to
// the nearest whole frame (ties to even).
std::int64_t frame_at(std::int64_t fps, const Number& minutes, const char* what) {
  double frames = static_cast<double>(fps) * 60.0 * minutes.value();
  if (minutes.is_int) {
    if (std::abs(frames) < 9.0e15) return fps * 60 * minutes.i;
  }
  if (!std::isfinite(frames) || std::abs(frames) >= 9.0e15) {
    throw ValueError(std::string(what) + " " + minutes.text() +
                     " minutes is out of range for a frame number");
  }
  return static_cast<std::int64_t>(std::nearbyint(frames));
}

// The per-frame work of a window: crop, scale, encode, write.
class FrameSaver {
 public:
  FrameSaver(const ExtractSettings& settings, const WindowJob& job,
             std::optional<CropRegion> region, WindowIo& io)
      : settings_(settings), job_(job), region_(region), io_(io) {}

  void save(const cv::Mat& frame, std::int64_t frame_no, std::int64_t counter) {
    std::string name = frame_file_name(counter);
    io_.emit("Processing frame " + fmt_int(frame_no) + " (saved as " + name + ")");
    cv::Mat image = frame;
    if (region_) {
      auto [c0, c1] = slice_bounds(region_->x1, region_->x2, frame.cols);
      auto [r0, r1] = slice_bounds(region_->y1, region_->y2, frame.rows);
      if (c0 == c1 || r0 == r1) {
        throw ValueError("crop region " + region_text(*region_) + " leaves no pixels of the " +
                         std::to_string(frame.cols) + " x " + std::to_string(frame.rows) +
                         " frames of '" + job_.video_path + "'");
      }
      image = frame(cv::Range(r0, r1), cv::Range(c0, c1));
    }
    if (settings_.resize_height) {
      int height = static_cast<int>(*settings_.resize_height);
      double width = std::ceil(static_cast<double>(height) *
                               (static_cast<double>(image.cols) / static_cast<double>(image.rows)));
      if (width > 1.0e7) throw ValueError("resized frame width is out of range");
      cv::resize(image, resized_, cv::Size(static_cast<int>(width), height), 0, 0, cv::INTER_AREA);
      image = resized_;
    }
    // Encoded in memory and renamed into place, so a frame file under its
    // final name is always complete.
    if (!cv::imencode(".jpg", image, encoded_)) {
      throw IoError("cannot encode frame file '" + path_join(job_.output_dir, name) + "'");
    }
    WriteOptions how;
    how.durable = false;
    how.sweep_stale = false;  // swept once per window
    how.what = "cannot write frame file";
    how.shown_path = path_join(job_.output_dir, name);
    write_file_atomic(
        path_join(job_.write_dir, name),
        std::string_view(reinterpret_cast<const char*>(encoded_.data()), encoded_.size()), how);
    last_shape_ = {image.rows, image.cols, image.channels()};
  }

  const std::optional<std::array<int, 3>>& last_shape() const { return last_shape_; }

 private:
  const ExtractSettings& settings_;
  const WindowJob& job_;
  std::optional<CropRegion> region_;
  WindowIo& io_;
  cv::Mat resized_;
  std::vector<uchar> encoded_;
  std::optional<std::array<int, 3>> last_shape_;
};

// Runs a FrameSaver on a second thread, fed in frame order from a small pool
// of decode buffers. The first failure stops the worker; finish() rethrows it
// on the calling thread.
class OverlappedSaver {
 public:
  explicit OverlappedSaver(FrameSaver& saver) : saver_(saver) {
    for (int i = 0; i < kBuffers; ++i) {
      buffers_.push_back(std::make_unique<cv::Mat>());
      free_.push_back(buffers_.back().get());
    }
    thread_ = std::thread([this] { run(); });
  }
  ~OverlappedSaver() {
    if (thread_.joinable()) {
      {
        std::lock_guard<std::mutex> lock(m_);
        stop_ = true;
      }
      cv_.notify_all();
      thread_.join();
    }
  }
  OverlappedSaver(const OverlappedSaver&) = delete;
  OverlappedSaver& operator=(const OverlappedSaver&) = delete;

  // A free decode buffer, or nullptr once the worker has failed.
  cv::Mat* acquire() {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return !free_.empty() || error_; });
    if (error_) return nullptr;
    cv::Mat* buf = free_.back();
    free_.pop_back();
    return buf;
  }
  void give_back(cv::Mat* buf) {
    std::lock_guard<std::mutex> lock(m_);
    free_.push_back(buf);
  }
  void submit(cv::Mat* buf, std::int64_t frame_no, std::int64_t counter) {
    {
      std::lock_guard<std::mutex> lock(m_);
      queue_.push_back({buf, frame_no, counter});
    }
    cv_.notify_all();
  }
  bool failed() {
    std::lock_guard<std::mutex> lock(m_);
    return static_cast<bool>(error_);
  }
  // Waits until every submitted frame is written; rethrows the worker's error.
  void finish() {
    {
      std::lock_guard<std::mutex> lock(m_);
      closing_ = true;
    }
    cv_.notify_all();
    thread_.join();
    if (error_) std::rethrow_exception(error_);
  }

 private:
  static constexpr int kBuffers = 3;
  struct Item {
    cv::Mat* buf;
    std::int64_t frame_no, counter;
  };

  void run() {
    for (;;) {
      Item item;
      {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [this] { return stop_ || closing_ || !queue_.empty(); });
        if (stop_ || queue_.empty()) return;
        item = queue_.front();
        queue_.pop_front();
      }
      try {
        saver_.save(*item.buf, item.frame_no, item.counter);
      } catch (...) {
        {
          std::lock_guard<std::mutex> lock(m_);
          error_ = std::current_exception();
        }
        cv_.notify_all();
        return;
      }
      {
        std::lock_guard<std::mutex> lock(m_);
        free_.push_back(item.buf);
      }
      cv_.notify_all();
    }
  }

  FrameSaver& saver_;
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::unique_ptr<cv::Mat>> buffers_;
  std::vector<cv::Mat*> free_;
  std::deque<Item> queue_;
  bool closing_ = false, stop_ = false;
  std::exception_ptr error_;
  std::thread thread_;
};

bool selected(std::int64_t frame_no, std::int64_t end_frame, std::int64_t skip) {
  return frame_no % skip == 0 || frame_no == end_frame - 1;
}

// How many frames a window saves when every frame can be read.
std::size_t selected_count(std::int64_t start_frame, std::int64_t end_frame, std::int64_t skip) {
  std::size_t n = 0;
  for (std::int64_t f = start_frame; f < end_frame; ++f) n += selected(f, end_frame, skip);
  return n;
}

void frame_saved(WindowIo& io, std::int64_t counter) {
  if (io.frames_total) io.frames(static_cast<std::size_t>(counter), io.frames_total);
}

// Both decoders return the number of frames saved.

std::int64_t decode_window_sequential(cv::VideoCapture& cap, FrameSaver& saver, WindowIo& io,
                                      std::int64_t start_frame, std::int64_t end_frame,
                                      std::int64_t skip) {
  cv::Mat frame;
  std::int64_t counter = 0;
  for (std::int64_t n = start_frame; n < end_frame; ++n) {
    io.poll();
    if (!selected(n, end_frame, skip)) {
      if (!cap.grab()) break;
      continue;
    }
    if (!cap.read(frame)) break;
    saver.save(frame, n, counter++);
    frame_saved(io, counter);
  }
  return counter;
}

std::int64_t decode_window_overlapped(cv::VideoCapture& cap, FrameSaver& saver, WindowIo& io,
                                      std::int64_t start_frame, std::int64_t end_frame,
                                      std::int64_t skip) {
  OverlappedSaver worker(saver);
  std::int64_t counter = 0;
  for (std::int64_t n = start_frame; n < end_frame; ++n) {
    io.poll();
    if (worker.failed()) break;
    if (!selected(n, end_frame, skip)) {
      if (!cap.grab()) break;
      continue;
    }
    cv::Mat* buf = worker.acquire();
    if (!buf) break;
    if (!cap.read(*buf)) {
      worker.give_back(buf);
      break;
    }
    worker.submit(buf, n, counter++);
    frame_saved(io, counter);
  }
  worker.finish();
  return counter;
}

bool use_overlap(const ExtractSettings& settings) {
  return settings.overlap && worker_threads() >= 2;
}

}  // namespace

void run_window(const ExtractSettings& settings, RegionCache& cache, const WindowJob& job,
                WindowIo& io) {
  // Later windows wait for this one to be past the cache, on every path.
  struct Settle {
    WindowIo& io;
    bool done = false;
    void operator()() {
      if (!done && io.region_settled) io.region_settled();
      done = true;
    }
    ~Settle() { (*this)(); }
  } settle{io};

  if (settings.frame_skip == 0) throw ValueError("frame_skip must be at least 1, got 0");
  if (settings.resize_height &&
      (*settings.resize_height < 1 || *settings.resize_height > 1000000)) {
    throw ValueError("resize_dim: the target height " + fmt_int(*settings.resize_height) +
                     " is not a positive frame height");
  }
  create_folders(job.write_dir, job.output_dir);
  // Frame files of a writer that was killed mid-frame.
  remove_stale_temporaries(job.write_dir);

  cv::VideoCapture cap(job.video_path);
  if (!cap.isOpened()) {
    io.emit("Error: Could not open video.");
    return;
  }
  double fps_real = cap.get(cv::CAP_PROP_FPS);
  std::int64_t fps =
      std::isfinite(fps_real) && std::abs(fps_real) < 1e9 ? static_cast<std::int64_t>(fps_real) : 0;
  if (!usable_frame_rate(fps_real)) {
    io.emit("Error: Could not use the frame rate " + fmt_float(fps_real) +
            " of the video: at least 1 frame per second is needed.");
    cap.release();
    return;
  }
  std::int64_t start_frame = frame_at(fps, job.start_min, "start_min");
  std::int64_t end_frame = frame_at(fps, job.end_min, "end_min");

  cap.set(cv::CAP_PROP_POS_FRAMES, static_cast<double>(start_frame));
  cv::Mat first;
  if (!cap.read(first)) {
    io.emit("Error: Could not read the first frame.");
    cap.release();
    return;
  }

  std::optional<CropRegion> region;
  if (job.crop) {
    if (io.before_region) io.before_region();
    region = cache.lookup(job.camera);
    if (!region) {
      std::optional<CropRegion> marker = find_orange_region(first);
      if (!marker) {
        io.emit("No orange region detected. Exiting.");
        cap.release();
        return;
      }
      io.emit("cv2 crop region for Camera " + job.camera_label + ": " + region_text(*marker));
      region = pen_region(*marker, settings.left_crop);
      cache.store(job.camera, *region);
    }
    io.emit("Detected crop region for Camera " + job.camera_label + ": " + region_text(*region));
  }
  settle();
  first.release();

  FrameSaver saver(settings, job, region, io);
  if (io.frames && progress_wanted()) {
    io.frames_total = selected_count(start_frame, end_frame, settings.frame_skip);
    frame_saved(io, 0);
  }
  std::int64_t saved =
      use_overlap(settings)
          ? decode_window_overlapped(cap, saver, io, start_frame, end_frame, settings.frame_skip)
          : decode_window_sequential(cap, saver, io, start_frame, end_frame, settings.frame_skip);
  cap.release();
  // The count was an estimate when the clip ends early: the window is done.
  if (io.frames_total) io.frames(static_cast<std::size_t>(saved), static_cast<std::size_t>(saved));

  io.emit("Cropped frames from " + job.start_min.text() + " to " + job.end_min.text() +
          " minutes saved to " + job.output_dir + ".");
  if (const auto& shape = saver.last_shape()) {
    io.emit("Dim: (" + std::to_string((*shape)[0]) + ", " + std::to_string((*shape)[1]) + ", " +
            std::to_string((*shape)[2]) + ")");
  } else {
    io.emit("Dim: no frame was saved in this window");
  }
}

namespace {

WindowIo direct_io() {
  WindowIo io;
  io.emit = [](std::string line) { print_line(line); };
  io.poll = [] { check_interrupt(); };
  io.frames = [](std::size_t saved, std::size_t total) { report_progress("frames", saved, total); };
  return io;
}

}  // namespace

void crop_video_to_frames(const ExtractSettings& settings, RegionCache& cache,
                          const WindowJob& job) {
  WindowIo io = direct_io();
  run_window(settings, cache, job, io);
}

}  // namespace vexo::video
