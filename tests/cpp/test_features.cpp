#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>
#include <random>

#include "core/console.h"
#include "core/errors.h"
#include "core/mask.h"
#include "core/mask_scan.h"
#include "detection/dark_text.h"
#include "detection/features.h"
#include "detection/last_frame.h"
#include "detection/matcher.h"
#include "test_support.h"

using namespace vexo;
using namespace vexo::detection;
using vexo::test_support::ConsoleText;
using vexo::test_support::rect_mask;

namespace {

// Ten separate 20 x 20 squares on a 100 x 300 frame.
RecordMasks ten_squares() {
  RecordMasks f;
  for (int i = 0; i < 10; ++i) {
    f.keys.push_back("Box" + std::to_string(i));
    f.masks.push_back(rect_mask(100, 300, cv::Rect(5 + 29 * i, 10, 20, 20)));
  }
  return f;
}

}  // namespace

TEST(FeaturesDarkText, TableMatchesTheGammaCurve) {
  auto t = dark_text_table(1.5);
  EXPECT_EQ(t[0], 0);
  EXPECT_EQ(t[1], 6);
  EXPECT_EQ(t[128], 161);
  EXPECT_EQ(t[255], 255);
  EXPECT_EQ(dark_text_table(10)[1], 146);
  auto id = dark_text_table(1.0);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(id[i], i);
  EXPECT_THROW(dark_text_table(0), ValueError);
  EXPECT_THROW(dark_text_table(-2), ValueError);
  EXPECT_THROW(dark_text_table(NAN), ValueError);
}

TEST(FeaturesDarkText, UniformStaysUniformAndOutputIsGrey) {
  cv::Mat rgb(7, 9, CV_8UC3, cv::Scalar(128, 128, 128));
  cv::Mat out = enhance_dark_text(rgb, 1.5);
  ASSERT_EQ(out.type(), CV_8UC1);
  EXPECT_EQ(out.size(), rgb.size());
  EXPECT_EQ(cv::countNonZero(out != 161), 0);
  // Channel order matters: pure red and pure blue differ in luminance.
  cv::Mat red(2, 2, CV_8UC3, cv::Scalar(255, 0, 0)), blue(2, 2, CV_8UC3, cv::Scalar(0, 0, 255));
  EXPECT_EQ(enhance_dark_text(red, 1.0).at<std::uint8_t>(0, 0), 76);
  EXPECT_EQ(enhance_dark_text(blue, 1.0).at<std::uint8_t>(0, 0), 29);
}

TEST(FeaturesMaskScan, AgreesWithTheReferenceBoxAndCount) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 60; ++trial) {
    int rows = 1 + static_cast<int>(rng() % 70), cols = 1 + static_cast<int>(rng() % 90);
    cv::Mat m = cv::Mat::zeros(rows, cols, CV_8UC1);
    int n = static_cast<int>(rng() % 40);
    for (int k = 0; k < n; ++k) {
      m.at<std::uint8_t>(static_cast<int>(rng() % rows), static_cast<int>(rng() % cols)) =
          static_cast<std::uint8_t>(1 + rng() % 255);
    }
    MaskStat a = scan_mask(m), b = mask_stat(m);
    EXPECT_EQ(a.area, b.area);
    EXPECT_EQ(a.box, b.box) << rows << "x" << cols;
  }
  // A view with a row stride wider than its width.
  cv::Mat big = cv::Mat::zeros(50, 80, CV_8UC1);
  big.at<std::uint8_t>(20, 61) = 1;
  big.at<std::uint8_t>(30, 45) = 1;
  MaskStat v = scan_mask(big(cv::Rect(40, 10, 30, 30)));
  EXPECT_EQ(v.area, 2);
  EXPECT_EQ(v.box, (Box{5, 10, 21, 20}));
  EXPECT_TRUE(scan_mask(cv::Mat::zeros(5, 5, CV_8UC1)).box.empty());
}

TEST(FeaturesMaskScan, FloatMasksToBytes) {
  std::mt19937 rng(3);
  for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 47u, 64u, 100u}) {
    std::vector<float> src(n);
    for (float& v : src) v = (rng() % 3 == 0) ? 0.0f : static_cast<float>(rng() % 5) - 2.0f;
    std::vector<std::uint8_t> dst(n, 7);
    ASSERT_TRUE(float_mask_to_bytes(src.data(), n, dst.data()));
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(dst[i], src[i] != 0.0f) << n << " " << i;
    for (std::size_t bad = 0; bad < n; bad += 7) {
      std::vector<float> b = src;
      b[bad] = (bad % 2) ? NAN : INFINITY;
      EXPECT_FALSE(float_mask_to_bytes(b.data(), n, dst.data())) << n << " " << bad;
    }
  }
  const float neg_zero = -0.0f;
  std::uint8_t out = 9;
  EXPECT_TRUE(float_mask_to_bytes(&neg_zero, 1, &out));
  EXPECT_EQ(out, 0);
}

