#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <set>
#include <thread>

#include "core/errors.h"
#include "core/format.h"
#include "core/image_io.h"
#include "core/mask.h"
#include "core/overlap.h"
#include "core/parallel.h"
#include "core/polygon.h"
#include "core/tracking_output.h"
#include "test_support.h"

using namespace vexo;
using vexo::test_support::rect_mask;

TEST(Format, FloatsReadAsTheHostWritesThem) {
  EXPECT_EQ(fmt_float(2.0), "2.0");
  EXPECT_EQ(fmt_float(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(fmt_float(0.1), "0.1");
  EXPECT_EQ(fmt_float(-1.5), "-1.5");
  EXPECT_EQ(fmt_float(1e16), "1e+16");
  EXPECT_EQ(fmt_float(1e15), "1000000000000000.0");
  EXPECT_EQ(fmt_float(0.0001), "0.0001");
  EXPECT_EQ(fmt_float(0.00001), "1e-05");
  EXPECT_EQ(fmt_float(1.5e-7), "1.5e-07");
  EXPECT_EQ(fmt_float(123456789012345678.0), "1.2345678901234568e+17");
  EXPECT_EQ(fmt_float(0.0), "0.0");
  EXPECT_EQ(fmt_float(-0.0), "-0.0");
  EXPECT_EQ(fmt_float(std::nan("")), "nan");
  EXPECT_EQ(fmt_float(-INFINITY), "-inf");
  EXPECT_EQ(fmt_float(540.0000000000001), "540.0000000000001");
}

TEST(Format, ValuesAndLists) {
  EXPECT_EQ(fmt_value(true), "True");
  EXPECT_EQ(fmt_value(std::optional<int>{}), "None");
  EXPECT_EQ(fmt_value(std::vector<int>{1, 2, 3}), "[1, 2, 3]");
  EXPECT_EQ(fmt_value(std::vector<std::string>{"Box1", "it's"}), "['Box1', \"it's\"]");
  EXPECT_EQ(fmt_value(std::vector<double>{0.5, 2.0}), "[0.5, 2.0]");
  EXPECT_EQ(fmt_value(std::vector<int>{}), "[]");
  EXPECT_EQ(fmt_fixed(2.675, 2), "2.67");  // binary value lies below the half
  EXPECT_EQ(fmt_fixed(0.125, 2), "0.12");  // exact half rounds to even
}

TEST(Polygon, NumbersParseAsHostFloats) {
  EXPECT_DOUBLE_EQ(parse_number("+0.5", "t"), 0.5);
  EXPECT_DOUBLE_EQ(parse_number("1e-3", "t"), 0.001);
  EXPECT_DOUBLE_EQ(parse_number("1_0.5", "t"), 10.5);
  EXPECT_TRUE(std::isnan(parse_number("nan", "t")));
  EXPECT_THROW(parse_number("abc", "t"), ValueError);
  EXPECT_THROW(parse_number("", "t"), ValueError);
  EXPECT_THROW(parse_number("1.5x", "t"), ValueError);
  EXPECT_THROW(parse_polygon_coords("pig 0.1 0.2 0.3", "t"), ValueError);
  EXPECT_TRUE(parse_polygon_coords("pig", "t").empty());
  auto px = polygon_to_pixels(parse_polygon_coords("pig  0.5\t0.5 -0.001 1", "t"), 640, 480, "t");
  ASSERT_EQ(px.size(), 2u);
  EXPECT_EQ(px[0], cv::Point(320, 240));
  EXPECT_EQ(px[1], cv::Point(0, 480));  // truncation toward zero
  EXPECT_THROW(polygon_to_pixels({{NAN, 0.0}}, 10, 10, "t"), ValueError);
  EXPECT_THROW(polygon_to_pixels({{1e300, 0.0}}, 10, 10, "t"), ValueError);
}

TEST(Overlap, TableFollowsTheLaterMaskRule) {
  cv::Mat a = rect_mask(50, 50, {0, 0, 20, 10});  // 200 px
  cv::Mat b = rect_mask(50, 50, {0, 0, 10, 5});   // 50 px inside a
  cv::Mat one = rect_mask(50, 50, {3, 3, 1, 1});  // 1 px inside both
  std::vector<cv::Mat> masks{a, b};
  std::vector<MaskStat> st{mask_stat(a), mask_stat(b)};
  auto t = intersection_table(masks, st, {200, 50});
  EXPECT_DOUBLE_EQ(t[0 * 2 + 1], 25.0);
  EXPECT_DOUBLE_EQ(t[1 * 2 + 0], 100.0);
  EXPECT_DOUBLE_EQ(t[0], 0.0);
  // 1-pixel mask last: the pair is not measured.
  std::vector<cv::Mat> m2{a, one};
  auto t2 = intersection_table(m2, {mask_stat(a), mask_stat(one)}, {200, 1});
  EXPECT_EQ(t2, std::vector<double>(4, 0.0));
  // 1-pixel mask first: measured.
  std::vector<cv::Mat> m3{one, a};
  auto t3 = intersection_table(m3, {mask_stat(one), mask_stat(a)}, {1, 200});
  EXPECT_DOUBLE_EQ(t3[0 * 2 + 1], 100.0);
  EXPECT_DOUBLE_EQ(t3[1 * 2 + 0], 0.5);
  // Supplied areas are used unchanged (not clamped).
  auto t4 = intersection_table(masks, st, {100, 50});
  EXPECT_DOUBLE_EQ(t4[0 * 2 + 1], 50.0);
  EXPECT_DOUBLE_EQ(masks_intersection(cv::Mat::zeros(50, 50, CV_8UC1), a), 0.0);
  EXPECT_DOUBLE_EQ(masks_intersection(b, a), 100.0);
  EXPECT_THROW(intersection_table({a, cv::Mat::zeros(10, 10, CV_8UC1)}, {}, {}), ValueError);
}

TEST(Mask, BoxesAndCounts) {
  cv::Mat m = cv::Mat::zeros(30, 40, CV_8UC1);
  EXPECT_TRUE(mask_box(m).empty());
  m.at<uint8_t>(5, 7) = 1;
  m.at<uint8_t>(20, 33) = 255;
  Box b = mask_box(m);
  EXPECT_EQ(b, (Box{7, 5, 33, 20}));
  EXPECT_EQ(mask_area(m), 2);
  EXPECT_EQ(overlap_count(m, m), 2);
}

class ReaderFolder : public ::testing::Test {
 protected:
  std::filesystem::path dir;
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("vexo_reader_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
           "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  void write(const std::filesystem::path& p, const std::string& text) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p) << text;
  }
};

TEST_F(ReaderFolder, ReadOrderIsNumericAndFoldersByName) {
  const std::string doc = R"({"image_path": "x.png", "detections": []})";
  write(dir / "b" / "output_pp_1.json", doc);
  write(dir / "a" / "output_pp_2.json", doc);
  write(dir / "a" / "output_pp_10.json", doc);
  write(dir / "a" / "output_pp_1.json", doc);
  write(dir / "a" / "notes.json", doc);
  write(dir / "a" / "output_pp_3.txt", doc);
  auto order = tracking_read_order(dir.string());
  std::vector<std::string> want{
      (dir / "a" / "output_pp_1.json").string(), (dir / "a" / "output_pp_2.json").string(),
      (dir / "a" / "output_pp_10.json").string(), (dir / "b" / "output_pp_1.json").string()};
  EXPECT_EQ(order, want);
  EXPECT_TRUE(tracking_read_order((dir / "missing").string()).empty());
}

TEST_F(ReaderFolder, FramesAndKeys) {
  write(dir / "output_pp_7.json", R"({"image_path": "f.png", "detections": [
      {"object_id": 3, "formatted_polygon": ["0 0.5 0.5 1.0 0.5 1.0 1.0"]},
      {"formatted_polygon": ["pig 0 0 0 0.1 0.1 0.1", "pig 0.5 0.5 0.6 0.5 0.6 0.6 0.5 0.6"]},
      {"object_id": 3, "formatted_polygon": []}]})");
  FrameFile f = read_frame_file((dir / "output_pp_7.json").string(), 480, 640);
  ASSERT_EQ(f.count(), 3u);
  EXPECT_EQ(f.ids, (std::vector<std::int64_t>{2, -1, 2}));
  cv::Mat want = cv::Mat::zeros(480, 640, CV_8UC1);
  std::vector<cv::Point> tri{{320, 240}, {640, 240}, {640, 480}};
  cv::fillPoly(want, std::vector<std::vector<cv::Point>>{tri}, cv::Scalar(1));
  EXPECT_EQ(cv::countNonZero(f.mask(0) != want), 0);
  FrameRecord rec = build_frame_record((dir / "output_pp_7.json").string(), f, true);
  EXPECT_EQ(rec.frame_index, 7);
  EXPECT_EQ(rec.keys, (std::vector<std::string>{"Box2", "Box-1"}));
  EXPECT_EQ(rec.slot,
            (std::vector<std::size_t>{2, 1}));  // last duplicate wins, first position kept
  EXPECT_EQ(rec.areas[0], 0);
  EXPECT_EQ(frame_index_from_path("/x/output_pp_0012.json"), 12);
  EXPECT_THROW(frame_index_from_path("/x/frame_12.json"), ValueError);
}

