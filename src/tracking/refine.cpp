#include "tracking/refine.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <numeric>
#include <opencv2/imgproc.hpp>
#include <thread>

#include "core/console.h"
#include "core/errors.h"
#include "core/parallel.h"
#include "core/zeroed_memory.h"
#include "pen/pen_file.h"
#include "pen/pen_membership.h"

namespace vexo::tracking {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kCandidates = 5;

// Box in `roi`-local coordinates.
cv::Rect local_rect(const Box& b, const Box& roi) {
  return cv::Rect(b.x1 - roi.x1, b.y1 - roi.y1, b.width(), b.height());
}

cv::Rect frame_rect(const Box& b) { return cv::Rect(b.x1, b.y1, b.width(), b.height()); }

// Sum of the integers a .. b.
std::int64_t span_sum(std::int64_t a, std::int64_t b) { return (a + b) * (b - a + 1) / 2; }

std::vector<cv::Point> contour_points(const cv::Mat& bin, cv::Point offset) {
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(bin, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, offset);
  std::vector<cv::Point> pts;
  for (const auto& ct : contours) pts.insert(pts.end(), ct.begin(), ct.end());
  return pts;
}

}  // namespace

PixelRuns mask_runs(const cv::Mat& mask) {
  PixelRuns runs;
  const int cols = mask.cols;
  for (int y = 0; y < mask.rows; ++y) {
    const std::uint8_t* r = mask.ptr<std::uint8_t>(y);
    int x = 0;
    while (x < cols) {
      // Skip zero bytes 32 and then 8 at a time.
      while (x + 32 <= cols) {
        std::uint64_t w[4];
        std::memcpy(w, r + x, 32);
        if ((w[0] | w[1]) | (w[2] | w[3])) break;
        x += 32;
      }
      while (x + 8 <= cols) {
        std::uint64_t w;
        std::memcpy(&w, r + x, 8);
        if (w) break;
        x += 8;
      }
      while (x < cols && !r[x]) ++x;
      if (x >= cols) break;
      const int s = x;
      while (x < cols && r[x]) ++x;
      runs.push_back(PixelRun{y, s, x - 1});
    }
  }
  return runs;
}

PenRuns pen_runs(const cv::Mat& pen) {
  PenRuns pr;
  pr.rows = pen.rows;
  pr.cols = pen.cols;
  pr.runs = mask_runs(pen);
  pr.row_start.assign(static_cast<std::size_t>(pen.rows) + 1, 0);
  std::size_t i = 0;
  for (int y = 0; y <= pen.rows; ++y) {
    while (i < pr.runs.size() && pr.runs[i].y < y) ++i;
    pr.row_start[y] = i;
  }
  return pr;
}

PixelRuns cut_runs(const PixelRuns& runs, const PenRuns& pen) {
  PixelRuns out;
  out.reserve(runs.size());
  for (const PixelRun& r : runs) {
    if (r.y < 0 || r.y >= pen.rows) continue;
    for (std::size_t k = pen.row_start[r.y]; k < pen.row_start[r.y + 1]; ++k) {
      const PixelRun& q = pen.runs[k];
      if (q.x2 < r.x1) continue;
      if (q.x1 > r.x2) break;
      out.push_back(PixelRun{r.y, std::max(r.x1, q.x1), std::min(r.x2, q.x2)});
    }
  }
  return out;
}

