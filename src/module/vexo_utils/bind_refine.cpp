#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/convert.h"
#include "core/console.h"
#include "core/errors.h"
#include "pen/pen_file.h"
#include "tracking/refine.h"
#include "vexo_utils/bindings.h"

namespace vexo::py_bind {

namespace {

using namespace vexo::tracking;

std::string text_of(py::handle obj) { return py::str(obj).cast<std::string>(); }

// The refinement object: thresholds and per-pig state, all host values that
// are read when a method runs.
struct MaskRefinement {
  py::object min_area_ratio, max_distance_ratios, max_prev_dist, custom_pen_json_path;
  py::object prev_centroids;
};

RefineParams params_of(const MaskRefinement& self) {
  RefineParams p;
  p.min_area_ratio = to_double(self.min_area_ratio, "MIN_AREA_RATIO");
  py::object r = self.max_distance_ratios;
  if (!py::isinstance<py::sequence>(r) || py::isinstance<py::str>(r) || py::len(r) < 2) {
    throw vexo::TypeError("MAX_DISTANCE_RATIOS: expected a list of two numbers");
  }
  p.distance_ratio_large = to_double(r[py::int_(0)], "MAX_DISTANCE_RATIOS[0]");
  p.distance_ratio_small = to_double(r[py::int_(1)], "MAX_DISTANCE_RATIOS[1]");
  p.max_prev_dist = to_double(self.max_prev_dist, "MAX_PREV_DIST");
  return p;
}

py::dict centroid_map(py::handle obj) {
  if (!py::isinstance<py::dict>(obj)) {
    throw vexo::TypeError("prev_centroids: expected a dict of object id to (x, y), got " +
                          type_name(obj));
  }
  return py::reinterpret_borrow<py::dict>(obj);
}

std::optional<Centroid> previous_of(const py::dict& prev, py::handle object_id) {
  if (!prev.contains(object_id)) return std::nullopt;
  py::object v = prev[object_id];
  if (v.is_none()) return std::nullopt;
  const std::string what = "prev_centroids[" + text_of(object_id) + "]";
  if (!py::hasattr(v, "__len__") || py::isinstance<py::str>(v) || py::len(v) != 2) {
    throw vexo::TypeError(what + ": expected a point (x, y)");
  }
  return Centroid{to_double(v[py::int_(0)], what + "[0]"), to_double(v[py::int_(1)], what + "[1]")};
}

// A mask value of the host as a numpy array.
py::array as_array(py::handle v, const std::string& what) {
  if (v.is_none()) throw vexo::TypeError(what + ": expected a mask array, got None");
  if (!is_array_like(v))
    throw vexo::TypeError(what + ": expected a mask array, got " + type_name(v));
  return host_array(v, what);
}

py::array bool_frame(int rows, int cols) {
  return zeroed_array({1, rows, cols}, py::dtype::of<bool>());
}

// The refined mask in new memory: out-of-pen masks become zeros of their
// own shape and dtype, the others 1 x H x W booleans.
py::object replacement(const py::array& source, const RefineResult& r, int rows, int cols) {
  using K = RefineResult::Kind;
  switch (r.kind) {
    case K::OutsidePen:
      return zeroed_array({source.shape(), source.shape() + source.ndim()}, source.dtype());
    case K::Cleaned:
    case K::FirstFrame:
      return mat_as_array(r.pixels, {1, rows, cols}, py::dtype::of<bool>());
    default:
      return bool_frame(rows, cols);
  }
}

// The same result written into the source mask itself, which nobody else
// sees: the pixels not kept are cleared (and kept ones holding another value
// than 1 set to 1), touching only pages already in use. A 1 x H x W result
// of an H x W mask is a view of it.
py::object rewritten(const py::array& source, const RefineResult& r, int rows, int cols) {
  auto* data = static_cast<std::uint8_t*>(py::array(source).mutable_data());
  fill_runs(data, static_cast<std::size_t>(cols), r.cleared_runs, 0);
  fill_runs(data, static_cast<std::size_t>(cols), r.runs, 1);
  if (source.ndim() == 3 || r.kind == RefineResult::Kind::OutsidePen) return source;
  return source.attr("reshape")(1, rows, cols);
}

std::optional<std::string> pen_path_for(const MaskRefinement& self, py::handle video_dir) {
  std::optional<std::string> custom;
  if (!self.custom_pen_json_path.is_none()) {
    custom = to_str(self.custom_pen_json_path, "custom_pen_json_path");
    return custom;
  }
  std::string dir = to_str(video_dir, "video_dir");
  return vexo::pen::get_pen_json_path(dir, custom);
}

py::object process_video_segments(MaskRefinement& self, py::object video_segments,
                                  py::object video_dir, py::object frame_names) {
  if (!py::isinstance<py::dict>(video_segments)) {
    throw vexo::TypeError("video_segments: expected a dict of frame index to {object id: mask}");
  }
  const RefineParams params = params_of(self);
  py::dict prev = centroid_map(self.prev_centroids);
  if (!py::hasattr(frame_names, "__len__") || py::isinstance<py::str>(frame_names)) {
    throw vexo::TypeError("frame_names: expected a list of frame paths, got " +
                          type_name(frame_names));
  }
  const std::size_t frame_count = py::len(frame_names);
  std::string clip_dir = py::isinstance<py::str>(video_dir) ? video_dir.cast<std::string>() : "";
  PenMasks pen(pen_path_for(self, video_dir), clip_dir);

  struct Slot {
    py::dict inner;
    py::object frame_key, obj_key;
    py::array array;
  };
  std::vector<SegmentMask> masks;
  std::vector<Slot> slots;
  std::vector<py::object> keep;
  py::dict chain_of;
  std::vector<py::object> chain_keys;
  std::vector<std::optional<Centroid>> chain_prev;
  std::size_t frame_pos = 0;
  for (auto fitem : py::reinterpret_borrow<py::dict>(video_segments)) {
    vexo::check_interrupt();
    py::object fkey = py::reinterpret_borrow<py::object>(fitem.first);
    const std::string ftext = text_of(fkey);
    if (!py::isinstance<py::dict>(fitem.second)) {
      throw vexo::TypeError("video_segments[" + ftext + "]: expected a dict of object id to mask");
    }
    py::dict inner = py::reinterpret_borrow<py::dict>(fitem.second);
    std::int64_t fidx = 0;
    bool fidx_known = false;
    for (auto oitem : inner) {
      py::object okey = py::reinterpret_borrow<py::object>(oitem.first);
      const std::string what = "video_segments[" + ftext + "][" + text_of(okey) + "]";
      py::array arr = as_array(oitem.second, what);
      if (!(arr.ndim() == 2 || (arr.ndim() == 3 && arr.shape(0) == 1))) {
        throw vexo::ValueError(what + ": expected a 1 x H x W mask");
      }
      // Seen only through the dict (and `arr`): its result is written into it.
      const bool in_place = is_private_bool_array(arr, 1);
      MaskIn mi = mask_from_py(arr, what, true);
      if (!fidx_known) {
        fidx = to_int(fkey, "video_segments key (frame index)");
        fidx_known = true;
      }
      std::size_t chain;
      if (chain_of.contains(okey)) {
        chain = chain_of[okey].cast<std::size_t>();
      } else {
        chain = chain_keys.size();
        chain_of[okey] = py::int_(chain);
        chain_keys.push_back(okey);
        chain_prev.push_back(previous_of(prev, okey));
      }
      masks.push_back(SegmentMask{frame_pos, fidx, chain, mi.mat, in_place});
      keep.push_back(mi.keep);
      slots.push_back(Slot{inner, fkey, okey, arr});
    }
    ++frame_pos;
  }

  SegmentsOutcome res;
  {
    py::gil_scoped_release nogil;
    res = refine_segments(masks, chain_prev, frame_count, pen, params, true);
  }

  // The refined masks were drawn on the worker threads (or are rewritten
  // here in their own memory): handing them back is cheap. Ctrl-C is
  // honoured here too; the masks handed back before it stay refined.
  vexo::ProgressCount progress("masks rebuilt", static_cast<std::size_t>(std::count(
                                                    res.refined.begin(), res.refined.end(), 1)));
  for (std::size_t i = 0; i < masks.size(); ++i) {
    if (!res.refined[i]) continue;
    if (i % 64 == 63) vexo::check_interrupt();
    progress.add();
    RefineResult& r = res.results[i];
    Slot& s = slots[i];
    const int rows = masks[i].mask.rows, cols = masks[i].mask.cols;
    if (r.kind != RefineResult::Kind::Unchanged) {
      s.inner[s.obj_key] = masks[i].edit_in_place ? rewritten(s.array, r, rows, cols)
                                                  : replacement(s.array, r, rows, cols);
      r.pixels.release();
    }
    if (r.kind == RefineResult::Kind::Emptied) {
      const std::string f = text_of(s.frame_key), o = text_of(s.obj_key);
      print_line(clean_frame_line(f, o));
      print_line(no_mask_line(f, o));
    }
    if (r.centroid) prev[s.obj_key] = py::make_tuple(r.centroid->x, r.centroid->y);
  }
  if (res.error) std::rethrow_exception(res.error);
  return video_segments;
}

py::tuple get_main_blob(MaskRefinement& self, py::object mask, py::object prev_centroids,
                        py::object object_id) {
  const RefineParams params = params_of(self);
  MaskIn mi = mask_from_py(as_array(mask, "mask"), "mask", true);
  std::optional<Centroid> prev = previous_of(centroid_map(prev_centroids), object_id);
  Components c;
  MainBlob mb;
  {
    py::gil_scoped_release nogil;
    c = frame_components(mi.mat);
    mb = choose_main_blob(c, prev, params);
  }
  const int n = c.num_labels;
  py::array_t<std::int32_t> stats({n, 5});
  py::array_t<double> centroids({n, 2});
  auto st = stats.mutable_unchecked<2>();
  auto ct = centroids.mutable_unchecked<2>();
  for (int l = 0; l < n; ++l) {
    const Box& b = c.box[l];
    st(l, 0) = b.empty() ? 0 : b.x1;
    st(l, 1) = b.empty() ? 0 : b.y1;
    st(l, 2) = b.width();
    st(l, 3) = b.height();
    st(l, 4) = static_cast<std::int32_t>(c.area[l]);
    const double a = static_cast<double>(c.area[l]);
    ct(l, 0) = a > 0 ? c.centroid[l].x : std::nan("");
    ct(l, 1) = a > 0 ? c.centroid[l].y : std::nan("");
  }
  return py::make_tuple(n, stats, centroids, mb.min_area_threshold, mb.max_distance_threshold,
                        mb.best_idx, mat_to_numpy(c.labels));
}

py::object get_dis_to_main_and_prev_blob(MaskRefinement& self, py::object num_labels,
                                         py::object labels, py::object stats, py::object centroids,
                                         py::object max_distance_threshold,
                                         py::object min_area_threshold, py::object best_idx,
                                         py::object prev_centroids, py::object object_id,
                                         py::object frame_idx, py::object mask,
                                         py::object video_segments) {
  const RefineParams params = params_of(self);
  py::object np = py::module_::import("numpy");
  const std::int64_t n = to_int(num_labels, "num_labels");
  if (n < 1 || n > INT32_MAX) throw vexo::ValueError("num_labels must be at least 1");
  py::array lab = as_array(labels, "labels");
  if (lab.ndim() != 2 || (lab.dtype().kind() != 'i' && lab.dtype().kind() != 'u')) {
    throw vexo::ValueError("labels: expected an H x W integer label image");
  }
  py::array_t<std::int32_t, py::array::c_style | py::array::forcecast> lab32 =
      np.attr("ascontiguousarray")(lab, py::arg("dtype") = "int32");
  py::array_t<double, py::array::c_style | py::array::forcecast> st =
      np.attr("ascontiguousarray")(as_array(stats, "stats"), py::arg("dtype") = "float64");
  py::array_t<double, py::array::c_style | py::array::forcecast> ce =
      np.attr("ascontiguousarray")(as_array(centroids, "centroids"), py::arg("dtype") = "float64");
  if (st.ndim() != 2 || st.shape(0) < n || st.shape(1) < 5) {
    throw vexo::ValueError("stats: expected one row of five statistics per label");
  }
  if (ce.ndim() != 2 || ce.shape(0) < n || ce.shape(1) < 2) {
    throw vexo::ValueError("centroids: expected one (x, y) row per label");
  }
  std::vector<std::int64_t> area(n);
  std::vector<Centroid> cent(n);
  for (std::int64_t l = 0; l < n; ++l) {
    area[l] = static_cast<std::int64_t>(st.at(l, 4));
    cent[l] = Centroid{ce.at(l, 0), ce.at(l, 1)};
  }
  const double max_d = to_double(max_distance_threshold, "max_distance_threshold");
  const double min_a = to_double(min_area_threshold, "min_area_threshold");
  const std::int64_t best = to_int(best_idx, "best_idx");
  std::optional<Centroid> prev = previous_of(centroid_map(prev_centroids), object_id);
  const int rows = static_cast<int>(lab32.shape(0)), cols = static_cast<int>(lab32.shape(1));
  cv::Mat lm(rows, cols, CV_32S, const_cast<std::int32_t*>(lab32.data()));
  py::array cleaned = zeroed_array({rows, cols}, py::dtype::of<bool>());
  std::int64_t set = 0;
  {
    py::gil_scoped_release nogil;
    Components c = components_from_labels(lm, static_cast<int>(n), area, cent);
    const int b = (best >= 0 && best < n) ? static_cast<int>(best) : -1;
    std::vector<int> kept = kept_labels(c, b, max_d, min_a, prev, params.max_prev_dist);
    set = kept_label_pixels(lm, static_cast<int>(n), kept,
                            static_cast<std::uint8_t*>(cleaned.mutable_data()));
  }
  py::object result = cleaned;
  if (set == 0) {
    if (!py::isinstance<py::dict>(video_segments) || py::len(video_segments) == 0) {
      throw vexo::ValueError("video_segments: expected a non-empty dict of frame index to masks");
    }
    py::object first = py::reinterpret_borrow<py::object>(*py::iter(video_segments));
    if (rejected_mask_kind(frame_idx.equal(first)) == RefineResult::Kind::FirstFrame) {
      result = as_array(mask, "mask").attr("astype")("bool");
    } else {
      print_line(clean_frame_line(text_of(frame_idx), text_of(object_id)));
    }
  }
  if (py::cast<py::array>(result).ndim() == 2) {
    result = result.attr("reshape")(
        py::make_tuple(1, result.attr("shape")[py::int_(0)], result.attr("shape")[py::int_(1)]));
  }
  return result;
}

double blob_shortest_distance_py(MaskRefinement&, py::object a, py::object b) {
  MaskIn ma = mask_from_py(as_array(a, "blob_mask1"), "blob_mask1", true);
  MaskIn mb = mask_from_py(as_array(b, "blob_mask2"), "blob_mask2", true);
  py::gil_scoped_release nogil;
  return vexo::tracking::blob_shortest_distance(ma.mat, mb.mat);
}

}  // namespace

void bind_refine(py::module_& m) {
  py::class_<MaskRefinement>(m, "Mask_Refinement", py::dynamic_attr(),
                             "Cleans propagated pig masks: cut to the pen, keep the main "
                             "8-connected component and its large, close companions, and drop "
                             "what jumped too far from the pig's previous centroid. The "
                             "previous centroids live in prev_centroids across calls.")
      .def(py::init([](py::object min_area_ratio, py::object max_distance_ratios,
                       py::object max_prev_dist, py::object custom_pen_json_path) {
             MaskRefinement r;
             r.min_area_ratio = min_area_ratio;
             // A list default is shared between calls; each object gets its own.
             r.max_distance_ratios = py::isinstance<py::list>(max_distance_ratios)
                                         ? max_distance_ratios.attr("copy")()
                                         : max_distance_ratios;
             r.max_prev_dist = max_prev_dist;
             r.custom_pen_json_path = custom_pen_json_path;
             r.prev_centroids = py::dict();
             return r;
           }),
           py::arg("min_area_ratio") = 0.3,
           py::arg("max_distance_ratios") = std::vector<double>{0.5, 1.5},
           py::arg("max_prev_dist") = 200, py::arg("custom_pen_json_path") = "pen_polygon.json",
           "Store the thresholds (MIN_AREA_RATIO, MAX_DISTANCE_RATIOS, MAX_PREV_DIST), the pen "
           "file override (custom_pen_json_path; None selects the clip camera's pen file) and "
           "an empty prev_centroids.")
      .def_readwrite("MIN_AREA_RATIO", &MaskRefinement::min_area_ratio,
                     "Smallest area of a kept companion, as a fraction of the main area.")
      .def_readwrite("MAX_DISTANCE_RATIOS", &MaskRefinement::max_distance_ratios,
                     "Multipliers of the main component's equivalent radius giving the largest "
                     "companion distance: [main area >= 1000, smaller].")
      .def_readwrite("MAX_PREV_DIST", &MaskRefinement::max_prev_dist,
                     "Largest distance in pixels of a kept component's centroid from the "
                     "pig's previous centroid.")
      .def_readwrite("custom_pen_json_path", &MaskRefinement::custom_pen_json_path,
                     "Pen polygon file used for every clip, or None for the camera's own.")
      .def_readwrite("prev_centroids", &MaskRefinement::prev_centroids,
                     "{object id: (x, y)}: each pig's last centroid.")
      .def("process_video_segments", &process_video_segments, py::arg("video_segments"),
           py::arg("video_dir"), py::arg("frame_names"),
           "Refine every mask of video_segments ({frame index: {object id: 1 x H x W mask}}) "
           "in place and return it. Masks are cut to the pen, reduced to the main component "
           "and its companions and checked against prev_centroids, which is updated. Rebuilt "
           "masks are 1 x H x W boolean arrays; empty masks are left alone. Arrays nothing else "
           "holds are rewritten in their own memory, others replaced. Ctrl-C keeps the masks "
           "refined before it and leaves the rest.")
      .def("get_main_blob", &get_main_blob, py::arg("mask"), py::arg("prev_centroids"),
           py::arg("object_id"),
           "Component analysis of one mask (H x W or 1 x H x W, with a nonzero pixel). Returns "
           "(num_labels, stats, centroids, min_area_threshold, max_distance_threshold, "
           "best_idx, labels), best_idx being the main component: the largest, or of the five "
           "largest the one nearest to prev_centroids[object_id].")
      .def("get_dis_to_main_and_prev_blob", &get_dis_to_main_and_prev_blob, py::arg("num_labels"),
           py::arg("labels"), py::arg("stats"), py::arg("centroids"),
           py::arg("max_distance_threshold"), py::arg("min_area_threshold"), py::arg("best_idx"),
           py::arg("prev_centroids"), py::arg("object_id"), py::arg("frame_idx"), py::arg("mask"),
           py::arg("video_segments"),
           "The cleaned 1 x H x W boolean mask: the components within MAX_PREV_DIST of the "
           "previous centroid that are the main one or large and close enough to it. When "
           "nothing is kept, the first frame of video_segments keeps mask (as boolean); other "
           "frames print a line and get an empty mask.")
      .def("blob_shortest_distance", &blob_shortest_distance_py, py::arg("blob_mask1"),
           py::arg("blob_mask2"),
           "Smallest distance in pixels between the outer contour vertices of two masks "
           "(inf when either is empty).");
}

}  // namespace vexo::py_bind
