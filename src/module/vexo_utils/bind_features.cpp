// Appearance features: per-mask vectors from the image encoder and their
// cosine similarities.
#include <algorithm>

#include "common/convert.h"
#include "core/errors.h"
#include "detection/features.h"
#include "vexo_utils/bindings.h"
#include "vexo_utils/model_adapters.h"
#include "visual/canvas.h"

namespace vexo::py_bind {

using namespace vexo::detection;

namespace {

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

py::array cosine_scores_cal_py(py::object features_new, py::object features_old) {
  std::vector<Feature> a = feature_list_from_py(features_new, "image_features_new");
  std::vector<Feature> b = feature_list_from_py(features_old, "image_features_old");
  std::vector<double> table;
  {
    py::gil_scoped_release nogil;
    table = cosine_score_table(a, b);
  }
  return table_to_numpy(table, a.size(), b.size());
}

// The frame as an 8-bit RGB Mat, whatever its mode (RGB frames are read in
// place).
cv::Mat rgb_frame_from_py(py::handle image, ImageIn& held) {
  held = image_from_py(image, "image");
  return held.mat.channels() == 3 ? held.mat : visual::to_rgb(held.mat);
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
  m.def("cosine_scores_cal", &cosine_scores_cal_py, py::arg("image_features_new"),
        py::arg("image_features_old"),
        "N_new x N_old float64 array of cosine similarities between two lists of appearance "
        "vectors; rows and columns of None entries hold -inf, zero vectors score 0.");
}

}  // namespace vexo::py_bind
