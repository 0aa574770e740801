#include "common/convert.h"
#include "core/errors.h"
#include "core/overlap.h"
#include "vexo_utils/bindings.h"

namespace vexo::py_bind {

namespace {

py::float_ calculate_masks_intersection(py::object mask1, py::object mask2) {
  MaskIn a = mask_from_py(mask1, "mask1");
  MaskIn b = mask_from_py(mask2, "mask2");
  double v;
  {
    py::gil_scoped_release nogil;
    v = masks_intersection(a.mat, b.mat);
  }
  return py::float_(v);
}

py::tuple calculate_masks_intersection_new(py::object mask1, py::object mask2, py::object area1,
                                           py::object area2) {
  MaskIn a = mask_from_py(mask1, "mask1");
  MaskIn b = mask_from_py(mask2, "mask2");
  double d1 = to_double(area1, "mask_area_1");
  double d2 = to_double(area2, "mask_area_2");
  std::pair<double, double> r;
  {
    py::gil_scoped_release nogil;
    require_same_shape({a.mat, b.mat}, "calculate_masks_intersection_new");
    r = masks_intersection_two_way(overlap_count(a.mat, b.mat), d1, d2);
  }
  return py::make_tuple(r.first, r.second);
}

py::object intersection_between_masks(py::object masks_dict, py::object areas) {
  MaskDictIn md = mask_dict_from_py(masks_dict, "masks_dict");
  std::vector<double> area_list;
  if (!areas.is_none()) {
    if (!py::isinstance<py::dict>(areas)) {
      throw vexo::TypeError("processed_mask_areas: expected a dict of box key to area");
    }
    py::dict ad = areas.cast<py::dict>();
    if (ad.size() > 0) {
      for (std::size_t i = 0; i < md.keys.size(); ++i) {
        py::object k = md.key_objects[i];
        if (!ad.contains(k)) {
          throw vexo::KeyError("processed_mask_areas has no area for " + md.keys[i]);
        }
        area_list.push_back(to_double(ad[k], "processed_mask_areas[" + md.keys[i] + "]"));
      }
    }
  }
  std::vector<double> table;
  {
    py::gil_scoped_release nogil;
    require_same_shape(md.mats, "intersection_between_masks");
    std::vector<MaskStat> stats(md.mats.size());
    for (std::size_t i = 0; i < md.mats.size(); ++i) stats[i] = mask_stat(md.mats[i]);
    table = intersection_table(md.mats, stats, area_list);
  }
  return make_float_frame(table, md.keys, md.keys);
}

}  // namespace

void bind_overlap(py::module_& m) {
  m.def("calculate_masks_intersection", &calculate_masks_intersection, py::arg("mask1"),
        py::arg("mask2"), "Percentage of mask1's area covered by mask2 (0.0 when mask1 is empty).");
  m.def("calculate_masks_intersection_new", &calculate_masks_intersection_new, py::arg("mask1"),
        py::arg("mask2"), py::arg("mask_area_1"), py::arg("mask_area_2"),
        "(percentage of mask1 covered by mask2, percentage of mask2 covered by mask1), using the "
        "given areas as denominators; each is 0.0 when its area is not above 0.");
  m.def("intersection_between_masks", &intersection_between_masks, py::arg("masks_dict"),
        py::arg("processed_mask_areas") = py::none(),
        "Square DataFrame of overlap percentages between the masks of one frame, rows and "
        "columns labelled by box key in dict order: cell (A, B) is the percentage of A's area "
        "covered by B. A pair is measured only when the later mask's area exceeds 1. Without "
        "areas, they are counted from the masks.");
}

}  // namespace vexo::py_bind
