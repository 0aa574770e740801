// Rendering of the scene: background with pens and marker, one skin
// texture per animal, shadows and anti-aliased outlines.
#include <opencv2/imgproc.hpp>

#include "core/errors.h"
#include "standins/synth.h"
#include "standins/synth_geometry.h"

namespace vexo::standins {

using namespace detail;

namespace {

struct Sprite {
  cv::Mat bgr;  // CV_32FC3 skin colours over normalised body coordinates
  double u0 = 0, v0 = 0;
};

cv::Mat smooth_noise(cv::RNG& rng, cv::Size size, int cell) {
  cv::Mat small(size.height / cell + 3, size.width / cell + 3, CV_32F);
  rng.fill(small, cv::RNG::NORMAL, 0, 1);
  cv::Mat big;
  cv::resize(small, big, cv::Size(small.cols * cell, small.rows * cell), 0, 0, cv::INTER_CUBIC);
  return big(cv::Rect(cell, cell, size.width, size.height)).clone();
}

// Draws into a soft float mask (0..1) an ellipse in sprite pixels.
void soft_ellipse(cv::Mat& m, cv::Point2d c, cv::Size2d axes, double angle_deg, int blur) {
  cv::Mat e = cv::Mat::zeros(m.size(), CV_32F);
  cv::ellipse(
      e,
      cv::RotatedRect(cv::Point2f(float(c.x), float(c.y)),
                      cv::Size2f(float(2 * axes.width), float(2 * axes.height)), float(angle_deg)),
      cv::Scalar(1), -1, cv::LINE_AA);
  if (blur > 1) cv::GaussianBlur(e, e, cv::Size(blur | 1, blur | 1), 0);
  cv::max(m, e, m);
}

Sprite make_sprite(const AnimalShape& s, int number, std::uint64_t seed) {
  cv::RNG rng(seed * 7919 + s.id * 104729 + 17);
  Sprite sp;
  const double vmax = std::max(s.body_b, s.head_b) + 3;
  sp.u0 = -s.body_a - 3;
  sp.v0 = -vmax;
  const int w = static_cast<int>(std::ceil(s.head_offset + s.head_a + 3 - sp.u0)) + 2;
  const int h = static_cast<int>(std::ceil(2 * vmax)) + 2;
  const cv::Size size(w, h);

  // Skin tone: pink to beige.
  const double r = rng.uniform(222.0, 245.0);
  const double g = r - rng.uniform(38.0, 55.0) + (rng.uniform(0.0, 1.0) < 0.25 ? 12 : 0);
  const double b = g - rng.uniform(8.0, 22.0);
  cv::Mat low = smooth_noise(rng, size, 7);
  cv::Mat fine(size, CV_32F);
  rng.fill(fine, cv::RNG::NORMAL, 0, 1);

  cv::Mat ears = cv::Mat::zeros(size, CV_32F), dirt = cv::Mat::zeros(size, CV_32F);
  cv::Mat spots = cv::Mat::zeros(size, CV_32F), paint = cv::Mat::zeros(size, CV_8U);
  auto to_px = [&](double u, double v) { return cv::Point2d(u - sp.u0, v - sp.v0); };
  for (double side : {-1.0, 1.0}) {
    soft_ellipse(ears, to_px(s.head_offset - 0.35 * s.head_a, side * 0.8 * s.head_b),
                 {0.42 * s.head_a, 0.38 * s.head_b}, side * 20, 3);
  }
  const int n_dirt = rng.uniform(0, 4);
  for (int k = 0; k < n_dirt; ++k) {
    soft_ellipse(dirt, to_px(rng.uniform(-0.8, 0.6) * s.body_a, rng.uniform(-0.7, 0.7) * s.body_b),
                 {rng.uniform(6.0, 18.0), rng.uniform(4.0, 12.0)}, rng.uniform(0.0, 180.0), 9);
  }
  if (rng.uniform(0.0, 1.0) < 0.25) {
    const int n_spots = rng.uniform(1, 4);
    for (int k = 0; k < n_spots; ++k) {
      soft_ellipse(spots,
                   to_px(rng.uniform(-0.8, 0.5) * s.body_a, rng.uniform(-0.6, 0.6) * s.body_b),
                   {rng.uniform(10.0, 24.0), rng.uniform(8.0, 18.0)}, rng.uniform(0.0, 180.0), 5);
    }
  }
  // The pen number painted on the back, reading along the body, and for
  // some animals a stripe across the shoulders.
  const std::string text = std::to_string(number);
  const double scale = 0.85 * s.body_b / 22.0;
  const int thick = std::max(3, static_cast<int>(std::lround(s.body_b / 9)));
  int base = 0;
  cv::Size ts = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, scale, thick, &base);
  cv::Point2d c = to_px(-0.15 * s.body_a, 0);
  cv::putText(paint, text, cv::Point(int(c.x - ts.width / 2.0), int(c.y + ts.height / 2.0)),
              cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(255), thick, cv::LINE_AA);
  if (number % 3 == 0) {
    cv::Point2d a = to_px(0.5 * s.body_a, -0.75 * s.body_b),
                e = to_px(0.5 * s.body_a, 0.75 * s.body_b);
    cv::line(paint, a, e, cv::Scalar(255), thick + 2, cv::LINE_AA);
  }
  cv::GaussianBlur(paint, paint, cv::Size(3, 3), 0);

