// Cutting clips into time windows of cropped still frames: clip duration,
// the orange pen marker, the per-camera crop region and the frame writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vexo::video {

// A number as the host holds it: an integer, or a real once a real took part
// in the arithmetic. Window bounds are written into folder names and messages
// in this form (0, 10, 0.1, 0.30000000000000004, 2.0).
struct Number {
  bool is_int = true;
  std::int64_t i = 0;
  double d = 0.0;

  static Number integer(std::int64_t v) { return Number{true, v, 0.0}; }
  static Number real(double v) { return Number{false, 0, v}; }
  double value() const { return is_int ? static_cast<double>(i) : d; }
  std::string text() const;
};
Number operator+(const Number& a, const Number& b);

// x1, y1, x2, y2 in pixels of the full camera frame; keeps rows y1..y2-1 and
// columns x1..x2-1.
struct CropRegion {
  std::int64_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  bool operator==(const CropRegion&) const = default;
};

// Clip length in minutes, or nothing (after a message) when the clip cannot
// be opened. Prints the frame rate, frame count and duration.
std::optional<double> video_duration_minutes(const std::string& video_path);

// Bounding box of the orange marker in a BGR frame: of the two largest orange
// blobs, the one whose centroid lies further right. Nothing when no orange
// pixel region exists.
std::optional<CropRegion> find_orange_region(const cv::Mat& bgr);

// The pen region beside a marker box, for frames 2560 x 1440.
CropRegion pen_region(const CropRegion& marker, bool left_crop);

// Where crop regions are cached between windows and clips. `camera` indexes
// the caller's table of camera keys.
class RegionCache {
 public:
  virtual ~RegionCache() = default;
  virtual std::optional<CropRegion> lookup(std::size_t camera) = 0;
  virtual void store(std::size_t camera, const CropRegion& region) = 0;
};

// A cache kept in memory, keyed by camera index.
class MemoryRegionCache : public RegionCache {
 public:
  std::optional<CropRegion> lookup(std::size_t camera) override;
  void store(std::size_t camera, const CropRegion& region) override;
  std::vector<std::optional<CropRegion>> regions;
};

struct ExtractSettings {
  std::optional<std::int64_t> resize_height;  // scale saved frames to this height
  std::int64_t frame_skip = 1;                // never 0
  Number time_step = Number::real(0.1);       // minutes per window
  std::string output_dir_base = "D:\\ToBeLabeled_20pigs/";
  bool crop = true;  // the record's setting, used for whole catalogues
  bool left_crop = false;
  // Decode on one thread while a second one crops, scales and encodes. The
  // files written are the same either way.
  bool overlap = true;
  // For whole catalogues: decode the next window of a clip on its own thread
  // while the current one finishes. Files and console lines are the same.
  bool windows_ahead = true;
};

struct WindowJob {
  std::string video_path;
  std::string output_dir;  // the folder named in messages
  std::string write_dir;   // where the files go (output_dir unless staged)
  Number start_min = Number::integer(10);
  Number end_min = Number::integer(12);
  std::string camera_label = "None";  // camera number as text, for messages
  std::size_t camera = 0;             // cache index
  bool crop = true;
};

// Writes the selected frames of one window as 0000.jpg, 0001.jpg, ... into
// job.write_dir (created with its parents). Start and end frames are rounded
// to whole frames.
void crop_video_to_frames(const ExtractSettings& settings, RegionCache& cache,
                          const WindowJob& job);

// Window bounds of a clip of `duration` minutes: integer 0, then sums of
// `step`; the last window ends at the duration. ValueError for a step that is
// not a positive finite number.
std::vector<std::pair<Number, Number>> plan_windows(double duration, const Number& step);

// base + "/" + date + "/" + name + "/" + start + "min_to_" + end +
// "min/left_cropped_frames" (or right_cropped_frames).
std::string window_folder(const std::string& base, const std::string& date,
                          const std::string& video_name, const Number& start, const Number& end,
                          bool left_crop);
// The folder a window is written into before it is renamed to `folder`.
std::string staging_folder(const std::string& folder);

struct ClipRow {
  std::string video_name;
  std::string file_path;
  std::string date;
  std::string camera_label;  // camera number as text, for messages
  std::size_t camera = 0;    // cache index
};

// Cuts every clip into windows. A window whose folder exists is skipped; the
// others are written into a staging folder beside the final one and renamed
// into place when complete, so an interrupted window is redone next time.
void process_videos_to_frames(const ExtractSettings& settings, RegionCache& cache,
                              const std::vector<ClipRow>& rows);

}  // namespace vexo::video
