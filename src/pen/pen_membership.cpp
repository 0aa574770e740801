#include "pen/pen_membership.h"

#include <geos_c.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <opencv2/imgproc.hpp>

#include "core/errors.h"
#include "core/polygon.h"

namespace vexo::pen {

namespace {

// Keeps the last error message GEOS reported on a context.
void geos_message_r(const char* message, void* userdata) {
  if (userdata && message) *static_cast<std::string*>(userdata) = message;
}

struct GeosContext {
  GEOSContextHandle_t h = nullptr;
  std::string error;
  GeosContext() {
    h = GEOS_init_r();
    if (!h) throw Error("cannot start the geometry engine");
    GEOSContext_setErrorMessageHandler_r(h, geos_message_r, &error);
    GEOSContext_setNoticeMessageHandler_r(h, nullptr, nullptr);
  }
  ~GeosContext() { GEOS_finish_r(h); }
  GeosContext(const GeosContext&) = delete;
  GeosContext& operator=(const GeosContext&) = delete;
};

struct GeomDeleter {
  GEOSContextHandle_t h;
  void operator()(GEOSGeometry* g) const {
    if (g) GEOSGeom_destroy_r(h, g);
  }
};
using GeomPtr = std::unique_ptr<GEOSGeometry, GeomDeleter>;

}  // namespace

struct PenGeometry::Impl {
  GeosContext ctx;
  GeomPtr pen{nullptr, GeomDeleter{nullptr}};
};

PenGeometry::PenGeometry(const std::vector<cv::Point2d>& pts) : impl_(new Impl) {
  try {
    for (const auto& p : pts) {
      if (!std::isfinite(p.x) || !std::isfinite(p.y)) {
        throw ValueError("polygon_points: pen vertices must be finite numbers");
      }
    }
    if (pts.size() < 3) {
      throw ValueError("polygon_points: a pen polygon needs at least 3 vertices, got " +
                       std::to_string(pts.size()));
    }
    GEOSContextHandle_t h = impl_->ctx.h;
    const bool closed = pts.front() == pts.back();
    const unsigned n = static_cast<unsigned>(pts.size() + (closed ? 0 : 1));
    if (n < 4) throw ValueError("polygon_points: a pen polygon needs at least 3 distinct vertices");
    GEOSCoordSequence* seq = GEOSCoordSeq_create_r(h, n, 2);
    if (!seq) throw ValueError("polygon_points: " + impl_->ctx.error);
    for (unsigned i = 0; i < n; ++i) {
      const cv::Point2d& p = pts[i % pts.size()];
      GEOSCoordSeq_setXY_r(h, seq, i, p.x, p.y);
    }
    GEOSGeometry* ring = GEOSGeom_createLinearRing_r(h, seq);  // takes the sequence
    if (!ring) throw ValueError("polygon_points: not a closed outline: " + impl_->ctx.error);
    GEOSGeometry* poly = GEOSGeom_createPolygon_r(h, ring, nullptr, 0);  // takes the ring
    if (!poly) throw ValueError("polygon_points: not a polygon: " + impl_->ctx.error);
    impl_->pen = GeomPtr(poly, GeomDeleter{h});
  } catch (...) {
    delete impl_;
    throw;
  }
}

PenGeometry::~PenGeometry() {
  impl_->pen.reset();
  delete impl_;
}

double PenGeometry::ratio(const RealBox& box) const {
  for (double v : box) {
    if (!std::isfinite(v)) throw ValueError("boxes: box coordinates must be finite numbers");
  }
  GEOSContextHandle_t h = impl_->ctx.h;
  const double x1 = box[0], y1 = box[1], x2 = box[2], y2 = box[3];
  GEOSCoordSequence* seq = GEOSCoordSeq_create_r(h, 5, 2);
  if (!seq) throw ValueError("boxes: " + impl_->ctx.error);
  const double xs[5] = {x1, x2, x2, x1, x1}, ys[5] = {y1, y1, y2, y2, y1};
  for (unsigned i = 0; i < 5; ++i) GEOSCoordSeq_setXY_r(h, seq, i, xs[i], ys[i]);
  GEOSGeometry* ring = GEOSGeom_createLinearRing_r(h, seq);
  if (!ring) throw ValueError("boxes: " + impl_->ctx.error);
  GeomPtr rect(GEOSGeom_createPolygon_r(h, ring, nullptr, 0), GeomDeleter{h});
  if (!rect) throw ValueError("boxes: " + impl_->ctx.error);
  double box_area = 0;
  if (!GEOSArea_r(h, rect.get(), &box_area)) throw ValueError("boxes: " + impl_->ctx.error);
  if (box_area == 0) {
    throw ValueError("boxes: box (" + std::to_string(x1) + ", " + std::to_string(y1) + ", " +
                     std::to_string(x2) + ", " + std::to_string(y2) +
                     ") has zero area, so its pen ratio is a division by zero");
  }
  GeomPtr inter(GEOSIntersection_r(h, impl_->pen.get(), rect.get()), GeomDeleter{h});
  if (!inter) {
    throw ValueError(
        "the pen polygon cannot be intersected with a box (is the outline "
        "self-crossing?): " +
        impl_->ctx.error);
  }
  double inter_area = 0;
  if (!GEOSArea_r(h, inter.get(), &inter_area)) throw ValueError(impl_->ctx.error);
  return inter_area / box_area * 100.0;
}

PenRatios calculate_pen_intersection_ratio(const std::vector<cv::Point2d>& polygon_points,
                                           const std::vector<RealBox>& boxes,
                                           double ratio_threshold) {
  PenRatios out;
  if (boxes.empty()) return out;
  PenGeometry pen(polygon_points);
  out.ratios.reserve(boxes.size());
  out.in_pen.reserve(boxes.size());
  for (const auto& b : boxes) {
    double r = pen.ratio(b);
    out.ratios.push_back(r);
    out.in_pen.push_back(r >= ratio_threshold);
  }
  return out;
}

cv::Mat pen_mask(const std::vector<cv::Point2d>& polygon_points, int rows, int cols) {
  if (rows < 0 || cols < 0) throw ValueError("pen_mask: frame size must not be negative");
  cv::Mat mask = cv::Mat::zeros(rows, cols, CV_8UC1);
  if (rows == 0 || cols == 0 || polygon_points.empty()) return mask;
  std::vector<cv::Point> pts;
  pts.reserve(polygon_points.size());
  for (const auto& p : polygon_points) {
    pts.emplace_back(truncate_coord(p.x, "pen polygon"), truncate_coord(p.y, "pen polygon"));
  }
  std::vector<std::vector<cv::Point>> polys{std::move(pts)};
  cv::fillPoly(mask, polys, cv::Scalar(1));
  return mask;
}

cv::Mat cut_to_pen(const cv::Mat& mask, const cv::Mat& pen) {
  if (mask.type() != CV_8UC1 || pen.type() != CV_8UC1 || mask.size() != pen.size()) {
    throw ValueError("cut_to_pen: the mask and the pen mask must be 8-bit masks of one size");
  }
  cv::Mat out = cv::Mat::zeros(mask.size(), CV_8UC1);
  mask.copyTo(out, pen);
  return out;
}

cv::Mat frame_pen_mask(std::int64_t frame_idx, const std::string& pen_json_path,
                       const std::vector<std::string>& frame_names, int rows, int cols) {
  const auto n = static_cast<std::int64_t>(frame_names.size());
  std::int64_t idx = frame_idx < 0 ? frame_idx + n : frame_idx;
  if (idx < 0 || idx >= n) {
    throw IndexError("frame_idx " + std::to_string(frame_idx) + " is outside frame_names (" +
                     std::to_string(n) + " frames)");
  }
  PenDrawing pen = draw_pen(frame_names[static_cast<std::size_t>(idx)], pen_json_path, false);
  return pen_mask(pen.polygon.points, rows, cols);
}

void cut_slices_to_pen(const void* src, void* dst, std::size_t slices, std::size_t item_size,
                       const cv::Mat& pen) {
  if (pen.type() != CV_8UC1 || !pen.isContinuous()) {
    throw ValueError("cut_slices_to_pen: the pen mask must be a continuous 8-bit mask");
  }
  const std::size_t plane = pen.total();
  const std::uint8_t* p = pen.ptr<std::uint8_t>();
  const auto* s = static_cast<const std::uint8_t*>(src);
  auto* d = static_cast<std::uint8_t*>(dst);
  // Only nonzero items inside the pen are written: the rest of `dst` stays
  // as it is (zero), so its untouched pages are never faulted in.
  for (std::size_t k = 0; k < slices; ++k) {
    if (item_size == 1) {
      for (std::size_t i = 0; i < plane; ++i) {
        if (s[i] && p[i]) d[i] = s[i];
      }
      s += plane;
      d += plane;
      continue;
    }
    for (std::size_t i = 0; i < plane; ++i, s += item_size, d += item_size) {
      if (!p[i]) continue;
      bool zero = true;
      for (std::size_t b = 0; b < item_size && zero; ++b) zero = s[b] == 0;
      if (!zero) std::memcpy(d, s, item_size);
    }
  }
}

cv::Mat get_in_pen_mask(std::int64_t frame_idx, const cv::Mat& test_mask,
                        const std::string& pen_json_path,
                        const std::vector<std::string>& frame_names) {
  return cut_to_pen(test_mask, frame_pen_mask(frame_idx, pen_json_path, frame_names, test_mask.rows,
                                              test_mask.cols));
}

}  // namespace vexo::pen