  sp.bgr.create(size, CV_32FC3);
  for (int y = 0; y < h; ++y) {
    const double v = sp.v0 + y;
    cv::Vec3f* out = sp.bgr.ptr<cv::Vec3f>(y);
    for (int x = 0; x < w; ++x) {
      const double u = sp.u0 + x;
      const double tb = body_t(s, u, v), th = head_t(s, u, v);
      const double sb = std::sqrt(std::max(0.0, 1 - tb)), sh = std::sqrt(std::max(0.0, 1 - th));
      double f = 0.84 + 0.16 * std::max(sb, 0.9 * sh);
      if (tb <= 1) f += 0.035 * std::exp(-std::pow(v / (0.22 * s.body_b), 2));
      f *= 1 + 0.035 * low.at<float>(y, x) + 0.018 * fine.at<float>(y, x);
      double cb = b * f, cg = g * f, cr = r * f;
      const float ear = ears.at<float>(y, x);
      cg *= 1 - 0.14 * ear;
      cb *= 1 - 0.14 * ear;
      if (u > s.head_offset + 0.72 * s.head_a) {
        cg *= 0.9;
        cb *= 0.9;
      }
      const float d = dirt.at<float>(y, x);
      cb *= 1 - 0.28 * d;
      cg *= 1 - 0.22 * d;
      cr *= 1 - 0.18 * d;
      const float sp_ = spots.at<float>(y, x);
      cb = cb * (1 - sp_) + 62 * sp_;
      cg = cg * (1 - sp_) + 58 * sp_;
      cr = cr * (1 - sp_) + 66 * sp_;
      const double p = 0.85 * paint.at<std::uint8_t>(y, x) / 255.0;
      cb = cb * (1 - p) + 72 * p;
      cg = cg * (1 - p) + 42 * p;
      cr = cr * (1 - p) + 38 * p;
      out[x] = cv::Vec3f(float(cb), float(cg), float(cr));
    }
  }
  // Eyes.
  for (double side : {-1.0, 1.0}) {
    cv::circle(sp.bgr, to_px(s.head_offset + 0.3 * s.head_a, side * 0.45 * s.head_b), 2,
               cv::Scalar(50, 45, 48), -1, cv::LINE_AA);
  }
  return sp;
}

cv::Mat make_background(std::uint64_t seed) {
  const SceneLayout& L = scene_layout();
  const cv::Size size(L.width, L.height);
  cv::RNG rng(seed * 31 + 5);
  cv::Mat v = smooth_noise(rng, size, 64) * 7.0f + smooth_noise(rng, size, 16) * 3.0f;
  cv::Mat fine(size, CV_32F);
  rng.fill(fine, cv::RNG::NORMAL, 0, 2.5);
  cv::GaussianBlur(fine, fine, cv::Size(3, 3), 0);
  v += fine;
  v += 94.0f;

  // Pens: slatted dunging area in the lower part; walkway a little lighter.
  cv::Mat inside = cv::Mat::zeros(size, CV_8U);
  for (const auto& pen : L.pen) {
    std::vector<cv::Point> poly;
    for (const cv::Point2d& p : pen) poly.emplace_back(int(p.x), int(p.y));
    cv::fillPoly(inside, std::vector<std::vector<cv::Point>>{poly}, cv::Scalar(1));
  }
  cv::Mat slats = cv::Mat::zeros(size, CV_8U);
  for (int y = 960; y < L.height; y += 26) {
    cv::line(slats, {0, y}, {L.width - 1, y}, cv::Scalar(1), 4);
  }
  cv::Mat dirt = cv::Mat::zeros(size, CV_32F);
  for (int k = 0; k < 40; ++k) {
    cv::Point2f c(float(rng.uniform(150, 2280)), float(rng.uniform(80, 1370)));
    cv::ellipse(
        dirt,
        cv::RotatedRect(c, cv::Size2f(float(rng.uniform(20, 90)), float(rng.uniform(14, 50))),
                        float(rng.uniform(0, 180))),
        cv::Scalar(1), -1, cv::LINE_AA);
  }
  cv::GaussianBlur(dirt, dirt, cv::Size(21, 21), 0);

  cv::Mat bg(size, CV_8UC3);
  const double cx = L.width / 2.0, cy = L.height / 2.0;
  for (int y = 0; y < L.height; ++y) {
    const float* vr = v.ptr<float>(y);
    const float* dr = dirt.ptr<float>(y);
    const std::uint8_t* in = inside.ptr<std::uint8_t>(y);
    const std::uint8_t* sl = slats.ptr<std::uint8_t>(y);
    cv::Vec3b* out = bg.ptr<cv::Vec3b>(y);
    for (int x = 0; x < L.width; ++x) {
      const double rx = (x - cx) / cx, ry = (y - cy) / cy;
      double f = vr[x] * (1 - 0.09 * (rx * rx + ry * ry));
      if (!in[x]) f *= 1.08;
      if (in[x] && sl[x]) f *= 0.55;
      const double d = in[x] ? dr[x] : 0.0;
      f *= 1 - 0.3 * d;
      out[x] = cv::Vec3b(cv::saturate_cast<std::uint8_t>(f * (0.96 - 0.05 * d)),
                         cv::saturate_cast<std::uint8_t>(f * (1.0 - 0.02 * d)),
                         cv::saturate_cast<std::uint8_t>(f * (1.03 + 0.04 * d)));
    }
  }
  // Fences with posts.
  for (const auto& pen : L.pen) {
    std::vector<cv::Point> poly;
    for (const cv::Point2d& p : pen) poly.emplace_back(int(p.x), int(p.y));
    cv::polylines(bg, poly, true, cv::Scalar(46, 48, 52), 14, cv::LINE_AA);
    for (std::size_t k = 0; k < poly.size(); ++k) {
      cv::Point a = poly[k], b = poly[(k + 1) % poly.size()];
      const int n = std::max(1, static_cast<int>(cv::norm(b - a) / 240));
      for (int t = 0; t <= n; ++t) {
        cv::Point q = a + (b - a) * t / n;
        cv::rectangle(bg, q - cv::Point(12, 12), q + cv::Point(12, 12), cv::Scalar(38, 40, 44), -1);
      }
    }
  }
  bg(L.marker).setTo(cv::Scalar(0, 140, 255));
  return bg;
}

}  // namespace

