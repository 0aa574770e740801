// The single console sink every message of the library goes through, the
// interrupt hook long loops poll, and the progress hook they report to. The
// extension module installs sinks that write to the host's standard output
// and honour the host's Ctrl-C; it installs a progress hook only when the
// host asks for progress bars.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace vexo {

using ConsoleSink = std::function<void(std::string_view text)>;
using InterruptHook = std::function<bool()>;
// `done` of `total` units of `task` ("frames", "windows", ...) are finished.
using ProgressHook =
    std::function<void(std::string_view task, std::size_t done, std::size_t total)>;

// Replaces the sink; an empty function restores the default (std::cout).
void set_console_sink(ConsoleSink sink);
// Writes `line` followed by a line break.
void print_line(std::string_view line);
// Writes `text` exactly as given.
void print_raw(std::string_view text);

void set_interrupt_hook(InterruptHook hook);
// Throws Interrupted when the hook reports a pending interrupt.
void check_interrupt();

// Replaces the progress hook; an empty function turns progress off.
void set_progress_hook(ProgressHook hook);
// Whether a progress hook is installed (a single relaxed load).
bool progress_wanted();
// Tells the hook, if any, that `done` of `total` units of `task` are finished.
// A loop reports 0 when it starts and `total` when it ends (also when it stops
// early); with no hook this costs one relaxed load.
void report_progress(std::string_view task, std::size_t done, std::size_t total);

// The progress of one loop over `total` units. Any thread may count; only
// the thread that made the counter reports, so the hook runs where the host
// can take it (and its Ctrl-C). With no hook installed, counting is a branch.
class ProgressCount {
 public:
  ProgressCount(std::string_view task, std::size_t total);
  ProgressCount(const ProgressCount&) = delete;
  ProgressCount& operator=(const ProgressCount&) = delete;

  // `n` more units are done; on the owning thread, also reports.
  void add(std::size_t n = 1);
  // Reports the count so far (owning thread only; elsewhere a no-op).
  void report();
  // Reports the whole task as done.
  void finish();

 private:
  bool on_;
  std::string task_;
  std::size_t total_;
  std::atomic<std::size_t> done_{0};
  std::size_t shown_ = 0;
  std::thread::id owner_;
};

}  // namespace vexo
