#include "visual/canvas.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/errors.h"
#include "core/fsutil.h"
#include "core/image_io.h"
#include "core/mask.h"

namespace vexo::visual {

namespace {

// A pixel centre this close to the outline counts as lying on it. Vertices
// often come from normalised coordinates written with 6 decimals, so their
// pixel positions are off by up to about 1e-3 of a pixel.
constexpr double kEdgeEps = 1.0 / 256;
// Coordinates are clamped to this range before conversion to int, far beyond
// any image but safe from overflow.
constexpr double kCoordLimit = 1 << 30;

void require_canvas(const cv::Mat& canvas, const char* what) {
  if (canvas.depth() != CV_8U || (canvas.channels() != 3 && canvas.channels() != 4)) {
    throw ValueError(std::string(what) + ": the canvas must be an 8-bit RGB or RGBA image");
  }
}

void require_finite(double v, const char* what) {
  if (!std::isfinite(v)) throw ValueError(std::string(what) + ": coordinate is not finite");
}

int clamp_trunc(double v) {
  return static_cast<int>(std::trunc(std::clamp(v, -kCoordLimit, kCoordLimit)));
}

// Sets pixels x0..x1 (inclusive, clipped) of row y.
void fill_span(cv::Mat& canvas, int y, int x0, int x1, Rgba c) {
  if (y < 0 || y >= canvas.rows) return;
  x0 = std::max(x0, 0);
  x1 = std::min(x1, canvas.cols - 1);
  if (x0 > x1) return;
  std::uint8_t* row = canvas.ptr<std::uint8_t>(y);
  if (canvas.channels() == 4) {
    std::uint8_t px[4] = {c.r, c.g, c.b, c.a};
    for (int x = x0; x <= x1; ++x) std::copy(px, px + 4, row + 4 * x);
  } else {
    for (int x = x0; x <= x1; ++x) {
      row[3 * x] = c.r;
      row[3 * x + 1] = c.g;
      row[3 * x + 2] = c.b;
    }
  }
}

// Sets the pixels whose centres lie in the real interval [xa, xb] of row y.
void fill_real_span(cv::Mat& canvas, int y, double xa, double xb, Rgba c) {
  if (xa > xb) std::swap(xa, xb);
  double lo = std::ceil(xa - kEdgeEps), hi = std::floor(xb + kEdgeEps);
  if (hi < 0 || lo > canvas.cols - 1) return;
  fill_span(canvas, y, static_cast<int>(std::max(lo, 0.0)),
            static_cast<int>(std::min(hi, static_cast<double>(canvas.cols - 1))), c);
}

void fill_disc(cv::Mat& canvas, cv::Point2d centre, double radius, Rgba c) {
  const double top = std::ceil(centre.y - radius - kEdgeEps);
  const double bottom = std::floor(centre.y + radius + kEdgeEps);
  if (!(bottom >= 0 && top <= canvas.rows - 1)) return;  // wholly above or below the canvas
  int y0 = static_cast<int>(std::max(top, 0.0));
  int y1 = static_cast<int>(std::min(bottom, static_cast<double>(canvas.rows - 1)));
  for (int y = y0; y <= y1; ++y) {
    double dy = y - centre.y;
    double h = radius * radius - dy * dy;
    if (h < -kEdgeEps) continue;
    double dx = std::sqrt(std::max(h, 0.0));
    fill_real_span(canvas, y, centre.x - dx, centre.x + dx, c);
  }
}

}  // namespace

cv::Mat new_canvas(int rows, int cols, Rgba fill) {
  if (rows < 0 || cols < 0) throw ValueError("canvas size must not be negative");
  return cv::Mat(rows, cols, CV_8UC4, cv::Scalar(fill.r, fill.g, fill.b, fill.a));
}

cv::Mat to_rgba(const cv::Mat& image) {
  if (image.depth() != CV_8U) throw ValueError("image must hold 8-bit values");
  cv::Mat out;
  switch (image.channels()) {
    case 1:
      cv::cvtColor(image, out, cv::COLOR_GRAY2RGBA);
      break;
    case 3:
      cv::cvtColor(image, out, cv::COLOR_RGB2RGBA);
      break;
    case 4:
      out = image.clone();
      break;
    default:
      throw ValueError("image must be grey, RGB or RGBA");
  }
  return out;
}

cv::Mat to_rgb(const cv::Mat& image) {
  if (image.depth() != CV_8U) throw ValueError("image must hold 8-bit values");
  cv::Mat out;
  switch (image.channels()) {
    case 1:
      cv::cvtColor(image, out, cv::COLOR_GRAY2RGB);
      break;
    case 3:
      out = image.clone();
      break;
    case 4:
      cv::cvtColor(image, out, cv::COLOR_RGBA2RGB);
      break;
    default:
      throw ValueError("image must be grey, RGB or RGBA");
  }
  return out;
}

void set_pixels(cv::Mat& canvas, const cv::Mat& mask, Rgba colour) {
  require_canvas(canvas, "set_pixels");
  if (mask.type() != CV_8UC1 || mask.size() != canvas.size()) {
    throw ValueError("set_pixels: the mask must be 8-bit and of the canvas's size");
  }
  Box b = mask_box(mask);
  if (b.empty()) return;
  const int ch = canvas.channels();
  const std::uint8_t px[4] = {colour.r, colour.g, colour.b, colour.a};
  for (int y = b.y1; y <= b.y2; ++y) {
    const std::uint8_t* m = mask.ptr<std::uint8_t>(y);
    std::uint8_t* row = canvas.ptr<std::uint8_t>(y);
    for (int x = b.x1; x <= b.x2; ++x) {
      if (m[x]) std::copy(px, px + ch, row + ch * x);
    }
  }
}

void fill_polygon(cv::Mat& canvas, const std::vector<cv::Point2d>& v, Rgba colour) {
  require_canvas(canvas, "fill_polygon");
  if (v.empty() || canvas.empty()) return;
  double ymin = v[0].y, ymax = v[0].y;
  for (const auto& p : v) {
    require_finite(p.x, "fill_polygon");
    require_finite(p.y, "fill_polygon");
    ymin = std::min(ymin, p.y);
    ymax = std::max(ymax, p.y);
  }
  const double top = std::ceil(ymin - kEdgeEps), bottom = std::floor(ymax + kEdgeEps);
  if (!(bottom >= 0 && top <= canvas.rows - 1)) return;  // wholly above or below the canvas
  int r0 = static_cast<int>(std::max(top, 0.0));
  int r1 = static_cast<int>(std::min(bottom, static_cast<double>(canvas.rows - 1)));
  const std::size_t n = v.size();
  std::vector<double> xs;
  for (int y = r0; y <= r1; ++y) {
    xs.clear();
    const double fy = y;
    for (std::size_t i = 0; i < n; ++i) {
      const cv::Point2d& a = v[i];
      const cv::Point2d& b = v[(i + 1) % n];
      if (a.y == b.y) {
        // Horizontal edge: part of the outline only on its own row.
        if (std::abs(a.y - fy) <= kEdgeEps) fill_real_span(canvas, y, a.x, b.x, colour);
        continue;
      }
      double lo = std::min(a.y, b.y), hi = std::max(a.y, b.y);
      if (fy < lo - kEdgeEps || fy > hi + kEdgeEps) continue;
      double t = std::clamp((fy - a.y) / (b.y - a.y), 0.0, 1.0);
      double x = a.x + t * (b.x - a.x);
      // The outline point itself belongs to the shape.
      fill_real_span(canvas, y, x, x, colour);
      // Interior crossings count each edge on the half-open range [lo, hi).
      if (fy >= lo && fy < hi) xs.push_back(x);
    }
    std::sort(xs.begin(), xs.end());
    for (std::size_t k = 0; k + 1 < xs.size(); k += 2) {
      fill_real_span(canvas, y, xs[k], xs[k + 1], colour);
    }
  }
}

void fill_rectangle(cv::Mat& canvas, double x1, double y1, double x2, double y2, Rgba colour) {
  require_canvas(canvas, "fill_rectangle");
  for (double v : {x1, y1, x2, y2}) require_finite(v, "fill_rectangle");
  int ix1 = clamp_trunc(x1), iy1 = clamp_trunc(y1), ix2 = clamp_trunc(x2), iy2 = clamp_trunc(y2);
  if (ix1 > ix2) std::swap(ix1, ix2);
  if (iy1 > iy2) std::swap(iy1, iy2);
  iy1 = std::max(iy1, 0);
  iy2 = std::min(iy2, canvas.rows - 1);
  for (int y = iy1; y <= iy2; ++y) fill_span(canvas, y, ix1, ix2, colour);
}

void draw_rectangle(cv::Mat& canvas, double x1, double y1, double x2, double y2, Rgba colour,
                    int width) {
  require_canvas(canvas, "draw_rectangle");
  for (double v : {x1, y1, x2, y2}) require_finite(v, "draw_rectangle");
  if (width < 1) return;
  int ix1 = clamp_trunc(x1), iy1 = clamp_trunc(y1), ix2 = clamp_trunc(x2), iy2 = clamp_trunc(y2);
  if (ix1 > ix2) std::swap(ix1, ix2);
  if (iy1 > iy2) std::swap(iy1, iy2);
  const int w = std::min(width - 1, 1 << 29);
  // Top and bottom bands, then the left and right bands between them.
  fill_rectangle(canvas, ix1, iy1, ix2, std::min(iy1 + w, iy2), colour);
  fill_rectangle(canvas, ix1, std::max(iy2 - w, iy1), ix2, iy2, colour);
  fill_rectangle(canvas, ix1, iy1, std::min(ix1 + w, ix2), iy2, colour);
  fill_rectangle(canvas, std::max(ix2 - w, ix1), iy1, ix2, iy2, colour);
}

void draw_polyline(cv::Mat& canvas, const std::vector<cv::Point2d>& points, Rgba colour, int width,
                   bool round_joints) {
  require_canvas(canvas, "draw_polyline");
  for (const auto& p : points) {
    require_finite(p.x, "draw_polyline");
    require_finite(p.y, "draw_polyline");
  }
  if (width < 1 || points.size() < 2) return;
  const double half = width / 2.0;
  for (std::size_t i = 0; i + 1 < points.size(); ++i) {
    cv::Point2d a = points[i], b = points[i + 1];
    cv::Point2d d = b - a;
    double len = std::hypot(d.x, d.y);
    if (len == 0) continue;
    cv::Point2d n(-d.y / len * half, d.x / len * half);
    fill_polygon(canvas, {a + n, b + n, b - n, a - n}, colour);
  }
  if (round_joints) {
    for (std::size_t i = 1; i + 1 < points.size(); ++i) fill_disc(canvas, points[i], half, colour);
  }
}

namespace {

// One pixel of "src over dst", channels rounded to nearest; src alpha is
// strictly between 0 and 255. Each colour channel depends only on its own
// values and the two alphas.
inline void over_pixel(std::uint8_t* d, const std::uint8_t* s) {
  const std::uint32_t sa = s[3], da = d[3];
  // Alpha scaled by 255: sa + da (1 - sa).
  const std::uint32_t out_a255 = sa * 255 + da * (255 - sa);
  const std::uint32_t wd = da * (255 - sa);
  for (int k = 0; k < 3; ++k) {
    std::uint32_t num = s[k] * sa * 255 + d[k] * wd;
    d[k] = static_cast<std::uint8_t>((2 * num + out_a255) / (2 * out_a255));
  }
  d[3] = static_cast<std::uint8_t>((2 * out_a255 + 255) / 510);
}

}  // namespace

void alpha_composite(cv::Mat& dst, const cv::Mat& src) {
  if (dst.type() != CV_8UC4 || src.type() != CV_8UC4 || dst.size() != src.size()) {
    throw ValueError("alpha_composite: both images must be RGBA of one size");
  }
  for (int y = 0; y < dst.rows; ++y) {
    const std::uint8_t* s = src.ptr<std::uint8_t>(y);
    std::uint8_t* d = dst.ptr<std::uint8_t>(y);
    for (int x = 0; x < dst.cols; ++x, s += 4, d += 4) {
      if (s[3] == 0) continue;
      if (s[3] == 255) {
        std::copy(s, s + 4, d);
        continue;
      }
      over_pixel(d, s);
    }
  }
}

void composite_mask(cv::Mat& dst, const cv::Mat& mask, const Box& box, Rgba colour,
                    cv::Mat& taken) {
  if (dst.type() != CV_8UC4 || mask.type() != CV_8UC1 || taken.type() != CV_8UC1 ||
      mask.size() != dst.size() || taken.size() != dst.size()) {
    throw ValueError("composite_mask: an RGBA image with 8-bit masks of its size is needed");
  }
  Box b = box_clip(box, dst.rows, dst.cols);
  if (b.empty()) return;
  const std::uint8_t src[4] = {colour.r, colour.g, colour.b, colour.a};
  // Results over opaque pixels (the usual case), per channel value.
  std::uint8_t lut[3][256];
  if (colour.a != 0 && colour.a != 255) {
    for (int v = 0; v < 256; ++v) {
      const auto c = static_cast<std::uint8_t>(v);
      std::uint8_t px[4] = {c, c, c, 255};
      over_pixel(px, src);
      for (int k = 0; k < 3; ++k) lut[k][v] = px[k];
    }
  }
  for (int y = b.y1; y <= b.y2; ++y) {
    const std::uint8_t* m = mask.ptr<std::uint8_t>(y);
    std::uint8_t* t = taken.ptr<std::uint8_t>(y);
    std::uint8_t* d = dst.ptr<std::uint8_t>(y);
    for (int x = b.x1; x <= b.x2; ++x) {
      if (!m[x] || t[x]) continue;
      t[x] = 1;
      std::uint8_t* p = d + 4 * x;
      if (colour.a == 0) continue;  // a transparent tint leaves the pixel as it is
      if (colour.a == 255) {
        std::copy(src, src + 4, p);
      } else if (p[3] == 255) {
        p[0] = lut[0][p[0]];
        p[1] = lut[1][p[1]];
        p[2] = lut[2][p[2]];
      } else {
        over_pixel(p, src);
      }
    }
  }
}

cv::Mat load_image(const std::string& path, int channels) {
  if (channels != 3 && channels != 4) throw ValueError("load_image: channels must be 3 or 4");
  cv::Mat raw = read_image_file(path, ImageLayout::kAsStored);
  if (raw.depth() == CV_16U) {
    raw.convertTo(raw, CV_8U, 1.0 / 257.0);
  } else if (raw.depth() != CV_8U) {
    raw.convertTo(raw, CV_8U);
  }
  cv::Mat out;
  const bool rgba = channels == 4;
  switch (raw.channels()) {
    case 1:
      cv::cvtColor(raw, out, rgba ? cv::COLOR_GRAY2RGBA : cv::COLOR_GRAY2RGB);
      break;
    case 3:
      cv::cvtColor(raw, out, rgba ? cv::COLOR_BGR2RGBA : cv::COLOR_BGR2RGB);
      break;
    case 4:
      cv::cvtColor(raw, out, rgba ? cv::COLOR_BGRA2RGBA : cv::COLOR_BGRA2RGB);
      break;
    default:
      throw IoError("unsupported channel layout in image file '" + path + "'");
  }
  return out;
}

cv::Size image_size(const std::string& path) {
  return probe_image_size(path, ImageLayout::kAsStored);
}

void save_image(const cv::Mat& image, const std::string& path) {
  if (image.depth() != CV_8U) throw ValueError("save_image: image must hold 8-bit values");
  bool known = false;
  try {
    known = cv::haveImageWriter(path);
  } catch (const cv::Exception&) {
    known = false;
  }
  if (!known) throw IoError("unknown image file extension: '" + path + "'");
  cv::Mat bgr;
  switch (image.channels()) {
    case 1:
      bgr = image;
      break;
    case 3:
      cv::cvtColor(image, bgr, cv::COLOR_RGB2BGR);
      break;
    case 4:
      cv::cvtColor(image, bgr, cv::COLOR_RGBA2BGRA);
      break;
    default:
      throw ValueError("save_image: image must be grey, RGB or RGBA");
  }
  // Encoded in memory and written through a temporary file, so an image
  // saved over an existing one never leaves a half-written file.
  const std::size_t dot = path.find_last_of('.');
  const std::string ext = dot == std::string::npos ? std::string() : path.substr(dot);
  std::vector<std::uint8_t> encoded;
  bool ok = false;
  try {
    ok = cv::imencode(ext, bgr, encoded);
  } catch (const cv::Exception& e) {
    throw IoError("cannot write image '" + path + "': " + e.what());
  }
  if (!ok) throw IoError("cannot write image '" + path + "'");
  write_file_atomic(
      path, std::string_view(reinterpret_cast<const char*>(encoded.data()), encoded.size()));
}

}  // namespace vexo::visual
