#include "video/extraction.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/console.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/parallel.h"
#include "video/clip_duration.h"
#include "video/window_claim.h"
#include "video/window_io.h"

namespace vexo::video {

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

// A window of one clip that is ready to be written into its staging folder,
// or the line that says it is skipped.
struct PlannedWindow {
  WindowJob job;
  std::unique_ptr<WindowClaim> claim;
  std::string skip_line;  // set when the window's folder exists already
  bool busy = false;      // another process is writing it (when not waiting)
};

// Claims the window. With `wait`, a window another process is writing is
// waited for (and then usually skipped, as it is done); without, it is
// reported busy.
PlannedWindow plan_window(const ExtractSettings& settings, const ClipRow& row, const Number& start,
                          const Number& end, bool wait) {
  PlannedWindow w;
  std::string folder = window_folder(settings.output_dir_base, row.date, row.video_name, start, end,
                                     settings.left_crop);
  bool told = false;
  for (;;) {
    WindowClaim::Outcome got = WindowClaim::try_claim(folder, w.claim);
    if (got == WindowClaim::Outcome::kDone) {
      w.skip_line = "Skipping " + folder + ", already exists.";
      return w;
    }
    if (got == WindowClaim::Outcome::kClaimed) break;
    if (!wait) {
      w.busy = true;
      return w;
    }
    if (!told) print_line("Waiting for " + folder + ": another process is writing it.");
    told = true;
    check_interrupt();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  w.job.video_path = row.file_path;
  w.job.output_dir = folder;
  w.job.write_dir = w.claim->staging();
  w.job.start_min = start;
  w.job.end_min = end;
  w.job.camera_label = row.camera_label;
  w.job.camera = row.camera;
  w.job.crop = settings.crop;
  return w;
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

  void run_clip(const ClipRow& row, double duration, ProgressCount& windows) {
    windows_ = &windows;
    Number start = Number::integer(0);
    std::shared_ptr<Task> last_written;
    bool planning = true;
    for (;;) {
      while (planning && start.value() < duration && written_in_flight() < kInFlight) {
        Number from = start, end = window_end(start, settings_.time_step, duration);
        auto task = std::make_shared<Task>();
        try {
          // Only a runner with nothing in flight waits for another process.
          PlannedWindow w = plan_window(settings_, row, from, end, tasks_.empty());
          if (w.busy) break;  // tried again once the head window is drained
          start = start + settings_.time_step;
          if (!w.skip_line.empty()) {
            task->lines.push_back(w.skip_line);
            task->done = task->settled = task->skipped = true;
            push(task);
            continue;
          }
          task->job = std::move(w.job);
          task->claim = std::move(w.claim);
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
    std::atomic<std::size_t> frames_saved{0}, frames_total{0};
    std::unique_ptr<WindowClaim> claim;  // released after the thread is joined
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
    io.frames = [&task](std::size_t saved, std::size_t total) {
      task.frames_total.store(total);
      task.frames_saved.store(saved);
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
    // The frames bar follows the window whose lines are being shown.
    if (std::size_t total = head->frames_total.load()) {
      std::size_t saved = head->frames_saved.load();
      if (!head_frames_started_) {
        report_progress("frames", 0, total);
        head_frames_total_ = total;
      }
      if (saved != head_frames_shown_ || total != head_frames_total_) {
        report_progress("frames", saved, total);
      }
      head_frames_started_ = true;
      head_frames_shown_ = saved;
      head_frames_total_ = total;
    }
    if (!finished) return;
    if (head->thread.joinable()) head->thread.join();
    if (head->error) std::rethrow_exception(head->error);
    if (!head->skipped) head->claim->commit();
    if (windows_) windows_->add();
    head_frames_shown_ = head_frames_total_ = 0;
    head_frames_started_ = false;
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
  ProgressCount* windows_ = nullptr;
  std::size_t head_frames_shown_ = 0, head_frames_total_ = 0;
  bool head_frames_started_ = false;
};

}  // namespace

void process_videos_to_frames(const ExtractSettings& settings, RegionCache& cache,
                              const std::vector<ClipRow>& rows) {
  require_positive_step(settings.time_step);
  bool ahead = settings.windows_ahead && worker_threads() >= 2;
  ProgressCount clips("clips", rows.size());
  for (std::size_t r = 0; r < rows.size(); ++r, clips.add()) {
    const ClipRow& row = rows[r];
    check_interrupt();
    std::optional<double> duration = windowed_duration_minutes(row.file_path);
    if (!duration) continue;
    require_window_count(*duration, settings.time_step);
    ProgressCount windows(
        "windows", progress_wanted() ? plan_windows(*duration, settings.time_step).size() : 0);
    if (ahead) {
      WindowRunner runner(settings, cache);
      runner.run_clip(row, *duration, windows);
      continue;
    }
    for (Number start = Number::integer(0); start.value() < *duration;
         start = start + settings.time_step, windows.add()) {
      check_interrupt();
      PlannedWindow w =
          plan_window(settings, row, start, window_end(start, settings.time_step, *duration), true);
      if (!w.skip_line.empty()) {
        print_line(w.skip_line);
        continue;
      }
      crop_video_to_frames(settings, cache, w.job);
      w.claim->commit();
    }
  }
}

}  // namespace vexo::video
