#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "core/errors.h"
#include "core/mask.h"
#include "standins/propagation.h"
#include "standins/synth.h"

using namespace vexo;
using namespace vexo::standins;

namespace {

double iou(const cv::Mat& a, const cv::Mat& b) {
  const double inter = cv::countNonZero(a & b), uni = cv::countNonZero(a | b);
  return uni > 0 ? inter / uni : 0;
}

bool inside_pen(PenSide side, double x, double y, double margin) {
  std::vector<cv::Point2f> pen;
  for (const auto& p : scene_layout().pen[side]) pen.emplace_back(float(p.x), float(p.y));
  return cv::pointPolygonTest(pen, cv::Point2f(float(x), float(y)), true) >= margin;
}

}  // namespace

TEST(SynthScene, CropRegionsAndPenPolygons) {
  const auto right = crop_region_for(kRightPen), left = crop_region_for(kLeftPen);
  EXPECT_EQ(right, (std::array<int, 4>{1150, 0, 2300, 1440}));
  EXPECT_EQ(left, (std::array<int, 4>{120, 0, 1155, 1440}));
  // Each pen lies wholly inside its own crop and outside the other's.
  for (const auto& p : scene_layout().pen[kRightPen]) {
    EXPECT_GT(p.x, right[0] + 100);
    EXPECT_LT(p.x, right[2]);
    EXPECT_GT(p.x, left[2]);
  }
  auto poly = pen_polygon_in(kRightPen, right);
  EXPECT_DOUBLE_EQ(poly[0].x, scene_layout().pen[kRightPen][0].x - 1150);
  // Half-size frames: continuous pixel mapping.
  auto half = pen_polygon_in(kRightPen, right, cv::Size(575, 720));
  EXPECT_NEAR(half[0].x, (poly[0].x + 0.5) / 2 - 0.5, 0.006);
  EXPECT_THROW(pen_polygon_in(kRightPen, {10, 0, 10, 5}), ValueError);
}

TEST(SynthHerd, DeterministicAndPlausibleOverTenMinutes) {
  Herd a(10, 42), b(10, 42), c(10, 43);
  ASSERT_EQ(a.shapes().size(), 20u);
  const double dt = 0.2;
  int lying_frames = 0, contacts = 0;
  double max_step = 0;
  std::vector<AnimalPose> prev = a.poses();
  for (int k = 0; k < 3000; ++k) {
    a.step(dt);
    b.step(dt);
    c.step(dt);
    const auto pa = a.poses();
    const auto pb = b.poses();
    for (std::size_t i = 0; i < pa.size(); ++i) {
      ASSERT_EQ(pa[i].cx, pb[i].cx);
      ASSERT_EQ(pa[i].angle, pb[i].angle);
      const AnimalShape& s = a.shapes()[i];
      // The body centre stays well inside the animal's own pen.
      ASSERT_TRUE(inside_pen(s.pen, pa[i].cx, pa[i].cy, s.body_b)) << "animal " << s.id;
      max_step = std::max(max_step, std::hypot(pa[i].cx - prev[i].cx, pa[i].cy - prev[i].cy));
      lying_frames += pa[i].lying >= 0.99;
      for (std::size_t j = 0; j < i; ++j) {
        const double d = std::hypot(pa[i].cx - pa[j].cx, pa[i].cy - pa[j].cy);
        if (pa[i].lying >= 0.99 && pa[j].lying >= 0.99 &&
            d < (s.body_b + a.shapes()[j].body_b) * 1.3) {
          ++contacts;
        }
      }
    }
    prev = pa;
  }
  EXPECT_NE(a.poses()[0].cx, c.poses()[0].cx);
  // Animals walk at most ~90 px/s, lie a good share of the time and
  // sometimes lie side by side.
  EXPECT_LT(max_step, 90 * dt + 1);
  EXPECT_GT(lying_frames, 3000 * 20 / 10);
  EXPECT_GT(contacts, 50);
  EXPECT_THROW(Herd(0, 1), ValueError);
}

TEST(SynthGroundTruth, RoundTripAndMasksMatchTheRenderer) {
  Herd herd(3, 5);
  SceneRenderer renderer(herd.shapes(), 5);
  GroundTruthClip gt;
  gt.video_name = "clip";
  gt.fps = 10;
  gt.width = 2560;
  gt.height = 1440;
  gt.animals = herd.shapes();
  gt.poses.push_back(herd.poses());
  GroundTruthClip back = GroundTruthClip::parse(gt.to_json());
  ASSERT_EQ(back.animals.size(), 6u);
  EXPECT_EQ(back.poses[0][4].cx, gt.poses[0][4].cx);
  EXPECT_EQ(back.animals[2].body_b, gt.animals[2].body_b);

  cv::Mat frame = renderer.render(gt.poses[0]);
  cv::Mat grey;
  cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
  const auto crop = crop_region_for(kRightPen);
  std::vector<int> ids;
  auto masks = back.masks(0, crop, {}, kRightPen, true, &ids);
  ASSERT_EQ(ids, (std::vector<int>{4, 5, 6}));
  cv::Mat g = grey(cv::Rect(crop[0], crop[1], crop[2] - crop[0], crop[3] - crop[1]));
  for (const cv::Mat& m : masks) {
    ASSERT_EQ(m.size(), g.size());
    ASSERT_GT(cv::countNonZero(m), 5000);
    cv::Mat ring;
    cv::dilate(m, ring, cv::getStructuringElement(cv::MORPH_ELLIPSE, {15, 15}));
    ring -= m;
    // Skin is bright, the floor around it dark.
    EXPECT_GT(cv::mean(g, m)[0], 150);
    EXPECT_LT(cv::mean(g, ring)[0], 125);
  }
  // Scaled masks agree with the full-size ones.
  auto small = back.masks(0, crop, cv::Size(575, 720), kRightPen, true);
  cv::Mat down;
  cv::resize(masks[0] * 255, down, small[0].size(), 0, 0, cv::INTER_AREA);
  EXPECT_GT(iou(down > 127, small[0] != 0), 0.95);
  EXPECT_THROW(back.masks(1, crop, {}, kRightPen, true), IndexError);
  EXPECT_THROW(GroundTruthClip::parse("{\"video_name\": 1}"), ValueError);
}

