#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <opencv2/imgproc.hpp>
#include <random>

#include "core/console.h"
#include "core/errors.h"
#include "core/mask.h"
#include "detection/gdino_filter.h"
#include "detection/initializer.h"
#include "detection/similarity.h"
#include "standins/classical_detector.h"
#include "standins/classical_segmenter.h"
#include "test_support.h"

using namespace vexo;
using vexo::test_support::ConsoleText;
using vexo::test_support::rect_mask;
using namespace vexo::detection;

namespace {

Detections dets(std::vector<BoxXYXY> boxes, std::vector<double> scores,
                std::vector<std::string> labels) {
  Detections d;
  d.boxes = std::move(boxes);
  d.scores = std::move(scores);
  d.labels = std::move(labels);
  return d;
}

struct FakeFrames : FrameSource {
  int rows, cols;
  FakeFrames(int r, int c) : rows(r), cols(c) {}
  FrameImage open(const std::string& path) override {
    FrameImage f;
    f.path = path;
    f.rgb = cv::Mat(rows, cols, CV_8UC3, cv::Scalar(10, 20, 30));
    return f;
  }
};

struct FakeDetector : GroundingDetector {
  std::map<std::string, Detections> by_path;
  std::vector<std::string> prompts;
  std::vector<double> thresholds;
  Detections detect(const FrameImage& f, const std::string& prompt, double thr) override {
    prompts.push_back(prompt);
    thresholds.push_back(thr);
    auto it = by_path.find(f.path);
    return it == by_path.end() ? Detections{} : it->second;
  }
};

// Answers each predict call with one disjoint (or scripted) mask per box.
struct FakeSegmenter : ImageSegmenter {
  int rows, cols;
  int set_images = 0;
  std::vector<std::vector<BoxXYXY>> prompts;
  std::function<MaskStack(const std::vector<BoxXYXY>&)> script;
  FakeSegmenter(int r, int c) : rows(r), cols(c) {}
  void set_image(const cv::Mat&) override { ++set_images; }
  MaskStack predict(const std::vector<BoxXYXY>& boxes) override {
    prompts.push_back(boxes);
    if (script) return script(boxes);
    MaskStack st;
    st.shape = {static_cast<std::int64_t>(boxes.size()), 1, rows, cols};
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      st.planes.push_back(rect_mask(rows, cols, cv::Rect(static_cast<int>(i) * 3, 0, 2, 2)));
    }
    return st;
  }
};

std::string write_pen(const std::string& name) {
  auto path = std::filesystem::temp_directory_path() / name;
  std::ofstream(path)
      << R"({"shapes": [{"points": [[0, 0], [1000, 0], [1000, 1000], [0, 1000]]}]})";
  return path.string();
}

}  // namespace

TEST(DetectionFilter, ReadingOrderAndExactLabels) {
  Detections d = dets({{50, 10, 60, 20}, {5, 30, 9, 40}, {20, 10, 30, 20}, {20, 10, 31, 21}},
                      {0.1, 0.2, 0.3, 0.4}, {"pig", "pigs", "pig", "pig"});
  std::vector<std::size_t> sel = gdino_selection(d, "pig");
  // y_min first, x_min among equals, detector order among full ties; "pigs" is not "pig".
  EXPECT_EQ(sel, (std::vector<std::size_t>{2, 3, 0}));

  Detections plural = dets({{0, 5, 1, 6}, {0, 1, 1, 2}}, {0.5, 0.6}, {"pigs", "a pig"});
  EXPECT_EQ(gdino_selection(plural, "pig"), (std::vector<std::size_t>{1, 0}));
  EXPECT_TRUE(gdino_selection(Detections{}, "pig").empty());

  double nan = std::nan("");
  Detections with_nan = dets({{0, nan, 1, 2}, {0, 3, 1, 4}}, {0.1, 0.2}, {"pig", "pig"});
  EXPECT_EQ(gdino_selection(with_nan, "pig"), (std::vector<std::size_t>{1, 0}));
}

