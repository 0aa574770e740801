// First-frame initializer: walks a clip's frames at a stride and returns one
// mask per pig for the first frame in which exactly the expected number of
// pigs is told apart (detected inside the pen, of plausible size, segmented,
// and not overlapping another kept pig).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/mask.h"
#include "detection/models.h"
#include "pen/pen_membership.h"

namespace vexo::detection {

struct InitializerOptions {
  std::int64_t start_index = 0;
  std::int64_t step = 10;
  double gdino_thr = 0.25;
  std::int64_t close_set_num = 10;
  std::optional<std::string> custom_pen_json_path;
};

struct InitializerResult {
  bool found = false;
  // Kept masks (nonzero = object), each H x W, in box order; they may view
  // the segmenter's answer, which `prediction` keeps alive.
  std::vector<cv::Mat> masks;
  // Positions of the kept masks in the segmenter's answer.
  std::vector<std::size_t> kept;
  // The segmenter's answer for the accepted frame (MaskStack::keep).
  KeepAlive prediction;
  // The segmenter answered a single box with a 3-D stack: each entry then
  // keeps its leading axis of length 1 (1 x H x W).
  bool leading_axis = false;
  int rows = 0, cols = 0;
  std::vector<std::string> labels;
  std::vector<double> scores;
  std::int64_t frame_index = -1;
  cv::Mat annotated;  // RGBA
};

// The boxes of one frame after the pen filter (at least 40 percent of the box
// inside the pen) and the size filter (area below 1,500,000 for boxes whose
// top lies above half the frame height, below 4,000,000 otherwise).
Detections filter_pen_and_size(const Detections& d, const std::vector<cv::Point2d>& pen,
                               int frame_rows);

// What the segmenter's masks for one frame leave: the masks normalised to
// one H x W plane per box, their stats, the overlap table and the boxes kept
// after overlap removal.
struct FrameMasks {
  std::vector<cv::Mat> planes;
  std::vector<MaskStat> stats;
  std::vector<double> table;  // row-major M x M
  std::vector<std::size_t> kept;
  bool leading_axis = false;
  KeepAlive keep;  // memory the planes point into
};

// Normalises the predicted stack (N x 1 x H x W loses axis 1; a 3-D stack is
// one entry, so it must hold a single mask) and checks one frame-size mask
// per box. ValueError otherwise.
std::vector<cv::Mat> normalise_prediction(const MaskStack& st, std::size_t boxes, int rows,
                                          int cols, bool& leading_axis);

// Overlap table of the masks and removal: for every cell above 8 percent the
// box with the lower confidence goes (the row box on a tie).
FrameMasks overlap_removal(std::vector<cv::Mat> planes, const std::vector<double>& scores);

// Text of the kept indices ("[0 1 2]") and of confidences ("[0.85 0.79]",
// single-precision values written in their own shortest form).
std::string fmt_index_list(const std::vector<std::size_t>& v);
std::string fmt_score_list(const std::vector<double>& v, bool single_precision);

InitializerResult initializer(const std::string& video_dir,
                              const std::vector<std::string>& frame_names, FrameSource& frames,
                              GroundingDetector& detector, ImageSegmenter& segmenter,
                              const InitializerOptions& opt);

}  // namespace vexo::detection