TEST(SynthGroundTruth, VisibleMasksLeaveOutCoveredParts) {
  GroundTruthClip gt;
  gt.width = 400;
  gt.height = 200;
  AnimalShape s{1, kRightPen, 40, 20, 35, 15, 12};
  AnimalShape t = s;
  t.id = 2;
  gt.animals = {s, t};
  // Animal 1 lies (drawn first), animal 2 stands over its front.
  gt.poses = {{{100, 100, 0, 1.0}, {150, 100, 0, 0.0}}};
  auto amodal = gt.masks(0, {0, 0, 400, 200}, {}, std::nullopt, false);
  auto visible = gt.masks(0, {0, 0, 400, 200}, {}, std::nullopt, true);
  EXPECT_GT(cv::countNonZero(amodal[0] & amodal[1]), 100);
  EXPECT_EQ(cv::countNonZero(visible[0] & visible[1]), 0);
  EXPECT_EQ(cv::countNonZero(visible[1]), cv::countNonZero(amodal[1]));
  EXPECT_LT(cv::countNonZero(visible[0]), cv::countNonZero(amodal[0]));
}

TEST(Propagation, TouchingAnimalsKeepTheirIdsAndLostOnesHold) {
  // Two bright bodies side by side on a dark floor, the right one moving.
  auto scene = [](int shift, cv::Mat* a, cv::Mat* b) {
    cv::Mat f(240, 320, CV_8UC3, cv::Scalar(70, 72, 75));
    cv::Mat ma = cv::Mat::zeros(f.size(), CV_8U), mb = ma.clone();
    cv::ellipse(ma, {100, 120}, {50, 25}, 0, 0, 360, 1, -1);
    cv::ellipse(mb, {100 + 98 + shift, 120}, {50, 25}, 0, 0, 360, 1, -1);
    f.setTo(cv::Scalar(190, 200, 230), ma);
    f.setTo(cv::Scalar(185, 195, 225), mb);
    cv::circle(f, {90, 120}, 6, cv::Scalar(50, 40, 40), -1);  // a dark mark
    *a = ma;
    *b = mb;
    return f;
  };
  cv::Mat a, b;
  scene(0, &a, &b);
  std::vector<ObjectMask> cur{{7, a.clone()}, {3, b.clone()}};
  for (int k = 1; k <= 6; ++k) {
    cv::Mat f = scene(4 * k, &a, &b);
    cur = propagate_step(f, cur);
    ASSERT_EQ(cur.size(), 2u);
    EXPECT_EQ(cur[0].id, 7);
    EXPECT_EQ(cur[1].id, 3);
    EXPECT_GT(iou(cur[0].mask, a), 0.95) << "step " << k;
    EXPECT_GT(iou(cur[1].mask, b), 0.9) << "step " << k;
  }
  // The right animal vanishes: its last mask is held; an empty seed stays empty.
  cv::Mat f = scene(24, &a, &b);
  f.setTo(cv::Scalar(70, 72, 75), b);
  cur.push_back({9, cv::Mat::zeros(f.size(), CV_8U)});
  auto next = propagate_step(f, cur);
  EXPECT_EQ(cv::countNonZero(next[1].mask != cur[1].mask), 0);
  EXPECT_EQ(cv::countNonZero(next[2].mask), 0);
  EXPECT_THROW(propagate_step(f(cv::Rect(0, 0, 100, 100)).clone(), cur), ValueError);
}

TEST(Propagation, ReadsFramesInOrderFromTheStart) {
  std::vector<std::size_t> seen;
  EXPECT_THROW(
      propagate_masks({"/nonexistent/0.jpg", "/nonexistent/1.jpg"}, 0, {}, {},
                      [&](std::size_t f, const std::vector<ObjectMask>&) { seen.push_back(f); }),
      FileNotFound);
  EXPECT_EQ(seen, (std::vector<std::size_t>{0}));  // the seed frame is handed over first
  EXPECT_THROW(propagate_masks({"a"}, 1, {}, {}, [](std::size_t, const auto&) {}), IndexError);
}
