// Pen polygon file reader and what every caller does with the polygon: the
// exact box ratios, the rasterised pen mask and the drawn outline. Any file
// content must either work or throw a vexo error, never crash, leak or hang.
// The reader takes a path, so each input goes through one temporary file.
#include <geos_c.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "core/errors.h"
#include "pen/pen_file.h"
#include "pen/pen_membership.h"

namespace {

const std::string& temp_path() {
  static const std::string path =
      std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/vexo_fuzz_pen_" +
      std::to_string(::getpid()) + ".json";
  return path;
}

bool write_temp(const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(temp_path().c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

// Whether the outline is a valid (simple) polygon. A self-crossing outline
// gets the geometry library's overlay answer, which need not be a share of
// the box (a vertex 6e11 px away gave 107.8); only valid pens are held to
// the 0..100 range.
bool valid_outline(const std::vector<cv::Point2d>& pts) {
  if (pts.size() < 3) return false;
  GEOSContextHandle_t h = GEOS_init_r();
  const bool closed = pts.front() == pts.back();
  const unsigned n = static_cast<unsigned>(pts.size() + (closed ? 0 : 1));
  bool valid = false;
  if (GEOSCoordSequence* seq = GEOSCoordSeq_create_r(h, n, 2)) {
    for (unsigned i = 0; i < n; ++i) {
      GEOSCoordSeq_setXY_r(h, seq, i, pts[i % pts.size()].x, pts[i % pts.size()].y);
    }
    if (GEOSGeometry* ring = GEOSGeom_createLinearRing_r(h, seq)) {
      if (GEOSGeometry* poly = GEOSGeom_createPolygon_r(h, ring, nullptr, 0)) {
        valid = GEOSisValid_r(h, poly) == 1;
        GEOSGeom_destroy_r(h, poly);
      }
    }
  }
  GEOS_finish_r(h);
  return valid;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!write_temp(data, size)) return 0;
  vexo::pen::PenPolygon poly;
  try {
    poly = vexo::pen::read_pen_polygon(temp_path());
  } catch (const vexo::Error&) {
    return 0;
  }
  if (poly.points.size() != poly.integral.size()) __builtin_trap();
  const std::vector<vexo::pen::RealBox> boxes = {
      {0, 0, 32, 24}, {10.5, 3.25, 60, 47}, {-5, -5, 5, 5}};
  try {
    vexo::pen::PenRatios r = vexo::pen::calculate_pen_intersection_ratio(poly.points, boxes, 40);
    const bool valid = !r.ratios.empty() && valid_outline(poly.points);
    for (double v : valid ? r.ratios : std::vector<double>{}) {
      // A share of a box's area: 0..100 up to rounding, whatever the polygon.
      if (!(v >= -1e-6 && v <= 100 + 1e-6)) __builtin_trap();
    }
  } catch (const vexo::Error&) {
  }
  try {
    cv::Mat pen = vexo::pen::pen_mask(poly.points, 48, 64);
    if (pen.rows != 48 || pen.cols != 64 || pen.type() != CV_8UC1) __builtin_trap();
  } catch (const vexo::Error&) {
  }
  try {
    cv::Mat canvas(48, 64, CV_8UC3, cv::Scalar(0, 0, 0));
    vexo::pen::draw_pen_outline(canvas, poly.points);
  } catch (const vexo::Error&) {
  }
  return 0;
}
