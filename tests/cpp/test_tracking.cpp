#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <opencv2/imgproc.hpp>
#include <random>

#include "core/errors.h"
#include "test_support.h"
#include "tracking/frame_runs.h"
#include "tracking/pruning.h"
#include "tracking/refine.h"
#include "tracking/report.h"

using namespace vexo;
using vexo::test_support::ConsoleText;
using namespace vexo::tracking;

namespace {

HostNumber num(std::int64_t v) { return HostNumber::integer(v); }

ReportFrame two_box_frame(std::int64_t frame, double ab, double ba) {
  ReportFrame f;
  f.frame = frame;
  f.area_keys = {"Box0", "Box1"};
  f.areas = {num(10), num(12)};
  f.row_keys = f.col_keys = {"Box0", "Box1"};
  f.cells = {0, ab, ba, 0};
  f.row_areas = f.col_areas = {num(10), num(12)};
  return f;
}

std::filesystem::path temp_dir(const char* name) {
  auto d = std::filesystem::temp_directory_path() / name;
  std::filesystem::remove_all(d);
  std::filesystem::create_directories(d);
  return d;
}

}  // namespace

TEST(TrackingReport, RoundsAsTheHost) {
  EXPECT_EQ(round2(256.0 / 3), 85.33);
  EXPECT_EQ(round2(2.675), 2.67);  // the binary value lies below the half
  EXPECT_EQ(round2(0.125), 0.12);  // an exact half goes to even
  EXPECT_EQ(round2(99.999), 100.0);
  EXPECT_TRUE(std::isinf(round2(INFINITY)));
}

TEST(TrackingReport, RowsOrderAndCsv) {
  auto dir = temp_dir("vexo_tracking_report");
  std::vector<ReportFrame> frames{two_box_frame(2, 90, 80), two_box_frame(7, 85.004, 100)};
  frames[0].areas[1] = HostNumber::real(0.0);
  TrackingReport rep = generate_tracking_report(frames, dir.string(), 80);
  ASSERT_EQ(rep.overlap_rows.size(), 3u);
  EXPECT_EQ(rep.overlap_rows[0].pair, "Box0-Box1");
  EXPECT_EQ(rep.overlap_rows[2].pair, "Box1-Box0");
  EXPECT_EQ(rep.last_frame_first_row, 1u);
  EXPECT_EQ(rep.overlap_frames, (std::vector<std::size_t>{0, 1}));
  std::ifstream in(dir / "tracking_question_report.csv");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text,
            "Frame ID,Box Pair,Intersection Value,Mask Area1,Mask Area2,Report type,Box ID,Mask "
            "Areas\n"
            "2,Box0-Box1,90.0,10,12,High overlap mask detected,,\n"
            "7,Box0-Box1,85.0,10,12,High overlap mask detected,,\n"
            "7,Box1-Box0,100.0,12,10,High overlap mask detected,,\n"
            "2,,,,,Zero area detected,Box1,0.0\n");
  std::filesystem::remove_all(dir);
}

TEST(TrackingReport, QuotesAwkwardKeysAndNeedsAreas) {
  TrackingReport rep;
  rep.zero_area_rows.push_back({0, 0, 3, "Box,\"1\"", num(0)});
  EXPECT_NE(tracking_report_csv(rep).find("3,,,,,Zero area detected,\"Box,\"\"1\"\"\",0\n"),
            std::string::npos);
  auto dir = temp_dir("vexo_tracking_report_keys");
  std::vector<ReportFrame> frames{two_box_frame(1, 95, 0)};
  frames[0].col_areas[1].reset();
  EXPECT_THROW(generate_tracking_report(frames, dir.string(), 80), KeyError);
  EXPECT_FALSE(std::filesystem::exists(dir / "tracking_question_report.csv"));
  // Nothing found: no file.
  auto clean = generate_tracking_report({two_box_frame(1, 80, 80)}, dir.string(), 80);
  EXPECT_FALSE(clean.path);
  std::filesystem::remove_all(dir);
}

