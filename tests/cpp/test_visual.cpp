#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>
#include <random>

#include "core/errors.h"
#include "visual/canvas.h"
#include "visual/drawing.h"
#include "visual/text.h"

using namespace vexo;
using namespace vexo::visual;

namespace {

int count_colour(const cv::Mat& img, Rgba c) {
  int n = 0;
  for (int y = 0; y < img.rows; ++y) {
    for (int x = 0; x < img.cols; ++x) {
      const auto& p = img.at<cv::Vec4b>(y, x);
      n += p[0] == c.r && p[1] == c.g && p[2] == c.b && p[3] == c.a;
    }
  }
  return n;
}

bool is(const cv::Mat& img, int x, int y, Rgba c) {
  const auto& p = img.at<cv::Vec4b>(y, x);
  return p[0] == c.r && p[1] == c.g && p[2] == c.b && p[3] == c.a;
}

const Rgba kInk{10, 20, 30, 255};

}  // namespace

TEST(Canvas, PolygonFillCoversPixelCentresInsideOrOnTheOutline) {
  cv::Mat c = new_canvas(20, 20, kTransparentWhite);
  fill_polygon(c, {{2, 3}, {12, 3}, {12, 8}, {2, 8}}, kInk);
  EXPECT_EQ(count_colour(c, kInk), 11 * 6);
  EXPECT_TRUE(is(c, 2, 3, kInk) && is(c, 12, 8, kInk));
  EXPECT_FALSE(is(c, 13, 8, kInk) || is(c, 2, 9, kInk));

  // Real-valued vertices: only centres inside count.
  cv::Mat r = new_canvas(20, 20, kTransparentWhite);
  fill_polygon(r, {{2.5, 3.5}, {6.5, 3.5}, {6.5, 5.5}, {2.5, 5.5}}, kInk);
  EXPECT_EQ(count_colour(r, kInk), 4 * 2);
  EXPECT_TRUE(is(r, 3, 4, kInk) && is(r, 6, 5, kInk));
  EXPECT_FALSE(is(r, 2, 4, kInk));
}

TEST(Canvas, PolygonFillAgreesWithPointInPolygonAndClips) {
  std::mt19937 gen(3);
  std::uniform_real_distribution<double> u(-10, 50);
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<cv::Point2d> pts;
    for (int k = 0; k < 6; ++k) pts.emplace_back(u(gen), u(gen));
    cv::Mat c = new_canvas(40, 40, kTransparentWhite);
    fill_polygon(c, pts, kInk);
    std::vector<cv::Point2f> contour(pts.begin(), pts.end());
    for (int y = 0; y < 40; ++y) {
      for (int x = 0; x < 40; ++x) {
        double d = cv::pointPolygonTest(contour, cv::Point2f(x, y), true);
        if (std::abs(d) < 5e-3) continue;  // on the outline (within tolerance)
        // Random outlines may cross themselves: compare with the even-odd
        // parity of a ray cast to the right.
        int crossings = 0;
        for (std::size_t i = 0; i < pts.size(); ++i) {
          auto a = pts[i], b = pts[(i + 1) % pts.size()];
          if ((a.y > y) != (b.y > y)) {
            double xi = a.x + (y - a.y) * (b.x - a.x) / (b.y - a.y);
            crossings += xi > x;
          }
        }
        EXPECT_EQ(is(c, x, y, kInk), crossings % 2 == 1) << trial << " " << x << "," << y;
      }
    }
  }
}

TEST(Canvas, DegeneratePolygonsAndBadCoordinates) {
  cv::Mat c = new_canvas(10, 10, kTransparentWhite);
  fill_polygon(c, {}, kInk);
  fill_polygon(c, {{4, 4}}, kInk);
  EXPECT_EQ(count_colour(c, kInk), 1);
  fill_polygon(c, {{0, 7}, {5, 7}}, kInk);
  EXPECT_EQ(count_colour(c, kInk), 7);
  EXPECT_THROW(fill_polygon(c, {{0, 0}, {NAN, 1}, {3, 3}}, kInk), ValueError);
  fill_polygon(c, {{-1e12, -1e12}, {1e12, -1e12}, {1e12, 1e12}}, kInk);
  EXPECT_GT(count_colour(c, kInk), 40);
}

