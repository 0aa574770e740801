#include "core/zeroed_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace vexo {

namespace {

std::size_t page_size() {
  static const std::size_t size = [] {
    const long s = sysconf(_SC_PAGESIZE);
    return s > 0 ? static_cast<std::size_t>(s) : std::size_t{4096};
  }();
  return size;
}

std::size_t mapped_length(std::size_t n) {
  const std::size_t page = page_size();
  return (n + page - 1) / page * page;
}

// Marks a block that came from mmap (the other blocks came from calloc).
char mapped_tag;

// Matrix memory from zeroed blocks; the matrices' reference counting frees
// them through deallocate().
class ZeroedAllocator final : public cv::MatAllocator {
 public:
  cv::UMatData* allocate(int dims, const int* sizes, int type, void* data0, size_t* step,
                         cv::AccessFlag, cv::UMatUsageFlags) const override {
    std::size_t total = CV_ELEM_SIZE(type);
    for (int i = dims - 1; i >= 0; --i) {
      if (step) {
        if (data0 && step[i] != cv::Mat::AUTO_STEP) {
          total = step[i];
        } else {
          step[i] = total;
        }
      }
      if (sizes[i] > 0 && total > SIZE_MAX / static_cast<std::size_t>(sizes[i])) {
        throw std::bad_alloc();
      }
      total *= static_cast<std::size_t>(sizes[i] > 0 ? sizes[i] : 0);
    }
    auto* u = new cv::UMatData(this);
    u->size = total;
    if (data0) {
      u->data = u->origdata = static_cast<uchar*>(data0);
      u->flags |= cv::UMatData::USER_ALLOCATED;
      return u;
    }
    void* p = nullptr;
    if (total >= kMappedBlockBytes && total <= SIZE_MAX - page_size()) {
      p = mmap(nullptr, mapped_length(total), PROT_READ | PROT_WRITE,
               MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      if (p == MAP_FAILED) {
        p = nullptr;  // out of mappings: the heap may still have room
      } else {
        u->userdata = &mapped_tag;
      }
    }
    if (!p) p = std::calloc(total ? total : 1, 1);
    if (!p) {
      delete u;
      throw std::bad_alloc();
    }
    u->data = u->origdata = static_cast<uchar*>(p);
    return u;
  }

  bool allocate(cv::UMatData* u, cv::AccessFlag, cv::UMatUsageFlags) const override {
    return u != nullptr;
  }

  void deallocate(cv::UMatData* u) const override {
    if (!u) return;
    if (!(u->flags & cv::UMatData::USER_ALLOCATED)) {
      if (u->userdata == &mapped_tag) {
        munmap(u->origdata, mapped_length(u->size));
      } else {
        std::free(u->origdata);
      }
      u->origdata = nullptr;
    }
    delete u;
  }
};

const ZeroedAllocator& allocator() {
  // Never destroyed: matrices may outlive static destruction at exit.
  static const auto* a = new ZeroedAllocator();
  return *a;
}

}  // namespace

cv::Mat zeroed_mat(int rows, int cols, int type) {
  cv::Mat m;
  m.allocator = const_cast<ZeroedAllocator*>(&allocator());
  m.create(rows, cols, type);
  return m;
}

}  // namespace vexo
