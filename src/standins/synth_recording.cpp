// Writing a recording: dated folders of clips, ground truth, pen files and
// the manifest.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>
#include <opencv2/videoio.hpp>

#include "core/console.h"
#include "core/errors.h"
#include "core/fsutil.h"
#include "core/parallel.h"
#include "standins/synth.h"
#include "standins/synth_geometry.h"

namespace vexo::standins {

using namespace detail;

namespace {

using Json = nlohmann::ordered_json;

std::chrono::year_month_day parse_date(const std::string& s) {
  bool digits =
      s.size() == 8 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digits) {
    std::chrono::year_month_day d{std::chrono::year(std::stoi(s.substr(0, 4))),
                                  std::chrono::month(unsigned(std::stoi(s.substr(4, 2)))),
                                  std::chrono::day(unsigned(std::stoi(s.substr(6, 2))))};
    if (d.ok()) return d;
  }
  throw ValueError("first_date: expected a date as YYYYMMDD, got '" + s + "'");
}

int parse_time(const std::string& s) {
  auto two = [&](std::size_t at) {
    if (s[at] < '0' || s[at] > '9' || s[at + 1] < '0' || s[at + 1] > '9') return -1;
    return (s[at] - '0') * 10 + (s[at + 1] - '0');
  };
  if (s.size() == 8 && s[2] == ':' && s[5] == ':') {
    int h = two(0), m = two(3), sec = two(6);
    if (h >= 0 && h < 24 && m >= 0 && m < 60 && sec >= 0 && sec < 60)
      return h * 3600 + m * 60 + sec;
  }
  throw ValueError("first_time: expected a time of day as HH:MM:SS, got '" + s + "'");
}

std::string date_text(const std::chrono::year_month_day& d) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d%02u%02u", int(d.year()), unsigned(d.month()),
                unsigned(d.day()));
  return buf;
}

std::string time_digits(int seconds_of_day) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d%02d%02d", seconds_of_day / 3600, seconds_of_day / 60 % 60,
                seconds_of_day % 60);
  return buf;
}

void make_dirs(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw IoError("cannot create folder '" + dir + "': " + ec.message());
}

void validate(const SynthParams& p) {
  if (p.root.empty()) throw ValueError("root: a recordings folder is needed");
  if (p.camera.empty() ||
      !std::all_of(p.camera.begin(), p.camera.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    throw ValueError("camera: expected the camera number as decimal digits, got '" + p.camera +
                     "'");
  }
  if (p.clip_number < 0) throw ValueError("clip_number must not be negative");
  if (p.day_clips.empty()) {
    if (p.clips < 1 || p.clips > 1000) throw ValueError("clips must be from 1 to 1000");
    if (p.days < 1 || p.days > 366) throw ValueError("days must be from 1 to 366");
  } else {
    if (p.day_clips.size() > 366) throw ValueError("days must be from 1 to 366");
    for (int n : p.day_clips) {
      if (n < 1 || n > 1000) throw ValueError("clips must be from 1 to 1000 on every day");
    }
  }
  if (!(p.fps > 0 && p.fps <= 120)) throw ValueError("fps must be above 0 and at most 120");
  if (!(p.clip_seconds > 0 && p.clip_seconds <= 3600)) {
    throw ValueError("clip_seconds must be above 0 and at most 3600");
  }
  if (!(p.gap_seconds >= 0 && p.gap_seconds <= 86400)) {
    throw ValueError("gap_seconds must be from 0 to 86400");
  }
  if (std::llround(p.clip_seconds * p.fps) < 1) {
    throw ValueError("clip_seconds x fps gives no frame");
  }
}

}  // namespace

