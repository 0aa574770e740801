#include "video/frames.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <system_error>
#include <thread>

#include "core/console.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/fsutil.h"

namespace vexo::video {

namespace fs = std::filesystem;

std::string Number::text() const { return is_int ? fmt_int(i) : fmt_float(d); }

Number operator+(const Number& a, const Number& b) {
  if (a.is_int && b.is_int) return Number::integer(a.i + b.i);
  return Number::real(a.value() + b.value());
}

std::optional<CropRegion> MemoryRegionCache::lookup(std::size_t camera) {
  return camera < regions.size() ? regions[camera] : std::nullopt;
}

void MemoryRegionCache::store(std::size_t camera, const CropRegion& region) {
  if (regions.size() <= camera) regions.resize(camera + 1);
  regions[camera] = region;
}

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

// Thrown inside a window written ahead when the run is abandoned.
struct Cancelled {};

// How a window talks to its surroundings: where its console lines go, how it
// learns that it must stop, and (for windows written ahead of the current
// one) when it may consult the region cache.
struct WindowIo {
  std::function<void(std::string)> emit;
  std::function<void()> poll;            // throws to stop the window
  std::function<void()> before_region;   // waits until earlier windows are past the cache
  std::function<void()> region_settled;  // this window is past the cache
};

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
    std::string path = path_join(job_.write_dir, name);
    if (!cv::imwrite(path, image)) throw IoError("cannot write frame file '" + path + "'");
    last_shape_ = {image.rows, image.cols, image.channels()};
  }

  const std::optional<std::array<int, 3>>& last_shape() const { return last_shape_; }

 private:
  const ExtractSettings& settings_;
  const WindowJob& job_;
  std::optional<CropRegion> region_;
  WindowIo& io_;
  cv::Mat resized_;
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

void decode_window_sequential(cv::VideoCapture& cap, FrameSaver& saver, WindowIo& io,
                              std::int64_t start_frame, std::int64_t end_frame, std::int64_t skip) {
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
  }
}

void decode_window_overlapped(cv::VideoCapture& cap, FrameSaver& saver, WindowIo& io,
                              std::int64_t start_frame, std::int64_t end_frame, std::int64_t skip) {
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
  }
  worker.finish();
}

bool use_overlap(const ExtractSettings& settings) {
  return settings.overlap && std::thread::hardware_concurrency() >= 2;
}

}  // namespace

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

std::optional<CropRegion> find_orange_region(const cv::Mat& bgr) {
  if (bgr.empty() || bgr.type() != CV_8UC3) {
    throw ValueError("find_orange_region: expected a non-empty H x W x 3 uint8 BGR frame");
  }
  cv::Mat hsv, mask;
  cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
  cv::inRange(hsv, cv::Scalar(10, 150, 150), cv::Scalar(25, 255, 255), mask);
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  if (contours.empty()) return std::nullopt;

  std::vector<std::size_t> order(contours.size());
  std::vector<double> areas(contours.size());
  for (std::size_t i = 0; i < contours.size(); ++i) {
    order[i] = i;
    areas[i] = cv::contourArea(contours[i]);
  }
  std::stable_sort(order.begin(), order.end(),
                   [&areas](std::size_t a, std::size_t b) { return areas[a] > areas[b]; });
  auto centroid_x = [&contours](std::size_t i) {
    cv::Moments m = cv::moments(contours[i]);
    return m.m10 / (m.m00 + 1e-05);
  };
  std::size_t best = order[0];
  if (order.size() > 1 && centroid_x(order[1]) > centroid_x(order[0])) best = order[1];
  cv::Rect r = cv::boundingRect(contours[best]);
  return CropRegion{r.x, r.y, r.x + r.width, r.y + r.height};
}

CropRegion pen_region(const CropRegion& marker, bool left_crop) {
  bool far_right = marker.x2 >= 2300;
  if (left_crop) return CropRegion{far_right ? 380 : 120, 0, marker.x1 - 45, 1440};
  return CropRegion{marker.x1 - 50, 0, far_right ? 2560 : 2300, 1440};
}

namespace {

// One window: the body of crop_video_to_frames, with its console lines,
// stop checks and cache ordering supplied by the caller.
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
  std::error_code ec;
  fs::create_directories(job.write_dir, ec);
  if (ec) throw IoError("cannot create folder '" + job.write_dir + "': " + ec.message());

  cv::VideoCapture cap(job.video_path);
  if (!cap.isOpened()) {
    io.emit("Error: Could not open video.");
    return;
  }
  double fps_real = cap.get(cv::CAP_PROP_FPS);
  std::int64_t fps =
      std::isfinite(fps_real) && std::abs(fps_real) < 1e9 ? static_cast<std::int64_t>(fps_real) : 0;
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
  if (use_overlap(settings)) {
    decode_window_overlapped(cap, saver, io, start_frame, end_frame, settings.frame_skip);
  } else {
    decode_window_sequential(cap, saver, io, start_frame, end_frame, settings.frame_skip);
  }
  cap.release();

