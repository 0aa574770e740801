#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/console.h"
#include "core/errors.h"
#include "video/clip_duration.h"
#include "video/crop_region.h"
#include "video/extraction.h"
#include "video/frame_writer.h"

using namespace vexo;
using namespace vexo::video;
namespace fs = std::filesystem;

namespace {

// Collects console lines for the life of the object.
struct CaptureConsole {
  std::vector<std::string> lines;
  std::function<void(const std::string&)> on_line;
  CaptureConsole() {
    set_console_sink([this](std::string_view text) {
      std::string line(text);
      if (!line.empty() && line.back() == '\n') line.pop_back();
      if (on_line) on_line(line);
      lines.push_back(line);
    });
  }
  ~CaptureConsole() { set_console_sink({}); }
};

fs::path temp_dir(const std::string& name) {
  fs::path d =
      fs::temp_directory_path() / ("vexo_video_" + name + "_" + std::to_string(::getpid()));
  fs::remove_all(d);
  fs::create_directories(d);
  return d;
}

// A textured clip with an orange marker, so JPEG output is not trivial.
std::string write_clip(const fs::path& path, int frames, int w = 160, int h = 96) {
  cv::VideoWriter writer(path.string(), cv::VideoWriter::fourcc('m', 'p', '4', 'v'), 10.0,
                         cv::Size(w, h));
  EXPECT_TRUE(writer.isOpened());
  std::mt19937 rng(7);
  for (int i = 0; i < frames; ++i) {
    cv::Mat f(h, w, CV_8UC3);
    cv::randu(f, 0, 120);
    cv::circle(f, {20 + 3 * i, h / 2}, 12, cv::Scalar(200, 200, 200), -1);
    f.colRange(100, 108).setTo(cv::Scalar(0, 140, 255));
    writer.write(f);
  }
  return path.string();
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> names_in(const fs::path& d) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(d)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST(VideoWindows, BoundsAccumulateInDoublePrecision) {
  auto w = plan_windows(10.0, Number::real(0.1));
  ASSERT_EQ(w.size(), 101u);
  EXPECT_EQ(window_folder("D:\\ToBeLabeled_20pigs/", "20240131", "Camera61_1_20240131061500",
                          w[0].first, w[0].second, true),
            "D:\\ToBeLabeled_20pigs//20240131/Camera61_1_20240131061500/0min_to_0.1min/"
            "left_cropped_frames");
  EXPECT_EQ(w[2].first.text() + "|" + w[2].second.text(), "0.2|0.30000000000000004");
  EXPECT_EQ(w[3].first.text() + "|" + w[3].second.text(), "0.30000000000000004|0.4");
  EXPECT_EQ(w[100].first.text() + "|" + w[100].second.text(), "9.99999999999998|10.0");
  EXPECT_EQ(window_folder("o", "d", "v", w[3].first, w[3].second, false),
            "o/d/v/0.30000000000000004min_to_0.4min/right_cropped_frames");

  auto h = plan_windows(1.05, Number::real(0.5));
  ASSERT_EQ(h.size(), 3u);
  EXPECT_EQ(h[2].first.text() + "|" + h[2].second.text(), "1.0|1.05");

  auto i = plan_windows(2.5, Number::integer(1));
  ASSERT_EQ(i.size(), 3u);
  EXPECT_EQ(i[1].first.text() + "|" + i[1].second.text(), "1|2");
  EXPECT_EQ(i[2].first.text() + "|" + i[2].second.text(), "2|2.5");

  EXPECT_TRUE(plan_windows(0.0, Number::real(0.1)).empty());
  EXPECT_THROW(plan_windows(1.0, Number::integer(0)), ValueError);
  EXPECT_THROW(plan_windows(1.0, Number::real(-0.5)), ValueError);
  EXPECT_EQ(staging_folder("a/b/left_cropped_frames"), "a/b/.left_cropped_frames.partial");
}

TEST(VideoWindows, PenRegionBesideTheMarker) {
  CropRegion near{1500, 0, 1600, 40}, far{2250, 0, 2300, 40};
  EXPECT_EQ(pen_region(near, true), (CropRegion{120, 0, 1455, 1440}));
  EXPECT_EQ(pen_region(near, false), (CropRegion{1450, 0, 2300, 1440}));
  EXPECT_EQ(pen_region(far, true), (CropRegion{380, 0, 2205, 1440}));
  EXPECT_EQ(pen_region(far, false), (CropRegion{2200, 0, 2560, 1440}));
}

TEST(VideoExtraction, OverlappedWritesTheSameFilesAsSequential) {
  fs::path dir = temp_dir("overlap");
  std::string clip = write_clip(dir / "c.mp4", 40);
  for (bool resize : {false, true}) {
    std::vector<std::string> printed[2];
    for (int overlap = 0; overlap < 2; ++overlap) {
      CaptureConsole console;
      ExtractSettings s;
      s.frame_skip = 3;
      s.overlap = overlap == 1;
      if (resize) s.resize_height = 50;
      MemoryRegionCache cache;
      WindowJob job;
      job.video_path = clip;
      job.output_dir = job.write_dir =
          (dir / (std::to_string(resize) + std::to_string(overlap))).string();
      job.start_min = Number::integer(0);
      job.end_min = Number::real(0.05);  // frames 0..29
      crop_video_to_frames(s, cache, job);
      printed[overlap] = console.lines;
    }
    fs::path a = dir / (std::to_string(resize) + "0"), b = dir / (std::to_string(resize) + "1");
    auto files = names_in(a);
    ASSERT_EQ(files.size(), 11u);  // 0, 3, ..., 27 and 29
    ASSERT_EQ(files, names_in(b));
    for (const auto& f : files) EXPECT_EQ(slurp(a / f), slurp(b / f)) << f;
    // Same lines apart from the folder named in the summary.
    ASSERT_EQ(printed[0].size(), printed[1].size());
    for (std::size_t i = 0; i + 2 < printed[0].size(); ++i) EXPECT_EQ(printed[0][i], printed[1][i]);
    EXPECT_EQ(printed[1].back(), resize ? "Dim: (50, 58, 3)" : "Dim: (96, 110, 3)");
    EXPECT_EQ(printed[1][2], "Processing frame 0 (saved as 0000.jpg)");
    EXPECT_EQ(printed[1][12], "Processing frame 29 (saved as 0010.jpg)");
  }
  fs::remove_all(dir);
}

TEST(VideoExtraction, FailureMidWindowStopsAtTheSameFrame) {
  fs::path dir = temp_dir("fail");
  std::string clip = write_clip(dir / "c.mp4", 30);
  for (int overlap = 0; overlap < 2; ++overlap) {
    CaptureConsole console;
    int seen = 0;
    console.on_line = [&seen](const std::string& line) {
      if (line.rfind("Processing frame", 0) == 0 && ++seen == 5) throw IoError("disk full");
    };
    ExtractSettings s;
    s.overlap = overlap == 1;
    MemoryRegionCache cache;
    WindowJob job;
    job.video_path = clip;
    job.output_dir = job.write_dir = (dir / std::to_string(overlap)).string();
    job.start_min = Number::integer(0);
    job.end_min = Number::real(0.04);
    job.crop = false;
    EXPECT_THROW(crop_video_to_frames(s, cache, job), IoError);
    EXPECT_EQ(names_in(job.write_dir),
              (std::vector<std::string>{"0000.jpg", "0001.jpg", "0002.jpg", "0003.jpg"}));
  }
  fs::remove_all(dir);
}

TEST(VideoExtraction, CacheFilledOnceAcrossClipsAndWindowsStaged) {
  fs::path dir = temp_dir("process");
  std::string clip = write_clip(dir / "c.mp4", 30);  // 3 s at 10 fps
  CaptureConsole console;
  ExtractSettings s;
  s.output_dir_base = (dir / "out").string();
  s.time_step = Number::real(0.025);  // 15 frames
  MemoryRegionCache cache;
  std::vector<ClipRow> rows = {{"v1", clip, "d", "61", 0}, {"v2", clip, "d", "61", 0}};
  process_videos_to_frames(s, cache, rows);
  ASSERT_TRUE(cache.lookup(0).has_value());
  EXPECT_EQ(*cache.lookup(0), (CropRegion{50, 0, 2300, 1440}));
  int marker_lines = 0, region_lines = 0;
  for (const auto& l : console.lines) {
    marker_lines += l.rfind("cv2 crop region for Camera 61: x1=100, y1=0, x2=108, y2=96", 0) == 0;
    region_lines += l.rfind("Detected crop region for Camera 61:", 0) == 0;
  }
  EXPECT_EQ(marker_lines, 1);
  EXPECT_EQ(region_lines, 4);
  fs::path w = dir / "out" / "d" / "v2" / "0.025min_to_0.05min";
  EXPECT_EQ(names_in(w), std::vector<std::string>{"right_cropped_frames"});
  fs::remove_all(dir);
}

namespace {

struct CatalogueRun {
  std::vector<std::string> lines;
  std::map<std::string, std::string> files;  // relative path -> bytes
};

CatalogueRun run_catalogue(const fs::path& out, const std::vector<ClipRow>& rows, bool ahead,
                           int fail_at_line = 0) {
  CatalogueRun run;
  CaptureConsole console;
  int processing = 0;
  console.on_line = [&](const std::string& line) {
    if (fail_at_line && line.rfind("Processing frame", 0) == 0 && ++processing == fail_at_line) {
      throw IoError("console gone");
    }
  };
  ExtractSettings s;
  s.output_dir_base = out.string();
  s.time_step = Number::real(0.02);  // 12 frames at 10 fps
  s.frame_skip = 2;
  s.resize_height = 40;
  s.windows_ahead = ahead;
  MemoryRegionCache cache;
  try {
    process_videos_to_frames(s, cache, rows);
  } catch (const IoError&) {
    run.lines.push_back("<failed>");
  }
  for (const auto& l : console.lines) {
    std::string rel = l;
    std::size_t at = rel.find(out.string());
    if (at != std::string::npos) rel.replace(at, out.string().size(), "<out>");
    run.lines.push_back(rel);
  }
  for (const auto& e : fs::recursive_directory_iterator(out)) {
    if (e.is_regular_file()) run.files[fs::relative(e.path(), out).string()] = slurp(e.path());
  }
  return run;
}

}  // namespace

TEST(VideoExtraction, WindowsWrittenAheadLookSequential) {
  fs::path dir = temp_dir("ahead");
  std::string clip = write_clip(dir / "c.mp4", 45);  // 4.5 s: windows of 1.2 s
  std::vector<ClipRow> rows = {{"v1", clip, "d", "61", 0},
                               {"v2", (dir / "missing.mp4").string(), "d", "62", 1},
                               {"v3", clip, "d", "61", 2}};
  fs::create_directories(dir / "b" / "d" / "v1" / "0.02min_to_0.04min" / "right_cropped_frames");
  fs::create_directories(dir / "a" / "d" / "v1" / "0.02min_to_0.04min" / "right_cropped_frames");
  CatalogueRun seq = run_catalogue(dir / "a", rows, false);
  CatalogueRun ahead = run_catalogue(dir / "b", rows, true);
  EXPECT_EQ(seq.lines, ahead.lines);
  EXPECT_GT(seq.files.size(), 20u);
  EXPECT_TRUE(seq.files == ahead.files);
  EXPECT_NE(
      std::find(seq.lines.begin(), seq.lines.end(),
                "Skipping <out>/d/v1/0.02min_to_0.04min/right_cropped_frames, already exists."),
      seq.lines.end());

  // A failure in the third window: the windows before it are in place, it and
  // every later one are not, whichever way they were written.
  for (bool ahead_mode : {false, true}) {
    fs::path out = dir / (ahead_mode ? "fb" : "fa");
    // Windows hold labels 0, 2, ..., 10 and 11: seven lines each.
    CatalogueRun failed = run_catalogue(out, {rows[0]}, ahead_mode, 7 + 7 + 2);
    EXPECT_EQ(failed.lines.front(), "<failed>");
    EXPECT_TRUE(fs::exists(out / "d/v1/0min_to_0.02min/right_cropped_frames"));
    EXPECT_TRUE(fs::exists(out / "d/v1/0.02min_to_0.04min/right_cropped_frames"));
    EXPECT_FALSE(fs::exists(out / "d/v1/0.04min_to_0.06min/right_cropped_frames"));
    EXPECT_FALSE(fs::exists(out / "d/v1/0.04min_to_0.06min"));  // nothing left behind
    EXPECT_FALSE(fs::exists(out / "d/v1/0.06min_to_0.08min/right_cropped_frames"));
    EXPECT_TRUE(std::find(failed.lines.begin(), failed.lines.end(),
                          "Processing frame 36 (saved as 0000.jpg)") == failed.lines.end());
  }
  // A window folder that cannot be created fails only once the windows
  // before it are in place.
  CatalogueRun blocked[2];
  for (bool ahead_mode : {false, true}) {
    fs::path out = dir / (ahead_mode ? "pb" : "pa");
    fs::create_directories(out / "d/v1");
    std::ofstream(out / "d/v1/0.02min_to_0.04min") << "not a folder";
    blocked[ahead_mode] = run_catalogue(out, {rows[0]}, ahead_mode);
    EXPECT_EQ(blocked[ahead_mode].lines.front(), "<failed>");
    EXPECT_TRUE(fs::exists(out / "d/v1/0min_to_0.02min/right_cropped_frames"));
  }
  EXPECT_EQ(blocked[0].lines, blocked[1].lines);
  fs::remove_all(dir);
}
