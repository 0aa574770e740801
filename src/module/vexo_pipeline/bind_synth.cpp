#include <cstring>

#include "common/convert.h"
#include "core/errors.h"
#include "core/fsutil.h"
#include "core/mask.h"
#include "standins/propagation.h"
#include "standins/synth.h"
#include "vexo_pipeline/bindings.h"

namespace vexo::py_bind {

namespace {

using namespace pybind11::literals;
using standins::PenSide;

PenSide side_from_py(py::handle obj, const char* what) {
  std::string s = to_str(obj, what);
  if (s == "left") return standins::kLeftPen;
  if (s == "right") return standins::kRightPen;
  throw vexo::ValueError(std::string(what) + ": expected 'left' or 'right', got '" + s + "'");
}

std::array<int, 4> crop_from_py(py::handle obj, const char* what) {
  if (obj.is_none() || py::isinstance<py::str>(obj) || !py::hasattr(obj, "__len__") ||
      py::len(obj) != 4) {
    throw vexo::TypeError(std::string(what) + ": expected four integers x1, y1, x2, y2");
  }
  std::array<int, 4> c{};
  for (int i = 0; i < 4; ++i) {
    std::int64_t v = to_int(obj[py::int_(i)], std::string(what) + "[" + std::to_string(i) + "]");
    if (v < -(1 << 20) || v > (1 << 20))
      throw vexo::ValueError(std::string(what) + ": out of range");
    c[i] = static_cast<int>(v);
  }
  if (c[2] <= c[0] || c[3] <= c[1]) throw vexo::ValueError(std::string(what) + ": empty region");
  return c;
}

cv::Size size_from_py(py::handle obj, const char* what) {
  if (obj.is_none()) return {};
  if (py::isinstance<py::str>(obj) || !py::hasattr(obj, "__len__") || py::len(obj) != 2) {
    throw vexo::TypeError(std::string(what) + ": expected (width, height)");
  }
  std::int64_t w = to_int(obj[py::int_(0)], what), h = to_int(obj[py::int_(1)], what);
  if (w < 1 || h < 1 || w > 100000 || h > 100000) {
    throw vexo::ValueError(std::string(what) + ": width and height must be positive");
  }
  return cv::Size(static_cast<int>(w), static_cast<int>(h));
}

// Output size of frames cropped to `crop` and scaled to `resize_height` the
// way the frame extractor scales them (width rounded up).
cv::Size resized_size(const std::array<int, 4>& crop, py::handle resize_height) {
  if (resize_height.is_none()) return {};
  std::int64_t h = to_int(resize_height, "resize_height");
  if (h < 1 || h > 100000) throw vexo::ValueError("resize_height must be positive");
  const double cw = crop[2] - crop[0], ch = crop[3] - crop[1];
  return cv::Size(static_cast<int>(std::ceil(static_cast<double>(h) * (cw / ch))),
                  static_cast<int>(h));
}

py::array bool_mask(const cv::Mat& m, bool leading_one) {
  std::vector<py::ssize_t> shape;
  if (leading_one) shape.push_back(1);
  shape.push_back(m.rows);
  shape.push_back(m.cols);
  py::array_t<bool> out(shape);
  auto* dst = reinterpret_cast<std::uint8_t*>(out.mutable_data());
  for (int y = 0; y < m.rows; ++y) {
    const std::uint8_t* src = m.ptr<std::uint8_t>(y);
    for (int x = 0; x < m.cols; ++x) dst[static_cast<std::size_t>(y) * m.cols + x] = src[x] != 0;
  }
  return out;
}

py::dict recording_to_py(const standins::SynthRecording& r) {
  py::dict d;
  d["root"] = r.root;
  d["manifest"] = r.manifest;
  d["camera"] = r.camera;
  d["fps"] = r.fps;
  d["frame_size"] = py::make_tuple(standins::scene_layout().width, standins::scene_layout().height);
  d["sub_dirs"] = r.sub_dirs;
  py::list clips;
  for (const standins::SynthClip& c : r.clips) {
    py::dict cd;
    cd["path"] = c.path;
    cd["video_name"] = c.video_name;
    cd["sub_dir"] = c.sub_dir;
    cd["date"] = c.date;
    cd["time"] = c.time;
    cd["frames"] = c.frames;
    cd["ground_truth"] = c.ground_truth;
    clips.append(cd);
  }
  d["clips"] = clips;
  py::dict pens, crops;
  pens["left"] = r.pen_files[standins::kLeftPen];
  pens["right"] = r.pen_files[standins::kRightPen];
  auto tup = [](const std::array<int, 4>& c) { return py::make_tuple(c[0], c[1], c[2], c[3]); };
  crops["left"] = tup(r.crop_regions[standins::kLeftPen]);
  crops["right"] = tup(r.crop_regions[standins::kRightPen]);
  d["pen_files"] = pens;
  d["crop_regions"] = crops;
  return d;
}

py::dict generate_recording(py::object root, py::object clips, py::object seconds, py::object fps,
                            py::object camera, py::object days, py::object gap_seconds,
                            py::object first_date, py::object first_time,
                            py::object animals_per_pen, py::object seed, py::object clip_number,
                            py::object progress, py::object scatter_daily) {
  standins::SynthParams p;
  p.root = to_str(root, "root");
  const auto count = [](py::handle v, const std::string& what) {
    return static_cast<int>(std::clamp<std::int64_t>(to_int(v, what), -1, 1 << 20));
  };
  if (py::isinstance<py::list>(clips) || py::isinstance<py::tuple>(clips)) {
    py::sequence seq = py::reinterpret_borrow<py::sequence>(clips);
    if (seq.size() == 0) throw vexo::ValueError("clips: expected at least one day of clips");
    for (std::size_t i = 0; i < seq.size(); ++i) {
      p.day_clips.push_back(count(seq[i], "clips[" + std::to_string(i) + "]"));
    }
    const std::int64_t d = to_int(days, "days");
    if (d != 1 && d != static_cast<std::int64_t>(seq.size())) {
      throw vexo::ValueError("days: " + std::to_string(d) + " does not match the " +
                             std::to_string(seq.size()) + " days of clips given");
    }
  } else {
    p.clips = count(clips, "clips");
  }
  p.clip_seconds = to_double(seconds, "seconds");
  p.fps = to_double(fps, "fps");
  p.camera = py::isinstance<py::int_>(camera) ? std::to_string(to_int(camera, "camera"))
                                              : to_str(camera, "camera");
  p.days = static_cast<int>(std::clamp<std::int64_t>(to_int(days, "days"), -1, 1 << 20));
  p.gap_seconds = to_double(gap_seconds, "gap_seconds");
  p.scatter_daily = truthy(scatter_daily);
  p.first_date = to_str(first_date, "first_date");
  p.first_time = to_str(first_time, "first_time");
  p.animals_per_pen = static_cast<int>(
      std::clamp<std::int64_t>(to_int(animals_per_pen, "animals_per_pen"), -1, 1 << 20));
  std::int64_t s = to_int(seed, "seed");
  if (s < 0) throw vexo::ValueError("seed must not be negative");
  p.seed = static_cast<std::uint64_t>(s);
  p.clip_number =
      static_cast<int>(std::clamp<std::int64_t>(to_int(clip_number, "clip_number"), -1, 1 << 20));
  if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
    throw vexo::TypeError("progress: expected a callable (done, total) or None");
  }
  standins::SynthProgress cb;
  if (!progress.is_none()) {
    cb = [progress](int done, int total) {
      py::gil_scoped_acquire gil;
      progress(done, total);
    };
  }
  standins::SynthRecording rec;
  {
    py::gil_scoped_release nogil;
    rec = standins::generate_recording(p, cb);
  }
  return recording_to_py(rec);
}

// Ground truth of one clip, loaded once.
struct GroundTruth {
  standins::GroundTruthClip clip;
};

py::dict gt_masks(const GroundTruth& g, py::object frame, py::object crop, py::object size,
                  py::object pen, bool visible) {
  std::int64_t f = to_int(frame, "frame");
  if (f < 0) throw vexo::IndexError("frame must not be negative");
  std::array<int, 4> c = crop.is_none() ? std::array<int, 4>{0, 0, g.clip.width, g.clip.height}
                                        : crop_from_py(crop, "crop");
  cv::Size out = size_from_py(size, "size");
  std::optional<PenSide> side;
  if (!pen.is_none()) side = side_from_py(pen, "pen");
  std::vector<cv::Mat> masks;
  std::vector<int> ids;
  {
    py::gil_scoped_release nogil;
    masks = g.clip.masks(static_cast<std::size_t>(f), c, out, side, visible, &ids);
  }
  py::dict d;
  for (std::size_t i = 0; i < masks.size(); ++i) d[py::int_(ids[i])] = bool_mask(masks[i], false);
  return d;
}

// ---- propagation -------------------------------------------------------------

std::vector<standins::ObjectMask> seeds_from_py(py::handle masks) {
  std::vector<standins::ObjectMask> out;
  if (py::isinstance<py::dict>(masks)) {
    for (auto item : masks.cast<py::dict>()) {
      standins::ObjectMask om;
      om.id = to_int(item.first, "masks key (object id)");
      MaskIn mi = mask_from_py(item.second, "masks[" + std::to_string(om.id) + "]", true);
      if (mi.mat.empty())
        throw vexo::ValueError("masks[" + std::to_string(om.id) + "]: empty mask");
      om.mask = (mi.mat != 0) / 255;
      out.push_back(std::move(om));
    }
  } else if (py::isinstance<py::array>(masks) || py::isinstance<py::list>(masks) ||
             py::isinstance<py::tuple>(masks) || py::hasattr(masks, "__array__")) {
    py::object np = import_host("numpy");
    py::object arr = py::hasattr(masks, "detach")
                         ? np.attr("asarray")(masks.attr("detach")().attr("cpu")().attr("numpy")())
                         : np.attr("asarray")(masks);
    py::array a = arr.cast<py::array>();
    if (a.ndim() == 4 && a.shape(1) == 1) a = a.attr("reshape")(a.shape(0), a.shape(2), a.shape(3));
    if (a.ndim() != 3) {
      throw vexo::ValueError("masks: expected a dict {object_id: mask} or an N x H x W stack");
    }
    for (py::ssize_t i = 0; i < a.shape(0); ++i) {
      standins::ObjectMask om;
      om.id = static_cast<std::int64_t>(i) + 1;
      MaskIn mi = mask_from_py(a[py::int_(i)], "masks[" + std::to_string(i) + "]");
      if (mi.mat.empty()) throw vexo::ValueError("masks[" + std::to_string(i) + "]: empty mask");
      om.mask = (mi.mat != 0) / 255;
      out.push_back(std::move(om));
    }
  } else {
    throw vexo::TypeError("masks: expected a dict {object_id: mask} or an N x H x W stack, got " +
                          type_name(masks));
  }
  std::vector<cv::Mat> mats;
  for (const auto& om : out) mats.push_back(om.mask);
  require_same_shape(mats, "masks");
  for (std::size_t i = 0; i < out.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (out[i].id == out[j].id) {
        throw vexo::ValueError("masks: object id " + std::to_string(out[i].id) + " given twice");
      }
    }
  }
  return out;
}