TEST(Canvas, RectangleOutlineIsDrawnInward) {
  cv::Mat c = new_canvas(30, 30, kTransparentWhite);
  draw_rectangle(c, 5, 6, 20, 15, kInk, 3);
  // Outer box 16 x 10, inner hole 10 x 4.
  EXPECT_EQ(count_colour(c, kInk), 16 * 10 - 10 * 4);
  EXPECT_TRUE(is(c, 5, 6, kInk) && is(c, 7, 8, kInk) && is(c, 20, 15, kInk));
  EXPECT_FALSE(is(c, 8, 9, kInk) || is(c, 4, 6, kInk) || is(c, 21, 15, kInk));
  cv::Mat f = new_canvas(30, 30, kTransparentWhite);
  draw_rectangle(f, 20.9, 15.2, 5, 6, kInk, 50);  // corners swapped, truncated; full
  EXPECT_EQ(count_colour(f, kInk), 16 * 10);
  cv::Mat z = new_canvas(30, 30, kTransparentWhite);
  draw_rectangle(z, 5, 6, 20, 15, kInk, 0);
  EXPECT_EQ(count_colour(z, kInk), 0);
  fill_rectangle(z, -5, -5, 2, 1, kInk);  // clipped
  EXPECT_EQ(count_colour(z, kInk), 3 * 2);
}

TEST(Canvas, PolylineBandsAndRoundJoints) {
  cv::Mat c = new_canvas(40, 40, kTransparentWhite);
  draw_polyline(c, {{5, 10}, {30, 10}}, kInk, 3, true);
  EXPECT_EQ(count_colour(c, kInk), 26 * 3);
  EXPECT_TRUE(is(c, 5, 9, kInk) && is(c, 30, 11, kInk));
  EXPECT_FALSE(is(c, 4, 10, kInk) || is(c, 31, 10, kInk) || is(c, 10, 12, kInk));
  // A right-angle joint is filled by its disc: the outer corner pixel is set.
  cv::Mat j = new_canvas(40, 40, kTransparentWhite);
  draw_polyline(j, {{5, 10}, {30, 10}, {30, 30}}, kInk, 3, true);
  EXPECT_TRUE(is(j, 31, 9, kInk));
  cv::Mat n = new_canvas(40, 40, kTransparentWhite);
  draw_polyline(n, {{5, 10}, {30, 10}, {30, 30}}, kInk, 3, false);
  EXPECT_FALSE(is(n, 31, 9, kInk));
}

TEST(Canvas, AlphaCompositeIsPorterDuffOver) {
  cv::Mat dst(1, 4, CV_8UC4), src(1, 4, CV_8UC4);
  dst.at<cv::Vec4b>(0, 0) = {200, 100, 50, 255};
  src.at<cv::Vec4b>(0, 0) = {0, 255, 10, 128};
  dst.at<cv::Vec4b>(0, 1) = {200, 100, 50, 80};
  src.at<cv::Vec4b>(0, 1) = {0, 255, 10, 128};
  dst.at<cv::Vec4b>(0, 2) = {1, 2, 3, 4};
  src.at<cv::Vec4b>(0, 2) = {9, 9, 9, 0};
  dst.at<cv::Vec4b>(0, 3) = {1, 2, 3, 4};
  src.at<cv::Vec4b>(0, 3) = {9, 8, 7, 255};
  cv::Mat ref = dst.clone();
  alpha_composite(dst, src);
  for (int x = 0; x < 2; ++x) {
    cv::Vec4b s = src.at<cv::Vec4b>(0, x), d = ref.at<cv::Vec4b>(0, x);
    double sa = s[3] / 255.0, da = d[3] / 255.0, oa = sa + da * (1 - sa);
    for (int k = 0; k < 3; ++k) {
      double expect = (s[k] * sa + d[k] * da * (1 - sa)) / oa;
      EXPECT_NEAR(dst.at<cv::Vec4b>(0, x)[k], expect, 0.5 + 1e-9);
    }
    EXPECT_NEAR(dst.at<cv::Vec4b>(0, x)[3], oa * 255, 0.5 + 1e-9);
  }
  EXPECT_EQ(dst.at<cv::Vec4b>(0, 2), cv::Vec4b(1, 2, 3, 4));
  EXPECT_EQ(dst.at<cv::Vec4b>(0, 3), cv::Vec4b(9, 8, 7, 255));
  cv::Mat wrong(2, 4, CV_8UC4);
  EXPECT_THROW(alpha_composite(dst, wrong), ValueError);
}

