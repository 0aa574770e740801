#include "detection/similarity.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "core/mask.h"
#include "core/mask_scan.h"
#include "core/parallel.h"

namespace vexo::detection {

namespace {

std::vector<MaskStat> stats_of(const std::vector<cv::Mat>& masks) {
  std::vector<MaskStat> s(masks.size());
  parallel_for(masks.size(), [&](std::size_t i) { s[i] = scan_mask(masks[i]); });
  return s;
}

struct Centroid {
  bool defined = false;
  double row = 0, col = 0;
};

// Image moments of the 0/1 mask, summed exactly in integers inside its box.
Centroid centroid_of(const cv::Mat& m, const MaskStat& st) {
  Centroid c;
  if (st.area == 0) return c;
  std::int64_t m00 = 0, m10 = 0, m01 = 0;
  for (int y = st.box.y1; y <= st.box.y2; ++y) {
    const std::uint8_t* row = m.ptr<std::uint8_t>(y);
    std::int64_t n = 0, sx = 0;
    for (int x = st.box.x1; x <= st.box.x2; ++x) {
      if (row[x]) {
        ++n;
        sx += x;
      }
    }
    m00 += n;
    m10 += sx;
    m01 += n * y;
  }
  c.defined = true;
  c.row = static_cast<double>(m01) / static_cast<double>(m00);
  c.col = static_cast<double>(m10) / static_cast<double>(m00);
  return c;
}

}  // namespace

std::vector<double> masks_iou_scores(const std::vector<cv::Mat>& masks_new,
                                     const std::vector<cv::Mat>& masks_old) {
  std::vector<cv::Mat> all(masks_new);
  all.insert(all.end(), masks_old.begin(), masks_old.end());
  require_same_shape(all, "cal_masks_iou_scores");
  const std::size_t nn = masks_new.size(), no = masks_old.size();
  std::vector<MaskStat> sn = stats_of(masks_new), so = stats_of(masks_old);
  std::vector<double> table(nn * no, 0.0);
  parallel_for(nn, [&](std::size_t i) {
    for (std::size_t j = 0; j < no; ++j) {
      std::int64_t inter =
          overlap_in(masks_new[i], masks_old[j], box_intersect(sn[i].box, so[j].box));
      std::int64_t uni = sn[i].area + so[j].area - inter;
      table[i * no + j] = static_cast<double>(inter) / (static_cast<double>(uni) + 1e-06);
    }
  });
  return table;
}

std::vector<double> centroid_similarity(const std::vector<cv::Mat>& masks_new,
                                        const std::vector<cv::Mat>& masks_old) {
  std::vector<cv::Mat> all(masks_new);
  all.insert(all.end(), masks_old.begin(), masks_old.end());
  require_same_shape(all, "cal_centroid_distance");
  const std::size_t nn = masks_new.size(), no = masks_old.size();
  if (nn == 0 || no == 0) return {};
  std::vector<MaskStat> st = stats_of(all);
  std::vector<Centroid> c(all.size());
  parallel_for(all.size(), [&](std::size_t i) { c[i] = centroid_of(all[i], st[i]); });
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> table(nn * no, nan);
  double largest = nan;
  for (std::size_t i = 0; i < nn; ++i) {
    for (std::size_t j = 0; j < no; ++j) {
      const Centroid& a = c[i];
      const Centroid& b = c[nn + j];
      if (!a.defined || !b.defined) continue;
      double dr = a.row - b.row, dc = a.col - b.col;
      double d = std::sqrt(dr * dr + dc * dc);
      table[i * no + j] = d;
      if (std::isnan(largest) || d > largest) largest = d;
    }
  }
  // Undefined pairs count as farther than the farthest real pair.
  double fill = largest + 1.0;
  double top = nan;
  for (double& v : table) {
    if (std::isnan(v)) v = fill;
    if (!std::isnan(v) && (std::isnan(top) || v > top)) top = v;
  }
  const double scale = top + 1e-06;
  for (double& v : table) v = 1.0 - v / scale;
  return table;
}

}  // namespace vexo::detection