TEST(DetectionFilter, PenAndSizeBoundaries) {
  // Frame of 1080 rows: half height 540. 1500 x 1000 boxes have area 1,500,000 exactly.
  std::vector<cv::Point2d> pen{{-5000, -5000}, {5000, -5000}, {5000, 5000}, {-5000, 5000}};
  Detections d = dets({{0, 539, 1500, 1539},
                       {0, 540, 1500, 1540},
                       {0, 539, 1499, 1539},
                       {0, 600, 2000, 2600},
                       {0, 600, 1999.99, 2600}},
                      {0.9, 0.8, 0.7, 0.6, 0.5}, {"pig", "pig", "pig", "pig", "pig"});
  Detections kept = filter_pen_and_size(d, pen, 1080);
  EXPECT_EQ(kept.scores, (std::vector<double>{0.8, 0.7, 0.5}));

  // Pen ratio at least 40 percent: a 10 x 10 box with 4 columns inside passes, 3.9 does not.
  std::vector<cv::Point2d> small_pen{{0, 0}, {100, 0}, {100, 100}, {0, 100}};
  Detections edge = dets({{96, 0, 106, 10}, {96.1, 0, 106.1, 10}}, {0.5, 0.4}, {"pig", "pig"});
  EXPECT_EQ(filter_pen_and_size(edge, small_pen, 1080).scores, (std::vector<double>{0.5}));
}

TEST(DetectionFilter, OverlapRemovalKeepsTheSurer) {
  const int R = 40, C = 40;
  // Box1 covers 10 percent of Box0's... rows of 10 pixels: mask 0 is 10 x 10, mask 1 shares
  // 9 of its pixels (9 percent of mask 0, above 8); mask 2 is apart.
  cv::Mat m0 = rect_mask(R, C, cv::Rect(0, 0, 10, 10));
  cv::Mat m1 = rect_mask(R, C, cv::Rect(9, 0, 10, 10));
  m1(cv::Rect(9, 9, 1, 1)).setTo(0);  // shares 9 pixels with m0
  cv::Mat m2 = rect_mask(R, C, cv::Rect(30, 30, 5, 5));
  FrameMasks fm = overlap_removal({m0, m1, m2}, {0.5, 0.7, 0.1});
  EXPECT_NEAR(fm.table[0 * 3 + 1], 9.0, 1e-12);
  EXPECT_EQ(fm.kept, (std::vector<std::size_t>{1, 2}));

  // Exactly 8 percent removes nothing: 25 x 4 mask, 8 of its 100 pixels shared.
  cv::Mat a = rect_mask(R, C, cv::Rect(0, 0, 25, 4));
  cv::Mat b = rect_mask(R, C, cv::Rect(0, 20, 30, 20));
  b(cv::Rect(0, 0, 8, 1)).setTo(1);
  FrameMasks eight = overlap_removal({a, b}, {0.5, 0.5});
  EXPECT_DOUBLE_EQ(eight.table[1], 8.0);
  EXPECT_EQ(eight.kept.size(), 2u);

  // Equal confidences overlapping both ways: both go.
  FrameMasks tie = overlap_removal({m0, m0.clone()}, {0.5, 0.5});
  EXPECT_TRUE(tie.kept.empty());
}

TEST(DetectionFilter, PredictionShapes) {
  MaskStack one;
  one.shape = {1, 4, 5};
  one.planes = {cv::Mat::zeros(4, 5, CV_8UC1)};
  bool lead = false;
  EXPECT_EQ(normalise_prediction(one, 1, 4, 5, lead).size(), 1u);
  EXPECT_TRUE(lead);
  EXPECT_THROW(normalise_prediction(one, 2, 4, 5, lead), ValueError);  // one mask, two boxes
  EXPECT_THROW(normalise_prediction(one, 1, 5, 5, lead), ValueError);  // wrong frame size
  MaskStack three;
  three.shape = {3, 4, 5};
  three.planes.assign(3, cv::Mat::zeros(4, 5, CV_8UC1));
  EXPECT_THROW(normalise_prediction(three, 3, 4, 5, lead), ValueError);
  MaskStack multi;
  multi.shape = {2, 3, 4, 5};
  multi.planes.assign(6, cv::Mat::zeros(4, 5, CV_8UC1));
  EXPECT_THROW(normalise_prediction(multi, 2, 4, 5, lead), ValueError);
  MaskStack flat;
  flat.shape = {4, 5};
  flat.planes = {cv::Mat::zeros(4, 5, CV_8UC1)};
  EXPECT_THROW(normalise_prediction(flat, 1, 4, 5, lead), ValueError);
}

