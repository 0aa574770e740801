// Zero-filled memory that costs only what is written. Large blocks are fresh
// anonymous mappings: the kernel hands out their pages, already zero, on the
// first write to each, so pages never written are never faulted in or
// cleared. (Heap memory from calloc is cleared in full whenever it is
// reused, which faults in every page of a mostly empty mask.) Small blocks
// come from the heap. Freeing a block returns its pages to the system.
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>

namespace vexo {

// Blocks of at least this many bytes are mapped; smaller ones are calloc'ed.
constexpr std::size_t kMappedBlockBytes = 64 * 1024;

// A zero-filled, continuous rows x cols matrix of `type` that owns its
// memory (reference-counted like any Mat). Throws std::bad_alloc when the
// memory cannot be had.
cv::Mat zeroed_mat(int rows, int cols, int type);

}  // namespace vexo