Components run_components(const PixelRuns& runs) {
  const std::size_t n = runs.size();
  std::vector<std::size_t> parent(n);
  std::iota(parent.begin(), parent.end(), std::size_t{0});
  auto find = [&](std::size_t i) {
    while (parent[i] != i) {
      parent[i] = parent[parent[i]];
      i = parent[i];
    }
    return i;
  };
  auto unite = [&](std::size_t a, std::size_t b) {
    a = find(a);
    b = find(b);
    if (a == b) return;
    if (a < b) std::swap(a, b);
    parent[a] = b;  // the earlier run is the root
  };
  // 8-connectivity: runs of neighbouring rows touch when their column spans,
  // widened by one, overlap.
  std::size_t prev_begin = 0, prev_end = 0;
  std::size_t i = 0;
  while (i < n) {
    const int y = runs[i].y;
    std::size_t row_end = i;
    while (row_end < n && runs[row_end].y == y) ++row_end;
    const bool adjacent = prev_end > prev_begin && runs[prev_begin].y == y - 1;
    std::size_t j = prev_begin;
    for (std::size_t k = i; k < row_end && adjacent; ++k) {
      while (j < prev_end && runs[j].x2 < runs[k].x1 - 1) ++j;
      for (std::size_t m = j; m < prev_end && runs[m].x1 <= runs[k].x2 + 1; ++m) unite(k, m);
    }
    prev_begin = i;
    prev_end = row_end;
    i = row_end;
  }
  // Labels follow a scan of 2 x 2 pixel blocks (block rows top to bottom,
  // each left to right): a component's label comes from the first block
  // holding one of its pixels, which for a run is the block of its first
  // pixel. Pixels of one block always touch, so no two components share it.
  std::vector<std::uint64_t> first_block(n, std::numeric_limits<std::uint64_t>::max());
  std::vector<std::size_t> roots;
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t root = find(k);
    if (root == k) roots.push_back(k);
    const std::uint64_t block = (static_cast<std::uint64_t>(runs[k].y >> 1) << 32) |
                                static_cast<std::uint32_t>(runs[k].x1 >> 1);
    first_block[root] = std::min(first_block[root], block);
  }
  std::sort(roots.begin(), roots.end(),
            [&](std::size_t a, std::size_t b) { return first_block[a] < first_block[b]; });
  std::vector<int> label_of(n, 0);
  int next = 1;
  for (std::size_t root : roots) label_of[root] = next++;
  Components c;
  c.runs = runs;
  c.run_label.assign(n, 0);
  for (std::size_t k = 0; k < n; ++k) c.run_label[k] = label_of[find(k)];
  c.num_labels = next;
  c.area.assign(next, 0);
  c.box.assign(next, Box{});
  c.centroid.assign(next, Centroid{});
  std::vector<std::int64_t> sx(next, 0), sy(next, 0);
  Box all{std::numeric_limits<int>::max(), std::numeric_limits<int>::max(), -1, -1};
  for (std::size_t k = 0; k < n; ++k) {
    const PixelRun& r = runs[k];
    const int l = c.run_label[k];
    const std::int64_t len = r.x2 - r.x1 + 1;
    Box& b = c.box[l];
    if (c.area[l] == 0) {
      b = Box{r.x1, r.y, r.x2, r.y};
    } else {
      b.x1 = std::min(b.x1, r.x1);
      b.x2 = std::max(b.x2, r.x2);
      b.y2 = r.y;
    }
    c.area[l] += len;
    sx[l] += span_sum(r.x1, r.x2);
    sy[l] += static_cast<std::int64_t>(r.y) * len;
    all.x1 = std::min(all.x1, r.x1);
    all.x2 = std::max(all.x2, r.x2);
    all.y1 = std::min(all.y1, r.y);
    all.y2 = std::max(all.y2, r.y);
  }
  c.roi = n ? all : Box{};
  c.sum_x.assign(next, 0.0);
  c.sum_y.assign(next, 0.0);
  for (int l = 1; l < next; ++l) {
    c.sum_x[l] = static_cast<double>(sx[l]);
    c.sum_y[l] = static_cast<double>(sy[l]);
    const double a = static_cast<double>(c.area[l]);
    c.centroid[l] = Centroid{c.sum_x[l] / a, c.sum_y[l] / a};
  }
  return c;
}

