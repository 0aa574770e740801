// Appearance features, dark-mark enhancement, last-frame choice and the
// clip-to-clip matcher.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <opencv2/imgproc.hpp>

#include "common/convert.h"
#include "core/errors.h"
#include "core/mask_scan.h"
#include "core/parallel.h"
#include "detection/dark_text.h"
#include "detection/features.h"
#include "detection/last_frame.h"
#include "detection/matcher.h"
#include "vexo_utils/bindings.h"
#include "vexo_utils/model_adapters.h"
#include "visual/canvas.h"

namespace vexo::py_bind {

namespace {

// A count or threshold from the host, with the text the host prints for it.
HostNumber shown_number(py::handle obj, const std::string& what) {
  if (py::isinstance<py::bool_>(obj) || obj.is_none() || py::isinstance<py::str>(obj)) {
    throw vexo::TypeError(what + ": expected a number, got " + type_name(obj));
  }
  double v = to_double(obj, what);
  if (std::isnan(v)) throw vexo::ValueError(what + ": expected a number, got nan");
  HostNumber n = HostNumber::real(v);
  n.shown = py::str(obj).cast<std::string>();
  return n;
}

// One appearance vector from the host: None, a torch tensor, a numpy array
// or a list of numbers, holding C values (a leading axis of 1 is allowed).
Feature feature_from_py(py::handle obj, const std::string& what) {
  if (obj.is_none()) return std::nullopt;
  py::module_ np = py::module_::import("numpy");
  py::object src = py::reinterpret_borrow<py::object>(obj);
  if (py::hasattr(src, "detach") && py::hasattr(src, "cpu")) src = host_array(src, what);
  py::array arr;
  try {
    arr = np.attr("asarray")(src, py::arg("dtype") = "float32");
  } catch (py::error_already_set&) {
    throw vexo::TypeError(what + ": expected a feature vector or None, got " + type_name(obj));
  }
  if (arr.ndim() == 2 && arr.shape(0) == 1) arr = arr.attr("reshape")(-1);
  if (arr.ndim() != 1) {
    throw vexo::ValueError(what + ": expected a 1-D feature vector, got an array of " +
                           std::to_string(arr.ndim()) + " dimensions");
  }
  arr = np.attr("ascontiguousarray")(arr);
  const float* p = static_cast<const float*>(arr.data());
  detection::Embedding e;
  e.values.assign(p, p + arr.shape(0));
  return e;
}

std::vector<Feature> feature_list_from_py(py::handle obj, const std::string& what) {
  if (obj.is_none() || py::isinstance<py::str>(obj) || !py::hasattr(obj, "__iter__")) {
    throw vexo::TypeError(what + ": expected a list of feature vectors, got " + type_name(obj));
  }
  std::vector<Feature> out;
  std::size_t i = 0;
  for (py::handle item : py::reinterpret_borrow<py::iterable>(obj)) {
    out.push_back(feature_from_py(item, what + "[" + std::to_string(i++) + "]"));
  }
  return out;
}

py::object enhance_dark_text_py(py::object image_pil, py::object gamma_obj) {
  const double gamma = to_double(gamma_obj, "gamma");
  ImageIn img = image_from_py(image_pil, "image_pil");
  cv::Mat out;
  {
    py::gil_scoped_release nogil;
    out = enhance_dark_text(img.mat, gamma);
  }
  return mat_to_pil(out, "L");
}

py::array cosine_scores_cal_py(py::object features_new, py::object features_old) {
  std::vector<Feature> a = feature_list_from_py(features_new, "image_features_new");
  std::vector<Feature> b = feature_list_from_py(features_old, "image_features_old");
  std::vector<double> table;
  {
    py::gil_scoped_release nogil;
    table = cosine_score_table(a, b);
  }
  py::array_t<double> out({static_cast<py::ssize_t>(a.size()), static_cast<py::ssize_t>(b.size())});
  std::copy(table.begin(), table.end(), out.mutable_data());
  return out;
}

// The entries of a list of box keys to leave out, as given and as text
// (None stays absent).
struct RemoveList {
  std::vector<py::object> entries;
  std::vector<std::optional<std::string>> names;
  bool any_truthy = false;
};

RemoveList remove_list_from_py(py::handle obj, const std::string& what) {
  RemoveList out;
  if (obj.is_none()) return out;
  if (py::isinstance<py::str>(obj) || !py::hasattr(obj, "__iter__")) {
    throw vexo::TypeError(what + ": expected a list of box keys, got " + type_name(obj));
  }
  for (py::handle e : py::reinterpret_borrow<py::iterable>(obj)) {
    py::object entry = py::reinterpret_borrow<py::object>(e);
    if (entry.is_none()) {
      out.names.emplace_back(std::nullopt);
    } else {
      out.names.emplace_back(py::str(entry).cast<std::string>());
    }
    const int truth = PyObject_IsTrue(entry.ptr());
    if (truth < 0) throw py::error_already_set();
    if (truth) out.any_truthy = true;
    out.entries.push_back(std::move(entry));
  }
  return out;
}

// The caller's frame records: keys sorted ascending, masks read on demand
// (zero-copy views kept alive here).
class HostFrames {
 public:
  HostFrames(py::object frames, const RemoveList& remove) : frames_(std::move(frames)) {
    if (!py::hasattr(frames_, "keys") || !py::hasattr(frames_, "__getitem__")) {
      throw vexo::TypeError("laste_frame: expected a dict of frame records, got " +
                            type_name(frames_));
    }
    key_objects_ = py::module_::import("builtins").attr("sorted")(frames_.attr("keys")());
    for (py::handle key : key_objects_) keys_.push_back(to_int(key, "laste_frame key"));
    // The records are the caller's own: the boxes leave them for good.
    if (remove.any_truthy) {
      for (py::handle key : key_objects_) {
        py::object masks = frames_[key][py::str("masks_dict")];
        for (const py::object& e : remove.entries) {
          if (masks.contains(e)) masks.attr("__delitem__")(e);
        }
      }
    }
  }
  const std::vector<std::int64_t>& keys() const { return keys_; }
  py::object record(std::size_t pos) const { return frames_[key_objects_[pos]]; }

