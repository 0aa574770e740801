#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <random>

#include "core/errors.h"
#include "visual/diagnostics.h"

using namespace vexo;
using namespace vexo::visual;

TEST(DiagnosticsDbscan, BorderPointsAndNumberingByFirstAppearance) {
  // eps 10, min_samples 3, on a line:
  //   p0 = 0     border of the left cluster (neighbours p0, p2)
  //   p1 = 100   core of the right cluster (p1, p3, p4)
  //   p2 = 10    core of the left cluster (p0, p2, p5)
  //   p3 = 110, p4 = 95, p5 = 20: border points
  std::vector<cv::Point> pts{{0, 0}, {100, 0}, {10, 0}, {110, 0}, {95, 0}, {20, 0}};
  // The right cluster is seeded first (p1), but the left one holds the
  // first point of the list and is numbered 0.
  EXPECT_EQ(dbscan(pts, 10, 3), (std::vector<int>{0, 1, 0, 1, 1, 0}));

  // A border point (p0 = 0) within reach of two clusters joins the one
  // seeded first: the right one, seeded by p1 = 10 before p2 = -10.
  std::vector<cv::Point> shared{{0, 0}, {10, 0}, {-10, 0}, {20, 0}, {15, 0}, {-20, 0}, {-15, 0}};
  EXPECT_EQ(dbscan(shared, 10, 4), (std::vector<int>{0, 0, 1, 0, 0, 1, 1}));

  EXPECT_EQ(dbscan({{5, 5}}, 1, 2), (std::vector<int>{-1}));
  EXPECT_EQ(dbscan({{5, 5}, {5, 5}}, 0.5, 2), (std::vector<int>{0, 0}));
  EXPECT_TRUE(dbscan({}, 1, 1).empty());
  EXPECT_THROW(dbscan({{0, 0}}, 0, 1), ValueError);
  EXPECT_THROW(dbscan({{0, 0}}, std::nan(""), 1), ValueError);
  EXPECT_THROW(dbscan({{0, 0}}, 1, 0), ValueError);
}

TEST(DiagnosticsDbscan, InclusiveRadiusOnDiagonals) {
  // (3, 4) is exactly 5 away.
  EXPECT_EQ(dbscan({{0, 0}, {3, 4}}, 5, 1), (std::vector<int>{0, 0}));
  EXPECT_EQ(dbscan({{0, 0}, {3, 4}}, 4.999, 1), (std::vector<int>{0, 1}));
}

TEST(DiagnosticsCentroid, BoxCropMatchesWholeFrameTracing) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 40; ++trial) {
    cv::Mat m = cv::Mat::zeros(60, 80, CV_8UC1);
    for (int k = 0; k < 3; ++k) {
      cv::ellipse(m, cv::Point(rng() % 80, rng() % 60), cv::Size(1 + rng() % 15, 1 + rng() % 9),
                  rng() % 180, 0, 360, cv::Scalar(1 + rng() % 255), -1);
    }
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(m, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    std::optional<cv::Point> expected;
    if (!contours.empty()) {
      std::size_t best = 0;
      for (std::size_t i = 1; i < contours.size(); ++i) {
        if (cv::contourArea(contours[i]) > cv::contourArea(contours[best])) best = i;
      }
      cv::Moments mo = cv::moments(contours[best]);
      if (mo.m00 != 0) {
        expected = cv::Point(static_cast<int>(mo.m10 / mo.m00), static_cast<int>(mo.m01 / mo.m00));
      }
    }
    EXPECT_EQ(main_blob_centroid(m), expected) << "trial " << trial;
  }
  EXPECT_FALSE(main_blob_centroid(cv::Mat::zeros(5, 5, CV_8UC1)));
  cv::Mat line = cv::Mat::zeros(5, 5, CV_8UC1);
  line.row(2).setTo(1);  // a contour enclosing no area
  EXPECT_FALSE(main_blob_centroid(line));
}

TEST(DiagnosticsCentroid, GroupsSkipMasksWithoutCentroid) {
  cv::Mat empty = cv::Mat::zeros(20, 200, CV_8UC1);
  cv::Mat a = empty.clone(), b = empty.clone();
  a(cv::Rect(0, 0, 5, 5)).setTo(1);
  b(cv::Rect(150, 0, 5, 5)).setTo(1);
  auto g = cluster_mask_centroids({empty, b, a}, 100, 2);
  ASSERT_EQ(g.size(), 1u);
  EXPECT_EQ(g[0].name, "Noise");
  EXPECT_EQ(g[0].members, (std::vector<std::size_t>{1, 2}));
  EXPECT_THROW(cluster_mask_centroids({empty}, 100, 1), ValueError);
}

TEST(DiagnosticsMotion, MaskedMeanOverNonzeroPixels) {
  cv::Mat mag(4, 4, CV_32FC1);
  for (int i = 0; i < 16; ++i) mag.at<float>(i / 4, i % 4) = static_cast<float>(i);
  cv::Mat m = cv::Mat::zeros(4, 4, CV_8UC1);
  m.at<std::uint8_t>(0, 1) = 1;
  m.at<std::uint8_t>(3, 3) = 200;
  auto r = masked_mean_magnitude(mag, {m, cv::Mat::zeros(4, 4, CV_8UC1)});
  ASSERT_EQ(r.size(), 2u);
  EXPECT_DOUBLE_EQ(*r[0], 8.0);
  EXPECT_FALSE(r[1]);
  EXPECT_THROW(masked_mean_magnitude(mag, {cv::Mat::zeros(3, 4, CV_8UC1)}), ValueError);
  EXPECT_THROW(motion_scores({"a", "b", "c", "d", "e"}, {}), IndexError);
  EXPECT_THROW(motion_scores({"/nonexistent/0.png", "b", "c", "d", "e", "f"}, {}), FileNotFound);
  EXPECT_THROW(flow_magnitude(cv::Mat::zeros(8, 8, CV_8UC1), cv::Mat::zeros(8, 9, CV_8UC1)),
               ValueError);
}

TEST(DiagnosticsIou, ContinuousBoxes) {
  auto iou = [](std::initializer_list<double> a, std::initializer_list<double> b) {
    std::vector<double> va(a), vb(b);
    return box_iou(va.data(), vb.data());
  };
  EXPECT_DOUBLE_EQ(*iou({0, 0, 10, 10}, {5, 5, 15, 15}), 25.0 / 175.0);
  EXPECT_EQ(*iou({0, 0, 10, 10}, {10, 0, 20, 10}), 0.0);
  EXPECT_EQ(*iou({0, 0, 10, 10}, {0, 0, 10, 10}), 1.0);
  EXPECT_FALSE(iou({2, 2, 2, 2}, {2, 2, 2, 2}));
  EXPECT_THROW(iou({0, 0, INFINITY, 1}, {0, 0, 1, 1}), ValueError);
}

TEST(DiagnosticsHeatmap, LabelsAndAnnotations) {
  HeatmapContent c = heatmap_content({0, 0.125, std::nan(""), 99.995}, 2, 2);
  EXPECT_EQ(c.n, 2);
  EXPECT_EQ(c.labels, (std::vector<std::string>{"Mask 0", "Mask 1"}));
  EXPECT_EQ(c.annotations, (std::vector<std::string>{"0.00", "0.12", "", "100.00"}));
  EXPECT_THROW(heatmap_content({0, 0}, 1, 2), ValueError);
  EXPECT_EQ(heatmap_content({}, 0, 0).n, 0);
  EXPECT_TRUE(annotation_on_dark(0.4, 0.0, 0.05));
  EXPECT_FALSE(annotation_on_dark(1.0, 0.96, 0.94));
}