TEST(FeaturesLastFrame, BoundariesAreStrict) {
  RecordMasks f = ten_squares();  // 400 pixels each
  EXPECT_EQ(examine_last_frame(f.masks, 400, 10), FrameVerdict::kMaskTooSmall);
  EXPECT_EQ(examine_last_frame(f.masks, 399, 10), FrameVerdict::kAccepted);
  EXPECT_EQ(examine_last_frame(f.masks, 10, 11), FrameVerdict::kTooFewMasks);
  // Box1 covers exactly half of Box0 (and Box0 half of Box1).
  f.masks[1] = rect_mask(100, 300, cv::Rect(15, 10, 20, 20));
  EXPECT_EQ(examine_last_frame(f.masks, 10, 10), FrameVerdict::kOverlapping);
  // 9 of 20 columns shared: 45 %.
  f.masks[1] = rect_mask(100, 300, cv::Rect(16, 10, 20, 20));
  EXPECT_EQ(examine_last_frame(f.masks, 10, 10), FrameVerdict::kAccepted);
  EXPECT_EQ(examine_last_frame({}, 10, 0), FrameVerdict::kAccepted);
  f.masks[2] = cv::Mat::zeros(10, 10, CV_8UC1);
  EXPECT_THROW(examine_last_frame(f.masks, 10, 10), ValueError);
}

TEST(FeaturesLastFrame, WalksBackAndReports) {
  std::vector<std::int64_t> keys{595, 596, 597, 598, 599};
  RecordMasks good = ten_squares(), bad = ten_squares();
  bad.masks[3] = cv::Mat::zeros(100, 300, CV_8UC1);
  std::vector<std::size_t> asked;
  auto frames = [&](std::size_t pos) {
    asked.push_back(pos);
    return pos <= 2 ? good : bad;
  };
  {
    ConsoleText c;
    auto pos = find_best_last_frame(keys, frames, LastFrameParams{});
    ASSERT_TRUE(pos);
    EXPECT_EQ(*pos, 2u);
    EXPECT_EQ(c.text, "Switched to frame key 597 due to small mask area in later frames.\n");
    EXPECT_EQ(asked, (std::vector<std::size_t>{4, 3, 2}));
  }
  {
    ConsoleText c;
    LastFrameParams p;
    p.max_attempts = HostNumber::integer(2);
    EXPECT_FALSE(find_best_last_frame(keys, frames, p));
    EXPECT_EQ(c.text,
              "No valid frame found with all masks area > 10 in the last 2 frames for 10 "
              "tracks.\n");
  }
  {
    // The frames run out before the attempts do.
    ConsoleText c;
    LastFrameParams p;
    p.expected = 9;
    EXPECT_FALSE(find_best_last_frame(
        {598, 599}, [&](std::size_t) { return bad; }, p));
    EXPECT_EQ(c.text,
              "No valid frame found with all masks area > 10 in the last 10 frames for 9 "
              "tracks.\n");
    EXPECT_FALSE(find_best_last_frame({}, frames, p));
  }
  {
    ConsoleText c;
    EXPECT_EQ(find_best_last_frame(keys, [&](std::size_t) { return good; }, {}), 4u);
    EXPECT_EQ(c.text, "");  // the normal last frame goes unreported
  }
}

namespace {

// Segmenter double: answers each box with the masks it is given, shaped as
// asked, and records its calls.
struct FakeSegmenter : detection::ImageSegmenter {
  std::vector<cv::Mat> answer;
  std::vector<std::int64_t> shape;  // empty: N x H x W
  int set_calls = 0;
  std::vector<detection::BoxXYXY> boxes;
  void set_image(const cv::Mat& rgb) override {
    ++set_calls;
    EXPECT_EQ(rgb.type(), CV_8UC3);
  }
  detection::MaskStack predict(const std::vector<detection::BoxXYXY>& b) override {
    boxes = b;
    detection::MaskStack st;
    st.planes = answer;
    st.shape = shape;
    if (st.shape.empty() && !answer.empty()) {
      st.shape = {static_cast<std::int64_t>(answer.size()), answer[0].rows, answer[0].cols};
    }
    return st;
  }
};

struct FakeEncoder : detection::ImageEncoder {
  std::vector<cv::Size> sizes;
  detection::Embedding encode(const cv::Mat& image, int size) override {
    EXPECT_EQ(image.type(), CV_32FC3);
    EXPECT_EQ(size, 256);
    sizes.push_back(image.size());
    cv::Scalar m = cv::mean(image);
    return detection::Embedding{{static_cast<float>(m[0]), static_cast<float>(image.rows)}, {}};
  }
};

detection::FrameImage blank_frame() {
  return detection::FrameImage{"f.jpg", cv::Mat(100, 300, CV_8UC3, cv::Scalar(90, 90, 90)), {}, {}};
}

}  // namespace

