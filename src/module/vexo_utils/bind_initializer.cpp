// First-frame detection and segmentation of a clip.
#include "common/convert.h"
#include "core/errors.h"
#include "detection/initializer.h"
#include "vexo_utils/bindings.h"
#include "vexo_utils/host_detections.h"
#include "vexo_utils/model_adapters.h"

namespace vexo::py_bind {

namespace det = vexo::detection;

namespace {

py::tuple initializer(py::object video_dir, py::object frame_names, py::object processor,
                      py::object grounding_model, py::object device, py::object image_predictor,
                      py::object start_index, py::object step, py::object gdino_thr,
                      py::object close_set_num, py::object custom_pen_json_path) {
  std::string dir = to_str(video_dir, "video_dir");
  if (frame_names.is_none() || py::isinstance<py::str>(frame_names)) {
    throw vexo::TypeError("frame_names: expected a list of frame image paths");
  }
  std::vector<std::string> names;
  for (py::handle f : frame_names) names.push_back(to_str(f, "frame_names entry"));
  det::InitializerOptions opt;
  opt.start_index = to_int(start_index, "start_index");
  opt.step = to_int(step, "step");
  opt.gdino_thr = to_double(gdino_thr, "gdino_thr");
  opt.close_set_num = to_int(close_set_num, "close_set_num");
  if (!custom_pen_json_path.is_none()) {
    opt.custom_pen_json_path = to_str(custom_pen_json_path, "custom_pen_json_path");
  }
  auto detector = make_grounding_detector(processor, grounding_model, device);
  auto segmenter = make_image_segmenter(image_predictor);
  auto frames = make_frame_source();
  det::InitializerResult res;
  {
    py::gil_scoped_release nogil;
    res = det::initializer(dir, names, *frames, *detector, *segmenter, opt);
  }
  if (!res.found) return py::make_tuple(py::none(), py::none(), py::none(), py::none());
  const auto k = static_cast<py::ssize_t>(res.masks.size());
  py::array_t<py::ssize_t> idx(k);
  for (py::ssize_t i = 0; i < k; ++i) idx.mutable_data()[i] = static_cast<py::ssize_t>(res.kept[i]);
  // The kept entries of the predictor's own mask array: N x 1 x H x W loses
  // axis 1; a 1 x H x W answer gains a leading axis, so its entry stays 1 x H x W.
  py::object own = native_object(res.prediction);
  py::object masks;
  if (!own.is_none()) {
    py::array a = py::reinterpret_borrow<py::tuple>(own)[0];
    if (a.ndim() == 4) {
      a = a.attr("reshape")(a.shape(0), a.shape(2), a.shape(3));
    } else {
      a = a.attr("reshape")(1, a.shape(0), a.shape(1), a.shape(2));
    }
    masks = a.attr("take")(idx, py::arg("axis") = 0);
  } else {
    std::vector<py::ssize_t> shape{k};
    if (res.leading_axis) shape.push_back(1);
    shape.push_back(res.rows);
    shape.push_back(res.cols);
    // Zeroed memory with only the masks' pixels written.
    py::array out = zeroed_array(shape, py::dtype::of<std::uint8_t>());
    auto* data = static_cast<std::uint8_t*>(out.mutable_data());
    const std::size_t plane = static_cast<std::size_t>(res.rows) * res.cols;
    for (py::ssize_t i = 0; i < k; ++i) {
      cv::Mat dst(res.rows, res.cols, CV_8UC1, data + i * plane);
      res.masks[i].copyTo(dst, res.masks[i]);
    }
    masks = out;
  }
  py::list labels;
  for (const auto& l : res.labels) labels.append(l);
  return py::make_tuple(masks, labels, res.frame_index, mat_to_pil(res.annotated, "RGBA"));
}

}  // namespace

void bind_initializer(py::module_& m) {
  m.def("initializer", &initializer, py::arg("video_dir"), py::arg("frame_names"),
        py::arg("processor"), py::arg("grounding_model"), py::arg("device"),
        py::arg("image_predictor"), py::arg("start_index") = 0, py::arg("step") = 10,
        py::arg("gdino_thr") = 0.25, py::arg("close_set_num") = 10,
        py::arg("custom_pen_json_path") = py::none(),
        "Walk frame_names from start_index at stride step; on each frame detect pigs with the "
        "prompt 'pig.', keep boxes at least 40 percent inside the pen and of plausible size, "
        "segment them with image_predictor and drop the lower-confidence box of every pair "
        "overlapping by more than 8 percent. Returns (masks K x H x W as image_predictor gave "
        "them, labels, frame index, annotated RGBA image) for the first frame left with exactly "
        "close_set_num "
        "boxes, or four Nones.");
}

}  // namespace vexo::py_bind
