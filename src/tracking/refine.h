// Cleaning of propagated masks: each pig's mask is cut to the pen, split into
// 8-connected components, reduced to its main component plus large and close
// companions, and dropped where it jumped too far from the pig's previous
// position. A mask is read once, as runs of pixels along its rows; all later
// work is proportional to those runs and to the components' boxes.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/mask.h"

namespace vexo::tracking {

struct RefineParams {
  double min_area_ratio = 0.3;
  double distance_ratio_large = 0.5;  // main component of 1000 pixels or more
  double distance_ratio_small = 1.5;
  double max_prev_dist = 200;
};

// A pig's position: mean column x and mean row y of its pixels.
struct Centroid {
  double x = 0, y = 0;
};

// Pixels x1 .. x2 (inclusive) of row y.
struct PixelRun {
  int y = 0, x1 = 0, x2 = 0;
};
using PixelRuns = std::vector<PixelRun>;

// Runs of the nonzero pixels of an 8-bit mask, rows top to bottom, each row
// left to right.
PixelRuns mask_runs(const cv::Mat& mask);

// The pen of one frame size as runs, indexed by row.
struct PenRuns {
  int rows = 0, cols = 0;
  PixelRuns runs;
  std::vector<std::size_t> row_start;  // runs of row y: [row_start[y], row_start[y + 1])
};
PenRuns pen_runs(const cv::Mat& pen);
// The parts of `runs` inside the pen.
PixelRuns cut_runs(const PixelRuns& runs, const PenRuns& pen);

// 8-connected components of a mask with per-label statistics in frame
// coordinates. Label 0 is the background; labels are numbered as OpenCV's
// 8-connected component analysis numbers them: in the order a scan of 2 x 2
// pixel blocks (block rows top to bottom, each left to right) first meets
// each component. Built either from a label image (`labels`,
// covering `roi`) or from runs (`runs` with `run_label`, no label image).
struct Components {
  Box roi;
  cv::Mat labels;  // CV_32S, roi-sized; empty for run-built components
  PixelRuns runs;
  std::vector<int> run_label;
  int num_labels = 1;
  std::vector<std::int64_t> area;
  std::vector<Box> box;
  std::vector<Centroid> centroid;
  std::vector<double> sum_x, sum_y;  // exact coordinate sums
};

// Whole-frame analysis of a mask, as a component analysis returns it: the
// frame's label image and statistics for every label, background included.
Components frame_components(const cv::Mat& mask);
// Components of runs given in raster order.
Components run_components(const PixelRuns& runs);
// Components given as a full-frame label image with per-label areas and
// centroids (as a component analysis returns them). Boxes are measured from
// the labels; ValueError for labels outside 0 .. num_labels - 1.
Components components_from_labels(const cv::Mat& labels, int num_labels,
                                  const std::vector<std::int64_t>& area,
                                  const std::vector<Centroid>& centroid);

struct MainBlob {
  int best_idx = 0;
  double min_area_threshold = 0;
  double max_distance_threshold = 0;
};

// The main component: the largest, or with a previous position the one of the
// five largest nearest to it (earlier candidate on ties; equal areas in label
// order), with the area and distance limits for its companions. ValueError
// when there is no foreground component.
MainBlob choose_main_blob(const Components& c, const std::optional<Centroid>& prev,
                          const RefineParams& p);

// Labels kept: within `max_prev_dist` of the previous position (when there is
// one) and either the main component or a component of at least
// `min_area_threshold` pixels whose contour lies within
// `max_distance_threshold` of the main one. All comparisons inclusive.
std::vector<int> kept_labels(const Components& c, int best_idx, double max_distance_threshold,
                             double min_area_threshold, const std::optional<Centroid>& prev,
                             double max_prev_dist);

// Outer contour vertices (simple chain approximation) of the nonzero pixels of
// `mask` inside `roi` (which must hold them all), in frame coordinates.
std::vector<cv::Point> outer_contour_points(const cv::Mat& mask, const Box& roi);
// Outer contour vertices of one component.
std::vector<cv::Point> label_contour_points(const Components& c, int label);
// Smallest Euclidean distance between two point sets; +inf when one is empty.
double min_point_distance(const std::vector<cv::Point>& a, const std::vector<cv::Point>& b);
// Smallest distance between the outer contour vertices of two masks.
double blob_shortest_distance(const cv::Mat& a, const cv::Mat& b);

double centroid_distance(const Centroid& a, const Centroid& b);

// Outcome of refining one mask.
struct RefineResult {
  enum class Kind {
    Unchanged,   // empty mask: left as it is
    OutsidePen,  // nothing inside the pen: replaced by the (empty) in-pen mask
    Cleaned,     // replaced by the pixels of `runs`
    FirstFrame,  // everything rejected in the first frame: the uncut mask, as `runs`
    Emptied,     // everything rejected: replaced by an empty mask
  };
  Kind kind = Kind::Unchanged;
  PixelRuns runs;
  std::optional<Centroid> centroid;  // the pig's new previous position, when updated
  cv::Mat pixels;                    // `runs` drawn by render_runs, when asked for
  // For a mask edited in place: its pixels to clear; `runs` then holds only
  // kept pixels still to be set to 1 (none when they all hold 1 already).
  PixelRuns cleared_runs;
};

// The pixels of `a` not in `b`, both in raster order.
PixelRuns runs_minus(const PixelRuns& a, const PixelRuns& b);

// Sets the bytes of `runs` to `value` in a row-major 8-bit image of `stride`
// bytes per row; nothing else is written.
void fill_runs(std::uint8_t* data, std::size_t stride, const PixelRuns& runs, std::uint8_t value);
// A rows x cols 8-bit mask, 1 on `runs` and 0 elsewhere, in zeroed memory:
// only the pages the runs lie on are ever written.
cv::Mat render_runs(const PixelRuns& runs, int rows, int cols);

// The first-frame rule, for a mask of which no component is kept: the first
// frame of a clip keeps its mask as it was (FirstFrame), later frames lose it
// (Emptied).
RefineResult::Kind rejected_mask_kind(bool first_frame);
// The console line reporting a frame's mask from which nothing was kept.
std::string clean_frame_line(const std::string& frame, const std::string& object);
// The line following it when refinement leaves the pig without a mask.
std::string no_mask_line(const std::string& frame, const std::string& object);

// The keeping step over a full-frame label image: sets out (rows x cols
// bytes, row-major, zero on entry) to 1 where the pixel's label is among
// `kept`, writing nothing elsewhere. Returns the number of pixels set.
std::int64_t kept_label_pixels(const cv::Mat& labels, int num_labels, const std::vector<int>& kept,
                               std::uint8_t* out);

// Refines one H x W mask (nonzero inside) against the pen of its size.
RefineResult refine_runs(const PixelRuns& mask, const PenRuns& pen,
                         const std::optional<Centroid>& prev, bool first_frame,
                         const RefineParams& p);
RefineResult refine_mask(const cv::Mat& mask, const cv::Mat& pen,
                         const std::optional<Centroid>& prev, bool first_frame,
                         const RefineParams& p);

// Where the pen outline of a clip comes from: the pen file, read once and
// rasterised once per frame size.
class PenMasks {
 public:
  // `pen_path` absent: no pen file is known for the clip (`clip_dir` names
  // the clip in the error raised on first use).
  PenMasks(std::optional<std::string> pen_path, std::string clip_dir);
  // The pen of a rows x cols frame; thread-safe. Throws the pen file's read
  // error on every call when it cannot be read.
  std::shared_ptr<const PenRuns> get(int rows, int cols);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// One mask of a clip's segments, in map order (frames, then objects).
struct SegmentMask {
  std::size_t frame_pos = 0;   // position of the frame in the map (0 = first frame)
  std::int64_t frame_idx = 0;  // the frame's index into the clip's frame list
  std::size_t chain = 0;       // which pig: masks of one pig are refined in order
  cv::Mat mask;                // H x W, nonzero inside
  bool edit_in_place = false;  // the caller rewrites `mask` itself: hand back what to
                               // change (cleared_runs, runs) instead of drawing the result
};

struct SegmentsOutcome {
  std::vector<RefineResult> results;  // one per mask
  std::vector<char> refined;          // per mask: whether `results` holds its result
  std::size_t done = 0;               // leading masks (in map order) refined
  std::exception_ptr error;           // the failure, or Interrupted, that stopped the work
};

// Refines every mask, pigs in parallel and each pig's masks in map order.
// `prev` holds each chain's previous position. A frame index outside the
// frame list (of `frame_count` names; negative indices count from its end) or
// an unreadable pen file fails the first nonempty mask it concerns: only the
// masks before the first failure in map order count as refined. A host
// interrupt stops the work within a few masks; every mask refined before it
// counts (for each pig, a run of its first masks), so a later call can go on
// from there. With `render`, cleaned and first-frame results of masks not
// edited in place carry their pixels, drawn on the worker threads.
SegmentsOutcome refine_segments(const std::vector<SegmentMask>& masks,
                                std::vector<std::optional<Centroid>> prev, std::size_t frame_count,
                                PenMasks& pen, const RefineParams& p, bool render = false);

}  // namespace vexo::tracking