Components frame_components(const cv::Mat& mask) {
  Components c = run_components(mask_runs(mask));
  const int rows = mask.rows, cols = mask.cols;
  c.roi = Box{0, 0, cols - 1, rows - 1};
  c.labels = zeroed_mat(rows, cols, CV_32S);
  std::vector<std::int64_t> row_fg(rows, 0), col_diff(static_cast<std::size_t>(cols) + 1, 0);
  for (std::size_t k = 0; k < c.runs.size(); ++k) {
    const PixelRun& r = c.runs[k];
    int* row = c.labels.ptr<int>(r.y);
    std::fill(row + r.x1, row + r.x2 + 1, c.run_label[k]);
    row_fg[r.y] += r.x2 - r.x1 + 1;
    col_diff[r.x1] += 1;
    col_diff[r.x2 + 1] -= 1;
  }
  // Background: every pixel not in a run.
  std::int64_t fg = 0, fg_sx = 0, fg_sy = 0;
  for (int l = 1; l < c.num_labels; ++l) {
    fg += c.area[l];
    fg_sx += static_cast<std::int64_t>(c.sum_x[l]);
    fg_sy += static_cast<std::int64_t>(c.sum_y[l]);
  }
  const std::int64_t area0 = static_cast<std::int64_t>(rows) * cols - fg;
  c.area[0] = area0;
  c.box[0] = Box{};
  if (area0 > 0) {
    Box b{cols, rows, -1, -1};
    for (int y = 0; y < rows; ++y) {
      if (row_fg[y] < cols) {
        b.y1 = std::min(b.y1, y);
        b.y2 = y;
      }
    }
    std::int64_t col_fg = 0;
    for (int x = 0; x < cols; ++x) {
      col_fg += col_diff[x];
      if (col_fg < rows) {
        b.x1 = std::min(b.x1, x);
        b.x2 = x;
      }
    }
    c.box[0] = b;
    c.sum_x[0] = static_cast<double>(rows * span_sum(0, cols - 1) - fg_sx);
    c.sum_y[0] =
        static_cast<double>(static_cast<std::int64_t>(cols) * span_sum(0, rows - 1) - fg_sy);
    c.centroid[0] =
        Centroid{c.sum_x[0] / static_cast<double>(area0), c.sum_y[0] / static_cast<double>(area0)};
  }
  return c;
}

Components components_from_labels(const cv::Mat& labels, int num_labels,
                                  const std::vector<std::int64_t>& area,
                                  const std::vector<Centroid>& centroid) {
  if (labels.type() != CV_32S) throw ValueError("labels: expected a 32-bit integer label image");
  if (num_labels < 1) throw ValueError("num_labels must be at least 1");
  if (area.size() < static_cast<std::size_t>(num_labels) ||
      centroid.size() < static_cast<std::size_t>(num_labels)) {
    throw ValueError("stats and centroids need one row per label (" + std::to_string(num_labels) +
                     " labels)");
  }
  Components c;
  c.roi = Box{0, 0, labels.cols - 1, labels.rows - 1};
  c.labels = labels;
  c.num_labels = num_labels;
  c.area.assign(area.begin(), area.begin() + num_labels);
  c.centroid.assign(centroid.begin(), centroid.begin() + num_labels);
  c.sum_x.assign(num_labels, 0.0);
  c.sum_y.assign(num_labels, 0.0);
  std::vector<Box> b(num_labels, Box{labels.cols, labels.rows, -1, -1});
  for (int y = 0; y < labels.rows; ++y) {
    const int* row = labels.ptr<int>(y);
    for (int x = 0; x < labels.cols; ++x) {
      int l = row[x];
      if (l < 0 || l >= num_labels) {
        throw ValueError("labels holds the label " + std::to_string(l) + ", outside 0 .. " +
                         std::to_string(num_labels - 1));
      }
      Box& bb = b[l];
      bb.x1 = std::min(bb.x1, x);
      bb.x2 = std::max(bb.x2, x);
      bb.y1 = std::min(bb.y1, y);
      bb.y2 = std::max(bb.y2, y);
    }
  }
  for (auto& bb : b) {
    if (bb.x2 < 0) bb = Box{};
  }
  c.box = std::move(b);
  return c;
}

double centroid_distance(const Centroid& a, const Centroid& b) {
  const double dx = a.x - b.x, dy = a.y - b.y;
  return std::sqrt(dx * dx + dy * dy);
}

