// Stand-in for the segmenter's video propagation: first-frame masks are
// carried through the following frames by re-segmenting each object inside
// its previous box, enlarged a little. Per frame and object:
//   1. foreground inside the enlarged box: pixels brighter than the box's
//      own Otsu threshold (and than a floor), not strongly coloured, closed
//      to bridge dark marks on the body;
//   2. kept only within a short reach of the object's previous mask (animals
//      move a little between frames);
//   3. a pixel claimed by several objects goes to the object whose previous
//      mask is nearest (ties: all of them), so touching animals stay apart;
//   4. the connected part that overlaps the previous mask most, holes filled.
// An object whose new mask shrinks below a fraction of its previous area is
// taken as briefly lost and keeps its previous mask. Object ids are kept.
#pragma once

#include <cstdint>
#include <functional>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace vexo::standins {

struct PropagationParams {
  double box_margin = 0.25;     // box enlargement, fraction of the box's larger side
  int min_box_margin = 12;      // at least this many pixels
  double max_shift = 0.1;       // reach around the previous mask, fraction of the larger side
  int min_shift = 6;            // at least this many pixels
  double min_brightness = 90;   // foreground is never darker than this (grey 0..255)
  double max_saturation = 150;  // nor more saturated than this (HSV 0..255)
  int close_size = 9;           // closing kernel bridging dark marks
  double min_keep = 0.3;        // below this share of the previous area: keep the previous mask
};

struct ObjectMask {
  std::int64_t id = 1;
  cv::Mat mask;  // frame-size 8-bit, 0/1
};

// One step: the objects' masks in `bgr` (8-bit BGR) from their masks in the
// frame before. Masks of the frame's size are required (ValueError).
std::vector<ObjectMask> propagate_step(const cv::Mat& bgr, const std::vector<ObjectMask>& previous,
                                       const PropagationParams& p = {});

using SegmentsSink = std::function<void(std::size_t frame_idx, const std::vector<ObjectMask>&)>;

// Reads frame_paths[start], frame_paths[start + 1], ... (at most max_frames
// frames when it is not 0) and hands `sink` the seed masks for `start` and
// the propagated masks of each later frame, in order. FileNotFound / IoError
// for a frame that cannot be read; ValueError for frames of another size
// than the masks.
void propagate_masks(const std::vector<std::string>& frame_paths, std::size_t start,
                     const std::vector<ObjectMask>& seeds, const PropagationParams& p,
                     const SegmentsSink& sink, std::size_t max_frames = 0);

}  // namespace vexo::standins