TEST(Text, LabelFontLoadsAndMeasures) {
  auto f = label_font();
  ASSERT_TRUE(f);
  TextBox b = f->bbox(30, 40, "Box0");
  EXPECT_GE(b.left, 30);
  EXPECT_LE(b.left, 32);
  EXPECT_GT(b.top, 40);
  EXPECT_GE(b.bottom - b.top, 6);
  EXPECT_LE(b.bottom - b.top, 12);
  EXPECT_GT(b.right - b.left, 15);
  // Measuring is position independent and longer text is wider.
  TextBox b2 = f->bbox(0, 0, "Box0");
  EXPECT_EQ(b.right - b.left, b2.right - b2.left);
  EXPECT_EQ(b.top - 40, b2.top);
  EXPECT_GT(f->bbox(0, 0, "Box0123").right, b2.right);
  // Drawing puts ink only inside the measured box.
  cv::Mat c = new_canvas(60, 80, {0, 0, 0, 255});
  f->draw(c, 30, 40, "Box0", kWhite);
  int inked = 0;
  for (int y = 0; y < c.rows; ++y) {
    for (int x = 0; x < c.cols; ++x) {
      if (c.at<cv::Vec4b>(y, x)[0] == 0) continue;
      ++inked;
      EXPECT_TRUE(x >= b.left && x < b.right && y >= b.top && y < b.bottom) << x << "," << y;
    }
  }
  EXPECT_GT(inked, 20);
}

TEST(Text, MissingFontFallsBackToBuiltin) {
  EXPECT_EQ(Font::load("no-such-font-anywhere.ttf", 11), nullptr);
  EXPECT_EQ(Font::load("/nonexistent/arial.ttf", 11), nullptr);
  auto f = Font::load_or_builtin("no-such-font-anywhere.ttf", 11);
  ASSERT_TRUE(f);
  EXPECT_TRUE(f->is_builtin());
  TextBox b = f->bbox(0, 0, "Box 12");
  EXPECT_GT(b.right - b.left, 30);
  EXPECT_GT(b.bottom - b.top, 5);
  cv::Mat c = new_canvas(20, 60, {0, 0, 0, 255});
  f->draw(c, 0, 0, "Box 12\xff", kWhite);  // malformed UTF-8 is drawn, not rejected
  EXPECT_GT(cv::countNonZero(c.reshape(1) > 128), 20);
  EXPECT_EQ(f->bbox(5, 7, "").right, 5);
}

TEST(Drawing, IndexColoursFromMt19937) {
  auto c = generate_random_color();
  EXPECT_EQ(c, (std::array<std::uint8_t, 3>{102, 179, 92}));
  EXPECT_EQ(generate_random_color(42), c);
  EXPECT_NE(generate_random_color(43), c);
}

TEST(Drawing, TintsAndLaterMaskWins) {
  cv::Mat img(10, 10, CV_8UC3, cv::Scalar(200, 200, 200));
  cv::Mat a = cv::Mat::zeros(10, 10, CV_8UC1), b = a.clone();
  a(cv::Rect(0, 0, 6, 6)).setTo(1);
  b(cv::Rect(4, 4, 6, 6)).setTo(1);
  cv::Mat out = draw_masks_on_image(img, {a, b});
  ASSERT_EQ(out.type(), CV_8UC4);
  auto cb = generate_random_color(43);
  cv::Vec4b p = out.at<cv::Vec4b>(5, 5);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(p[k], (cb[k] * 128 + 200 * 127) / 255.0, 0.5);
  EXPECT_EQ(out.at<cv::Vec4b>(9, 0), cv::Vec4b(200, 200, 200, 255));
  EXPECT_THROW(draw_masks_on_image(img, {cv::Mat::zeros(9, 10, CV_8UC1)}), ValueError);
  cv::Mat same = draw_masks_on_image(img, {});
  EXPECT_EQ(cv::countNonZero(same.reshape(1) != 200), 10 * 10);  // only alpha differs
}

TEST(Drawing, BoxAndLabelOfEachEntry) {
  cv::Mat img(60, 80, CV_8UC3, cv::Scalar(0, 0, 0));
  cv::Mat m = cv::Mat::zeros(60, 80, CV_8UC1);
  m(cv::Rect(30, 30, 21, 11)).setTo(1);  // columns 30..50, rows 30..40
  cv::Mat out = img_bbx_drawing(img, {"Box0"}, {m});
  auto c = generate_random_color(42);
  Rgba col{c[0], c[1], c[2], 255};
  EXPECT_TRUE(is(out, 50, 40, col) && is(out, 48, 38, col) && is(out, 30, 40, col));
  EXPECT_FALSE(is(out, 47, 37, col) || is(out, 51, 40, col));
  auto font = label_font();
  TextBox tb = font->bbox(30, 30, "Box0");
  int tw = tb.right - tb.left, th = tb.bottom - tb.top;
  EXPECT_TRUE(is(out, 30, 30 - th - 4, col));
  EXPECT_TRUE(is(out, 30 + tw + 4, 30 - th - 4, col));
  EXPECT_FALSE(is(out, 30 + tw + 5, 30 - th - 4, col) || is(out, 30, 30 - th - 5, col));
  EXPECT_THROW(img_bbx_drawing(img, {"a", "b"}, {m}), ValueError);
}