TEST(FeaturesMatcher, PromptsWithTightBoxesAndKeepsOrder) {
  RecordMasks old = ten_squares();
  old.masks.erase(old.masks.begin());
  old.keys.erase(old.keys.begin());
  FakeSegmenter seg;
  seg.answer = old.masks;
  int displayed = 0;
  MatcherParams p;
  p.remove_stack_box = {std::string("Box0"), std::nullopt};
  p.ann_frame_idx_text = "3";
  ConsoleText c;
  MatchResult r = match_next_clip(
      {599}, [&](std::size_t) { return old; }, blank_frame, &seg,
      [&](const cv::Mat& rgba) {
        ++displayed;
        EXPECT_EQ(rgba.type(), CV_8UC4);
      },
      p);
  ASSERT_FALSE(r.failed);
  EXPECT_EQ(c.text, "ann_frame_idx [3] works for mask finding!!!\n");
  EXPECT_EQ(displayed, 1);
  EXPECT_EQ(seg.set_calls, 1);
  ASSERT_EQ(seg.boxes.size(), 9u);
  EXPECT_EQ(seg.boxes[0], (detection::BoxXYXY{34, 10, 53, 29}));
  EXPECT_EQ(r.kept_names.front(), "Box1");
  EXPECT_EQ(r.kept_names.size(), 9u);
  EXPECT_EQ(r.labels, std::vector<std::string>(9, "pig"));
}

TEST(FeaturesMatcher, NewMaskTestsAndStackShapes) {
  RecordMasks f = ten_squares();  // 400 pixels each, separate
  EXPECT_TRUE(new_masks_usable(f.masks, 10, 400));
  EXPECT_FALSE(new_masks_usable(f.masks, 10, 401));
  EXPECT_FALSE(new_masks_usable(f.masks, 9, 10));
  // 2 of 20 columns shared: exactly 10 % passes; 3 columns (15 %) fail.
  f.masks[1] = rect_mask(100, 300, cv::Rect(23, 10, 20, 20));
  EXPECT_TRUE(new_masks_usable(f.masks, 10, 10));
  f.masks[1] = rect_mask(100, 300, cv::Rect(22, 10, 20, 20));
  EXPECT_FALSE(new_masks_usable(f.masks, 10, 10));

  detection::MaskStack st;
  st.planes = {cv::Mat::zeros(4, 5, CV_8UC1)};
  st.shape = {4, 5};
  EXPECT_EQ(normalise_mask_stack(st).shape, (std::vector<std::int64_t>{1, 4, 5}));
  st.shape = {1, 1, 4, 5};
  EXPECT_EQ(normalise_mask_stack(st).shape, (std::vector<std::int64_t>{1, 4, 5}));
  st.planes.assign(3, cv::Mat::zeros(4, 5, CV_8UC1));
  st.shape = {1, 3, 4, 5};
  EXPECT_THROW(normalise_mask_stack(st), ValueError);
  st.shape = {5};
  EXPECT_THROW(normalise_mask_stack(st), ValueError);
}

TEST(FeaturesMatcher, FailuresStillDisplayAndReport) {
  RecordMasks old = ten_squares();
  FakeSegmenter seg;
  seg.answer = old.masks;
  seg.answer[9] = rect_mask(100, 300, cv::Rect(0, 0, 1, 1));  // below min_area
  int displayed = 0;
  MatcherParams p;
  ConsoleText c;
  MatchResult r = match_next_clip(
      {10, 11}, [&](std::size_t) { return old; }, blank_frame, &seg,
      [&](const cv::Mat&) { ++displayed; }, p);
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(displayed, 1);
  EXPECT_EQ(c.text,
            "Switched to frame key 11 due to small mask area in later frames.\n"
            "ann_frame_idx [0] cannot work..\n\n");
}

