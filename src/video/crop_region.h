// The per-camera crop region: the orange pen marker, the pen beside it, and
// the cache that keeps a camera's region between windows and clips.
#pragma once

#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <vector>

namespace vexo::video {

// x1, y1, x2, y2 in pixels of the full camera frame; keeps rows y1..y2-1 and
// columns x1..x2-1.
struct CropRegion {
  std::int64_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  bool operator==(const CropRegion&) const = default;
};

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

}  // namespace vexo::video