TEST(FrameRuns, GroupsRunsAndOrder) {
  std::vector<std::int64_t> frames{1, 2, 3, 5, 6, 4, 4, 5, 6, 9};
  std::vector<std::optional<GroupValue>> groups{
      GroupValue("b"), GroupValue("b"), GroupValue("b"), GroupValue("b"), GroupValue("b"),
      GroupValue("a"), GroupValue("a"), GroupValue("a"), GroupValue("a"), std::nullopt};
  auto res = find_continuous_frames(frames, groups, 3);
  ASSERT_EQ(res.size(), 2u);
  EXPECT_EQ(std::get<std::string>(res[0].group), "a");
  EXPECT_EQ(res[0].runs, (std::vector<std::vector<std::int64_t>>{{4, 5, 6}}));
  EXPECT_EQ(res[1].runs, (std::vector<std::vector<std::int64_t>>{{1, 2, 3}}));
  auto all = find_continuous_frames(frames, groups, 1);
  EXPECT_EQ(all[0].runs.size(), 2u);
  EXPECT_EQ(all[1].runs.size(), 2u);
  std::vector<std::optional<GroupValue>> nums{GroupValue(std::int64_t{10}), GroupValue(2.5),
                                              GroupValue(std::int64_t{10})};
  auto n = find_continuous_frames({1, 1, 2}, nums, 1);
  ASSERT_EQ(n.size(), 2u);
  EXPECT_EQ(std::get<double>(n[0].group), 2.5);
  EXPECT_EQ(n[1].runs, (std::vector<std::vector<std::int64_t>>{{1, 2}}));
  std::vector<std::optional<GroupValue>> mixed{GroupValue("a"), GroupValue(1.0)};
  EXPECT_THROW(find_continuous_frames({1, 2}, mixed, 1), TypeError);
}

TEST(Pruning, CountsAfterTheFirstFrameId) {
  std::vector<BoxArea> e{{5, "Box7", 3},   {6, "Box7", 100}, {6, "Box2", 0},
                         {7, "Box2", 100}, {7, "Box7", 101}, {4, "Box9", 0}};
  EXPECT_EQ(boxes_small_in_many_frames(e, 4, 100, 1), (std::vector<std::size_t>{0, 2}));
  EXPECT_EQ(boxes_small_in_many_frames(e, 5, 100, 1), (std::vector<std::size_t>{2}));
  EXPECT_EQ(boxes_small_in_many_frames(e, 3, 100, 0), (std::vector<std::size_t>{0, 2, 5}));
}

namespace {

cv::Mat random_mask(std::mt19937& rng, int rows, int cols, int blobs) {
  cv::Mat m = cv::Mat::zeros(rows, cols, CV_8U);
  for (int k = 0; k < blobs; ++k) {
    cv::Point c(static_cast<int>(rng() % cols), static_cast<int>(rng() % rows));
    cv::Size ax(1 + static_cast<int>(rng() % 15), 1 + static_cast<int>(rng() % 15));
    cv::ellipse(m, c, ax, static_cast<double>(rng() % 180), 0, 360, 1, -1);
  }
  return m;
}

}  // namespace

// Labels, boxes, areas and centroids exactly as OpenCV's 8-connected
// analysis gives them, on random masks of several sizes (large ones are
// labelled by OpenCV in parallel stripes) and on a mask whose first pixel in
// raster order belongs to the component OpenCV numbers second.
TEST(Refine, RunComponentsMatchTheComponentAnalysis) {
  std::mt19937 rng(7);
  std::vector<cv::Mat> cases;
  cv::Mat late = cv::Mat::zeros(4, 6, CV_8U);
  late.at<std::uint8_t>(0, 3) = 1;
  late.at<std::uint8_t>(1, 0) = late.at<std::uint8_t>(1, 1) = 1;
  cases.push_back(late);
  for (int t = 0; t < 30; ++t) cases.push_back(random_mask(rng, 70 + t % 3, 90 + t % 2, 1 + t % 6));
  for (int t = 0; t < 3; ++t) cases.push_back(random_mask(rng, 520, 720, 40));
  for (int t = 0; t < 4; ++t) {  // speckle: many one- and two-pixel components
    cv::Mat m = cv::Mat::zeros(61 + t, 83 + 2 * t, CV_8U);
    for (auto it = m.begin<std::uint8_t>(); it != m.end<std::uint8_t>(); ++it) *it = rng() % 9 == 0;
    cases.push_back(m);
  }
  for (const cv::Mat& m : cases) {
    Components c = frame_components(m);
    cv::Mat labels, stats, cents;
    int n = cv::connectedComponentsWithStats(m, labels, stats, cents, 8, CV_32S);
    ASSERT_EQ(c.num_labels, n);
    ASSERT_EQ(cv::countNonZero(c.labels != labels), 0);
    for (int l = 0; l < n; ++l) {
      EXPECT_EQ(c.area[l], stats.at<int>(l, cv::CC_STAT_AREA));
      EXPECT_EQ(c.box[l].x1, stats.at<int>(l, cv::CC_STAT_LEFT));
      EXPECT_EQ(c.box[l].y1, stats.at<int>(l, cv::CC_STAT_TOP));
      EXPECT_EQ(c.box[l].width(), stats.at<int>(l, cv::CC_STAT_WIDTH));
      EXPECT_EQ(c.box[l].height(), stats.at<int>(l, cv::CC_STAT_HEIGHT));
      EXPECT_EQ(c.centroid[l].x, cents.at<double>(l, 0));  // bit for bit
      EXPECT_EQ(c.centroid[l].y, cents.at<double>(l, 1));
    }
  }
  EXPECT_EQ(frame_components(late).labels.at<int>(1, 0), 1);
}

