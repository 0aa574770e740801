// Runs independent work items on the machine's cores. Results must not
// depend on scheduling: each item writes only its own slot. The calling
// thread takes part and polls for host interrupts; the error of the lowest
// failing index is rethrown, so failures are reported as a sequential run
// would report them.
#pragma once

#include <cstddef>
#include <functional>

namespace vexo {

void parallel_for(std::size_t n, const std::function<void(std::size_t)>& fn,
                  unsigned max_threads = 0);

}  // namespace vexo