TEST(DetectionFilter, MessageLists) {
  EXPECT_EQ(fmt_index_list({0, 2, 5}), "[0 2 5]");
  EXPECT_EQ(fmt_index_list({}), "[]");
  EXPECT_EQ(fmt_score_list({static_cast<float>(0.85), 1.0}, true), "[0.85 1.0]");
  EXPECT_EQ(fmt_score_list({0.1 + 0.2}, false), "[0.30000000000000004]");
}

TEST(MaskStats, AgreesWithTheReferenceScan) {
  std::mt19937 gen(5);
  for (int t = 0; t < 200; ++t) {
    int rows = 1 + static_cast<int>(gen() % 40), cols = 1 + static_cast<int>(gen() % 70);
    cv::Mat m = cv::Mat::zeros(rows, cols, CV_8UC1);
    int k = static_cast<int>(gen() % 6);
    for (int i = 0; i < k; ++i) {
      m.at<std::uint8_t>(static_cast<int>(gen() % rows), static_cast<int>(gen() % cols)) =
          static_cast<std::uint8_t>(1 + gen() % 255);
    }
    if (t % 3 == 0) m(cv::Rect(0, 0, cols / 2 + 1, rows / 2 + 1)).setTo(128);
    // Reference: OpenCV's own count and bounding rectangle of the nonzero pixels.
    Box want;
    if (cv::countNonZero(m) > 0) {
      std::vector<cv::Point> pts;
      cv::findNonZero(m, pts);
      const cv::Rect r = cv::boundingRect(pts);
      want = Box{r.x, r.y, r.x + r.width - 1, r.y + r.height - 1};
    }
    MaskStat a = mask_stat(m);
    ASSERT_EQ(a.area, cv::countNonZero(m)) << t;
    ASSERT_EQ(a.box, want) << t;
    ASSERT_EQ(mask_box(m), want) << t;
    // Views with a row stride larger than the width behave the same.
    cv::Mat big = cv::Mat::zeros(rows + 2, cols + 9, CV_8UC1);
    m.copyTo(big(cv::Rect(3, 1, cols, rows)));
    cv::Mat view = big(cv::Rect(3, 1, cols, rows));
    ASSERT_EQ(mask_stat(view).box, want);
    ASSERT_EQ(mask_box(view), want);
    ASSERT_EQ(mask_area(view), a.area);
  }
}

TEST(Similarity, IouAndCentroids) {
  const int R = 20, C = 30;
  cv::Mat a = rect_mask(R, C, cv::Rect(0, 0, 4, 4));
  cv::Mat b = rect_mask(R, C, cv::Rect(2, 0, 4, 4));  // 8 shared, union 24
  cv::Mat empty = cv::Mat::zeros(R, C, CV_8UC1);
  std::vector<double> iou = masks_iou_scores({a, b, empty}, {a, b});
  ASSERT_EQ(iou.size(), 6u);
  EXPECT_DOUBLE_EQ(iou[0], 16.0 / (16.0 + 1e-06));
  EXPECT_DOUBLE_EQ(iou[1], 8.0 / (24.0 + 1e-06));
  EXPECT_EQ(iou[4], 0.0);
  EXPECT_EQ(masks_iou_scores({empty}, {empty})[0], 0.0);

  // Centroids (1.5, 1.5) and (1.5, 3.5): distance 2.
  std::vector<double> cs = centroid_similarity({a, b, empty}, {a, b});
  const double d = 2.0, top = d + 1.0 + 1e-06;
  EXPECT_DOUBLE_EQ(cs[0], 1.0);
  EXPECT_DOUBLE_EQ(cs[1], 1.0 - d / top);
  EXPECT_NEAR(cs[4], 1e-06 / top, 1e-15);  // empty row: largest distance + 1
  EXPECT_DOUBLE_EQ(cs[5], cs[4]);
  std::vector<double> single = centroid_similarity({a}, {b});
  EXPECT_DOUBLE_EQ(single[0], 1.0 - d / (d + 1e-06));
  EXPECT_TRUE(std::isnan(centroid_similarity({empty}, {a})[0]));
  EXPECT_TRUE(centroid_similarity({}, {a}).empty());
  EXPECT_THROW(masks_iou_scores({a}, {cv::Mat::zeros(5, 5, CV_8UC1)}), ValueError);
}