TEST(Refine, PenCutAndContours) {
  cv::Mat pen = cv::Mat::zeros(20, 30, CV_8U);
  pen(cv::Rect(5, 0, 10, 20)).setTo(1);
  pen(cv::Rect(20, 0, 5, 20)).setTo(1);
  cv::Mat m = cv::Mat::zeros(20, 30, CV_8U);
  m.row(3).setTo(255);
  PixelRuns cut = cut_runs(mask_runs(m), pen_runs(pen));
  ASSERT_EQ(cut.size(), 2u);
  EXPECT_EQ(cut[0].x1, 5);
  EXPECT_EQ(cut[0].x2, 14);
  EXPECT_EQ(cut[1].x1, 20);
  EXPECT_EQ(cut[1].x2, 24);
  cv::Mat a = cv::Mat::zeros(20, 30, CV_8U), b = a.clone();
  a(cv::Rect(0, 0, 5, 5)).setTo(1);
  b(cv::Rect(8, 4, 3, 3)).setTo(1);  // corner (4, 4) to (8, 4)
  EXPECT_EQ(blob_shortest_distance(a, b), 4.0);
  EXPECT_EQ(blob_shortest_distance(a, a), 0.0);
  EXPECT_TRUE(std::isinf(blob_shortest_distance(a, cv::Mat::zeros(20, 30, CV_8U))));
  // The pixels of one mask not in another, against the masks' own difference.
  std::mt19937 rng(5);
  for (int t = 0; t < 20; ++t) {
    cv::Mat a = random_mask(rng, 30, 50, 4), b = random_mask(rng, 30, 50, 4);
    if (t % 2) cv::bitwise_and(a, b, b);  // a subset, as kept pixels are
    cv::Mat diff;
    cv::bitwise_and(a, 1 - b, diff);
    const PixelRuns got = runs_minus(mask_runs(a), mask_runs(b)), want = mask_runs(diff);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t k = 0; k < got.size(); ++k) {
      EXPECT_TRUE(got[k].y == want[k].y && got[k].x1 == want[k].x1 && got[k].x2 == want[k].x2);
    }
  }
}

TEST(Refine, MainBlobTiesAndCandidates) {
  cv::Mat m = cv::Mat::zeros(40, 80, CV_8U);
  m(cv::Rect(0, 0, 4, 4)).setTo(1);   // label 1, 16 pixels
  m(cv::Rect(40, 0, 4, 4)).setTo(1);  // label 2, 16 pixels
  Components c = frame_components(m);
  RefineParams p;
  EXPECT_EQ(choose_main_blob(c, std::nullopt, p).best_idx, 1);  // equal areas: label order
  // Equidistant previous position: the earlier candidate wins.
  EXPECT_EQ(choose_main_blob(c, Centroid{21.5, 1.5}, p).best_idx, 1);
  EXPECT_EQ(choose_main_blob(c, Centroid{30, 1.5}, p).best_idx, 2);
  EXPECT_THROW(choose_main_blob(frame_components(cv::Mat::zeros(5, 5, CV_8U)), std::nullopt, p),
               ValueError);
}