  io.emit("Cropped frames from " + job.start_min.text() + " to " + job.end_min.text() +
          " minutes saved to " + job.output_dir + ".");
  if (const auto& shape = saver.last_shape()) {
    io.emit("Dim: (" + std::to_string((*shape)[0]) + ", " + std::to_string((*shape)[1]) + ", " +
            std::to_string((*shape)[2]) + ")");
  } else {
    io.emit("Dim: no frame was saved in this window");
  }
}

WindowIo direct_io() {
  WindowIo io;
  io.emit = [](std::string line) { print_line(line); };
  io.poll = [] { check_interrupt(); };
  return io;
}

}  // namespace

void crop_video_to_frames(const ExtractSettings& settings, RegionCache& cache,
                          const WindowJob& job) {
  WindowIo io = direct_io();
  run_window(settings, cache, job, io);
}

namespace {

void require_positive_step(const Number& step) {
  double v = step.value();
  if (!(std::isfinite(v) && v > 0.0)) {
    throw ValueError("time_step must be a positive number of minutes, got " + step.text());
  }
}

// A walk of more windows than this is a mistake in time_step (a step below
// the precision of the running start would even never end).
constexpr double kMaxWindowsPerClip = 1e6;

void require_window_count(double duration, const Number& step) {
  if (duration / step.value() > kMaxWindowsPerClip) {
    throw ValueError("time_step " + step.text() + " cuts a clip of " + fmt_float(duration) +
                     " minutes into more than a million windows");
  }
}

// The window that starts at `start`: it ends `step` later or at the duration.
Number window_end(const Number& start, const Number& step, double duration) {
  Number end = start + step;
  return duration < end.value() ? Number::real(duration) : end;
}

}  // namespace

std::vector<std::pair<Number, Number>> plan_windows(double duration, const Number& step) {
  require_positive_step(step);
  require_window_count(duration, step);
  std::vector<std::pair<Number, Number>> out;
  for (Number start = Number::integer(0); start.value() < duration; start = start + step) {
    out.emplace_back(start, window_end(start, step, duration));
  }
  return out;
}

std::string window_folder(const std::string& base, const std::string& date,
                          const std::string& video_name, const Number& start, const Number& end,
                          bool left_crop) {
  return base + "/" + date + "/" + video_name + "/" + start.text() + "min_to_" + end.text() +
         (left_crop ? "min/left_cropped_frames" : "min/right_cropped_frames");
}

std::string staging_folder(const std::string& folder) {
  std::size_t slash = folder.rfind('/');
  std::string parent = slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
  std::string leaf = slash == std::string::npos ? folder : folder.substr(slash + 1);
  return parent + "." + leaf + ".partial";
}

namespace {

// A window folder of one clip that is ready to be written: the staging
// folder is fresh, the final one does not exist yet.
struct PlannedWindow {
  WindowJob job;
  std::string skip_line;  // set when the window's folder exists already
};

PlannedWindow plan_window(const ExtractSettings& settings, const ClipRow& row, const Number& start,
                          const Number& end) {
  PlannedWindow w;
  std::string folder = window_folder(settings.output_dir_base, row.date, row.video_name, start, end,
                                     settings.left_crop);
  std::error_code ec;
  if (fs::exists(folder, ec)) {
    w.skip_line = "Skipping " + folder + ", already exists.";
    return w;
  }
  // A staging folder left by an interrupted run holds an incomplete window.
  std::string staging = staging_folder(folder);
  fs::remove_all(staging, ec);
  if (ec) throw IoError("cannot remove the incomplete window '" + staging + "': " + ec.message());
  fs::create_directories(staging, ec);
  if (ec) throw IoError("cannot create folder '" + staging + "': " + ec.message());
  w.job.video_path = row.file_path;
  w.job.output_dir = folder;
  w.job.write_dir = staging;
  w.job.start_min = start;
  w.job.end_min = end;
  w.job.camera_label = row.camera_label;
  w.job.camera = row.camera;
  w.job.crop = settings.crop;
  return w;
}

// Moves a completed window from its staging folder into place.
void commit_window(const WindowJob& job) {
  std::error_code ec;
  fs::rename(job.write_dir, job.output_dir, ec);
  if (ec) {
    throw IoError("cannot move '" + job.write_dir + "' to '" + job.output_dir +
                  "': " + ec.message());
  }
}

// Writes the windows of a clip with the next window decoding on its own
// thread (and its own capture) while the current one finishes. What the
// caller sees is the sequential run: console lines in window order, printed
// from the calling thread; the cache consulted in window order; windows
// moved into place in order, and none after a failure.
class WindowRunner {
 public:
  static constexpr int kInFlight = 2;

  WindowRunner(const ExtractSettings& settings, RegionCache& cache)
      : settings_(settings), cache_(cache) {}
  ~WindowRunner() { abandon(); }
  WindowRunner(const WindowRunner&) = delete;
  WindowRunner& operator=(const WindowRunner&) = delete;

