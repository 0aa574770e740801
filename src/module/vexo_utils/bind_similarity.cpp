// Mask similarity tables between two frames.
#include "common/convert.h"
#include "core/errors.h"
#include "detection/similarity.h"
#include "vexo_utils/bindings.h"
#include "vexo_utils/model_adapters.h"

namespace vexo::py_bind {

namespace det = vexo::detection;

namespace {

using PairTable = std::vector<double> (*)(const std::vector<cv::Mat>&, const std::vector<cv::Mat>&);

// The N_new x N_old table `table` computes over two lists of frame masks.
py::array_t<double> mask_pair_table(py::object masks_new, py::object masks_old, PairTable table) {
  MaskListIn a = mask_list_from_py(masks_new, "masks_new");
  MaskListIn b = mask_list_from_py(masks_old, "masks_old");
  std::vector<double> t;
  {
    py::gil_scoped_release nogil;
    t = table(a.mats, b.mats);
  }
  return table_to_numpy(t, a.mats.size(), b.mats.size());
}

py::array_t<double> cal_masks_iou_scores(py::object masks_new, py::object masks_old) {
  return mask_pair_table(std::move(masks_new), std::move(masks_old), &det::masks_iou_scores);
}

py::array_t<double> cal_centroid_distance(py::object masks_new, py::object masks_old) {
  return mask_pair_table(std::move(masks_new), std::move(masks_old), &det::centroid_similarity);
}

}  // namespace

void bind_similarity(py::module_& m) {
  m.def("cal_masks_iou_scores", &cal_masks_iou_scores, py::arg("masks_new"), py::arg("masks_old"),
        "N_new x N_old float64 array of intersection / (union + 1e-06) between two lists "
        "(or stacks) of frame masks.");
  m.def("cal_centroid_distance", &cal_centroid_distance, py::arg("masks_new"), py::arg("masks_old"),
        "N_new x N_old float64 array of centroid similarity: 1 - d / (max d + 1e-06) with d the "
        "distance between mask centroids; pairs with an empty mask take the largest distance + 1 "
        "(all NaN when no pair has two non-empty masks).");
}

}  // namespace vexo::py_bind