// The annotation reader: read order, the frame size of the first file's
// image, selection of one file and the message for an empty folder.
TEST_F(ReaderFolder, AnnotationReadOrderSelectionAndEmptyFolder) {
  auto collect = [&](std::int64_t sel, std::vector<std::size_t>& at,
                     std::vector<FrameRecord>& got) {
    return read_tracking_output(dir.string(), sel, [&](std::size_t i, FrameRecord&& rec) {
      at.push_back(i);
      got.push_back(std::move(rec));
    });
  };
  std::vector<std::size_t> at;
  std::vector<FrameRecord> got;
  {
    test_support::ConsoleText console;
    EXPECT_EQ(collect(0, at, got), TrackingOutput::NoFiles);
    EXPECT_EQ(console.text, no_tracking_files_message(dir.string()) + "\n");
    EXPECT_EQ(no_tracking_files_message("/x"),
              "No JSON files found in /x. Please check the directory and try again.");
  }
  EXPECT_TRUE(at.empty());
  const std::string image = (dir / "frame.png").string();
  cv::imwrite(image, cv::Mat(6, 8, CV_8UC3, cv::Scalar(1, 2, 3)));
  const std::string doc = R"({"image_path": ")" + image + R"(", "detections": [
      {"object_id": 2, "formatted_polygon": ["0 0 0 0.5 0 0.5 0.5 0 0.5"]}]})";
  for (const char* name : {"b/output_pp_1.json", "a/output_pp_10.json", "a/output_pp_2.json"}) {
    write(dir / name, doc);
  }
  const std::vector<std::string> order = tracking_read_order(dir.string());
  ASSERT_EQ(order.size(), 3u);
  EXPECT_EQ(collect(-1, at, got), TrackingOutput::All);
  ASSERT_EQ(at, (std::vector<std::size_t>{0, 1, 2}));
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].json_path, order[i]);
    EXPECT_TRUE(got[i].has_table);
    EXPECT_EQ(got[i].file.rows, 6);
    EXPECT_EQ(got[i].file.cols, 8);
    EXPECT_EQ(got[i].keys, (std::vector<std::string>{"Box1"}));
  }
  EXPECT_EQ(got[1].frame_index, 10);
  at.clear();
  got.clear();
  EXPECT_EQ(collect(2, at, got), TrackingOutput::One);
  ASSERT_EQ(at, (std::vector<std::size_t>{2}));
  EXPECT_EQ(got[0].json_path, order[2]);
  EXPECT_FALSE(got[0].has_table);
  at.clear();
  EXPECT_EQ(collect(3, at, got), TrackingOutput::OutOfRange);
  EXPECT_TRUE(at.empty());
}

