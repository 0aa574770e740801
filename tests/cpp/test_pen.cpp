#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <opencv2/imgproc.hpp>

#include "core/errors.h"
#include "pen/annotation.h"
#include "pen/pen_file.h"
#include "pen/pen_membership.h"

using namespace vexo;
using namespace vexo::pen;

namespace {

std::string write_temp(const std::string& name, const std::string& text) {
  auto dir = std::filesystem::temp_directory_path() / "vexo_pen_tests";
  std::filesystem::create_directories(dir);
  auto p = dir / name;
  std::ofstream(p) << text;
  return p.string();
}

}  // namespace

TEST(PenFile, CameraTableAndCustomPath) {
  EXPECT_EQ(get_pen_json_path("D:\\data\\Camera64_1_20240101120000\\0min_to_0.1min"),
            pen_dir() + "/Cam64.json");
  EXPECT_EQ(get_pen_json_path("D:\\Camera70"), pen_dir() + "/Cam70.json");
  EXPECT_FALSE(get_pen_json_path("D:\\data\\MyCamera61_x"));
  EXPECT_FALSE(get_pen_json_path("D:\\Camera63_1\\f"));
  EXPECT_FALSE(get_pen_json_path("D:/data/Camera64_1_20240101120000/frames"));
  EXPECT_FALSE(get_pen_json_path(""));
  EXPECT_EQ(get_pen_json_path("anything", std::string("pen_polygon.json")), "pen_polygon.json");
  EXPECT_EQ(get_pen_json_path("D:\\Camera64_1", std::string()), "");
}

TEST(PenFile, ReadsFirstShapeAndReportsEmptyShapes) {
  auto path = write_temp("pen.json",
                         R"({"shapes": [{"points": [[1, 2.5], [3, 4], [5, 6]]},
                                        {"points": [[9, 9]]}]})");
  PenPolygon p = read_pen_polygon(path);
  ASSERT_EQ(p.points.size(), 3u);
  EXPECT_EQ(p.points[0], cv::Point2d(1, 2.5));
  EXPECT_TRUE(p.integral[0][0]);
  EXPECT_FALSE(p.integral[0][1]);
  for (const char* shapes : {"[]", "null", "false"}) {
    auto e = write_temp("empty.json", std::string(R"({"shapes": )") + shapes + "}");
    try {
      read_pen_polygon(e);
      FAIL() << shapes;
    } catch (const ValueError& err) {
      EXPECT_STREQ(err.what(), "No shapes found in the JSON file.");
    }
  }
  EXPECT_THROW(read_pen_polygon(write_temp("k.json", R"({"x": 1})")), KeyError);
  EXPECT_THROW(read_pen_polygon(write_temp("b.json", "{")), ValueError);
  EXPECT_THROW(read_pen_polygon(write_temp("p.json", R"({"shapes": [{"points": [[1]]}]})")),
               ValueError);
  EXPECT_THROW(read_pen_polygon("/nonexistent/pen.json"), FileNotFound);
}

TEST(PenMembership, RatiosOnExactGeometry) {
  std::vector<cv::Point2d> sq{{0, 0}, {100, 0}, {100, 100}, {0, 100}};
  PenRatios r = calculate_pen_intersection_ratio(sq, {{50, 50, 150, 150}, {10, 10, 20, 20}}, 40);
  ASSERT_EQ(r.ratios.size(), 2u);
  EXPECT_DOUBLE_EQ(r.ratios[0], 25.0);
  EXPECT_DOUBLE_EQ(r.ratios[1], 100.0);
  EXPECT_EQ(r.in_pen, (std::vector<bool>{false, true}));
  EXPECT_TRUE(calculate_pen_intersection_ratio(sq, {}, 40).ratios.empty());
  EXPECT_THROW(calculate_pen_intersection_ratio(sq, {{1, 1, 1, 5}}, 40), ValueError);
  EXPECT_THROW(calculate_pen_intersection_ratio({{0, 0}, {1, 1}}, {{0, 0, 1, 1}}, 40), ValueError);
  // A triangle: half of the unit box under the diagonal.
  PenGeometry tri({{0, 0}, {10, 0}, {10, 10}});
  EXPECT_DOUBLE_EQ(tri.ratio({0, 0, 10, 10}), 50.0);
  EXPECT_DOUBLE_EQ(tri.ratio({20, 20, 30, 30}), 0.0);
  // An explicitly closed outline is the same polygon.
  PenGeometry closed({{0, 0}, {10, 0}, {10, 10}, {0, 0}});
  EXPECT_DOUBLE_EQ(closed.ratio({0, 0, 10, 10}), 50.0);
}

