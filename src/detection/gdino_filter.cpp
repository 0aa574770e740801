#include "detection/gdino_filter.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace vexo::detection {

namespace {

// Ascending order with NaN after every number (and equal to NaN), as the
// host's array sorts order them.
int compare_key(double a, double b) {
  const bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) return na == nb ? 0 : (na ? 1 : -1);
  return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

std::vector<std::size_t> gdino_selection(const Detections& d, const std::string& target_label) {
  const std::size_t n = d.boxes.size();
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
    int c = compare_key(d.boxes[i][1], d.boxes[j][1]);
    if (c != 0) return c < 0;
    return compare_key(d.boxes[i][0], d.boxes[j][0]) < 0;
  });
  const bool any_target = std::any_of(d.labels.begin(), d.labels.end(),
                                      [&](const std::string& l) { return l == target_label; });
  if (!any_target) return order;
  std::vector<std::size_t> kept;
  for (std::size_t i : order) {
    if (d.labels[i] == target_label) kept.push_back(i);
  }
  return kept;
}

Detections take_detections(const Detections& d, const std::vector<std::size_t>& rows) {
  Detections out;
  out.single_precision_scores = d.single_precision_scores;
  out.boxes.reserve(rows.size());
  out.scores.reserve(rows.size());
  out.labels.reserve(rows.size());
  for (std::size_t i : rows) {
    out.boxes.push_back(d.boxes[i]);
    out.scores.push_back(d.scores[i]);
    out.labels.push_back(d.labels[i]);
  }
  return out;
}

Detections process_gdino_results(const Detections& d, const std::string& target_label) {
  return take_detections(d, gdino_selection(d, target_label));
}

}  // namespace vexo::detection