MainBlob choose_main_blob(const Components& c, const std::optional<Centroid>& prev,
                          const RefineParams& p) {
  if (c.num_labels < 2) throw ValueError("get_main_blob: the mask has no nonzero pixel");
  std::vector<int> order(c.num_labels - 1);
  std::iota(order.begin(), order.end(), 1);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return c.area[a] > c.area[b]; });
  if (order.size() > kCandidates) order.resize(kCandidates);
  MainBlob mb;
  mb.best_idx = order.front();
  if (prev) {
    double best = centroid_distance(c.centroid[mb.best_idx], *prev);
    for (std::size_t k = 1; k < order.size(); ++k) {
      const double d = centroid_distance(c.centroid[order[k]], *prev);
      if (d < best) {
        best = d;
        mb.best_idx = order[k];
      }
    }
  }
  const double main_area = static_cast<double>(c.area[mb.best_idx]);
  const double radius = std::sqrt(main_area / M_PI);
  mb.min_area_threshold = main_area * p.min_area_ratio;
  mb.max_distance_threshold =
      radius * (main_area >= 1000 ? p.distance_ratio_large : p.distance_ratio_small);
  return mb;
}

std::vector<cv::Point> outer_contour_points(const cv::Mat& mask, const Box& roi) {
  if (roi.empty()) return {};
  cv::Mat sub = mask(frame_rect(roi));
  if (!sub.isContinuous()) sub = sub.clone();
  return contour_points(sub, cv::Point(roi.x1, roi.y1));
}

std::vector<cv::Point> label_contour_points(const Components& c, int label) {
  if (label < 0 || label >= c.num_labels || c.box[label].empty()) return {};
  const Box& b = c.box[label];
  cv::Mat bin;
  if (c.labels.empty()) {
    bin = cv::Mat::zeros(b.height(), b.width(), CV_8U);
    for (std::size_t k = 0; k < c.runs.size(); ++k) {
      if (c.run_label[k] != label) continue;
      const PixelRun& r = c.runs[k];
      std::memset(bin.ptr<std::uint8_t>(r.y - b.y1) + (r.x1 - b.x1), 255,
                  static_cast<std::size_t>(r.x2 - r.x1 + 1));
    }
  } else {
    cv::compare(c.labels(local_rect(b, c.roi)), label, bin, cv::CMP_EQ);
  }
  return contour_points(bin, cv::Point(b.x1, b.y1));
}

double min_point_distance(const std::vector<cv::Point>& a, const std::vector<cv::Point>& b) {
  if (a.empty() || b.empty()) return kInf;
  std::int64_t best = std::numeric_limits<std::int64_t>::max();
  for (const cv::Point& p : a) {
    for (const cv::Point& q : b) {
      const std::int64_t dx = p.x - q.x, dy = p.y - q.y;
      const std::int64_t d = dx * dx + dy * dy;
      if (d < best) best = d;
    }
    if (best == 0) break;
  }
  return std::sqrt(static_cast<double>(best));
}

double blob_shortest_distance(const cv::Mat& a, const cv::Mat& b) {
  return min_point_distance(outer_contour_points(a, mask_box(a)),
                            outer_contour_points(b, mask_box(b)));
}

std::vector<int> kept_labels(const Components& c, int best_idx, double max_distance_threshold,
                             double min_area_threshold, const std::optional<Centroid>& prev,
                             double max_prev_dist) {
  std::vector<int> kept;
  std::vector<cv::Point> main_pts;
  bool main_ready = false;
  const Box main_box = (best_idx >= 0 && best_idx < c.num_labels) ? c.box[best_idx] : Box{};
  for (int l = 1; l < c.num_labels; ++l) {
    const double dprev = prev ? centroid_distance(c.centroid[l], *prev) : 0.0;
    if (!(dprev <= max_prev_dist)) continue;
    if (l == best_idx) {
      kept.push_back(l);
      continue;
    }
    if (!(static_cast<double>(c.area[l]) >= min_area_threshold)) continue;
    if (main_box.empty() || c.box[l].empty()) continue;  // no contour: infinitely far
    // Contour vertices lie inside the boxes, so the gap between the boxes
    // bounds the distance from below.
    const Box& b = c.box[l];
    const std::int64_t gx = std::max({0, b.x1 - main_box.x2, main_box.x1 - b.x2});
    const std::int64_t gy = std::max({0, b.y1 - main_box.y2, main_box.y1 - b.y2});
    if (std::sqrt(static_cast<double>(gx * gx + gy * gy)) > max_distance_threshold) continue;
    if (!main_ready) {
      main_pts = label_contour_points(c, best_idx);
      main_ready = true;
    }
    if (min_point_distance(main_pts, label_contour_points(c, l)) <= max_distance_threshold) {
      kept.push_back(l);
    }
  }
  return kept;
}