TEST_F(ReaderFolder, MalformedFilesRaise) {
  write(dir / "bad_1.json", "{not json");
  write(dir / "noimg_1.json", R"({"detections": []})");
  write(dir / "nopoly_1.json", R"({"image_path": "a", "detections": [{"object_id": 1}]})");
  write(dir / "odd_1.json",
        R"({"image_path": "a", "detections": [{"formatted_polygon": ["p 1 2 3"]}]})");
  EXPECT_THROW(read_frame_file((dir / "bad_1.json").string(), 10, 10), ValueError);
  EXPECT_THROW(read_frame_file((dir / "noimg_1.json").string(), 10, 10), KeyError);
  EXPECT_THROW(read_frame_file((dir / "nopoly_1.json").string(), 10, 10), KeyError);
  EXPECT_THROW(read_frame_file((dir / "odd_1.json").string(), 10, 10), ValueError);
  EXPECT_THROW(read_frame_file((dir / "none_1.json").string(), 10, 10), FileNotFound);
}

TEST(Mask, BoxMatchesBruteForceOnRandomMasks) {
  cv::RNG rng(5);
  for (int trial = 0; trial < 200; ++trial) {
    int rows = rng.uniform(1, 40), cols = rng.uniform(1, 70);
    cv::Mat m = cv::Mat::zeros(rows, cols, CV_8UC1);
    int pts = rng.uniform(0, 6);
    for (int k = 0; k < pts; ++k) m.at<uint8_t>(rng.uniform(0, rows), rng.uniform(0, cols)) = 1;
    Box want{cols, rows, -1, -1};
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < cols; ++x)
        if (m.at<uint8_t>(y, x))
          want = {std::min(want.x1, x), std::min(want.y1, y), std::max(want.x2, x),
                  std::max(want.y2, y)};
    if (want.x2 < 0) want = Box{};
    ASSERT_EQ(mask_box(m), want) << rows << "x" << cols;
    ASSERT_EQ(mask_area(m), cv::countNonZero(m));
  }
}

