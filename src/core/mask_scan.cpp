#include "core/mask_scan.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vexo {

namespace {

// Nonzero bytes of p[0, n).
std::int64_t count_row(const std::uint8_t* p, int n) {
  std::int64_t zeros = 0;
  int x = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  while (x + 16 <= n) {
    // Per-lane zero counters hold at most 255 before they are folded.
    __m128i acc = _mm_setzero_si128();
    const int end = std::min(n - 15, x + 255 * 16);
    for (; x < end; x += 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + x));
      acc = _mm_sub_epi8(acc, _mm_cmpeq_epi8(v, zero));
    }
    __m128i s = _mm_sad_epu8(acc, zero);
    zeros += _mm_cvtsi128_si32(s) + _mm_cvtsi128_si32(_mm_srli_si128(s, 8));
  }
#endif
  for (; x < n; ++x) zeros += p[x] == 0;
  return static_cast<std::int64_t>(n) - zeros;
}

// First nonzero index in p[0, end), or -1.
int first_set(const std::uint8_t* p, int end) {
  int x = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; x + 16 <= end; x += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + x));
    int m = _mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)) ^ 0xFFFF;
    if (m) return x + __builtin_ctz(static_cast<unsigned>(m));
  }
#endif
  for (; x < end; ++x) {
    if (p[x]) return x;
  }
  return -1;
}

// Last nonzero index in p[begin, n), or -1.
int last_set(const std::uint8_t* p, int begin, int n) {
  int x = n;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; x - 16 >= begin; x -= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + x - 16));
    int m = _mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)) ^ 0xFFFF;
    if (m) return x - 16 + 31 - __builtin_clz(static_cast<unsigned>(m));
  }
#endif
  for (--x; x >= begin; --x) {
    if (p[x]) return x;
  }
  return -1;
}

}  // namespace

std::int64_t count_nonzero_bytes(const std::uint8_t* p, int n) { return count_row(p, n); }

Box scan_box(const cv::Mat& mask) {
  const int cols = mask.cols;
  // First and last rows holding a pixel, searched from either end.
  int top = 0;
  int x1 = -1;
  for (; top < mask.rows; ++top) {
    x1 = first_set(mask.ptr<std::uint8_t>(top), cols);
    if (x1 >= 0) break;
  }
  if (top == mask.rows) return {};
  int bottom = mask.rows - 1;
  int x2 = last_set(mask.ptr<std::uint8_t>(top), x1, cols);
  for (; bottom > top; --bottom) {
    const std::uint8_t* row = mask.ptr<std::uint8_t>(bottom);
    const int l = last_set(row, 0, cols);
    if (l < 0) continue;
    x1 = std::min(x1, first_set(row, l + 1));
    x2 = std::max(x2, l);
    break;
  }
  // Rows between only matter where they reach beyond the columns found so far.
  for (int y = top + 1; y < bottom; ++y) {
    const std::uint8_t* row = mask.ptr<std::uint8_t>(y);
    if (x1 > 0) {
      const int f = first_set(row, x1);
      if (f >= 0) x1 = f;
    }
    if (x2 < cols - 1) {
      const int l = last_set(row, x2 + 1, cols);
      if (l >= 0) x2 = l;
    }
  }
  return Box{x1, top, x2, bottom};
}

MaskStat scan_mask(const cv::Mat& mask) {
  MaskStat st;
  Box b{mask.cols, mask.rows, -1, -1};
  std::int64_t area = 0;
  for (int y = 0; y < mask.rows; ++y) {
    const std::uint8_t* row = mask.ptr<std::uint8_t>(y);
    const std::int64_t n = count_row(row, mask.cols);
    if (n == 0) continue;
    area += n;
    if (b.y2 < 0) b.y1 = y;
    b.y2 = y;
    if (b.x1 > 0) {
      int f = first_set(row, b.x1);
      if (f >= 0) b.x1 = f;
    }
    if (b.x2 < mask.cols - 1) {
      int l = last_set(row, b.x2 + 1, mask.cols);
      if (l >= 0) b.x2 = l;
    }
  }
  if (area > 0) st.box = b;
  st.area = area;
  return st;
}

std::vector<MaskStat> scan_masks(const std::vector<cv::Mat>& masks) {
  std::vector<MaskStat> out(masks.size());
  for (std::size_t i = 0; i < masks.size(); ++i) out[i] = scan_mask(masks[i]);
  return out;
}

bool float_mask_to_bytes(const float* src, std::size_t n, std::uint8_t* dst) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128 zero = _mm_setzero_ps();
  const __m128i one = _mm_set1_epi8(1);
  __m128 bad = _mm_setzero_ps();
  for (; i + 16 <= n; i += 16) {
    __m128 v[4];
    __m128i set[4];
    for (int k = 0; k < 4; ++k) {
      v[k] = _mm_loadu_ps(src + i + 4 * k);
      // x - x is NaN exactly when x is NaN or infinite.
      __m128 d = _mm_sub_ps(v[k], v[k]);
      bad = _mm_or_ps(bad, _mm_cmpunord_ps(d, d));
      set[k] = _mm_castps_si128(_mm_cmpneq_ps(v[k], zero));
    }
    __m128i lo = _mm_packs_epi32(set[0], set[1]);
    __m128i hi = _mm_packs_epi32(set[2], set[3]);
    __m128i bytes = _mm_and_si128(_mm_packs_epi16(lo, hi), one);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), bytes);
  }
  if (_mm_movemask_ps(bad) != 0) return false;
#endif
  for (; i < n; ++i) {
    if (!std::isfinite(src[i])) return false;
    dst[i] = src[i] != 0.0f;
  }
  return true;
}

}  // namespace vexo