RefineResult::Kind rejected_mask_kind(bool first_frame) {
  return first_frame ? RefineResult::Kind::FirstFrame : RefineResult::Kind::Emptied;
}

std::string clean_frame_line(const std::string& frame, const std::string& object) {
  return "clean frame" + frame + "--obj_id" + object;
}

std::string no_mask_line(const std::string& frame, const std::string& object) {
  return "frame " + frame + "--obj_id" + object + "-- no mask";
}

std::int64_t kept_label_pixels(const cv::Mat& labels, int num_labels, const std::vector<int>& kept,
                               std::uint8_t* out) {
  std::vector<std::uint8_t> keep(static_cast<std::size_t>(num_labels), 0);
  for (int l : kept) keep[static_cast<std::size_t>(l)] = 1;
  std::int64_t set = 0;
  if (kept.empty()) return set;
  for (int y = 0; y < labels.rows; ++y) {
    const int* row = labels.ptr<int>(y);
    std::uint8_t* dst = out + static_cast<std::size_t>(y) * labels.cols;
    for (int x = 0; x < labels.cols; ++x) {
      if (keep[static_cast<std::size_t>(row[x])]) {
        dst[x] = 1;
        ++set;
      }
    }
  }
  return set;
}

PixelRuns runs_minus(const PixelRuns& a, const PixelRuns& b) {
  PixelRuns out;
  std::size_t j = 0;
  for (const PixelRun& r : a) {
    int x = r.x1;
    // Runs of `b` ending before this one cannot meet it or any later one.
    while (j < b.size() && (b[j].y < r.y || (b[j].y == r.y && b[j].x2 < r.x1))) ++j;
    for (std::size_t k = j; k < b.size() && b[k].y == r.y && b[k].x1 <= r.x2; ++k) {
      if (b[k].x1 > x) out.push_back(PixelRun{r.y, x, b[k].x1 - 1});
      x = std::max(x, b[k].x2 + 1);
    }
    if (x <= r.x2) out.push_back(PixelRun{r.y, x, r.x2});
  }
  return out;
}

void fill_runs(std::uint8_t* data, std::size_t stride, const PixelRuns& runs, std::uint8_t value) {
  for (const PixelRun& r : runs) {
    std::memset(data + static_cast<std::size_t>(r.y) * stride + r.x1, value,
                static_cast<std::size_t>(r.x2 - r.x1 + 1));
  }
}

cv::Mat render_runs(const PixelRuns& runs, int rows, int cols) {
  cv::Mat out = zeroed_mat(rows, cols, CV_8U);
  fill_runs(out.ptr<std::uint8_t>(), out.step, runs, 1);
  return out;
}