py::dict propagate_masks(py::object frame_names, py::object masks, py::object ann_frame_idx,
                         py::object max_frames, py::object box_margin, py::object max_shift,
                         py::object progress) {
  std::vector<std::string> paths = path_list_from_py(
      frame_names, "frame_names", "a list of frame image paths", PathList::Sequence);
  std::vector<standins::ObjectMask> seeds = seeds_from_py(masks);
  std::int64_t start = to_int(ann_frame_idx, "ann_frame_idx");
  if (start < 0 || static_cast<std::size_t>(start) >= paths.size()) {
    throw vexo::IndexError("ann_frame_idx " + std::to_string(start) + " is outside the " +
                           std::to_string(paths.size()) + " frames");
  }
  std::size_t limit = 0;
  if (!max_frames.is_none()) {
    std::int64_t m = to_int(max_frames, "max_frames");
    if (m < 1) throw vexo::ValueError("max_frames must be at least 1");
    limit = static_cast<std::size_t>(m);
  }
  standins::PropagationParams params;
  params.box_margin = to_double(box_margin, "box_margin");
  params.max_shift = to_double(max_shift, "max_shift");
  if (!(params.box_margin >= 0 && params.box_margin <= 2)) {
    throw vexo::ValueError("box_margin must be from 0 to 2");
  }
  if (!(params.max_shift > 0 && params.max_shift <= 1)) {
    throw vexo::ValueError("max_shift must be above 0 and at most 1");
  }
  if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
    throw vexo::TypeError("progress: expected a callable (done, total) or None");
  }
  py::dict segments;
  const std::size_t total = limit ? std::min(limit, paths.size() - static_cast<std::size_t>(start))
                                  : paths.size() - static_cast<std::size_t>(start);
  std::size_t done = 0;
  auto sink = [&](std::size_t frame_idx, const std::vector<standins::ObjectMask>& objs) {
    py::gil_scoped_acquire gil;
    py::dict frame;
    for (const auto& om : objs) frame[py::int_(om.id)] = bool_mask(om.mask, true);
    segments[py::int_(frame_idx)] = frame;
    ++done;
    if (!progress.is_none()) progress(done, total);
  };
  {
    py::gil_scoped_release nogil;
    standins::propagate_masks(paths, static_cast<std::size_t>(start), seeds, params, sink, limit);
  }
  return segments;
}

