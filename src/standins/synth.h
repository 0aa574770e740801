// Synthetic overhead recordings of two pig pens: a 2560 x 1440 camera view
// with an orange marker on the divider between a left and a right pen, ten
// pig-like animals per pen that walk, stand, lie down and now and then lie
// against a pen mate, written as MP4 clips named the way the recording
// station names them, with the pen outline of each side and the ground
// truth pose of every animal in every frame.
//
// Animal geometry is analytic (a body ellipse and a head ellipse in the
// animal's own frame, widened while lying), so a ground-truth mask is
// re-rendered exactly from the stored pose: the renderer and the ground
// truth use one inside test on pixel centres.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

namespace vexo::standins {

// ---- scene -----------------------------------------------------------------

enum PenSide : int { kLeftPen = 0, kRightPen = 1 };

struct SceneLayout {
  int width = 2560, height = 1440;
  cv::Rect marker;                              // orange divider marker (full frame)
  std::array<std::vector<cv::Point2d>, 2> pen;  // pen interiors, left and right
};
// The camera's fixed layout.
const SceneLayout& scene_layout();

// The crop region x1, y1, x2, y2 the frame extractor derives from the marker
// for one side of it (full-frame pixels; columns x1..x2-1 are kept).
std::array<int, 4> crop_region_for(PenSide side);

// The pen outline of `side` in the pixels of frames cropped to `crop` and
// scaled to `out_size` (out_size empty: not scaled).
std::vector<cv::Point2d> pen_polygon_in(PenSide side, const std::array<int, 4>& crop,
                                        cv::Size out_size = {});
// Pen polygon file text ({"shapes": [{"label": "pen", "points": ...}], ...}).
std::string pen_file_json(const std::vector<cv::Point2d>& polygon, cv::Size image_size);

// ---- animals -------------------------------------------------------------

struct AnimalShape {
  int id = 1;  // 1-based, unique over both pens
  PenSide pen = kRightPen;
  double body_a = 0, body_b = 0;                   // body semi-axes (length, width)
  double head_offset = 0, head_a = 0, head_b = 0;  // head centre along the body axis, semi-axes
};

struct AnimalPose {
  double cx = 0, cy = 0;  // body centre, full-frame pixels
  double angle = 0;       // heading in radians in image axes: (cos, sin) points to the head
  double lying = 0;       // 0 standing .. 1 lying on the side (wider, slightly shorter)
};

// Whether the point (x, y) (full-frame pixel coordinates, pixel centres at
// integers) lies inside the animal.
bool inside_animal(const AnimalShape& s, const AnimalPose& p, double x, double y);

// Half-size of a square around the centre that holds the animal in any pose.
double animal_reach(const AnimalShape& s);

// Indexes of the animals in drawing order: lying animals first, then the
// standing ones, each group by id. Later animals cover earlier ones.
std::vector<std::size_t> draw_order(const std::vector<AnimalShape>& shapes,
                                    const std::vector<AnimalPose>& poses);

// ---- ground truth ----------------------------------------------------------

struct GroundTruthClip {
  std::string video_name;
  double fps = 0;
  int width = 0, height = 0;
  std::int64_t first_frame_time_ms = 0;  // simulated time of frame 0
  std::vector<AnimalShape> animals;
  std::vector<std::vector<AnimalPose>> poses;  // [frame][animal]

  static GroundTruthClip parse(const std::string& json_text);
  static GroundTruthClip load(const std::string& path);
  std::string to_json() const;

  // Masks (8-bit 0/1) of the animals of `pen` (all when absent) in video
  // frame `frame`, in the pixels of frames cropped to `crop` and scaled to
  // `out_size` (empty: the crop's own size). With `visible`, parts covered by
  // animals drawn later are left out. `ids` receives the animal ids.
  std::vector<cv::Mat> masks(std::size_t frame, const std::array<int, 4>& crop, cv::Size out_size,
                             std::optional<PenSide> pen, bool visible,
                             std::vector<int>* ids = nullptr) const;
};

// ---- the herd simulation ------------------------------------------------------

class Herd {
 public:
  Herd(int animals_per_pen, std::uint64_t seed);
  ~Herd();
  Herd(const Herd&) = delete;
  Herd& operator=(const Herd&) = delete;

  const std::vector<AnimalShape>& shapes() const;
  // Current poses, rounded to the precision stored in ground-truth files.
  std::vector<AnimalPose> poses() const;
  // Advances the simulation by dt seconds.
  void step(double dt);
  // Every animal gets up and moves the shortest way to a place well clear of
  // its pen mates, and stands there for some seconds before it goes on as
  // before (the herd at the morning feed).
  void spread_out();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// ---- rendering ---------------------------------------------------------------

class SceneRenderer {
 public:
  // Builds the static background and one skin texture per animal.
  SceneRenderer(const std::vector<AnimalShape>& shapes, std::uint64_t seed);
  ~SceneRenderer();
  SceneRenderer(const SceneRenderer&) = delete;
  SceneRenderer& operator=(const SceneRenderer&) = delete;

  // A BGR frame of the scene with the animals at `poses`.
  cv::Mat render(const std::vector<AnimalPose>& poses) const;
  const cv::Mat& background() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// ---- recordings ---------------------------------------------------------------

struct SynthParams {
  std::string root;                     // recordings root (created)
  std::string camera = "61";            // camera number in clip names
  int clip_number = 1;                  // the second number in clip names
  int clips = 2;                        // clips per day
  int days = 1;                         // dated sub-folders, one per day
  std::vector<int> day_clips;           // clips of each day (overrides clips and days)
  bool scatter_daily = false;           // the herd spreads out as every day but the first begins
  double clip_seconds = 6.0;            // length of each clip
  double fps = 10.0;                    // frame rate of the clips
  double gap_seconds = 0.0;             // simulated time between consecutive clips of a day
  std::string first_date = "20240131";  // YYYYMMDD of the first day
  std::string first_time = "08:00:00";  // start of the first clip of each day
  int animals_per_pen = 10;
  std::uint64_t seed = 0;
};

struct SynthClip {
  std::string path, video_name, sub_dir, date, time, ground_truth;
  int frames = 0;
};

struct SynthRecording {
  std::string root, manifest, camera;
  std::vector<std::string> sub_dirs;
  std::vector<SynthClip> clips;
  std::array<std::string, 2> pen_files;  // left and right, at the cropped frames' own size
  std::array<std::array<int, 4>, 2> crop_regions;
  double fps = 0;
};

// Progress of a generation: clips done, clips in all.
using SynthProgress = std::function<void(int done, int total)>;

// Writes the recording: <root>/<YYYYMMDD>/Camera<c>_<n>_<YYYYMMDD><HHMMSS>.mp4,
// <root>/ground_truth/<video name>.json, <root>/pens/Cam<c>.json (right pen),
// <root>/pens/Cam<c>_left.json and <root>/recording.json (the manifest).
SynthRecording generate_recording(const SynthParams& p, const SynthProgress& progress = {});

}  // namespace vexo::standins