RefineResult refine_runs(const PixelRuns& mask, const PenRuns& pen,
                         const std::optional<Centroid>& prev, bool first_frame,
                         const RefineParams& p) {
  RefineResult r;
  if (mask.empty()) return r;
  PixelRuns cut = cut_runs(mask, pen);
  if (cut.empty()) {
    r.kind = RefineResult::Kind::OutsidePen;
    return r;
  }
  const Components c = run_components(cut);
  const MainBlob mb = choose_main_blob(c, prev, p);
  const std::vector<int> kept = kept_labels(c, mb.best_idx, mb.max_distance_threshold,
                                            mb.min_area_threshold, prev, p.max_prev_dist);
  if (kept.empty()) {
    r.kind = rejected_mask_kind(first_frame);
    if (r.kind == RefineResult::Kind::Emptied) return r;
    // The first frame keeps the uncut mask.
    std::int64_t sx = 0, sy = 0, n = 0;
    for (const PixelRun& q : mask) {
      const std::int64_t len = q.x2 - q.x1 + 1;
      sx += span_sum(q.x1, q.x2);
      sy += static_cast<std::int64_t>(q.y) * len;
      n += len;
    }
    r.runs = mask;
    const double a = static_cast<double>(n);
    r.centroid = Centroid{static_cast<double>(sx) / a, static_cast<double>(sy) / a};
    return r;
  }
  r.kind = RefineResult::Kind::Cleaned;
  std::vector<std::uint8_t> keep(c.num_labels, 0);
  double sx = 0, sy = 0, n = 0;
  for (int l : kept) {
    keep[l] = 1;
    sx += c.sum_x[l];
    sy += c.sum_y[l];
    n += static_cast<double>(c.area[l]);
  }
  r.runs.reserve(cut.size());
  for (std::size_t k = 0; k < cut.size(); ++k) {
    if (keep[c.run_label[k]]) r.runs.push_back(cut[k]);
  }
  r.centroid = Centroid{sx / n, sy / n};
  return r;
}

RefineResult refine_mask(const cv::Mat& mask, const cv::Mat& pen,
                         const std::optional<Centroid>& prev, bool first_frame,
                         const RefineParams& p) {
  if (pen.rows != mask.rows || pen.cols != mask.cols) {
    throw ValueError("pen mask and mask differ in size");
  }
  return refine_runs(mask_runs(mask), pen_runs(pen), prev, first_frame, p);
}

// ---- pen masks ----

struct PenMasks::State {
  std::optional<std::string> path;
  std::string clip_dir;
  std::mutex mu;
  bool loaded = false;
  std::exception_ptr error;
  std::vector<cv::Point2d> polygon;
  std::map<std::pair<int, int>, std::shared_ptr<const PenRuns>> by_size;
};

PenMasks::PenMasks(std::optional<std::string> pen_path, std::string clip_dir)
    : state_(std::make_shared<State>()) {
  state_->path = std::move(pen_path);
  state_->clip_dir = std::move(clip_dir);
}

std::shared_ptr<const PenRuns> PenMasks::get(int rows, int cols) {
  State& s = *state_;
  std::lock_guard<std::mutex> lock(s.mu);
  if (!s.loaded) {
    s.loaded = true;
    try {
      if (!s.path) {
        throw FileNotFound("no pen polygon file is known for the clip folder '" + s.clip_dir +
                           "' (its camera is not in the camera table); pass custom_pen_json_path");
      }
      s.polygon = pen::read_pen_polygon(*s.path).points;
    } catch (...) {
      s.error = std::current_exception();
    }
  }
  if (s.error) std::rethrow_exception(s.error);
  auto& slot = s.by_size[{rows, cols}];
  if (!slot) slot = std::make_shared<const PenRuns>(pen_runs(pen::pen_mask(s.polygon, rows, cols)));
  return slot;
}

// ---- a clip's segments ----