TEST(FeaturesMatcher, NoOldFrameMeansNoSegmenterCall) {
  RecordMasks old = ten_squares();
  old.masks[0] = cv::Mat::zeros(100, 300, CV_8UC1);
  bool opened = false;
  ConsoleText c;
  MatchResult r = match_next_clip(
      {599}, [&](std::size_t) { return old; },
      [&] {
        opened = true;
        return blank_frame();
      },
      nullptr, {}, MatcherParams{});
  EXPECT_TRUE(r.failed);
  EXPECT_FALSE(opened);
  EXPECT_EQ(c.text,
            "No valid frame found with all masks area > 10 in the last 10 frames for 10 tracks.\n"
            "Issue is from the laste frame, not enough masks found.\n");
}

TEST(FeaturesEmbedding, EncoderInputCropsBlacksOutAndSkipsSmallMasks) {
  cv::Mat rgb(40, 50, CV_8UC3, cv::Scalar(200, 200, 200));
  cv::Mat m = rect_mask(40, 50, cv::Rect(10, 5, 8, 6));  // 48 px, columns 10..17, rows 5..10
  m.at<std::uint8_t>(5, 10) = 0;
  auto in = encoder_input_for_mask(rgb, m);
  ASSERT_TRUE(in);
  EXPECT_EQ(in->size(), cv::Size(7, 5));  // last row and column left out
  EXPECT_EQ(in->type(), CV_32FC3);
  EXPECT_FLOAT_EQ(in->at<cv::Vec3f>(0, 0)[1], 0.0f);  // outside the mask
  // Inside: a uniform crop keeps the grey level the curve gives it (200 -> 248).
  EXPECT_FLOAT_EQ(in->at<cv::Vec3f>(1, 1)[2], 248.0f / 255.0f);

  cv::Mat nine = rect_mask(40, 50, cv::Rect(3, 3, 3, 3));
  EXPECT_FALSE(encoder_input_for_mask(rgb, nine));
  cv::Mat ten = nine.clone();
  ten.at<std::uint8_t>(30, 30) = 1;
  EXPECT_TRUE(encoder_input_for_mask(rgb, ten));
  EXPECT_FALSE(encoder_input_for_mask(rgb, rect_mask(40, 50, cv::Rect(2, 7, 30, 1))));
  EXPECT_FALSE(encoder_input_for_mask(rgb, rect_mask(40, 50, cv::Rect(9, 2, 1, 30))));
  EXPECT_THROW(encoder_input_for_mask(rgb, cv::Mat::zeros(4, 4, CV_8UC1)), ValueError);

  FakeSegmenter seg;
  FakeEncoder enc;
  std::vector<Feature> f = generate_image_features(rgb, {m, nine, ten}, seg, enc);
  ASSERT_EQ(f.size(), 3u);
  EXPECT_TRUE(f[0] && !f[1] && f[2]);
  EXPECT_EQ(seg.set_calls, 1);
  EXPECT_EQ(enc.sizes.size(), 2u);
}

TEST(FeaturesCosine, TableWithAbsentEntries) {
  auto e = [](std::vector<float> v) { return Feature(detection::Embedding{std::move(v), {}}); };
  std::vector<Feature> a{e({1, 0}), std::nullopt, e({0, 0}), e({3, 4})};
  std::vector<Feature> b{std::nullopt, e({0, 2}), e({3, 4})};
  std::vector<double> t = cosine_score_table(a, b);
  ASSERT_EQ(t.size(), 12u);
  for (int r = 0; r < 4; ++r) EXPECT_TRUE(std::isinf(t[r * 3]) && t[r * 3] < 0);
  for (int c = 0; c < 3; ++c) EXPECT_TRUE(std::isinf(t[3 + c]));
  EXPECT_DOUBLE_EQ(t[1], 0.0);
  EXPECT_DOUBLE_EQ(t[2], 0.6);
  EXPECT_DOUBLE_EQ(t[7], 0.0);  // zero vector
  EXPECT_DOUBLE_EQ(t[11], 1.0);
  EXPECT_DOUBLE_EQ(t[10], 0.8);
  auto none = cosine_score_table({std::nullopt, std::nullopt}, {std::nullopt});
  for (double v : none) EXPECT_TRUE(std::isinf(v));
  EXPECT_THROW(cosine_score_table({e({1, 2})}, {e({1, 2, 3})}), ValueError);
  EXPECT_THROW(cosine_score_table({e({NAN, 2})}, {e({1, 2})}), ValueError);
  EXPECT_TRUE(cosine_score_table({}, b).empty());
}