py::array_t<double> mask_iou_matrix(py::object masks_a, py::object masks_b) {
  auto read = [](py::handle obj, const char* what) {
    std::vector<MaskIn> out;
    if (py::isinstance<py::dict>(obj)) {
      for (auto item : obj.cast<py::dict>()) {
        out.push_back(mask_from_py(
            item.second, std::string(what) + "[" + py::str(item.first).cast<std::string>() + "]",
            true));
      }
    } else if (py::isinstance<py::list>(obj) || py::isinstance<py::tuple>(obj)) {
      py::sequence seq = py::reinterpret_borrow<py::sequence>(obj);
      for (std::size_t i = 0; i < seq.size(); ++i) {
        out.push_back(
            mask_from_py(seq[i], std::string(what) + "[" + std::to_string(i) + "]", true));
      }
    } else {
      throw vexo::TypeError(std::string(what) + ": expected a dict or a list of masks, got " +
                            type_name(obj));
    }
    return out;
  };
  std::vector<MaskIn> a = read(masks_a, "masks_a"), b = read(masks_b, "masks_b");
  py::array_t<double> out({static_cast<py::ssize_t>(a.size()), static_cast<py::ssize_t>(b.size())});
  double* dst = out.mutable_data();
  {
    py::gil_scoped_release nogil;
    std::vector<cv::Mat> all;
    for (const MaskIn& m : a) all.push_back(m.mat);
    for (const MaskIn& m : b) all.push_back(m.mat);
    require_same_shape(all, "mask_iou_matrix");
    std::vector<MaskStat> sa, sb;
    for (const MaskIn& m : a) sa.push_back(mask_stat(m.mat));
    for (const MaskIn& m : b) sb.push_back(mask_stat(m.mat));
    for (std::size_t i = 0; i < a.size(); ++i) {
      for (std::size_t j = 0; j < b.size(); ++j) {
        const std::int64_t inter =
            overlap_in(a[i].mat, b[j].mat, box_intersect(sa[i].box, sb[j].box));
        const std::int64_t uni = sa[i].area + sb[j].area - inter;
        dst[i * b.size() + j] =
            uni > 0 ? static_cast<double>(inter) / static_cast<double>(uni) : 0.0;
      }
    }
  }
  return out;
}

}  // namespace

