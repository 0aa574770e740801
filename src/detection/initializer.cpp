#include "detection/initializer.h"

#include <charconv>
#include <cstring>

#include "core/console.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/mask_scan.h"
#include "core/overlap.h"
#include "core/parallel.h"
#include "detection/gdino_filter.h"
#include "pen/pen_file.h"
#include "visual/drawing.h"

namespace vexo::detection {

namespace {

constexpr const char* kPrompt = "pig.";
constexpr double kPenRatio = 40.0;
constexpr double kUpperAreaLimit = 1500000.0;
constexpr double kLowerAreaLimit = 4000000.0;
constexpr double kOverlapLimit = 8.0;

std::string fmt_single(float v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof(buf), v);
  std::string s(buf, r.ptr);
  if (s.find_first_of(".en") == std::string::npos) s += ".0";
  return s;
}

std::string box_key(std::size_t i) { return "Box" + std::to_string(i); }

}  // namespace

std::string fmt_index_list(const std::vector<std::size_t>& v) {
  std::string s = "[";
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i) s += ' ';
    s += std::to_string(v[i]);
  }
  return s + "]";
}

std::string fmt_score_list(const std::vector<double>& v, bool single_precision) {
  std::string s = "[";
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i) s += ' ';
    s += single_precision ? fmt_single(static_cast<float>(v[i])) : fmt_float(v[i]);
  }
  return s + "]";
}

Detections filter_pen_and_size(const Detections& d, const std::vector<cv::Point2d>& pen,
                               int frame_rows) {
  std::vector<pen::RealBox> boxes(d.boxes.begin(), d.boxes.end());
  pen::PenRatios pr = pen::calculate_pen_intersection_ratio(pen, boxes, kPenRatio);
  const double half = 0.5 * frame_rows;
  std::vector<std::size_t> keep;
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (!pr.in_pen[i]) continue;
    const BoxXYXY& b = d.boxes[i];
    const double area = (b[2] - b[0]) * (b[3] - b[1]);
    const double limit = b[1] < half ? kUpperAreaLimit : kLowerAreaLimit;
    if (area < limit) keep.push_back(i);
  }
  return take_detections(d, keep);
}

std::vector<cv::Mat> normalise_prediction(const MaskStack& st, std::size_t boxes, int rows,
                                          int cols, bool& leading_axis) {
  const int nd = st.ndim();
  std::string shape = "(";
  for (std::size_t i = 0; i < st.shape.size(); ++i) {
    shape += (i ? ", " : "") + std::to_string(st.shape[i]);
  }
  shape += ")";
  leading_axis = false;
  if (nd == 3) {
    // One entry: the whole former stack. It can stand for one box only.
    if (st.shape[0] != 1) {
      throw ValueError("image_predictor.predict returned masks of shape " + shape +
                       ", which is one entry of " + std::to_string(st.shape[0]) +
                       " masks; expected one mask per box");
    }
    leading_axis = true;
  } else if (nd == 4) {
    if (st.shape[1] != 1) {
      throw ValueError("image_predictor.predict returned masks of shape " + shape +
                       "; axis 1 must have length 1 (single mask output)");
    }
  } else {
    throw ValueError("image_predictor.predict returned masks of shape " + shape +
                     "; expected 1 x H x W or N x 1 x H x W");
  }
  if (st.planes.size() != boxes) {
    throw ValueError("image_predictor.predict returned " + std::to_string(st.planes.size()) +
                     " masks for " + std::to_string(boxes) + " boxes");
  }
  if (st.shape[nd - 2] != rows || st.shape[nd - 1] != cols) {
    throw ValueError("image_predictor.predict returned masks of shape " + shape +
                     " for a frame of " + std::to_string(rows) + " x " + std::to_string(cols));
  }
  return st.planes;
}

FrameMasks overlap_removal(std::vector<cv::Mat> planes, const std::vector<double>& scores) {
  FrameMasks fm;
  fm.planes = std::move(planes);
  const std::size_t m = fm.planes.size();
  fm.stats.resize(m);
  parallel_for(m, [&](std::size_t i) { fm.stats[i] = scan_mask(fm.planes[i]); });
  std::vector<double> areas(m);
  for (std::size_t i = 0; i < m; ++i) areas[i] = static_cast<double>(fm.stats[i].area);
  fm.table = intersection_table(fm.planes, fm.stats, areas);
  std::vector<bool> removed(m, false);
  for (std::size_t r = 0; r < m; ++r) {
    for (std::size_t c = 0; c < m; ++c) {
      if (fm.table[r * m + c] > kOverlapLimit) {
        if (scores[r] > scores[c]) {
          removed[c] = true;
        } else {
          removed[r] = true;
        }
      }
    }
  }
  for (std::size_t i = 0; i < m; ++i) {
    if (!removed[i]) fm.kept.push_back(i);
  }
  return fm;
}

