#include "tracking/overlap_frames.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>

#include "core/console.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/mask.h"

namespace vexo::tracking {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kEps = 1e-06;

std::string frame_text(const std::optional<std::int64_t>& f) {
  return f ? fmt_int(*f) : std::string("nan");
}

std::vector<std::string> split_dash(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    std::size_t d = s.find('-', start);
    out.push_back(s.substr(start, d == std::string::npos ? std::string::npos : d - start));
    if (d == std::string::npos) break;
    start = d + 1;
  }
  return out;
}

}  // namespace

OverlapPlan plan_overlap_frames(const std::vector<std::int64_t>& frames,
                                const std::vector<std::optional<std::string>>& pairs,
                                std::int64_t n_consecutive, std::int64_t record_count) {
  std::set<std::string> distinct;
  for (const auto& p : pairs) {
    if (p) distinct.insert(*p);
  }
  const std::int64_t threshold = distinct.size() > 1 ? n_consecutive + 2 : n_consecutive;
  std::vector<std::optional<GroupValue>> groups;
  groups.reserve(pairs.size());
  for (const auto& p : pairs) groups.push_back(p ? std::optional<GroupValue>(*p) : std::nullopt);

  OverlapPlan plan;
  plan.episodes = find_continuous_frames(frames, groups, static_cast<double>(threshold));
  std::vector<std::string> keys;
  for (const FrameRunGroup& g : plan.episodes) keys.push_back(std::get<std::string>(g.group));
  print_line("Box pairs with overlap episodes: " + fmt_value(keys));

  // Rows per frame over the whole table.
  std::map<std::int64_t, std::int64_t> rows_per_frame;
  for (std::int64_t f : frames) ++rows_per_frame[f];
  std::vector<std::optional<std::int64_t>> singles, multiples;
  for (const FrameRunGroup& g : plan.episodes) {
    std::set<std::int64_t> episode_frames;
    for (const auto& run : g.runs) episode_frames.insert(run.begin(), run.end());
    std::optional<std::int64_t> first_single, first_multi, last_single, last_multi;
    for (std::int64_t f : episode_frames) {  // ascending
      const std::int64_t count = rows_per_frame[f];
      if (count == 1) {
        if (!first_single) first_single = f;
        last_single = f;
      } else if (count > 1) {
        if (!first_multi) first_multi = f;
        last_multi = f;
      }
    }
    std::optional<std::int64_t> single = first_single, multiple = first_multi;
    if (single == 0 || multiple == 0) {
      // An episode from the clip's first frame is judged where it ends.
      single = last_single;
      multiple = last_multi;
      plan.reverse_track = true;
    } else {
      plan.reverse_track = false;
    }
    print_line("Box Pair: " + std::get<std::string>(g.group));
    print_line("First frame with a single boxpair: " + frame_text(single));
    print_line("First frame with multiple boxpairs: " + frame_text(multiple));
    print_line("reverse_track: " + fmt_bool(plan.reverse_track));
    singles.push_back(single);
    multiples.push_back(multiple);
  }

  std::set<std::string> boxes;
  for (const std::string& k : keys) {
    for (std::string& piece : split_dash(k)) boxes.insert(std::move(piece));
  }
  plan.test_boxes.assign(boxes.begin(), boxes.end());

  std::optional<std::int64_t> test;
  for (const auto* list : {&singles, &multiples}) {
    for (const auto& v : *list) {
      if (v && (!test || *v < *test)) test = v;
    }
  }
  if (!test) {
    throw ValueError("process_overlap_frames: no box pair overlaps in " + fmt_int(threshold) +
                     " or more consecutive frames, so there is no test frame");
  }
  plan.test_frame = *test;
  std::int64_t first_m;
  if (plan.reverse_track) {
    first_m = plan.test_frame;
    plan.compare_frame = plan.test_frame - 1;
  } else {
    first_m = plan.test_frame - 5;
    plan.compare_frame = plan.test_frame + 1;
  }
  const std::int64_t n = plan.compare_frame;
  for (std::int64_t m = first_m; m < first_m + 5; ++m) {
    if (n < 0 || n >= record_count || m < 0 || m >= record_count) continue;
    plan.window.push_back(m);
  }
  if (plan.window.empty()) {
    throw ValueError("process_overlap_frames: test frame " + fmt_int(plan.test_frame) +
                     " leaves no frame to compare inside the clip's " + fmt_int(record_count) +
                     " records, so there are no votes");
  }
  return plan;
}