#include <nlohmann/json.hpp>

#include "core/fast_json.h"

TEST(FastJson, AcceptsExactlyWhatTheGeneralReaderAccepts) {
  const std::vector<std::string> cases = {
      R"({"a": [1, -0, 2.5e3, -1E-2, true, false, null, "x\u00e9\ud83d\ude00\n"]})", R"([])",
      R"({})", R"("\/\\\"\b\f\r\t")", "\xEF\xBB\xBF{\"bom\": 1}", "  7  ", R"({"k": 1, "k": 2})",
      "\"caf\xC3\xA9\"", R"(9223372036854775807)", R"(1e-400)",
      // rejected
      R"({"a": 01})", R"([1,])", R"({"a" 1})", R"("\x")", "\"\x01\"", R"("\ud800")", R"("\udc00x")",
      "\"\xC0\xAF\"", "\"\xED\xA0\x80\"", "\"\xF5\x80\x80\x80\"", R"(1.)", R"(.5)", R"(+1)",
      R"(tru)", R"([1] x)", R"()", R"(-)", R"(1e)", R"({"a":1,})", R"(NaN)"};
  for (const std::string& c : cases) {
    bool general = nlohmann::json::accept(c);
    bool fast = true;
    try {
      fastjson::parse(c, "case");
    } catch (const ValueError&) {
      fast = false;
    }
    EXPECT_EQ(fast, general) << c;
  }
  auto v =
      fastjson::parse(R"({"s": "a\u00e9\ud83d\ude00", "i": -12, "f": 0.25, "k": 1, "k": 2})", "t");
  EXPECT_EQ(v.find("s")->s, nlohmann::json::parse(R"("a\u00e9\ud83d\ude00")").get<std::string>());
  EXPECT_EQ(v.find("i")->i, -12);
  EXPECT_DOUBLE_EQ(v.find("f")->d, 0.25);
  EXPECT_EQ(v.find("k")->i, 2);  // the last of a repeated key wins
  EXPECT_EQ(v.find("missing"), nullptr);
  std::string deep(600, '[');
  EXPECT_THROW(fastjson::parse(deep + std::string(600, ']'), "deep"), ValueError);
}