TEST(Initializer, WalksFramesAndReportsEachOne) {
  ConsoleText con;
  const std::string pen = write_pen("vexo_det_pen_walk.json");
  std::vector<std::string> names;
  for (int i = 0; i < 25; ++i) names.push_back("f" + std::to_string(i));
  FakeFrames frames(100, 120);
  FakeDetector det;
  FakeSegmenter seg(100, 120);
  // Frame 0: nothing; frame 10: three boxes (too many for 2); frame 20: two boxes.
  det.by_path["f10"] =
      dets({{0, 0, 5, 5}, {10, 0, 15, 5}, {20, 0, 25, 5}}, {0.5, 0.6, 0.7}, {"pig", "pig", "pig"});
  det.by_path["f20"] = dets({{20, 0, 25, 5}, {0, 0, 5, 5}}, {0.25, 0.75}, {"pig", "pig"});
  InitializerOptions opt;
  opt.close_set_num = 2;
  opt.custom_pen_json_path = pen;
  InitializerResult res = initializer("D:\\x\\Camera61_1\\f", names, frames, det, seg, opt);
  ASSERT_TRUE(res.found);
  EXPECT_EQ(res.frame_index, 20);
  EXPECT_EQ(det.prompts, (std::vector<std::string>(3, "pig.")));
  EXPECT_EQ(det.thresholds, (std::vector<double>(3, 0.25)));
  // Boxes reach the segmenter in reading order.
  ASSERT_EQ(seg.prompts.size(), 2u);
  EXPECT_EQ(seg.prompts[1][0], (BoxXYXY{0, 0, 5, 5}));
  EXPECT_EQ(res.scores, (std::vector<double>{0.75, 0.25}));
  EXPECT_EQ(res.masks.size(), 2u);
  EXPECT_FALSE(res.leading_axis);
  EXPECT_EQ(res.annotated.type(), CV_8UC4);
  EXPECT_EQ(con.text, "Using pen JSON path: " + pen +
                          "\n"
                          "No boxes found in frame 0. Skipping to next frame.\n"
                          "Boxes will be kept: [0 1 2], totally 3 keys\n"
                          "ann_frame_idx [10] cannot work, too many bbx found..\n\n"
                          "Boxes will be kept: [0 1], totally 2 keys\n"
                          "ann_frame_idx [20] works!!!\n"
                          "[0.75 0.25]\n");
}

TEST(Initializer, NoSurvivorIsTooFewAndLastFrameIsNamed) {
  ConsoleText con;
  const std::string pen = write_pen("vexo_det_pen_none.json");
  std::vector<std::string> names{"a", "b"};
  FakeFrames frames(100, 120);
  FakeDetector det;
  FakeSegmenter seg(100, 120);
  // Frame b: the only box lies outside the pen.
  det.by_path["b"] = dets({{2000, 2000, 2100, 2100}}, {0.9}, {"pig"});
  InitializerOptions opt;
  opt.step = 1;
  opt.custom_pen_json_path = pen;
  InitializerResult res = initializer("dir", names, frames, det, seg, opt);
  EXPECT_FALSE(res.found);
  EXPECT_EQ(seg.set_images, 0);
  EXPECT_TRUE(seg.prompts.empty());
  EXPECT_EQ(con.text, "Using pen JSON path: " + pen +
                          "\n"
                          "No boxes found in frame 0. Skipping to next frame.\n"
                          "ann_frame_idx [1] cannot work, too few bbx found..\n\n"
                          "No frame can work for 10 bbx, potential all stacking \n\n");
}