void bind_synth(py::module_& m) {
  m.def("generate_recording", &generate_recording, py::arg("root"), py::arg("clips") = 2,
        py::arg("seconds") = 6.0, py::arg("fps") = 10.0, py::arg("camera") = "61",
        py::arg("days") = 1, py::arg("gap_seconds") = 0.0, py::arg("first_date") = "20240131",
        py::arg("first_time") = "08:00:00", py::arg("animals_per_pen") = 10, py::arg("seed") = 0,
        py::arg("clip_number") = 1, py::arg("progress") = py::none(),
        py::arg("scatter_daily") = false,
        "Write a synthetic recording under root: <root>/<YYYYMMDD>/Camera<camera>_<n>_<date><time>"
        ".mp4 clips (2560 x 1440, an orange marker between two pens of animals_per_pen animals), "
        "<root>/ground_truth/<video name>.json poses, <root>/pens/Cam<camera>.json (right pen, "
        "right-crop pixels) and Cam<camera>_left.json, and <root>/recording.json. The clips of "
        "each day follow each other (gap_seconds apart); the herd moves on continuously, and "
        "the night between two days passes in no time. clips is the number of clips of each "
        "day, or a list of the clips of every day. With scatter_daily, every day but the "
        "first begins with the herd getting up and spreading out over its pen. "
        "progress(done, total) is called after each clip. Returns the manifest as a dict.");

  py::class_<GroundTruth>(m, "GroundTruth",
                          "Poses of every animal in every frame of one synthetic clip.")
      .def(py::init([](py::object path) {
             std::string p = to_str(path, "path");
             py::gil_scoped_release nogil;
             return GroundTruth{standins::GroundTruthClip::load(p)};
           }),
           py::arg("path"), "Load a clip's ground-truth file.")
      .def_property_readonly("video_name", [](const GroundTruth& g) { return g.clip.video_name; })
      .def_property_readonly("fps", [](const GroundTruth& g) { return g.clip.fps; })
      .def_property_readonly("frame_count",
                             [](const GroundTruth& g) { return g.clip.poses.size(); })
      .def_property_readonly(
          "frame_size",
          [](const GroundTruth& g) { return py::make_tuple(g.clip.width, g.clip.height); })
      .def_property_readonly(
          "first_frame_time",
          [](const GroundTruth& g) { return g.clip.first_frame_time_ms / 1000.0; })
      .def(
          "animal_ids",
          [](const GroundTruth& g, py::object pen) {
            std::optional<PenSide> side;
            if (!pen.is_none()) side = side_from_py(pen, "pen");
            py::list ids;
            for (const auto& a : g.clip.animals) {
              if (!side || a.pen == *side) ids.append(a.id);
            }
            return ids;
          },
          py::arg("pen") = py::none(), "Ids of the animals of one pen ('left'/'right') or all.")
      .def(
          "poses",
          [](const GroundTruth& g, py::object frame) {
            std::int64_t f = to_int(frame, "frame");
            if (f < 0 || static_cast<std::size_t>(f) >= g.clip.poses.size()) {
              throw vexo::IndexError("no frame " + std::to_string(f));
            }
            py::dict d;
            const auto& fr = g.clip.poses[static_cast<std::size_t>(f)];
            for (std::size_t i = 0; i < fr.size(); ++i) {
              d[py::int_(g.clip.animals[i].id)] =
                  py::make_tuple(fr[i].cx, fr[i].cy, fr[i].angle, fr[i].lying);
            }
            return d;
          },
          py::arg("frame"), "{animal id: (cx, cy, angle, lying)} of one video frame.")
      .def("masks", &gt_masks, py::arg("frame"), py::arg("crop") = py::none(),
           py::arg("size") = py::none(), py::arg("pen") = "right", py::arg("visible") = true,
           "{animal id: H x W bool mask} of video frame `frame` for the animals of `pen` "
           "('left', 'right' or None for all), in the pixels of frames cropped to `crop` "
           "(x1, y1, x2, y2; default the whole frame) and scaled to `size` (width, height). "
           "With visible, parts covered by other animals are left out.");

  m.def(
      "crop_region",
      [](py::object side) {
        auto c = standins::crop_region_for(side_from_py(side, "side"));
        return py::make_tuple(c[0], c[1], c[2], c[3]);
      },
      py::arg("side") = "right",
      "The crop region (x1, y1, x2, y2) the frame extractor derives from the synthetic "
      "camera's marker for the pen on `side`.");
  m.def(
      "pen_polygon",
      [](py::object side, py::object crop, py::object resize_height) {
        PenSide s = side_from_py(side, "side");
        std::array<int, 4> c =
            crop.is_none() ? standins::crop_region_for(s) : crop_from_py(crop, "crop");
        py::list pts;
        for (const cv::Point2d& p :
             standins::pen_polygon_in(s, c, resized_size(c, resize_height))) {
          pts.append(py::make_tuple(p.x, p.y));
        }
        return pts;
      },
      py::arg("side") = "right", py::arg("crop") = py::none(),
      py::arg("resize_height") = py::none(),
      "Pen outline [(x, y), ...] of the synthetic camera's pen on `side`, in the pixels of "
      "frames cropped to `crop` (default: that side's crop region) and scaled to "
      "`resize_height` as the frame extractor scales them.");
  m.def(
      "write_pen_file",
      [](py::object path, py::object side, py::object crop, py::object resize_height) {
        std::string p = to_str(path, "path");
        PenSide s = side_from_py(side, "side");
        std::array<int, 4> c =
            crop.is_none() ? standins::crop_region_for(s) : crop_from_py(crop, "crop");
        cv::Size out = resized_size(c, resize_height);
        cv::Size img = out.width > 0 ? out : cv::Size(c[2] - c[0], c[3] - c[1]);
        py::gil_scoped_release nogil;
        write_file_atomic(p, standins::pen_file_json(standins::pen_polygon_in(s, c, out), img));
        return p;
      },
      py::arg("path"), py::arg("side") = "right", py::arg("crop") = py::none(),
      py::arg("resize_height") = py::none(),
      "Write a pen polygon file for the synthetic camera's pen on `side` in the pixels of frames "
      "cropped to `crop` and scaled to `resize_height`; returns the path.");

  m.def("propagate_masks", &propagate_masks, py::arg("frame_names"), py::arg("masks"),
        py::arg("ann_frame_idx") = 0, py::arg("max_frames") = py::none(),
        py::arg("box_margin") = 0.25, py::arg("max_shift") = 0.1, py::arg("progress") = py::none(),
        "Carry masks of frame ann_frame_idx through the following frames of frame_names: each "
        "object is re-segmented inside its previous box (enlarged by box_margin of its larger "
        "side), limited to max_shift of that side around its previous mask; pixels claimed by "
        "several objects go to the nearest previous mask. masks is {object_id: mask} or an "
        "N x H x W stack (ids 1..N). Returns VideoSegments {frame_idx: {object_id: 1 x H x W "
        "bool}} from ann_frame_idx on (at most max_frames frames).");
  m.def("mask_iou_matrix", &mask_iou_matrix, py::arg("masks_a"), py::arg("masks_b"),
        "IoU of every mask of masks_a (rows) with every mask of masks_b (columns); dicts or lists "
        "of H x W (or 1 x H x W) masks. Empty pairs give 0.");
}

}  // namespace vexo::py_bind