SynthRecording generate_recording(const SynthParams& p, const SynthProgress& progress) {
  validate(p);
  const std::chrono::year_month_day first_day = parse_date(p.first_date);
  const int t0 = parse_time(p.first_time);
  const long long frames_per_clip = std::llround(p.clip_seconds * p.fps);
  const long long gap_steps = std::llround(p.gap_seconds * p.fps);
  const double dt = 1.0 / p.fps;
  const std::vector<int> day_clips =
      p.day_clips.empty() ? std::vector<int>(static_cast<std::size_t>(p.days), p.clips)
                          : p.day_clips;
  const int most_clips = *std::max_element(day_clips.begin(), day_clips.end());
  std::vector<int> starts;
  for (int c = 0; c < most_clips; ++c) {
    const int t = t0 + static_cast<int>(std::floor(c * (p.clip_seconds + p.gap_seconds)));
    if (t >= 86400) throw ValueError("the clips of a day run past midnight");
    if (!starts.empty() && t == starts.back()) {
      throw ValueError("two clips would start in the same second (clips shorter than 1 s)");
    }
    starts.push_back(t);
  }

  const SceneLayout& L = scene_layout();
  SynthRecording rec;
  rec.root = p.root;
  rec.camera = p.camera;
  rec.fps = p.fps;
  make_dirs(p.root);
  const std::string gt_dir = path_join(p.root, "ground_truth");
  const std::string pen_dir = path_join(p.root, "pens");
  make_dirs(gt_dir);
  make_dirs(pen_dir);

  for (PenSide side : {kLeftPen, kRightPen}) {
    std::array<int, 4> crop = crop_region_for(side);
    rec.crop_regions[side] = crop;
    const std::string name = "Cam" + p.camera + (side == kLeftPen ? "_left.json" : ".json");
    const std::string path = path_join(pen_dir, name);
    write_file_atomic(path, pen_file_json(pen_polygon_in(side, crop),
                                          cv::Size(crop[2] - crop[0], crop[3] - crop[1])));
    rec.pen_files[side] = path;
  }

  Herd herd(p.animals_per_pen, p.seed);
  SceneRenderer renderer(herd.shapes(), p.seed);
  int total = 0;
  for (int n : day_clips) total += n;
  int done = 0;
  long long steps = 0;  // simulation steps so far
  const auto advance = [&] {
    herd.step(dt);
    ++steps;
  };
  for (int d = 0; d < static_cast<int>(day_clips.size()); ++d) {
    if (d > 0 && p.scatter_daily) herd.spread_out();
    const std::string date = date_text(
        std::chrono::year_month_day(std::chrono::sys_days(first_day) + std::chrono::days(d)));
    const std::string dir = path_join(p.root, date);
    make_dirs(dir);
    rec.sub_dirs.push_back(date);
    for (int c = 0; c < day_clips[static_cast<std::size_t>(d)]; ++c) {
      if (c > 0) {
        for (long long k = 0; k < gap_steps; ++k) advance();
      }
      GroundTruthClip gt;
      gt.video_name = "Camera" + p.camera + "_" + std::to_string(p.clip_number) + "_" + date +
                      time_digits(starts[c]);
      gt.fps = p.fps;
      gt.width = L.width;
      gt.height = L.height;
      gt.first_frame_time_ms = std::llround(steps * 1000.0 / p.fps);
      gt.animals = herd.shapes();
      for (long long f = 0; f < frames_per_clip; ++f) {
        gt.poses.push_back(herd.poses());
        advance();
      }

      const std::string file = gt.video_name + ".mp4";
      const std::string final_path = path_join(dir, file);
      const std::string tmp_path = path_join(dir, ".tmp_" + file);
      try {
        cv::VideoWriter writer(tmp_path, cv::CAP_FFMPEG,
                               cv::VideoWriter::fourcc('m', 'p', '4', 'v'), p.fps,
                               cv::Size(L.width, L.height));
        if (!writer.isOpened()) throw IoError("cannot write video '" + tmp_path + "'");
        // The next frame is rendered while this one is encoded, unless the
        // library is held to one thread.
        const auto policy = worker_threads() >= 2 ? std::launch::async : std::launch::deferred;
        std::future<cv::Mat> next =
            std::async(policy, [&] { return renderer.render(gt.poses[0]); });
        for (long long f = 0; f < frames_per_clip; ++f) {
          cv::Mat frame = next.get();
          if (f + 1 < frames_per_clip) {
            next = std::async(policy, [&, f] { return renderer.render(gt.poses[f + 1]); });
          }
          writer.write(frame);
          check_interrupt();
        }
        writer.release();
      } catch (...) {
        std::error_code rm;
        std::filesystem::remove(tmp_path, rm);  // no half-written clip stays behind
        throw;
      }
      std::error_code ec;
      std::filesystem::rename(tmp_path, final_path, ec);
      if (ec) throw IoError("cannot move '" + tmp_path + "' into place: " + ec.message());

      SynthClip clip;
      clip.path = final_path;
      clip.video_name = gt.video_name;
      clip.sub_dir = date;
      clip.date = date;
      const std::string td = time_digits(starts[c]);
      clip.time = td.substr(0, 2) + ":" + td.substr(2, 2) + ":" + td.substr(4, 2);
      clip.frames = static_cast<int>(frames_per_clip);
      clip.ground_truth = path_join(gt_dir, gt.video_name + ".json");
      write_file_atomic(clip.ground_truth, gt.to_json());
      rec.clips.push_back(clip);
      if (progress) progress(++done, total);
    }
  }

  Json doc;
  doc["root"] = rec.root;
  doc["camera"] = rec.camera;
  doc["fps"] = rec.fps;
  doc["frame_size"] = {L.width, L.height};
  doc["animals_per_pen"] = p.animals_per_pen;
  doc["seed"] = p.seed;
  doc["sub_dirs"] = rec.sub_dirs;
  Json clips = Json::array();
  for (const SynthClip& c : rec.clips) {
    Json j;
    j["path"] = c.path;
    j["video_name"] = c.video_name;
    j["sub_dir"] = c.sub_dir;
    j["date"] = c.date;
    j["time"] = c.time;
    j["frames"] = c.frames;
    j["ground_truth"] = c.ground_truth;
    clips.push_back(j);
  }
  doc["clips"] = clips;
  doc["pen_files"] = {{"left", rec.pen_files[kLeftPen]}, {"right", rec.pen_files[kRightPen]}};
  doc["crop_regions"] = {{"left", rec.crop_regions[kLeftPen]},
                         {"right", rec.crop_regions[kRightPen]}};
  doc["marker"] = {L.marker.x, L.marker.y, L.marker.x + L.marker.width,
                   L.marker.y + L.marker.height};
  rec.manifest = path_join(p.root, "recording.json");
  write_file_atomic(rec.manifest, doc.dump(4));
  return rec;
}

}  // namespace vexo::standins