TEST(Polygon, FarVerticesAreRejectedBeforeFilling) {
  // A vertex a billion rows away would make the polygon filler walk every row.
  EXPECT_THROW(polygon_to_pixels(parse_polygon_coords("1 0 0 1 0 0 -33333331.5", "t"), 64, 48, "t"),
               ValueError);
  auto ok = polygon_to_pixels(parse_polygon_coords("1 0 0 1 0 0 -300", "t"), 64, 48, "t");
  EXPECT_EQ(ok[2], cv::Point(0, -14400));
}

namespace {

// Uses about 1 KiB of stack per level; the result depends on every frame.
std::size_t deep(std::size_t depth) {
  volatile char frame[1024];
  frame[depth % sizeof(frame)] = static_cast<char>(depth);
  if (depth == 0) return 0;
  return deep(depth - 1) + static_cast<unsigned char>(frame[depth % sizeof(frame)]) % 2;
}

}  // namespace

TEST(RunWithStack, DeepRecursionFitsAndErrorsReachTheCaller) {
  // 64 MiB of frames would overflow a default 8 MiB thread stack.
  std::size_t got = 0;
  vexo::run_with_stack(std::size_t{256} << 20, [&] { got = deep(64 * 1024); });
  EXPECT_EQ(got, 32 * 1024u);
  EXPECT_THROW(vexo::run_with_stack(std::size_t{1} << 20, [] { throw vexo::ValueError("bad"); }),
               vexo::ValueError);
}

TEST(ImageFile, HeaderProbeMatchesAFullDecode) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / "vexo_image_probe";
  fs::create_directories(dir);
  cv::RNG rng(7);
  int n = 0;
  for (cv::Size s : {cv::Size(1, 1), cv::Size(17, 5), cv::Size(64, 48), cv::Size(333, 97)}) {
    for (int channels : {1, 3, 4}) {
      cv::Mat img(s, CV_8UC(channels));
      rng.fill(img, cv::RNG::UNIFORM, 0, 256);
      std::vector<std::pair<std::string, std::vector<int>>> kinds = {
          {".png", {}}, {".png", {cv::IMWRITE_PNG_COMPRESSION, 9}}};
      if (channels != 4) {
        kinds.push_back({".jpg", {}});
        kinds.push_back({".jpg", {cv::IMWRITE_JPEG_PROGRESSIVE, 1}});
      }
      for (const auto& [ext, params] : kinds) {
        const std::string path = (dir / ("i" + std::to_string(n++) + ext)).string();
        ASSERT_TRUE(cv::imwrite(path, img, params));
        for (ImageLayout l : {ImageLayout::kAsStored, ImageLayout::kBgr, ImageLayout::kBgrAsStored,
                              ImageLayout::kGrey}) {
          EXPECT_EQ(probe_image_size(path, l), read_image_file(path, l).size()) << path;
        }
        EXPECT_EQ(probe_image_size(path, ImageLayout::kBgr), s) << path;
      }
    }
  }
  // A JPEG whose orientation tag turns it on its side: the tag wins where the
  // layout applies it, and the stored size stands where it does not.
  std::vector<uchar> jpg;
  cv::imencode(".jpg", cv::Mat(20, 50, CV_8UC3, cv::Scalar(9, 99, 199)), jpg);
  const unsigned char exif[] = {0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0,    0,    'I', 'I',
                                42,   0,    8,    0,    0,   0,   1,   0,   0x12, 0x01, 3,   0,
                                1,    0,    0,    0,    6,   0,   0,   0,   0,    0,    0,   0};
  jpg.insert(jpg.begin() + 2, std::begin(exif), std::end(exif));
  const std::string turned = (dir / "turned.jpg").string();
  std::ofstream(turned, std::ios::binary)
      .write(reinterpret_cast<const char*>(jpg.data()), static_cast<std::streamsize>(jpg.size()));
  for (ImageLayout l :
       {ImageLayout::kAsStored, ImageLayout::kBgr, ImageLayout::kBgrAsStored, ImageLayout::kGrey}) {
    EXPECT_EQ(probe_image_size(turned, l), read_image_file(turned, l).size());
  }
  EXPECT_EQ(probe_image_size(turned, ImageLayout::kAsStored), cv::Size(50, 20));
  fs::remove_all(dir);
}

