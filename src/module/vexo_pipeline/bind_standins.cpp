#include <cstring>

#include "common/convert.h"
#include "core/errors.h"
#include "standins/classical_detector.h"
#include "standins/classical_encoder.h"
#include "standins/classical_segmenter.h"
#include "vexo_pipeline/bindings.h"

namespace vexo::py_bind {

namespace {

cv::Mat rgb_from_py(py::handle image, const char* what) {
  ImageIn in = image_from_py(image, what);
  if (in.mat.channels() != 3) {
    throw vexo::ValueError(std::string(what) + ": expected an H x W x 3 RGB image");
  }
  return in.mat.clone();
}

std::vector<std::array<double, 4>> boxes_from_py(py::handle boxes) {
  if (boxes.is_none()) throw vexo::TypeError("boxes: expected an N x 4 array, got None");
  py::module_ np = py::module_::import("numpy");
  py::array arr = np.attr("asarray")(boxes, py::arg("dtype") = "float64");
  if (arr.size() == 0) return {};
  if (arr.ndim() == 1 && arr.shape(0) == 4) arr = arr.attr("reshape")(1, 4);
  if (arr.ndim() != 2 || arr.shape(1) != 4) {
    throw vexo::ValueError("boxes: expected an N x 4 array of x_min, y_min, x_max, y_max");
  }
  auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(arr);
  std::vector<std::array<double, 4>> out(static_cast<std::size_t>(a.shape(0)));
  std::memcpy(out.data(), a.data(), out.size() * 4 * sizeof(double));
  return out;
}

py::tuple detect_blobs(py::object image) {
  cv::Mat rgb = rgb_from_py(image, "image");
  std::vector<standins::Blob> blobs;
  {
    py::gil_scoped_release nogil;
    blobs = standins::detect_blobs(rgb);
  }
  const auto n = static_cast<py::ssize_t>(blobs.size());
  py::array_t<float> boxes({n, py::ssize_t{4}});
  py::array_t<float> scores(n);
  for (py::ssize_t i = 0; i < n; ++i) {
    for (int k = 0; k < 4; ++k)
      boxes.mutable_data()[i * 4 + k] = static_cast<float>(blobs[i].box[k]);
    scores.mutable_data()[i] = static_cast<float>(blobs[i].score);
  }
  return py::make_tuple(boxes, scores);
}

py::array segment_boxes(py::object image, py::object boxes) {
  cv::Mat rgb = rgb_from_py(image, "image");
  auto bx = boxes_from_py(boxes);
  std::vector<cv::Mat> masks;
  {
    py::gil_scoped_release nogil;
    standins::segment_boxes(rgb, bx, masks);
  }
  const auto n = static_cast<py::ssize_t>(bx.size());
  py::array_t<std::uint8_t> out(
      {n, static_cast<py::ssize_t>(rgb.rows), static_cast<py::ssize_t>(rgb.cols)});
  const std::size_t plane = static_cast<std::size_t>(rgb.rows) * rgb.cols;
  for (py::ssize_t i = 0; i < n; ++i) {
    std::memcpy(out.mutable_data() + i * plane, masks[i].ptr(), plane);
  }
  return out;
}

py::array encode_features(py::object x, int channels) {
  py::module_ np = py::module_::import("numpy");
  py::array arr = np.attr("ascontiguousarray")(x, py::arg("dtype") = "float32");
  if (arr.ndim() != 4 || arr.shape(0) != 1 || arr.shape(1) != 3 || arr.shape(2) != arr.shape(3)) {
    throw vexo::ValueError("image_encoder: expected a 1 x 3 x S x S input");
  }
  auto a = py::array_t<float, py::array::c_style>::ensure(arr);
  const int size = static_cast<int>(a.shape(2));
  std::vector<float> feats;
  {
    py::gil_scoped_release nogil;
    feats = standins::encode_features(a.data(), size, channels);
  }
  const py::ssize_t g = standins::kEncoderGrid;
  py::array_t<float> out({py::ssize_t{1}, static_cast<py::ssize_t>(channels), g, g});
  std::memcpy(out.mutable_data(), feats.data(), feats.size() * sizeof(float));
  return out;
}

}  // namespace

void bind_standins(py::module_& m) {
  m.def("detect_blobs", &detect_blobs, py::arg("image"),
        "Classical animal detector: (boxes float32 N x 4 as x_min, y_min, x_max, y_max pixel "
        "edges, scores float32 N) of the bright blobs of an RGB image on a darker floor.");
  m.def("segment_boxes", &segment_boxes, py::arg("image"), py::arg("boxes"),
        "Classical box-prompted segmenter: uint8 N x H x W 0/1 masks, one per box, of the bright "
        "object inside each box of an RGB image.");
  m.def("encode_features", &encode_features, py::arg("x"), py::arg("channels") = 64,
        "Classical image encoder: float32 1 x C x 16 x 16 feature map of a 1 x 3 x S x S input "
        "with values in 0..1.");
}

}  // namespace vexo::py_bind
