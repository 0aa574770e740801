#include "core/overlap.h"

#include "core/errors.h"

namespace vexo {

double masks_intersection(const cv::Mat& mask1, const cv::Mat& mask2) {
  require_same_shape({mask1, mask2}, "calculate_masks_intersection");
  MaskStat s1 = mask_stat(mask1);
  if (s1.area <= 0) return 0.0;
  std::int64_t ov = overlap_in(mask1, mask2, box_intersect(s1.box, mask_box(mask2)));
  return static_cast<double>(ov) / static_cast<double>(s1.area) * 100.0;
}

std::pair<double, double> masks_intersection_two_way(std::int64_t overlap, double area1,
                                                     double area2) {
  double ov = static_cast<double>(overlap);
  double first = area1 > 0 ? ov / area1 * 100.0 : 0.0;
  double second = area2 > 0 ? ov / area2 * 100.0 : 0.0;
  return {first, second};
}

std::vector<double> intersection_table(const std::vector<cv::Mat>& masks,
                                       const std::vector<MaskStat>& stats,
                                       const std::vector<double>& areas) {
  const std::size_t n = masks.size();
  require_same_shape(masks, "intersection_between_masks");
  std::vector<double> table(n * n, 0.0);
  const bool counted = areas.empty();
  for (std::size_t i = 0; i < n; ++i) {
    double area_i = counted ? static_cast<double>(stats[i].area) : areas[i];
    if (area_i <= 1) continue;
    for (std::size_t j = 0; j < i; ++j) {
      double area_j = counted ? static_cast<double>(stats[j].area) : areas[j];
      std::int64_t ov = overlap_in(masks[i], masks[j], box_intersect(stats[i].box, stats[j].box));
      auto [first, second] = masks_intersection_two_way(ov, area_i, area_j);
      table[i * n + j] = first;
      table[j * n + i] = second;
    }
  }
  return table;
}

}  // namespace vexo
