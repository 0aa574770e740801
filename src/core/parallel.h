// Runs independent work items on the machine's cores. Results must not
// depend on scheduling: each item writes only its own slot. The calling
// thread takes part and polls for host interrupts; the error of the lowest
// failing index is rethrown, so failures are reported as a sequential run
// would report them.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

namespace vexo {

// Threads the library's parallel work uses: every core unless limited here
// or by the VEXO_NUM_THREADS environment variable (read once, at the first
// use). With 1, all work stays on the calling thread; a worker process of a
// cluster that runs one task per core sets it so. set_thread_limit(0) lifts
// the limit; it returns the previous limit (0 when there was none).
unsigned thread_limit();
unsigned set_thread_limit(unsigned n);
// The threads a parallel loop uses now: the limit, or the core count.
unsigned worker_threads();

// `cancel`, when given, is set as soon as the host interrupts, also while
// the calling thread waits for the other threads' last items, so that long
// items watching it stop early.
void parallel_for(std::size_t n, const std::function<void(std::size_t)>& fn,
                  unsigned max_threads = 0, std::atomic<bool>* cancel = nullptr);

// Produces items 0..n-1 on worker threads and hands each to `consume` on
// the calling thread in index order as soon as it is ready, so consuming
// overlaps with producing. The first failure in index order (of either
// function) stops the work and is rethrown; host interrupts are polled on
// the calling thread while it waits.
void ordered_parallel(std::size_t n, const std::function<void(std::size_t)>& produce,
                      const std::function<void(std::size_t)>& consume, unsigned max_threads = 0);

}  // namespace vexo

namespace vexo {

// Runs `fn` to completion on a new thread with a stack of `stack_bytes` and
// rethrows its exception on the caller. For recursive library code whose
// depth follows the input (the standard regular expression engine recurses
// once per pattern element), so a deep input cannot overflow the caller's
// smaller stack.
void run_with_stack(std::size_t stack_bytes, const std::function<void()>& fn);

}  // namespace vexo
