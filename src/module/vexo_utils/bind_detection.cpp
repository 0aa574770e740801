#include <cstring>

#include "common/convert.h"
#include "core/errors.h"
#include "detection/gdino_filter.h"
#include "detection/similarity.h"
#include "vexo_utils/bindings.h"
#include "vexo_utils/model_adapters.h"

namespace vexo::py_bind {

namespace det = vexo::detection;

namespace {

py::array_t<double> table_array(const std::vector<double>& cells, std::size_t rows,
                                std::size_t cols) {
  py::array_t<double> out({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
  if (!cells.empty()) std::memcpy(out.mutable_data(), cells.data(), cells.size() * sizeof(double));
  return out;
}

py::tuple process_gdino_results(py::object gdino_results, py::object target_label) {
  std::string target = to_str(target_label, "target_label");
  HostDetections hd = read_detections(gdino_results, false);
  std::vector<std::size_t> rows;
  {
    py::gil_scoped_release nogil;
    rows = det::gdino_selection(hd.core, target);
  }
  py::array_t<py::ssize_t> idx(static_cast<py::ssize_t>(rows.size()));
  for (std::size_t i = 0; i < rows.size(); ++i)
    idx.mutable_data()[i] = static_cast<py::ssize_t>(rows[i]);
  auto take = [&](const py::array& a) -> py::object {
    return a.attr("take")(idx, py::arg("axis") = 0);
  };
  return py::make_tuple(take(hd.boxes), take(hd.scores), take(hd.labels));
}

py::array_t<double> cal_masks_iou_scores(py::object masks_new, py::object masks_old) {
  MaskListIn a = mask_list_from_py(masks_new, "masks_new");
  MaskListIn b = mask_list_from_py(masks_old, "masks_old");
  std::vector<double> t;
  {
    py::gil_scoped_release nogil;
    t = det::masks_iou_scores(a.mats, b.mats);
  }
  return table_array(t, a.mats.size(), b.mats.size());
}

py::array_t<double> cal_centroid_distance(py::object masks_new, py::object masks_old) {
  MaskListIn a = mask_list_from_py(masks_new, "masks_new");
  MaskListIn b = mask_list_from_py(masks_old, "masks_old");
  std::vector<double> t;
  {
    py::gil_scoped_release nogil;
    t = det::centroid_similarity(a.mats, b.mats);
  }
  return table_array(t, a.mats.size(), b.mats.size());
}

}  // namespace

void bind_detection(py::module_& m) {
  m.def("process_gdino_results", &process_gdino_results, py::arg("gdino_results"),
        py::arg("target_label") = "pig",
        "(boxes, scores, labels) from entry 0 of the detector's post-processed output: "
        "numpy arrays in reading order (stable sort by y_min, then x_min), reduced to the "
        "detections whose label equals target_label exactly, or all of them when none does.");
  m.def("cal_masks_iou_scores", &cal_masks_iou_scores, py::arg("masks_new"), py::arg("masks_old"),
        "N_new x N_old float64 array of intersection / (union + 1e-06) between two lists "
        "(or stacks) of frame masks.");
  m.def("cal_centroid_distance", &cal_centroid_distance, py::arg("masks_new"), py::arg("masks_old"),
        "N_new x N_old float64 array of centroid similarity: 1 - d / (max d + 1e-06) with d the "
        "distance between mask centroids; pairs with an empty mask take the largest distance + 1 "
        "(all NaN when no pair has two non-empty masks).");
}

}  // namespace vexo::py_bind