  // Called from core code running without the GIL.
  RecordMasks masks_at(std::size_t pos) {
    py::gil_scoped_acquire gil;
    auto it = held_.find(pos);
    if (it == held_.end()) {
      py::object md = record(pos)[py::str("masks_dict")];
      it = held_
               .emplace(pos, mask_dict_from_py(md, "laste_frame[" + std::to_string(keys_[pos]) +
                                                       "]['masks_dict']"))
               .first;
    }
    return RecordMasks{it->second.keys, it->second.mats};
  }
  RecordMasksFn provider() {
    return [this](std::size_t pos) { return masks_at(pos); };
  }

 private:
  py::object frames_;
  py::list key_objects_;
  std::vector<std::int64_t> keys_;
  std::map<std::size_t, MaskDictIn> held_;
};

py::tuple find_best_last_frame_py(py::object laste_frame, py::object min_area,
                                  py::object max_attempts, py::object remove_stack_obs) {
  LastFrameParams params;
  params.min_area = shown_number(min_area, "min_area");
  params.max_attempts = shown_number(max_attempts, "max_attempts");
  RemoveList remove = remove_list_from_py(remove_stack_obs, "remove_stack_obs");
  params.expected = expected_tracks(remove.names);
  HostFrames frames(laste_frame, remove);
  std::optional<std::size_t> chosen;
  {
    py::gil_scoped_release nogil;
    chosen = find_best_last_frame(frames.keys(), frames.provider(), params);
  }
  if (!chosen) return py::make_tuple(py::none(), true);
  return py::make_tuple(frames.record(*chosen), false);
}

// The new masks as an N x H x W array: the predictor's own array, reshaped
// (a view, no copy).
py::array mask_stack_to_py(const detection::MaskStack& st) {
  const std::int64_t n = st.shape[0], h = st.shape[1], w = st.shape[2];
  return host_stack_array(st).attr("reshape")(n, h, w);
}

py::tuple matcher_py(py::object laste_frame, py::object frame_names, py::object ann_frame_idx,
                     py::object image_predictor, py::object remove_stack_box, py::object min_area,
                     py::object max_attempts, py::object display_func) {
  MatcherParams params;
  params.min_area = shown_number(min_area, "min_area");
  params.max_attempts = shown_number(max_attempts, "max_attempts");
  params.ann_frame_idx_text = py::str(ann_frame_idx).cast<std::string>();
  RemoveList remove = remove_list_from_py(remove_stack_box, "remove_stack_box");
  params.remove_stack_box = remove.names;
  if (!py::hasattr(laste_frame, "keys") || !py::hasattr(laste_frame, "__getitem__")) {
    throw vexo::TypeError("laste_frame: expected a dict of frame records, got " +
                          type_name(laste_frame));
  }
  // A new map sharing the caller's records.
  HostFrames frames(py::dict(laste_frame), remove);

  std::unique_ptr<detection::ImageSegmenter> segmenter;
  if (!image_predictor.is_none()) segmenter = make_image_segmenter(image_predictor);
  std::unique_ptr<detection::FrameSource> source = make_frame_source();
  auto open_frame = [&]() {
    std::string path;
    {
      py::gil_scoped_acquire gil;
      path = to_str(frame_names[ann_frame_idx], "frame_names[" + params.ann_frame_idx_text + "]");
    }
    return source->open(path);
  };
  std::function<void(const cv::Mat&)> display;
  if (!display_func.is_none()) {
    display = [&](const cv::Mat& rgba) {
      py::gil_scoped_acquire gil;
      display_func(mat_to_pil(rgba, "RGBA"));
    };
  }
  MatchResult r;
  {
    py::gil_scoped_release nogil;
    r = match_next_clip(frames.keys(), frames.provider(), open_frame, segmenter.get(), display,
                        params);
  }
  if (r.failed) return py::make_tuple(py::none(), py::none(), py::none(), py::none(), true);
  return py::make_tuple(mask_stack_to_py(r.masks), py::cast(r.labels), py::cast(r.kept_names),
                        frames.record(r.frame_pos), false);
}

// The frame as an 8-bit RGB Mat, whatever its mode (RGB frames are read in
// place).
cv::Mat rgb_frame_from_py(py::handle image, ImageIn& held) {
  held = image_from_py(image, "image");
  return held.mat.channels() == 3 ? held.mat : draw::to_rgb(held.mat);
}

py::list generate_sam2_image_features_py(py::object image, py::object masks,
                                         py::object image_predictor) {
  ImageIn held;
  cv::Mat rgb = rgb_frame_from_py(image, held);
  MaskListIn list = mask_list_from_py(masks, "masks");
  auto segmenter = make_image_segmenter(image_predictor);
  auto encoder = make_image_encoder(image_predictor);
  std::vector<Feature> features;
  {
    py::gil_scoped_release nogil;
    features = generate_image_features(rgb, list.mats, *segmenter, *encoder);
  }
  py::list out;
  for (const Feature& f : features) {
    if (!f) {
      out.append(py::none());
      continue;
    }
    py::object native = native_object(f->native);
    if (native.is_none()) {
      py::array_t<float> v(static_cast<py::ssize_t>(f->values.size()));
      std::copy(f->values.begin(), f->values.end(), v.mutable_data());
      native = v;
    }
    out.append(native);
  }
  return out;
}

}  // namespace

void bind_features(py::module_& m) {
  m.def("generate_sam2_image_features", &generate_sam2_image_features_py, py::arg("image"),
        py::arg("masks"), py::arg("image_predictor"),
        "Appearance vector of each mask of an N x H x W stack (or list): set_image with the "
        "frame, then for each mask the frame crop over the mask's extent (its last row and "
        "column left out), dark-text enhanced with gamma 10 and black outside the mask, resized "
        "bilinearly to 256 x 256 and passed through image_predictor.model.image_encoder; the "
        "spatial mean of 'vision_features' is the vector (a tensor on the encoder's device, or a "
        "float32 numpy array without torch). Masks under 10 pixels or within a single row or "
        "column give None.");
  m.def("matcher", &matcher_py, py::arg("laste_frame"), py::arg("frame_names"),
        py::arg("ann_frame_idx") = 0, py::arg("image_predictor") = py::none(),
        py::arg("remove_stack_box") = py::none(), py::arg("min_area") = 10,
        py::arg("max_attempts") = 10, py::arg("display_func") = py::none(),
        "Carries the pigs' numbers into a new clip: picks a usable frame near the end of "
        "laste_frame (find_best_laste_frame, boxes of remove_stack_box deleted from every "
        "record), prompts image_predictor on frame_names[ann_frame_idx] with the boxes of its "
        "masks and returns (N x H x W masks in prompt order, ['pig'] * N, kept box names, the "
        "chosen record, False) when the new masks overlap at most 10 %, number as many as the "
        "prompts and each have at least min_area pixels; else (None, None, None, None, True). "
        "display_func, when given, receives the prompts drawn on the new frame.");
  m.def("enhance_dark_text", &enhance_dark_text_py, py::arg("image_pil"), py::arg("gamma") = 1.5,
        "Grey, contrast-enhanced copy of an RGB image in which dark marks on a bright body "
        "stand out: luminance, a gamma curve (1 / gamma power) through a 256-entry table, then "
        "histogram equalisation. Returns a PIL image of mode L; gamma must be positive.");
  m.def("cosine_scores_cal", &cosine_scores_cal_py, py::arg("image_features_new"),
        py::arg("image_features_old"),
        "N_new x N_old float64 array of cosine similarities between two lists of appearance "
        "vectors; rows and columns of None entries hold -inf, zero vectors score 0.");
  m.def("find_best_laste_frame", &find_best_last_frame_py, py::arg("laste_frame"),
        py::arg("min_area") = 10, py::arg("max_attempts") = 10,
        py::arg("remove_stack_obs") = py::list(),
        "Walks back from the last frame record of a clip, at most max_attempts frames, and "
        "returns (record, False) for the first frame whose masks all exceed min_area pixels, "
        "number at least 10 minus the named boxes of remove_stack_obs and overlap each other "
        "below 50 %; (None, True) when there is none. Boxes named in remove_stack_obs are first "
        "deleted from every record's masks_dict, in place.");
}

}  // namespace vexo::py_bind