std::array<double, 4> corner_box(const cv::Mat& mask) {
  const Box b = mask_box(mask);
  if (b.empty()) return {0, 0, 0, 0};
  return {static_cast<double>(b.x1), static_cast<double>(b.y1), static_cast<double>(b.x2),
          static_cast<double>(b.y2)};
}

double bb_iou(const std::array<double, 4>& a, const std::array<double, 4>& b) {
  const double xa = std::max(a[0], b[0]), ya = std::max(a[1], b[1]);
  const double xb = std::min(a[2], b[2]), yb = std::min(a[3], b[3]);
  const double inter = std::max(0.0, xb - xa) * std::max(0.0, yb - ya);
  const double area_a = (a[2] - a[0]) * (a[3] - a[1]);
  const double area_b = (b[2] - b[0]) * (b[3] - b[1]);
  return inter / (area_a + area_b - inter + kEps);
}

std::vector<double> mismatch_scores(const std::vector<cv::Mat>& old_masks,
                                    const std::vector<cv::Mat>& new_masks,
                                    const std::vector<detection::Feature>& old_features,
                                    const std::vector<detection::Feature>& new_features) {
  const std::size_t k = old_masks.size();
  if (new_masks.size() != k || old_features.size() != k || new_features.size() != k) {
    throw ValueError("process_overlap_frames: one feature and one mask per box are needed");
  }
  const std::vector<double> cosine = detection::cosine_score_table(new_features, old_features);
  const double w1 = 1.0, w2 = 1.0, w3 = 1.0;
  std::vector<double> scores(k);
  for (std::size_t i = 0; i < k; ++i) {
    require_same_shape({old_masks[i], new_masks[i]}, "process_overlap_frames");
    const MaskStat so = mask_stat(old_masks[i]), sn = mask_stat(new_masks[i]);
    const std::int64_t inter =
        overlap_in(old_masks[i], new_masks[i], box_intersect(so.box, sn.box));
    const std::int64_t uni = so.area + sn.area - inter;
    const double shape_iou = static_cast<double>(inter) / (static_cast<double>(uni) + kEps);
    const double box_iou = bb_iou(corner_box(old_masks[i]), corner_box(new_masks[i]));
    const double cos = cosine[i * k + i];
    scores[i] = std::isinf(cos) && cos < 0
                    ? kInf
                    : w1 * (1 - cos) + w2 * (1 - shape_iou) + w3 * (1 - box_iou);
  }
  return scores;
}

std::size_t worst_position(const std::vector<double>& scores) {
  std::size_t best = 0;
  for (std::size_t i = 1; i < scores.size(); ++i) {
    if (scores[i] > scores[best]) best = i;
  }
  return best;
}

std::size_t most_frequent_position(const std::vector<std::string>& votes) {
  std::map<std::string, std::size_t> count;
  for (const std::string& v : votes) ++count[v];
  std::size_t best = 0;
  for (std::size_t i = 1; i < votes.size(); ++i) {
    if (count[votes[i]] > count[votes[best]]) best = i;
  }
  return best;
}

std::vector<std::string> vote_worst_boxes(const OverlapPlan& plan,
                                          const std::vector<std::pair<FrameSide, FrameSide>>& sides,
                                          detection::FrameSource& frames,
                                          detection::ImageSegmenter& segmenter,
                                          detection::ImageEncoder& encoder) {
  std::vector<std::string> votes;
  for (const auto& [old_side, new_side] : sides) {
    check_interrupt();
    const detection::FrameImage old_img = frames.open(old_side.image_path);
    const detection::FrameImage new_img = frames.open(new_side.image_path);
    const std::vector<detection::Feature> fo =
        detection::generate_image_features(old_img.rgb, old_side.masks, segmenter, encoder);
    const std::vector<detection::Feature> fn =
        detection::generate_image_features(new_img.rgb, new_side.masks, segmenter, encoder);
    const std::vector<double> scores = mismatch_scores(old_side.masks, new_side.masks, fo, fn);
    votes.push_back(plan.test_boxes[worst_position(scores)]);
  }
  return votes;
}

}  // namespace vexo::tracking
