#include "core/parallel.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "core/console.h"
#include "core/errors.h"

namespace vexo {

namespace {

unsigned limit_from_environment() {
  const char* v = std::getenv("VEXO_NUM_THREADS");
  if (!v || !*v) return 0;
  char* end = nullptr;
  const unsigned long n = std::strtoul(v, &end, 10);
  if (*end != '\0' || n > 4096) return 0;  // not a count: no limit
  return static_cast<unsigned>(n);
}

std::atomic<unsigned>& limit_slot() {
  static std::atomic<unsigned> limit{limit_from_environment()};
  return limit;
}

}  // namespace

unsigned thread_limit() { return limit_slot().load(std::memory_order_relaxed); }

unsigned set_thread_limit(unsigned n) { return limit_slot().exchange(n); }

unsigned worker_threads() {
  unsigned hw = std::thread::hardware_concurrency();
  if (hw == 0) hw = 1;
  const unsigned limit = thread_limit();
  return limit ? std::min(limit, hw) : hw;
}

void parallel_for(std::size_t n, const std::function<void(std::size_t)>& fn, unsigned max_threads,
                  std::atomic<bool>* cancel) {
  if (n == 0) return;
  const unsigned hw = worker_threads();
  unsigned threads = max_threads ? std::min(max_threads, hw) : hw;
  if (threads > n) threads = static_cast<unsigned>(n);
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> interrupted{false};
  std::mutex err_mu;
  std::size_t err_index = n;
  std::exception_ptr err;
  auto record = [&](std::size_t i, std::exception_ptr e) {
    std::lock_guard<std::mutex> lock(err_mu);
    if (i < err_index) {
      err_index = i;
      err = e;
    }
  };
  auto worker = [&](bool main_thread) {
    for (;;) {
      if (stop.load()) return;
      std::size_t i = next.fetch_add(1);
      if (i >= n) return;
      {
        std::lock_guard<std::mutex> lock(err_mu);
        if (i > err_index) return;
      }
      try {
        if (main_thread) check_interrupt();
        fn(i);
      } catch (const Interrupted&) {
        interrupted.store(true);
        stop.store(true);
        if (cancel) cancel->store(true);
      } catch (...) {
        record(i, std::current_exception());
      }
    }
  };
  std::atomic<unsigned> running{threads - 1};
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) {
    pool.emplace_back([&] {
      worker(false);
      running.fetch_sub(1);
    });
  }
  worker(true);
  // Other threads may still be on their last items: keep answering the host.
  while (!interrupted.load() && running.load() > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    try {
      check_interrupt();
    } catch (const Interrupted&) {
      interrupted.store(true);
      stop.store(true);
      if (cancel) cancel->store(true);
    }
  }
  for (auto& t : pool) t.join();
  if (interrupted.load()) throw Interrupted();
  if (err) std::rethrow_exception(err);
}

void ordered_parallel(std::size_t n, const std::function<void(std::size_t)>& produce,
                      const std::function<void(std::size_t)>& consume, unsigned max_threads) {
  if (n == 0) return;
  const unsigned hw = worker_threads();
  unsigned threads = max_threads ? std::min(max_threads, hw) : hw;
  if (threads > n) threads = static_cast<unsigned>(n);
  if (hw == 1) {  // one thread: producing and consuming take turns here
    for (std::size_t i = 0; i < n; ++i) {
      check_interrupt();
      produce(i);
      consume(i);
    }
    return;
  }
  std::vector<char> ready(n, 0);
  std::vector<std::exception_ptr> errors(n);
  std::mutex mu;
  std::condition_variable cv;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  auto worker = [&] {
    for (;;) {
      std::size_t i = next.fetch_add(1);
      if (i >= n || stop.load()) return;
      std::exception_ptr e;
      try {
        produce(i);
      } catch (...) {
        e = std::current_exception();
      }
      {
        std::lock_guard<std::mutex> lock(mu);
        errors[i] = e;
        ready[i] = 1;
      }
      cv.notify_all();
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) pool.emplace_back(worker);
  auto finish = [&] {
    stop.store(true);
    for (auto& t : pool) t.join();
  };
  try {
    for (std::size_t i = 0; i < n; ++i) {
      {
        std::unique_lock<std::mutex> lock(mu);
        while (!ready[i]) {
          cv.wait_for(lock, std::chrono::milliseconds(20));
          if (!ready[i]) {
            lock.unlock();
            check_interrupt();
            lock.lock();
          }
        }
        if (errors[i]) std::rethrow_exception(errors[i]);
      }
      consume(i);
    }
  } catch (...) {
    finish();
    throw;
  }
  finish();
}

namespace {

struct StackJob {
  const std::function<void()>* fn;
  std::exception_ptr error;
};

void* run_stack_job(void* arg) {
  auto* job = static_cast<StackJob*>(arg);
  try {
    (*job->fn)();
  } catch (...) {
    job->error = std::current_exception();
  }
  return nullptr;
}

}  // namespace

void run_with_stack(std::size_t stack_bytes, const std::function<void()>& fn) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) throw std::bad_alloc();
  StackJob job{&fn, nullptr};
  pthread_t thread;
  int rc = pthread_attr_setstacksize(&attr, stack_bytes);
  if (rc == 0) rc = pthread_create(&thread, &attr, run_stack_job, &job);
  pthread_attr_destroy(&attr);
  if (rc != 0) throw std::bad_alloc();  // no memory for the stack
  pthread_join(thread, nullptr);
  if (job.error) std::rethrow_exception(job.error);
}

}  // namespace vexo