  void run_clip(const ClipRow& row, double duration) {
    Number start = Number::integer(0);
    std::shared_ptr<Task> last_written;
    bool planning = true;
    for (;;) {
      while (planning && start.value() < duration && written_in_flight() < kInFlight) {
        Number from = start, end = window_end(start, settings_.time_step, duration);
        start = start + settings_.time_step;
        auto task = std::make_shared<Task>();
        try {
          PlannedWindow w = plan_window(settings_, row, from, end);
          if (!w.skip_line.empty()) {
            task->lines.push_back(w.skip_line);
            task->done = task->settled = task->skipped = true;
            push(task);
            continue;
          }
          task->job = std::move(w.job);
          task->pred = last_written;
          push(task);
          last_written = task;
          task->thread = std::thread([this, task] { run_task(*task); });
        } catch (...) {
          // Reported when the windows before it are done, as a sequential
          // run would; nothing after it is planned.
          std::lock_guard<std::mutex> lock(m_);
          task->error = std::current_exception();
          task->done = task->settled = task->skipped = true;
          if (tasks_.empty() || tasks_.back() != task) tasks_.push_back(task);
          planning = false;
        }
      }
      if (tasks_.empty()) return;
      drain_head();
    }
  }

 private:
  struct Task {
    WindowJob job;
    bool skipped = false;
    std::deque<std::string> lines;
    bool done = false, settled = false;
    std::atomic<bool> cancel{false};
    std::exception_ptr error;
    std::shared_ptr<Task> pred;  // the window written before this one
    std::thread thread;
  };

  void push(const std::shared_ptr<Task>& task) {
    std::lock_guard<std::mutex> lock(m_);
    tasks_.push_back(task);
  }

  int written_in_flight() {
    std::lock_guard<std::mutex> lock(m_);
    int n = 0;
    for (const auto& t : tasks_) n += !t->skipped;
    return n;
  }

  void run_task(Task& task) {
    WindowIo io;
    io.emit = [this, &task](std::string line) {
      {
        std::lock_guard<std::mutex> lock(m_);
        task.lines.push_back(std::move(line));
      }
      cv_.notify_all();
    };
    io.poll = [&task] {
      if (task.cancel.load()) throw Cancelled{};
    };
    io.before_region = [this, &task] {
      std::unique_lock<std::mutex> lock(m_);
      cv_.wait(lock, [&task] { return task.cancel.load() || !task.pred || task.pred->settled; });
      if (task.cancel.load()) throw Cancelled{};
    };
    io.region_settled = [this, &task] {
      {
        std::lock_guard<std::mutex> lock(m_);
        task.settled = true;
      }
      cv_.notify_all();
    };
    std::exception_ptr error;
    try {
      run_window(settings_, cache_, task.job, io);
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(m_);
      task.error = error;
      task.settled = true;
      task.done = true;
    }
    cv_.notify_all();
  }

  // Prints what the oldest window has said so far; moves it into place once
  // it is complete, or rethrows its failure.
  void drain_head() {
    std::shared_ptr<Task> head = tasks_.front();
    std::deque<std::string> batch;
    bool finished;
    {
      std::unique_lock<std::mutex> lock(m_);
      cv_.wait_for(lock, std::chrono::milliseconds(50),
                   [&head] { return head->done || !head->lines.empty(); });
      batch.swap(head->lines);
      finished = head->done;
    }
    check_interrupt();
    for (const auto& line : batch) print_line(line);
    if (!finished) return;
    if (head->thread.joinable()) head->thread.join();
    if (head->error) std::rethrow_exception(head->error);
    if (!head->skipped) commit_window(head->job);
    std::lock_guard<std::mutex> lock(m_);
    tasks_.pop_front();
  }

  // Stops every window still running; none of them is moved into place.
  void abandon() {
    {
      std::lock_guard<std::mutex> lock(m_);
      for (const auto& t : tasks_) t->cancel.store(true);
    }
    cv_.notify_all();
    for (const auto& t : tasks_) {
      if (t->thread.joinable()) t->thread.join();
    }
    tasks_.clear();
  }

  const ExtractSettings& settings_;
  RegionCache& cache_;
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<Task>> tasks_;
};

}  // namespace

void process_videos_to_frames(const ExtractSettings& settings, RegionCache& cache,
                              const std::vector<ClipRow>& rows) {
  require_positive_step(settings.time_step);
  bool ahead = settings.windows_ahead && std::thread::hardware_concurrency() >= 2;
  for (const ClipRow& row : rows) {
    check_interrupt();
    std::optional<double> duration = video_duration_minutes(row.file_path);
    if (!duration) continue;
    require_window_count(*duration, settings.time_step);
    if (ahead) {
      WindowRunner runner(settings, cache);
      runner.run_clip(row, *duration);
      continue;
    }
    for (Number start = Number::integer(0); start.value() < *duration;
         start = start + settings.time_step) {
      check_interrupt();
      PlannedWindow w =
          plan_window(settings, row, start, window_end(start, settings.time_step, *duration));
      if (!w.skip_line.empty()) {
        print_line(w.skip_line);
        continue;
      }
      crop_video_to_frames(settings, cache, w.job);
      commit_window(w.job);
    }
  }
}

}  // namespace vexo::video
