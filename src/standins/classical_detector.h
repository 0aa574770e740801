// Classical stand-in for the text-prompted animal detector: bright,
// animal-sized blobs on a darker floor, found with a brightness threshold,
// morphology and connected components. Each blob's confidence grows with its
// contrast against the floor around it.
#pragma once

#include <array>
#include <opencv2/core.hpp>
#include <vector>

namespace vexo::standins {

struct BlobDetectorParams {
  // Pixels darker than this never belong to an animal (grey 0..255); the
  // threshold used is the larger of this and the frame's Otsu threshold.
  double min_brightness = 90.0;
  // Most saturated colour still taken for an animal (HSV saturation 0..255).
  double max_saturation = 150.0;
  // Smallest and largest blob, as fractions of the frame area.
  double min_area_fraction = 0.0004;
  double max_area_fraction = 0.25;
  int open_size = 5;    // opening kernel (removes specks)
  int close_size = 9;   // closing kernel (bridges dark marks)
  int ring_width = 12;  // floor ring measured around each blob for its contrast
  // The three sizes above are in pixels of a frame this many rows high and
  // scale with the frame's height, so the closing that bridges the marks on
  // an animal's skin never bridges the gap between two animals in a smaller
  // frame (0: the sizes are taken as given). Kernels are odd-sized: an even
  // size acts as the odd size below it.
  int reference_rows = 520;
};

struct Blob {
  std::array<double, 4> box;  // x_min, y_min, x_max, y_max (pixel edges)
  double score = 0;           // 0..1
  double area = 0;            // pixels of the blob
};

// Blobs of an 8-bit RGB frame, in component order (top to bottom).
std::vector<Blob> detect_blobs(const cv::Mat& rgb, const BlobDetectorParams& p = {});

}  // namespace vexo::standins
