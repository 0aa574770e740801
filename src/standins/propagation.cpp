#include "standins/propagation.h"

#include <algorithm>
#include <cmath>
#include <future>
#include <opencv2/imgproc.hpp>

#include "core/console.h"
#include "core/errors.h"
#include "core/image_io.h"
#include "core/mask.h"
#include "core/parallel.h"

namespace vexo::standins {

namespace {

struct Work {
  bool empty = true;
  cv::Rect box;  // enlarged previous box
  cv::Mat prev;  // previous mask inside `box` (0/255)
  cv::Mat cand;  // candidate pixels (0/255)
  cv::Mat dist;  // distance to the previous mask (CV_32F)
  std::int64_t prev_area = 0;
};

cv::Rect to_rect(const Box& b) { return cv::Rect(b.x1, b.y1, b.width(), b.height()); }

void prepare(const cv::Mat& bgr, const cv::Mat& grey, const cv::Mat& prev_mask,
             const PropagationParams& p, Work& w) {
  MaskStat st = mask_stat(prev_mask);
  if (st.box.empty()) return;
  w.empty = false;
  w.prev_area = st.area;
  const int side = std::max(st.box.width(), st.box.height());
  const int margin = std::max(p.min_box_margin, static_cast<int>(std::lround(p.box_margin * side)));
  const double reach = std::max<double>(p.min_shift, p.max_shift * side);
  Box big{st.box.x1 - margin, st.box.y1 - margin, st.box.x2 + margin, st.box.y2 + margin};
  w.box = to_rect(box_clip(big, grey.rows, grey.cols));

  w.prev = prev_mask(w.box) != 0;
  cv::Mat g = grey(w.box);
  cv::Mat unused;
  const double otsu = cv::threshold(g, unused, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
  cv::Mat fg = g > std::max(otsu, p.min_brightness);
  cv::Mat hsv;
  cv::cvtColor(bgr(w.box), hsv, cv::COLOR_BGR2HSV);
  cv::Mat sat;
  cv::extractChannel(hsv, sat, 1);
  fg &= sat <= p.max_saturation;
  if (p.close_size > 1) {
    cv::morphologyEx(fg, fg, cv::MORPH_CLOSE,
                     cv::getStructuringElement(cv::MORPH_ELLIPSE, {p.close_size, p.close_size}));
  }
  cv::Mat outside = w.prev == 0;
  cv::distanceTransform(outside, w.dist, cv::DIST_L2, 3);
  w.cand = fg & (w.dist <= reach);
}

// Pixels of object i that another object's previous mask is clearly nearer.
void resolve(std::vector<Work>& works, std::size_t i, cv::Mat& drop) {
  const Work& a = works[i];
  drop = cv::Mat::zeros(a.cand.size(), CV_8U);
  for (std::size_t j = 0; j < works.size(); ++j) {
    const Work& b = works[j];
    if (j == i || b.empty) continue;
    const cv::Rect both = a.box & b.box;
    if (both.area() == 0) continue;
    const cv::Rect ra = both - a.box.tl(), rb = both - b.box.tl();
    for (int y = 0; y < both.height; ++y) {
      const std::uint8_t* ca = a.cand.ptr<std::uint8_t>(ra.y + y) + ra.x;
      const std::uint8_t* cb = b.cand.ptr<std::uint8_t>(rb.y + y) + rb.x;
      const float* da = a.dist.ptr<float>(ra.y + y) + ra.x;
      const float* db = b.dist.ptr<float>(rb.y + y) + rb.x;
      std::uint8_t* d = drop.ptr<std::uint8_t>(ra.y + y) + ra.x;
      for (int x = 0; x < both.width; ++x) {
        if (ca[x] && cb[x] && db[x] + 0.5f < da[x]) d[x] = 255;
      }
    }
  }
}

// The connected part that overlaps the previous mask most, holes filled.
cv::Mat main_part(const cv::Mat& cand, const cv::Mat& prev) {
  cv::Mat labels, stats, centroids;
  const int n = cv::connectedComponentsWithStats(cand, labels, stats, centroids, 8, CV_32S);
  if (n <= 1) return {};
  std::vector<std::int64_t> overlap(n, 0);
  for (int y = 0; y < labels.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    const std::uint8_t* pm = prev.ptr<std::uint8_t>(y);
    for (int x = 0; x < labels.cols; ++x) {
      if (pm[x]) ++overlap[l[x]];
    }
  }
  int best = 1;
  for (int k = 2; k < n; ++k) {
    if (overlap[k] > overlap[best] ||
        (overlap[k] == overlap[best] &&
         stats.at<int>(k, cv::CC_STAT_AREA) > stats.at<int>(best, cv::CC_STAT_AREA))) {
      best = k;
    }
  }
  cv::Mat part = labels == best;
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(part, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  cv::Mat filled = cv::Mat::zeros(part.size(), CV_8U);
  cv::drawContours(filled, contours, -1, cv::Scalar(255), cv::FILLED);
  return filled;
}

// A tracker gives every pixel to at most one object. Pixels still claimed
// by two objects go to the one whose previous mask is nearer, on a tie to
// the one whose centroid is nearer.
void make_disjoint(const std::vector<Work>& works, std::vector<ObjectMask>& out) {
  const std::size_t n = out.size();
  std::vector<cv::Rect> rects(n);
  std::vector<cv::Point2d> centre(n);
  for (std::size_t i = 0; i < n; ++i) {
    rects[i] = cv::boundingRect(out[i].mask);
    cv::Moments mo = cv::moments(out[i].mask, true);
    centre[i] =
        mo.m00 > 0 ? cv::Point2d(mo.m10 / mo.m00, mo.m01 / mo.m00) : cv::Point2d(-1e9, -1e9);
  }
  auto dist_of = [&](std::size_t i, int x, int y) {
    const Work& w = works[i];
    if (w.empty || !w.box.contains(cv::Point(x, y))) return 1e30f;
    return w.dist.at<float>(y - w.box.y, x - w.box.x);
  };
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      const cv::Rect both = rects[i] & rects[j];
      if (both.area() == 0) continue;
      for (int y = both.y; y < both.y + both.height; ++y) {
        std::uint8_t* a = out[i].mask.ptr<std::uint8_t>(y);
        std::uint8_t* b = out[j].mask.ptr<std::uint8_t>(y);
        for (int x = both.x; x < both.x + both.width; ++x) {
          if (!a[x] || !b[x]) continue;
          float da = dist_of(i, x, y), db = dist_of(j, x, y);
          bool keep_a = da < db;
          if (da == db) {
            double ca = std::hypot(x - centre[i].x, y - centre[i].y);
            double cb = std::hypot(x - centre[j].x, y - centre[j].y);
            keep_a = ca <= cb;
          }
          if (keep_a) {
            b[x] = 0;
          } else {
            a[x] = 0;
          }
        }
      }
    }
  }
}

}  // namespace

std::vector<ObjectMask> propagate_step(const cv::Mat& bgr, const std::vector<ObjectMask>& previous,
                                       const PropagationParams& p) {
  if (bgr.type() != CV_8UC3) throw ValueError("propagation: frames must be 8-bit BGR images");
  for (const ObjectMask& om : previous) {
    if (om.mask.type() != CV_8UC1 || om.mask.size() != bgr.size()) {
      throw ValueError("propagation: the mask of object " + std::to_string(om.id) + " is " +
                       std::to_string(om.mask.cols) + " x " + std::to_string(om.mask.rows) +
                       " but the frame is " + std::to_string(bgr.cols) + " x " +
                       std::to_string(bgr.rows));
    }
  }
  cv::Mat grey;
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  const std::size_t n = previous.size();
  std::vector<Work> works(n);
  parallel_for(n, [&](std::size_t i) { prepare(bgr, grey, previous[i].mask, p, works[i]); });
  std::vector<cv::Mat> drops(n);
  parallel_for(n, [&](std::size_t i) {
    if (!works[i].empty) resolve(works, i, drops[i]);
  });
  std::vector<ObjectMask> out(n);
  parallel_for(n, [&](std::size_t i) {
    out[i].id = previous[i].id;
    Work& w = works[i];
    if (w.empty) {
      out[i].mask = cv::Mat::zeros(bgr.size(), CV_8U);
      return;
    }
    w.cand.setTo(0, drops[i]);
    cv::Mat part = main_part(w.cand, w.prev);
    const std::int64_t area = part.empty() ? 0 : cv::countNonZero(part);
    if (area < p.min_keep * static_cast<double>(w.prev_area)) {
      out[i].mask = previous[i].mask.clone();  // briefly lost: hold the last mask
      return;
    }
    out[i].mask = cv::Mat::zeros(bgr.size(), CV_8U);
    cv::Mat dst = out[i].mask(w.box);
    dst.setTo(1, part);
  });
  make_disjoint(works, out);
  return out;
}

namespace {

cv::Mat read_frame(const std::string& path) {
  return read_image_file(
      path, ImageLayout::kBgr,
      {"frame image not found: " + path, "frame image could not be read: " + path});
}

}  // namespace

void propagate_masks(const std::vector<std::string>& frame_paths, std::size_t start,
                     const std::vector<ObjectMask>& seeds, const PropagationParams& p,
                     const SegmentsSink& sink, std::size_t max_frames) {
  if (start >= frame_paths.size()) {
    throw IndexError("propagation: start frame " + std::to_string(start) + " is outside the " +
                     std::to_string(frame_paths.size()) + " frames");
  }
  std::size_t end = frame_paths.size();
  if (max_frames > 0) end = std::min(end, start + max_frames);
  std::vector<ObjectMask> current;
  for (const ObjectMask& s : seeds) current.push_back({s.id, (s.mask != 0) / 255});
  sink(start, current);
  if (start + 1 >= end) return;
  // The next frame is read while this one is tracked, unless the library is
  // held to one thread.
  const auto policy = worker_threads() >= 2 ? std::launch::async : std::launch::deferred;
  std::future<cv::Mat> next =
      std::async(policy, [&] { return read_frame(frame_paths[start + 1]); });
  for (std::size_t f = start + 1; f < end; ++f) {
    cv::Mat frame = next.get();
    if (f + 1 < end) {
      next = std::async(policy, [&, f] { return read_frame(frame_paths[f + 1]); });
    }
    try {
      check_interrupt();
      current = propagate_step(frame, current, p);
    } catch (...) {
      if (next.valid()) next.wait();
      throw;
    }
    sink(f, current);
  }
}

}  // namespace vexo::standins
