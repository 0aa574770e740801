// Geometry shared by the parts of the synthetic recordings: the posture
// constants, the mapping of image points into an animal's own body frame,
// the analytic inside tests, bounds, and the mapping of full-frame pixels to
// cropped and scaled frames.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <opencv2/core.hpp>

#include "core/errors.h"
#include "standins/synth.h"

namespace vexo::standins::detail {

constexpr double kPi = 3.14159265358979323846;

// Posture: lying animals are wider and a little shorter.
constexpr double kLyingShorten = 0.05;
constexpr double kLyingWiden = 0.20;

inline double round_to(double v, double step) { return std::round(v / step) * step; }

inline double wrap_angle(double a) {
  a = std::fmod(a + kPi, 2 * kPi);
  if (a < 0) a += 2 * kPi;
  return a - kPi;
}

struct CropMap {
  double x1, y1, sx, sy;
  int out_w, out_h;
};

inline CropMap crop_map(const std::array<int, 4>& crop, cv::Size out_size) {
  const int cw = crop[2] - crop[0], ch = crop[3] - crop[1];
  if (cw <= 0 || ch <= 0) throw ValueError("crop region is empty");
  CropMap m{double(crop[0]), double(crop[1]), 1.0, 1.0, cw, ch};
  if (out_size.width > 0 && out_size.height > 0) {
    m.out_w = out_size.width;
    m.out_h = out_size.height;
    m.sx = double(cw) / out_size.width;
    m.sy = double(ch) / out_size.height;
  } else if (out_size.width != 0 || out_size.height != 0) {
    throw ValueError("output size must be positive");
  }
  return m;
}

// Maps image points to normalised body coordinates: along the body axis (u)
// and across it (v), with the posture's widening undone.
struct BodyFrame {
  double cx, cy, c, s, inv_su, inv_sv;
  explicit BodyFrame(const AnimalPose& p)
      : cx(p.cx),
        cy(p.cy),
        c(std::cos(p.angle)),
        s(std::sin(p.angle)),
        inv_su(1 / (1 - kLyingShorten * p.lying)),
        inv_sv(1 / (1 + kLyingWiden * p.lying)) {}
  void map(double x, double y, double& u, double& v) const {
    const double dx = x - cx, dy = y - cy;
    u = (dx * c + dy * s) * inv_su;
    v = (-dx * s + dy * c) * inv_sv;
  }
};

inline double body_t(const AnimalShape& s, double u, double v) {
  const double a = u / s.body_a, b = v / s.body_b;
  return a * a + b * b;
}
inline double head_t(const AnimalShape& s, double u, double v) {
  const double a = (u - s.head_offset) / s.head_a, b = v / s.head_b;
  return a * a + b * b;
}
inline bool inside_uv(const AnimalShape& s, double u, double v) {
  return body_t(s, u, v) <= 1.0 || head_t(s, u, v) <= 1.0;
}

// Image-axis bounds (x1, y1, x2, y2) of the animal, grown by `pad` pixels.
inline std::array<double, 4> animal_bounds(const AnimalShape& s, const AnimalPose& p, double pad) {
  const double su = 1 - kLyingShorten * p.lying, sv = 1 + kLyingWiden * p.lying;
  const double u1 = -s.body_a * su, u2 = (s.head_offset + s.head_a) * su;
  const double vv = std::max(s.body_b, s.head_b) * sv;
  const double c = std::cos(p.angle), sn = std::sin(p.angle);
  double x1 = 1e300, y1 = 1e300, x2 = -1e300, y2 = -1e300;
  for (double u : {u1, u2}) {
    for (double v : {-vv, vv}) {
      const double x = p.cx + u * c - v * sn, y = p.cy + u * sn + v * c;
      x1 = std::min(x1, x);
      x2 = std::max(x2, x);
      y1 = std::min(y1, y);
      y2 = std::max(y2, y);
    }
  }
  return {x1 - pad, y1 - pad, x2 + pad, y2 + pad};
}

inline cv::Rect bounds_rect(const std::array<double, 4>& b, const cv::Rect& clip) {
  const int x1 = static_cast<int>(std::floor(b[0])), y1 = static_cast<int>(std::floor(b[1]));
  const int x2 = static_cast<int>(std::ceil(b[2])), y2 = static_cast<int>(std::ceil(b[3]));
  return cv::Rect(x1, y1, x2 - x1 + 1, y2 - y1 + 1) & clip;
}

}  // namespace vexo::standins::detail
