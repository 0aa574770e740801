#include "detection/mask_stats.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace vexo::detection {

namespace {

constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
constexpr std::uint64_t kHigh = 0x8080808080808080ULL;

inline std::uint64_t load(const std::uint8_t* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// High bit set in each byte of `w` that is nonzero.
inline std::uint64_t nonzero_bytes(std::uint64_t w) { return (((w & kLow7) + kLow7) | w) & kHigh; }

}  // namespace

MaskStat fast_mask_stat(const cv::Mat& mask) {
  MaskStat st;
  int x1 = mask.cols, y1 = mask.rows, x2 = -1, y2 = -1;
  std::int64_t area = 0;
  const int cols = mask.cols;
  for (int y = 0; y < mask.rows; ++y) {
    const std::uint8_t* row = mask.ptr<std::uint8_t>(y);
    int first = -1;
    int x = 0;
    for (; x + 8 <= cols; x += 8) {
      std::uint64_t nz = nonzero_bytes(load(row + x));
      if (nz) {
        first = x + std::countr_zero(nz) / 8;  // little-endian byte order
        break;
      }
    }
    if (first < 0) {
      for (; x < cols; ++x) {
        if (row[x]) {
          first = x;
          break;
        }
      }
      if (first < 0) continue;
    }
    int last = -1;
    int e = cols;  // bytes from e on are zero
    while (e - 8 > first) {
      std::uint64_t nz = nonzero_bytes(load(row + e - 8));
      if (nz) {
        last = e - 8 + (63 - std::countl_zero(nz)) / 8;
        break;
      }
      e -= 8;
    }
    if (last < 0) {
      last = first;
      for (int k = e - 1; k > first; --k) {
        if (row[k]) {
          last = k;
          break;
        }
      }
    }
    int k = first;
    for (; k + 8 <= last + 1; k += 8) area += std::popcount(nonzero_bytes(load(row + k)));
    for (; k <= last; ++k) area += row[k] != 0;
    if (first < x1) x1 = first;
    if (last > x2) x2 = last;
    if (y1 > y) y1 = y;
    y2 = y;
  }
  if (x2 < 0) return st;
  st.box = Box{x1, y1, x2, y2};
  st.area = area;
  return st;
}

}  // namespace vexo::detection