TEST(PenMembership, PenMaskIsFillPolyOfTruncatedVertices) {
  std::vector<cv::Point2d> pts{{10.7, 20.2}, {60.9, -5.5}, {90.2, 70.8}, {-12.3, 50.1}};
  cv::Mat m = pen_mask(pts, 60, 80);
  cv::Mat ref = cv::Mat::zeros(60, 80, CV_8UC1);
  std::vector<std::vector<cv::Point>> poly{{{10, 20}, {60, -5}, {90, 70}, {-12, 50}}};
  cv::fillPoly(ref, poly, cv::Scalar(1));
  EXPECT_EQ(cv::countNonZero(m != ref), 0);
  cv::Mat mask(60, 80, CV_8UC1, cv::Scalar(7));
  cv::Mat cut = cut_to_pen(mask, m);
  EXPECT_EQ(cv::countNonZero(cut), cv::countNonZero(m));
  EXPECT_EQ(cut.at<std::uint8_t>(30, 40), m.at<std::uint8_t>(30, 40) ? 7 : 0);
  // Raw slices of 4-byte elements into a zeroed buffer: only nonzero
  // elements inside the pen are written (-1 marks what must stay untouched).
  std::vector<float> src(2 * 60 * 80, 2.5f), dst(src.size(), -1.f);
  src[60 * 80 + 30 * 80 + 41] = 0.f;
  cut_slices_to_pen(src.data(), dst.data(), 2, sizeof(float), m);
  EXPECT_EQ(dst[60 * 80 + 30 * 80 + 40], m.at<std::uint8_t>(30, 40) ? 2.5f : -1.f);
  EXPECT_EQ(dst[60 * 80 + 30 * 80 + 41], -1.f);
  EXPECT_EQ(dst[0], -1.f);
}

TEST(PenMembership, FrameIndexMustIndexTheList) {
  auto path = write_temp("tri.json", R"({"shapes": [{"points": [[0, 0], [9, 0], [9, 9]]}]})");
  cv::Mat mask(10, 10, CV_8UC1, cv::Scalar(1));
  std::vector<std::string> frames{"a.jpg", "b.jpg"};
  EXPECT_EQ(cv::countNonZero(get_in_pen_mask(1, mask, path, frames)),
            cv::countNonZero(get_in_pen_mask(-1, mask, path, frames)));
  EXPECT_THROW(get_in_pen_mask(2, mask, path, frames), IndexError);
  EXPECT_THROW(get_in_pen_mask(-3, mask, path, frames), IndexError);
}

TEST(AnnotationJson, DumpsLikeTheHostWithIndent4) {
  auto v = nlohmann::ordered_json::parse(
      R"({"b": [1, 2.0, -0.0, 1e-05, 1e16, true, null, "x\"y\\z\n\u0001é😀"],
          "a": {}, "c": [], "d": {"e": [[]]}})");
  EXPECT_EQ(dump_json_indent4(v),
            "{\n    \"b\": [\n        1,\n        2.0,\n        -0.0,\n        1e-05,\n"
            "        1e+16,\n        true,\n        null,\n"
            "        \"x\\\"y\\\\z\\n\\u0001\\u00e9\\ud83d\\ude00\"\n    ],\n"
            "    \"a\": {},\n    \"c\": [],\n    \"d\": {\n        \"e\": [\n            []\n"
            "        ]\n    }\n}");
  EXPECT_EQ(dump_json_indent4(nlohmann::ordered_json(std::nan(""))), "NaN");
  EXPECT_EQ(dump_json_indent4(nlohmann::ordered_json(-INFINITY)), "-Infinity");
}