InitializerResult initializer(const std::string& video_dir,
                              const std::vector<std::string>& frame_names, FrameSource& frames,
                              GroundingDetector& detector, ImageSegmenter& segmenter,
                              const InitializerOptions& opt) {
  if (opt.step < 1) throw ValueError("step must be a positive number of frames");
  if (opt.start_index < 0) throw ValueError("start_index must not be negative");
  std::optional<std::string> pen_path = pen::get_pen_json_path(video_dir, opt.custom_pen_json_path);
  print_line("Using pen JSON path: " + (pen_path ? *pen_path : std::string("None")));

  InitializerResult res;
  const auto n = static_cast<std::int64_t>(frame_names.size());
  for (std::int64_t idx = opt.start_index; idx < n; idx += opt.step) {
    check_interrupt();
    const std::string& path = frame_names[static_cast<std::size_t>(idx)];
    const std::string idx_text = std::to_string(idx);
    FrameImage frame = frames.open(path);
    const int rows = frame.rgb.rows, cols = frame.rgb.cols;

    Detections dets = process_gdino_results(detector.detect(frame, kPrompt, opt.gdino_thr), "pig");
    if (dets.size() == 0) {
      print_line("No boxes found in frame " + idx_text + ". Skipping to next frame.");
      continue;
    }
    if (!pen_path) {
      throw FileNotFound("no pen polygon file is known for the frame folder " + video_dir +
                         " (pass custom_pen_json_path)");
    }
    pen::PenDrawing pen = pen::draw_pen(path, *pen_path, false);
    dets = filter_pen_and_size(dets, pen.polygon.points, rows);

    std::size_t kept_count = 0;
    FrameMasks fm;
    if (dets.size() > 0) {
      segmenter.set_image(frame.rgb);
      MaskStack st = segmenter.predict(dets.boxes);
      bool leading = false;
      std::vector<cv::Mat> planes = normalise_prediction(st, dets.size(), rows, cols, leading);
      fm = overlap_removal(std::move(planes), dets.scores);
      fm.leading_axis = leading;
      fm.keep = std::move(st.keep);
      kept_count = fm.kept.size();
      print_line("Boxes will be kept: " + fmt_index_list(fm.kept) + ", totally " +
                 std::to_string(kept_count) + " keys");
    }

    // A frame where no box survives the pen and size filters counts as one
    // with too few boxes.
    if (dets.size() > 0 && static_cast<std::int64_t>(kept_count) == opt.close_set_num) {
      Detections kept = take_detections(dets, fm.kept);
      res.found = true;
      res.frame_index = idx;
      res.labels = kept.labels;
      res.scores = kept.scores;
      res.leading_axis = fm.leading_axis;
      res.kept = fm.kept;
      res.prediction = fm.keep;
      res.rows = rows;
      res.cols = cols;
      std::vector<std::string> keys;
      for (std::size_t k = 0; k < kept_count; ++k) {
        res.masks.push_back(fm.planes[fm.kept[k]]);
        keys.push_back(box_key(k));
      }
      print_line("ann_frame_idx [" + idx_text + "] works!!!");
      print_line(fmt_score_list(res.scores, kept.single_precision_scores));
      res.annotated = visual::img_bbx_drawing(frame.rgb, keys, res.masks);  // draws on a new image
      return res;
    }
    if (static_cast<std::int64_t>(kept_count) > opt.close_set_num && dets.size() > 0) {
      print_line("ann_frame_idx [" + idx_text + "] cannot work, too many bbx found..\n");
    } else {
      print_line("ann_frame_idx [" + idx_text + "] cannot work, too few bbx found..\n");
    }
    if (idx == n - 1) {
      print_line("No frame can work for " + std::to_string(opt.close_set_num) +
                 " bbx, potential all stacking \n");
    }
  }
  return res;
}

}  // namespace vexo::detection
