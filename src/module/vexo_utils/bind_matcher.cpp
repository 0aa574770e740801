// The clip-to-clip matcher: carries the pigs' numbers into a new clip.
#include <functional>
#include <memory>

#include "common/convert.h"
#include "core/errors.h"
#include "detection/matcher.h"
#include "vexo_utils/bindings.h"
#include "vexo_utils/host_frames.h"
#include "vexo_utils/model_adapters.h"

namespace vexo::py_bind {

using namespace vexo::detection;

namespace {

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

}  // namespace

void bind_matcher(py::module_& m) {
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
}

}  // namespace vexo::py_bind