TEST(ImageFile, OneErrorRuleForEveryFault) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / "vexo_image_faults";
  fs::create_directories(dir);
  auto write = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(dir / name, std::ios::binary) << bytes;
    return (dir / name).string();
  };
  std::vector<uchar> png;
  cv::imencode(".png", cv::Mat(30, 40, CV_8UC3, cv::Scalar::all(5)), png);
  std::string good(png.begin(), png.end());
  std::string bad_crc = good;
  bad_crc[29] ^= 0x55;  // IHDR checksum
  const std::vector<std::string> undecodable = {
      write("text.png", "not an image"),
      write("empty.jpg", ""),
      write("sig_only.png", std::string("\x89PNG\r\n\x1a\n", 8) + std::string(50, '\0')),
      write("bad_crc.png", bad_crc),
      write("jpeg_start.jpg", "\xFF\xD8\xFF\xE0\x00\x10JFIF"),
      write("jpeg_no_frame.jpg", "\xFF\xD8\xFF\xD9"),
      dir.string(),
  };
  for (const std::string& p : undecodable) {
    for (ImageLayout l : {ImageLayout::kAsStored, ImageLayout::kBgr, ImageLayout::kGrey}) {
      EXPECT_THROW(read_image_file(p, l), IoError) << p;
      EXPECT_THROW(probe_image_size(p, l), IoError) << p;
    }
  }
  const std::string gone = (dir / "gone.png").string();
  EXPECT_THROW(read_image_file(gone, ImageLayout::kBgr), FileNotFound);
  EXPECT_THROW(probe_image_size(gone, ImageLayout::kBgr), FileNotFound);
  const std::string ok = write("ok.png", good);
  EXPECT_THROW(read_image_file(ok + std::string("\0x", 2), ImageLayout::kBgr), ValueError);
  EXPECT_THROW(probe_image_size(ok + std::string("\0x", 2), ImageLayout::kBgr), ValueError);
  // The caller's text replaces the default message; the type stays.
  try {
    read_image_file(gone, ImageLayout::kBgr, {"missing frame", "broken frame"});
    ADD_FAILURE();
  } catch (const FileNotFound& e) {
    EXPECT_STREQ(e.what(), "missing frame");
  }
  try {
    read_image_file(undecodable[0], ImageLayout::kBgr, {"missing frame", "broken frame"});
    ADD_FAILURE();
  } catch (const IoError& e) {
    EXPECT_STREQ(e.what(), "broken frame");
  }
  EXPECT_EQ(probe_image_size(ok, ImageLayout::kBgr), cv::Size(40, 30));
  // A file cut after its header: decoding fails, the stored size is known.
  const std::string cut = write("cut.png", good.substr(0, 40));
  EXPECT_THROW(read_image_file(cut, ImageLayout::kAsStored), IoError);
  EXPECT_EQ(probe_image_size(cut, ImageLayout::kAsStored), cv::Size(40, 30));
  fs::remove_all(dir);
}

// With a limit of one thread, parallel loops run on the calling thread alone
// (a cluster worker running one task per core asks for that).
TEST(Parallel, ThreadLimitKeepsWorkOnTheCallingThread) {
  const unsigned before = vexo::set_thread_limit(1);
  std::set<std::thread::id> seen;
  std::mutex mu;
  auto note = [&](std::size_t) {
    std::lock_guard<std::mutex> lock(mu);
    seen.insert(std::this_thread::get_id());
  };
  std::vector<std::size_t> order;
  vexo::parallel_for(64, note);
  vexo::ordered_parallel(16, note, [&](std::size_t i) { order.push_back(i); });
  EXPECT_EQ(seen, std::set<std::thread::id>{std::this_thread::get_id()});
  EXPECT_EQ(order.size(), 16u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_EQ(vexo::worker_threads(), 1u);
  EXPECT_EQ(vexo::set_thread_limit(0), 1u);
  EXPECT_EQ(vexo::worker_threads(), std::max(1u, std::thread::hardware_concurrency()));
  vexo::set_thread_limit(before);
}
