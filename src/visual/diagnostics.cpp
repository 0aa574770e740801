#include "visual/diagnostics.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "core/errors.h"
#include "core/format.h"
#include "core/image_io.h"
#include "core/mask.h"

namespace vexo::visual {

// ---- overlap heatmap ------------------------------------------------------

HeatmapContent heatmap_content(const std::vector<double>& cells, int rows, int cols) {
  if (rows < 0 || cols < 0 || cells.size() != static_cast<std::size_t>(rows) * cols) {
    throw ValueError("heatmap: the cell count does not match the table's shape");
  }
  if (rows != cols) {
    throw ValueError("intersections_df: expected a square table, got " + std::to_string(rows) +
                     " rows and " + std::to_string(cols) + " columns");
  }
  HeatmapContent c;
  c.n = rows;
  c.labels.reserve(rows);
  for (int i = 0; i < rows; ++i) c.labels.push_back("Mask " + std::to_string(i));
  // About six "Mask i" labels fit side by side under a 7-inch figure.
  c.vertical_column_labels = rows > 6;
  c.annotations.reserve(cells.size());
  for (double v : cells) c.annotations.push_back(std::isnan(v) ? std::string() : fmt_fixed(v, 2));
  return c;
}

bool annotation_on_dark(double r, double g, double b) {
  auto lin = [](double u) { return u <= 0.03928 ? u / 12.92 : std::pow((u + 0.055) / 1.055, 2.4); };
  double lum = 0.2126 * lin(r) + 0.7152 * lin(g) + 0.0722 * lin(b);
  return lum <= 0.408;
}

// ---- centroid clustering ----------------------------------------------------

std::optional<cv::Point> main_blob_centroid(const cv::Mat& mask) {
  CV_Assert(mask.type() == CV_8UC1);
  Box box = mask_box(mask);
  if (box.empty()) return std::nullopt;
  // Tracing only the mask's box gives the same contours as the whole frame
  // (everything around the box is background); the offset keeps the points
  // in frame coordinates so the moments are computed on the same numbers.
  cv::Mat roi = mask(cv::Rect(box.x1, box.y1, box.width(), box.height()));
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(roi, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE,
                   cv::Point(box.x1, box.y1));
  if (contours.empty()) return std::nullopt;
  std::size_t best = 0;
  double best_area = cv::contourArea(contours[0]);
  for (std::size_t i = 1; i < contours.size(); ++i) {
    double a = cv::contourArea(contours[i]);
    if (a > best_area) {
      best_area = a;
      best = i;
    }
  }
  cv::Moments m = cv::moments(contours[best]);
  if (m.m00 == 0) return std::nullopt;
  return cv::Point(static_cast<int>(std::trunc(m.m10 / m.m00)),
                   static_cast<int>(std::trunc(m.m01 / m.m00)));
}

std::vector<int> dbscan(const std::vector<cv::Point>& points, double eps, int min_samples) {
  if (!(eps > 0)) throw ValueError("eps: must be a number greater than 0, got " + fmt_float(eps));
  if (min_samples < 1) {
    throw ValueError("min_samples: must be at least 1, got " + std::to_string(min_samples));
  }
  const std::size_t n = points.size();
  auto near = [&](std::size_t a, std::size_t b) {
    double dx = static_cast<double>(points[a].x) - points[b].x;
    double dy = static_cast<double>(points[a].y) - points[b].y;
    return std::sqrt(dx * dx + dy * dy) <= eps;
  };
  std::vector<char> core(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t count = 0;
    for (std::size_t j = 0; j < n; ++j) count += near(i, j);
    core[i] = count >= static_cast<std::size_t>(min_samples);
  }
  // Grow each cluster completely from its seed before the next seed, so a
  // border point shared by two clusters goes to the one seeded first.
  std::vector<int> label(n, -1);
  int next = 0;
  std::vector<std::size_t> stack;
  for (std::size_t seed = 0; seed < n; ++seed) {
    if (label[seed] != -1 || !core[seed]) continue;
    label[seed] = next;
    stack.assign(1, seed);
    while (!stack.empty()) {
      std::size_t p = stack.back();
      stack.pop_back();
      if (!core[p]) continue;
      for (std::size_t q = 0; q < n; ++q) {
        if (label[q] == -1 && near(p, q)) {
          label[q] = next;
          stack.push_back(q);
        }
      }
    }
    ++next;
  }
  // Number clusters by their first point in list order.
  std::vector<int> renumber(next, -1);
  int k = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (label[i] >= 0 && renumber[label[i]] < 0) renumber[label[i]] = k++;
  }
  for (int& l : label) {
    if (l >= 0) l = renumber[l];
  }
  return label;
}