SegmentsOutcome refine_segments(const std::vector<SegmentMask>& masks,
                                std::vector<std::optional<Centroid>> prev, std::size_t frame_count,
                                PenMasks& pen, const RefineParams& p, bool render) {
  SegmentsOutcome out;
  out.results.resize(masks.size());
  std::vector<std::vector<std::size_t>> chains(prev.size());
  for (std::size_t i = 0; i < masks.size(); ++i) {
    if (masks[i].chain >= chains.size()) throw ValueError("refine_segments: chain out of range");
    chains[masks[i].chain].push_back(i);
  }
  const auto fc = static_cast<std::int64_t>(frame_count);
  // Per chain: the first of its masks not refined (the end when all are),
  // and why, when it failed.
  std::vector<std::size_t> stopped_at(chains.size(), masks.size());
  for (std::size_t ch = 0; ch < chains.size(); ++ch) {
    if (!chains[ch].empty()) stopped_at[ch] = chains[ch].front();
  }
  std::vector<std::exception_ptr> errors(chains.size());
  std::atomic<bool> cancel{false};
  // Masks after the earliest failure so far are not needed.
  std::atomic<std::size_t> first_failure{masks.size()};
  const std::thread::id caller = std::this_thread::get_id();
  ProgressCount progress("refinement", masks.size());
  auto refine_chain = [&](std::size_t ch) {
    std::optional<Centroid> cur = prev[ch];
    std::size_t step = 0;
    const std::vector<std::size_t>& chain = chains[ch];
    for (std::size_t pos = 0; pos < chain.size(); ++pos) {
      const std::size_t i = chain[pos];
      if (cancel.load(std::memory_order_relaxed) || i > first_failure.load()) return;
      const SegmentMask& sm = masks[i];
      try {
        if (std::this_thread::get_id() == caller && ++step % 8 == 0) check_interrupt();
        RefineResult r;
        PixelRuns runs = mask_runs(sm.mask);
        if (!runs.empty()) {
          if (sm.frame_idx >= fc || sm.frame_idx < -fc) {
            throw IndexError("frame index " + std::to_string(sm.frame_idx) +
                             " is outside frame_names (" + std::to_string(frame_count) +
                             " frames)");
          }
          auto pr = pen.get(sm.mask.rows, sm.mask.cols);
          r = refine_runs(runs, *pr, cur, sm.frame_pos == 0, p);
        }
        if (sm.edit_in_place) {
          r.cleared_runs = runs_minus(runs, r.runs);
          bool all_ones = true;
          for (const PixelRun& q : r.runs) {
            const std::uint8_t* px = sm.mask.ptr<std::uint8_t>(q.y);
            for (int x = q.x1; x <= q.x2 && all_ones; ++x) all_ones = px[x] == 1;
            if (!all_ones) break;
          }
          if (all_ones) PixelRuns().swap(r.runs);
        } else if (render && (r.kind == RefineResult::Kind::Cleaned ||
                              r.kind == RefineResult::Kind::FirstFrame)) {
          r.pixels = render_runs(r.runs, sm.mask.rows, sm.mask.cols);
        }
        if (r.centroid) cur = r.centroid;
        out.results[i] = std::move(r);
        stopped_at[ch] = pos + 1 < chain.size() ? chain[pos + 1] : masks.size();
        progress.add();
      } catch (const Interrupted&) {
        cancel.store(true);
        return;
      } catch (...) {
        errors[ch] = std::current_exception();
        std::size_t seen = first_failure.load();
        while (i < seen && !first_failure.compare_exchange_weak(seen, i)) {
        }
        return;
      }
    }
  };
  try {
    parallel_for(chains.size(), refine_chain, 0, &cancel);
  } catch (const Interrupted&) {
    cancel.store(true);
  }
  // Only an interrupt sets `cancel`; once seen, it is reported even when
  // every mask was refined.
  const bool interrupted = cancel.load();
  progress.finish();
  out.refined.assign(masks.size(), 0);
  std::size_t failed = masks.size();
  for (std::size_t ch = 0; ch < chains.size(); ++ch) {
    if (errors[ch] && stopped_at[ch] < failed) {
      failed = stopped_at[ch];
      out.error = errors[ch];
    }
  }
  for (std::size_t ch = 0; ch < chains.size(); ++ch) {
    for (std::size_t i : chains[ch]) {
      if (i >= stopped_at[ch] || i >= failed) break;
      out.refined[i] = 1;
    }
  }
  while (out.done < masks.size() && out.refined[out.done]) ++out.done;
  if (!out.error && (interrupted || out.done < masks.size())) {
    out.error = std::make_exception_ptr(Interrupted());
  }
  for (std::size_t i = 0; i < masks.size(); ++i) {
    if (!out.refined[i]) out.results[i] = RefineResult{};
  }
  return out;
}

}  // namespace vexo::tracking