struct SceneRenderer::Impl {
  std::vector<AnimalShape> shapes;
  std::vector<Sprite> sprites;
  cv::Mat background;
};

SceneRenderer::SceneRenderer(const std::vector<AnimalShape>& shapes, std::uint64_t seed)
    : impl_(std::make_unique<Impl>()) {
  impl_->shapes = shapes;
  impl_->background = make_background(seed);
  std::array<int, 2> count{0, 0};
  for (const AnimalShape& s : shapes)
    impl_->sprites.push_back(make_sprite(s, ++count[s.pen], seed));
}

SceneRenderer::~SceneRenderer() = default;

const cv::Mat& SceneRenderer::background() const { return impl_->background; }

cv::Mat SceneRenderer::render(const std::vector<AnimalPose>& poses) const {
  const std::vector<AnimalShape>& shapes = impl_->shapes;
  if (poses.size() != shapes.size()) throw ValueError("render: one pose per animal is needed");
  cv::Mat frame = impl_->background.clone();
  const cv::Rect frame_rect(0, 0, frame.cols, frame.rows);
  // Soft shadows below the animals, darkened once where they overlap.
  cv::Mat shadow = cv::Mat::zeros(frame.size(), CV_8U);
  std::vector<cv::Rect> shadow_rois;
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    AnimalPose p = poses[i];
    p.cx += 5;
    p.cy += 7;
    AnimalShape big = shapes[i];
    big.body_a *= 1.04;
    big.body_b *= 1.06;
    big.head_a *= 1.04;
    big.head_b *= 1.06;
    const cv::Rect roi = bounds_rect(animal_bounds(big, p, 2), frame_rect);
    shadow_rois.push_back(roi);
    const BodyFrame bf(p);
    for (int y = roi.y; y < roi.y + roi.height; ++y) {
      std::uint8_t* row = shadow.ptr<std::uint8_t>(y);
      for (int x = roi.x; x < roi.x + roi.width; ++x) {
        double u, v;
        bf.map(x, y, u, v);
        if (inside_uv(big, u, v)) row[x] = 1;
      }
    }
  }
  for (const cv::Rect& roi : shadow_rois) {
    for (int y = roi.y; y < roi.y + roi.height; ++y) {
      std::uint8_t* row = shadow.ptr<std::uint8_t>(y);
      cv::Vec3b* px = frame.ptr<cv::Vec3b>(y);
      for (int x = roi.x; x < roi.x + roi.width; ++x) {
        if (row[x]) {
          px[x] = cv::Vec3b(std::uint8_t(px[x][0] * 0.74), std::uint8_t(px[x][1] * 0.74),
                            std::uint8_t(px[x][2] * 0.74));
          row[x] = 0;
        }
      }
    }
  }

  // Animals, anti-aliased at the outline: coverage from the first-order
  // distance to each ellipse, so a pixel centre inside the outline is at
  // least half covered.
  for (std::size_t i : draw_order(shapes, poses)) {
    const AnimalShape& s = shapes[i];
    const AnimalPose& p = poses[i];
    const Sprite& sp = impl_->sprites[i];
    const cv::Rect roi = bounds_rect(animal_bounds(s, p, 2), frame_rect);
    const BodyFrame bf(p);
    auto coverage = [](double t, double gu, double gv) {
      const double grad = 2 * std::sqrt(gu * gu + gv * gv);
      if (grad <= 0) return t <= 1 ? 1.0 : 0.0;
      return std::clamp(0.5 - (t - 1) / grad, 0.0, 1.0);
    };
    for (int y = roi.y; y < roi.y + roi.height; ++y) {
      cv::Vec3b* px = frame.ptr<cv::Vec3b>(y);
      for (int x = roi.x; x < roi.x + roi.width; ++x) {
        double u, v;
        bf.map(x, y, u, v);
        const double tb = body_t(s, u, v), th = head_t(s, u, v);
        if (tb > 1.3 && th > 1.6) continue;
        double alpha = 1;
        if (tb > 0.8 && th > 0.8) {  // near the outline
          const double ab = coverage(tb, u / (s.body_a * s.body_a), v / (s.body_b * s.body_b));
          const double ah =
              coverage(th, (u - s.head_offset) / (s.head_a * s.head_a), v / (s.head_b * s.head_b));
          alpha = std::max(ab, ah);
        }
        if (alpha <= 0) continue;
        const double fx = std::clamp(u - sp.u0, 0.0, sp.bgr.cols - 1.001);
        const double fy = std::clamp(v - sp.v0, 0.0, sp.bgr.rows - 1.001);
        const int ix = int(fx), iy = int(fy);
        const double ax = fx - ix, ay = fy - iy;
        const cv::Vec3f* r0 = sp.bgr.ptr<cv::Vec3f>(iy);
        const cv::Vec3f* r1 = sp.bgr.ptr<cv::Vec3f>(iy + 1);
        for (int ch = 0; ch < 3; ++ch) {
          const double c = (r0[ix][ch] * (1 - ax) + r0[ix + 1][ch] * ax) * (1 - ay) +
                           (r1[ix][ch] * (1 - ax) + r1[ix + 1][ch] * ax) * ay;
          px[x][ch] = cv::saturate_cast<std::uint8_t>(alpha * c + (1 - alpha) * px[x][ch]);
        }
      }
    }
  }
  return frame;
}

}  // namespace vexo::standins