std::vector<CentroidGroup> cluster_mask_centroids(const std::vector<cv::Mat>& masks, double eps,
                                                  int min_samples) {
  std::vector<cv::Point> points;
  std::vector<std::size_t> owner;
  for (std::size_t i = 0; i < masks.size(); ++i) {
    if (auto c = main_blob_centroid(masks[i])) {
      points.push_back(*c);
      owner.push_back(i);
    }
  }
  if (points.empty()) {
    throw ValueError("cluster_masks_and_print: no mask has a centroid to cluster (" +
                     std::to_string(masks.size()) + " masks, all empty)");
  }
  std::vector<int> label = dbscan(points, eps, min_samples);
  std::vector<CentroidGroup> groups{{"Noise", {}}};
  std::map<int, std::size_t> slot;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (label[i] < 0) {
      groups[0].members.push_back(owner[i]);
      continue;
    }
    auto it = slot.find(label[i]);
    if (it == slot.end()) {
      it = slot.emplace(label[i], groups.size()).first;
      groups.push_back({"Cluster " + std::to_string(label[i]), {}});
    }
    groups[it->second].members.push_back(owner[i]);
  }
  return groups;
}

// ---- motion scores ----------------------------------------------------------

cv::Mat flow_magnitude(const cv::Mat& prev, const cv::Mat& next) {
  if (prev.type() != CV_8UC1 || next.type() != CV_8UC1) {
    throw ValueError("motion: frames must be 8-bit grey images");
  }
  if (prev.size() != next.size()) {
    throw ValueError("motion: the first frame is " + std::to_string(prev.cols) + " x " +
                     std::to_string(prev.rows) + " but the sixth is " + std::to_string(next.cols) +
                     " x " + std::to_string(next.rows));
  }
  cv::Mat flow;
  cv::calcOpticalFlowFarneback(prev, next, flow, 0.5, 3, 15, 3, 5, 1.2, 0);
  cv::Mat parts[2];
  cv::split(flow, parts);
  cv::Mat magnitude, angle;
  cv::cartToPolar(parts[0], parts[1], magnitude, angle);
  return magnitude;
}

std::vector<std::optional<double>> masked_mean_magnitude(const cv::Mat& magnitude,
                                                         const std::vector<cv::Mat>& masks) {
  CV_Assert(magnitude.type() == CV_32FC1);
  std::vector<std::optional<double>> out;
  out.reserve(masks.size());
  for (std::size_t i = 0; i < masks.size(); ++i) {
    const cv::Mat& m = masks[i];
    if (m.size() != magnitude.size()) {
      throw ValueError("masks_dict: mask " + std::to_string(i) + " is " + std::to_string(m.cols) +
                       " x " + std::to_string(m.rows) + " but the frames are " +
                       std::to_string(magnitude.cols) + " x " + std::to_string(magnitude.rows));
    }
    Box b = mask_box(m);
    double sum = 0;
    std::int64_t count = 0;
    for (int y = b.y1; y <= b.y2; ++y) {
      const std::uint8_t* mr = m.ptr<std::uint8_t>(y);
      const float* vr = magnitude.ptr<float>(y);
      for (int x = b.x1; x <= b.x2; ++x) {
        if (mr[x]) {
          sum += vr[x];
          ++count;
        }
      }
    }
    if (count == 0) {
      out.emplace_back();
    } else {
      out.emplace_back(sum / static_cast<double>(count));
    }
  }
  return out;
}

namespace {

cv::Mat read_grey(const std::string& path) {
  return read_image_file(
      path, ImageLayout::kGrey,
      {"frame image not found: " + path, "frame image could not be read: " + path});
}

}  // namespace

std::vector<std::optional<double>> motion_scores(const std::vector<std::string>& frames,
                                                 const std::vector<cv::Mat>& masks) {
  if (frames.size() < 6) {
    throw IndexError("video_frames: at least six frame paths are needed, got " +
                     std::to_string(frames.size()));
  }
  cv::Mat first = read_grey(frames[0]);
  cv::Mat sixth = read_grey(frames[5]);
  return masked_mean_magnitude(flow_magnitude(first, sixth), masks);
}

// ---- box overlap ------------------------------------------------------------

std::optional<double> box_iou(const double box1[4], const double box2[4]) {
  for (int i = 0; i < 4; ++i) {
    if (!std::isfinite(box1[i]) || !std::isfinite(box2[i])) {
      throw ValueError(std::string(std::isfinite(box1[i]) ? "box2" : "box1") +
                       ": coordinates must be finite numbers");
    }
  }
  double left = std::max(box1[0], box2[0]);
  double top = std::max(box1[1], box2[1]);
  double right = std::min(box1[2], box2[2]);
  double bottom = std::min(box1[3], box2[3]);
  double inter = (left < right && top < bottom) ? (right - left) * (bottom - top) : 0.0;
  double area1 = (box1[2] - box1[0]) * (box1[3] - box1[1]);
  double area2 = (box2[2] - box2[0]) * (box2[3] - box2[1]);
  double uni = area1 + area2 - inter;
  if (!(uni > 0)) return std::nullopt;
  return inter / uni;
}

}  // namespace vexo::visual
