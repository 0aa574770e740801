#include "core/console.h"

#include <algorithm>
#include <atomic>
#include <iostream>
#include <mutex>

#include "core/errors.h"

namespace vexo {
namespace {

std::mutex& sink_mutex() {
  static std::mutex m;
  return m;
}
ConsoleSink& sink_slot() {
  static ConsoleSink sink;
  return sink;
}
InterruptHook& hook_slot() {
  static InterruptHook hook;
  return hook;
}
ProgressHook& progress_slot() {
  static ProgressHook hook;
  return hook;
}
std::atomic<bool> progress_on{false};

}  // namespace

void set_console_sink(ConsoleSink sink) {
  std::lock_guard<std::mutex> lock(sink_mutex());
  sink_slot() = std::move(sink);
}

void print_raw(std::string_view text) {
  ConsoleSink sink;
  {
    std::lock_guard<std::mutex> lock(sink_mutex());
    sink = sink_slot();
  }
  if (sink) {
    sink(text);
  } else {
    std::cout << text << std::flush;
  }
}

void print_line(std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  print_raw(text);
}

void set_interrupt_hook(InterruptHook hook) { hook_slot() = std::move(hook); }

void check_interrupt() {
  const InterruptHook& hook = hook_slot();
  if (hook && hook()) throw Interrupted();
}

void set_progress_hook(ProgressHook hook) {
  std::lock_guard<std::mutex> lock(sink_mutex());
  progress_on.store(static_cast<bool>(hook), std::memory_order_relaxed);
  progress_slot() = std::move(hook);
}

bool progress_wanted() { return progress_on.load(std::memory_order_relaxed); }

void report_progress(std::string_view task, std::size_t done, std::size_t total) {
  if (!progress_wanted()) return;
  ProgressHook hook;
  {
    std::lock_guard<std::mutex> lock(sink_mutex());
    hook = progress_slot();
  }
  if (hook) hook(task, done, total);
}

ProgressCount::ProgressCount(std::string_view task, std::size_t total)
    : on_(progress_wanted()), total_(total), owner_(std::this_thread::get_id()) {
  if (!on_) return;
  task_ = task;
  report_progress(task_, 0, total_);
}

void ProgressCount::add(std::size_t n) {
  if (!on_) return;
  done_.fetch_add(n, std::memory_order_relaxed);
  report();
}

void ProgressCount::report() {
  if (!on_ || std::this_thread::get_id() != owner_) return;
  std::size_t done = std::min(done_.load(std::memory_order_relaxed), total_);
  if (done == shown_) return;
  shown_ = done;
  report_progress(task_, done, total_);
}

void ProgressCount::finish() {
  if (!on_ || std::this_thread::get_id() != owner_ || shown_ == total_) return;
  shown_ = total_;
  report_progress(task_, total_, total_);
}

}  // namespace vexo