TEST(Initializer, RemovalRenumbersAndSingleBoxKeepsItsAxis) {
  ConsoleText con;
  const std::string pen = write_pen("vexo_det_pen_rm.json");
  FakeFrames frames(50, 60);
  FakeDetector det;
  det.by_path["a"] =
      dets({{0, 0, 5, 5}, {0, 1, 5, 5}, {0, 2, 5, 5}}, {0.9, 0.1, 0.8}, {"pig", "pig", "pig"});
  FakeSegmenter seg(50, 60);
  seg.script = [](const std::vector<BoxXYXY>&) {
    MaskStack st;
    st.shape = {3, 1, 50, 60};
    st.planes = {rect_mask(50, 60, cv::Rect(0, 0, 4, 4)), rect_mask(50, 60, cv::Rect(1, 1, 4, 4)),
                 rect_mask(50, 60, cv::Rect(20, 20, 4, 4))};
    return st;
  };
  InitializerOptions opt;
  opt.close_set_num = 2;
  opt.custom_pen_json_path = pen;
  InitializerResult res = initializer("dir", {"a"}, frames, det, seg, opt);
  ASSERT_TRUE(res.found);
  EXPECT_EQ(res.scores, (std::vector<double>{0.9, 0.8}));
  EXPECT_EQ(mask_box(res.masks[1]), (Box{20, 20, 23, 23}));  // former third mask is Box1

  // One box answered as 1 x H x W: the entry keeps its leading axis.
  det.by_path["a"] = dets({{0, 0, 5, 5}}, {0.9}, {"pig"});
  seg.script = [](const std::vector<BoxXYXY>&) {
    MaskStack st;
    st.shape = {1, 50, 60};
    st.planes = {rect_mask(50, 60, cv::Rect(0, 0, 4, 4))};
    return st;
  };
  opt.close_set_num = 1;
  res = initializer("dir", {"a"}, frames, det, seg, opt);
  ASSERT_TRUE(res.found);
  EXPECT_TRUE(res.leading_axis);
  EXPECT_EQ(mask_area(res.masks[0]), 16);
}

TEST(Initializer, RejectsBadWalksAndMissingPen) {
  ConsoleText con;
  FakeFrames frames(10, 10);
  FakeDetector det;
  FakeSegmenter seg(10, 10);
  InitializerOptions opt;
  opt.step = 0;
  EXPECT_THROW(initializer("d", {"a"}, frames, det, seg, opt), ValueError);
  opt.step = 1;
  opt.start_index = -1;
  EXPECT_THROW(initializer("d", {"a"}, frames, det, seg, opt), ValueError);
  // Start past the end: only the pen line.
  con.text.clear();
  opt.start_index = 5;
  EXPECT_FALSE(initializer("d", {"a"}, frames, det, seg, opt).found);
  EXPECT_EQ(con.text, "Using pen JSON path: None\n");
  // No pen file known: the first frame with boxes fails.
  opt.start_index = 0;
  det.by_path["a"] = dets({{0, 0, 5, 5}}, {0.9}, {"pig"});
  EXPECT_THROW(initializer("d", {"a"}, frames, det, seg, opt), FileNotFound);
}

TEST(ClassicalStandins, FindAndSegmentBrightBlobs) {
  cv::Mat rgb(300, 400, CV_8UC3, cv::Scalar(55, 55, 55));
  cv::Mat truth0 = cv::Mat::zeros(300, 400, CV_8UC1), truth1 = truth0.clone();
  cv::ellipse(truth0, {100, 100}, {60, 30}, 0, 0, 360, 1, -1);
  cv::ellipse(truth1, {280, 200}, {50, 35}, 30, 0, 360, 1, -1);
  rgb.setTo(cv::Scalar(215, 185, 170), truth0);
  rgb.setTo(cv::Scalar(205, 175, 165), truth1);
  auto blobs = standins::detect_blobs(rgb);
  ASSERT_EQ(blobs.size(), 2u);
  EXPECT_GT(blobs[0].score, 0.5);
  std::vector<cv::Mat> masks;
  standins::segment_boxes(rgb, {blobs[0].box, blobs[1].box}, masks);
  std::vector<double> iou = masks_iou_scores(masks, {truth0, truth1});
  EXPECT_GT(iou[0], 0.9);
  EXPECT_GT(iou[3], 0.9);
  EXPECT_EQ(mask_area(standins::segment_in_box(rgb, {10, 10, 10, 50})), 0);  // empty box
}
