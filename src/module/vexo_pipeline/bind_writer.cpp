#include "common/convert.h"
#include "core/errors.h"
#include "standins/tracking_writer.h"
#include "vexo_pipeline/bindings.h"

namespace vexo::py_bind {

namespace {

std::vector<standins::TrackedMask> tracked_masks_from_py(py::handle masks) {
  if (!py::isinstance<py::dict>(masks)) {
    throw vexo::TypeError("masks: expected a dict of object id to mask");
  }
  std::vector<standins::TrackedMask> out;
  std::vector<py::object> keep;
  for (auto item : masks.cast<py::dict>()) {
    standins::TrackedMask tm;
    tm.object_id = to_int(item.first, "masks key (object id)");
    const std::string what = "masks[" + std::to_string(tm.object_id) + "]";
    MaskIn mi = mask_from_py(item.second, what, true);
    if (mi.mat.empty()) throw vexo::ValueError(what + ": the mask is empty (0 rows or columns)");
    tm.mask = mi.mat.clone();
    out.push_back(std::move(tm));
  }
  return out;
}

}  // namespace

void bind_writer(py::module_& m) {
  m.def(
      "tracking_frame_json",
      [](py::object image_path, py::object masks) {
        std::string ip = to_str(image_path, "image_path");
        auto tms = tracked_masks_from_py(masks);
        py::gil_scoped_release nogil;
        return standins::tracking_frame_json(ip, tms);
      },
      py::arg("image_path"), py::arg("masks"),
      "JSON text of one per-frame tracking file for {object_id: mask} (ids from 1).");
  m.def(
      "write_tracking_frame",
      [](py::object out_dir, py::object frame_number, py::object image_path, py::object masks) {
        std::string dir = to_str(out_dir, "out_dir");
        std::int64_t n = to_int(frame_number, "frame_number");
        std::string ip = to_str(image_path, "image_path");
        auto tms = tracked_masks_from_py(masks);
        py::gil_scoped_release nogil;
        return standins::write_tracking_frame(dir, n, ip, tms);
      },
      py::arg("out_dir"), py::arg("frame_number"), py::arg("image_path"), py::arg("masks"),
      "Write out_dir/output_pp_<frame_number>.json for {object_id: mask} and return its path. "
      "Masks may be H x W or 1 x H x W (bool, uint8 or float 0/1).");
}

}  // namespace vexo::py_bind