TEST(Refine, SegmentsStopAtTheFirstFailureInMapOrder) {
  auto dir = temp_dir("vexo_tracking_refine");
  std::string pen_file = (dir / "pen.json").string();
  std::ofstream(pen_file) << R"({"shapes": [{"points": [[0, 0], [29, 0], [29, 19], [0, 19]]}]})";
  cv::Mat m = cv::Mat::zeros(20, 30, CV_8U);
  m(cv::Rect(2, 2, 5, 5)).setTo(1);
  cv::Mat empty = cv::Mat::zeros(20, 30, CV_8U);
  // Frame 2 lies outside a two-name frame list; pig 1's mask there is
  // empty, so only pig 0 fails there.
  std::vector<SegmentMask> masks{{0, 0, 0, m},     {0, 0, 1, m}, {1, 1, 0, m}, {1, 1, 1, m},
                                 {2, 2, 1, empty}, {2, 2, 0, m}, {3, 3, 1, m}};
  PenMasks pen(pen_file, "");
  auto out = refine_segments(masks, {std::nullopt, std::nullopt}, 2, pen, RefineParams{});
  EXPECT_EQ(out.done, 5u);
  ASSERT_TRUE(out.error);
  EXPECT_THROW(std::rethrow_exception(out.error), IndexError);
  EXPECT_EQ(out.results[0].kind, RefineResult::Kind::Cleaned);
  EXPECT_EQ(out.results[4].kind, RefineResult::Kind::Unchanged);
  PenMasks none(std::nullopt, "D:\\clips\\Camera63_1");
  auto fail =
      refine_segments({{0, 0, 0, empty}, {1, 1, 0, m}}, {std::nullopt}, 2, none, RefineParams{});
  EXPECT_EQ(fail.done, 1u);
  EXPECT_THROW(std::rethrow_exception(fail.error), FileNotFound);
  std::filesystem::remove_all(dir);
}

// The keeping step over a label image and the rule for a mask of which
// nothing is kept, as both the whole-clip refinement and the single-step
// method apply them.
TEST(Refine, KeepingStepAndFirstFrameRule) {
  std::mt19937 rng(11);
  for (int t = 0; t < 10; ++t) {
    cv::Mat m = random_mask(rng, 40, 60, 2 + t % 4);
    Components c = frame_components(m);
    std::vector<int> kept;
    for (int l = 1; l < c.num_labels; l += 2) kept.push_back(l);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(m.total()), 0);
    const std::int64_t set = kept_label_pixels(c.labels, c.num_labels, kept, out.data());
    std::int64_t want_set = 0;
    for (int y = 0; y < m.rows; ++y) {
      for (int x = 0; x < m.cols; ++x) {
        const int l = c.labels.at<int>(y, x);
        const bool want = l > 0 && l % 2 == 1;
        want_set += want;
        ASSERT_EQ(out[static_cast<std::size_t>(y) * m.cols + x], want ? 1 : 0);
      }
    }
    EXPECT_EQ(set, want_set);
  }
  EXPECT_EQ(rejected_mask_kind(true), RefineResult::Kind::FirstFrame);
  EXPECT_EQ(rejected_mask_kind(false), RefineResult::Kind::Emptied);
  // Everything rejected (the pig jumped beyond max_prev_dist): the first
  // frame keeps the uncut mask and its centroid, later frames lose it.
  cv::Mat pen = cv::Mat::zeros(20, 30, CV_8U);
  pen.colRange(0, 15).setTo(1);
  cv::Mat m = cv::Mat::zeros(20, 30, CV_8U);
  m(cv::Rect(10, 4, 10, 4)).setTo(1);  // half outside the pen
  const Centroid far{500, 500};
  RefineResult first = refine_mask(m, pen, far, true, RefineParams{});
  EXPECT_EQ(first.kind, RefineResult::Kind::FirstFrame);
  EXPECT_EQ(first.runs.size(), 4u);
  EXPECT_EQ(first.runs[0].x2, 19);
  ASSERT_TRUE(first.centroid);
  EXPECT_DOUBLE_EQ(first.centroid->x, 14.5);
  EXPECT_DOUBLE_EQ(first.centroid->y, 5.5);
  RefineResult later = refine_mask(m, pen, far, false, RefineParams{});
  EXPECT_EQ(later.kind, RefineResult::Kind::Emptied);
  EXPECT_FALSE(later.centroid);
  EXPECT_EQ(clean_frame_line("12", "3"), "clean frame12--obj_id3");
  EXPECT_EQ(no_mask_line("12", "3"), "frame 12--obj_id3-- no mask");
}

// ---- overlap episodes ----

#include "core/console.h"
#include "tracking/overlap_frames.h"

namespace {

using Pairs = std::vector<std::optional<std::string>>;

}  // namespace

TEST(OverlapFrames, TwoPairsFollowTheLastKeyForDirection) {
  ConsoleText out;
  // Box1-Box2 from the clip's first frame (judged at its end, frame 3);
  // Box5-Box6 later. The direction is that of the last key: forward, so the
  // window is frames -2 .. 2 of which 0, 1 and 2 remain, beside frame 4.
  std::vector<std::int64_t> frames{0, 1, 2, 3, 10, 11, 12, 13, 20};
  Pairs pairs{"Box1-Box2", "Box1-Box2", "Box1-Box2", "Box1-Box2", "Box5-Box6",
              "Box5-Box6", "Box5-Box6", "Box5-Box6", std::nullopt};
  OverlapPlan plan = plan_overlap_frames(frames, pairs, 2, 40);
  EXPECT_EQ(plan.test_frame, 3);
  EXPECT_FALSE(plan.reverse_track);
  EXPECT_EQ(plan.window, (std::vector<std::int64_t>{0, 1, 2}));
  EXPECT_EQ(plan.compare_frame, 4);
  EXPECT_EQ(plan.test_boxes, (std::vector<std::string>{"Box1", "Box2", "Box5", "Box6"}));
  EXPECT_EQ(out.text,
            "Box pairs with overlap episodes: ['Box1-Box2', 'Box5-Box6']\n"
            "Box Pair: Box1-Box2\n"
            "First frame with a single boxpair: 3\n"
            "First frame with multiple boxpairs: nan\n"
            "reverse_track: True\n"
            "Box Pair: Box5-Box6\n"
            "First frame with a single boxpair: 10\n"
            "First frame with multiple boxpairs: nan\n"
            "reverse_track: False\n");
  // Three-frame runs are too short with two pairs (threshold 2 + 2).
  Pairs short_pairs{"Box1-Box2", "Box1-Box2", "Box1-Box2", "Box5-Box6"};
  EXPECT_THROW(plan_overlap_frames({0, 1, 2, 9}, short_pairs, 2, 40), ValueError);
}

TEST(OverlapFrames, BoxesSplitAtEveryDashInTextOrder) {
  ConsoleText out;
  Pairs pairs{"Box10-Box2", "Box10-Box2", "Box-1-Box3", "Box-1-Box3"};
  OverlapPlan plan = plan_overlap_frames({5, 6, 5, 6}, pairs, 0, 40);  // two pairs: runs of 2
  EXPECT_EQ(plan.test_boxes, (std::vector<std::string>{"1", "Box", "Box10", "Box2", "Box3"}));
  EXPECT_EQ(plan.test_frame, 5);
  EXPECT_NE(out.text.find("First frame with a single boxpair: nan\n"
                          "First frame with multiple boxpairs: 5\n"),
            std::string::npos);
}

TEST(OverlapFrames, ScoresAndVotes) {
  EXPECT_EQ(bb_iou({0, 0, 0, 0}, {0, 0, 0, 0}), 0.0);
  EXPECT_DOUBLE_EQ(bb_iou({0, 0, 10, 10}, {5, 0, 15, 10}), 50.0 / (150.0 + 1e-06));
  cv::Mat empty = cv::Mat::zeros(10, 10, CV_8U);
  EXPECT_EQ(corner_box(empty), (std::array<double, 4>{0, 0, 0, 0}));
  cv::Mat a = empty.clone();
  a(cv::Rect(2, 3, 4, 5)).setTo(1);
  EXPECT_EQ(corner_box(a), (std::array<double, 4>{2, 3, 5, 7}));
  detection::Feature v = detection::Embedding{{1.0f, 0.0f}, nullptr};
  detection::Feature w = detection::Embedding{{0.0f, 1.0f}, nullptr};
  // Pig 0 identical, pig 1 unchanged in shape but orthogonal in appearance,
  // pig 2 without a vector in the new frame.
  auto s = mismatch_scores({a, a, a}, {a, a, a}, {v, v, v}, {v, w, std::nullopt});
  EXPECT_NEAR(s[0], 3 - 1 - (20.0 / 20.000001) - (12.0 / 12.000001), 1e-9);
  EXPECT_NEAR(s[1], s[0] + 1, 1e-9);
  EXPECT_TRUE(std::isinf(s[2]));
  EXPECT_EQ(worst_position(s), 2u);
  EXPECT_EQ(worst_position({INFINITY, 1, INFINITY}), 0u);
  EXPECT_EQ(most_frequent_position({"Box3", "Box1", "Box3", "Box1"}), 0u);
  EXPECT_EQ(most_frequent_position({"Box3", "Box1", "Box1"}), 1u);
}
