// Boxes to drop before the next clip.
#include <string>
#include <vector>

#include "common/convert.h"
#include "core/errors.h"
#include "tracking/pruning.h"
#include "vexo_utils/bindings.h"

namespace vexo::py_bind {

using namespace vexo::tracking;

namespace {

py::list find_boxes_with_small_area(py::object laste_frame, py::object min_frame_id,
                                    py::object area_threshold, py::object min_count) {
  py::dict records = require_dict(laste_frame, "laste_frame");
  double min_id = to_double(min_frame_id, "min_frame_id");
  double thr = to_double(area_threshold, "area_threshold");
  double count = to_double(min_count, "min_count");
  std::vector<BoxArea> entries;
  std::vector<py::object> keys;
  for (auto item : records) {
    double key = to_double(item.first, "laste_frame key");
    if (!(key > min_id)) continue;
    std::string name = "laste_frame[" + py::str(item.first).cast<std::string>() + "]";
    py::dict rec = require_dict(item.second, name);
    py::dict areas = require_dict(record_field(rec, "mask_areas", name), name + "['mask_areas']");
    for (auto a : areas) {
      std::string box = py::str(a.first).cast<std::string>();
      entries.push_back({key, box, to_double(a.second, name + "['mask_areas'][" + box + "]")});
      keys.push_back(py::reinterpret_borrow<py::object>(a.first));
    }
  }
  std::vector<std::size_t> picked;
  {
    py::gil_scoped_release nogil;
    picked = boxes_small_in_many_frames(entries, min_id, thr, count);
  }
  py::list out;
  for (std::size_t i : picked) out.append(keys[i]);
  return out;
}

}  // namespace

void bind_pruning(py::module_& m) {
  m.def("find_boxes_with_small_area_from_last_video", &find_boxes_with_small_area,
        py::arg("laste_frame"), py::arg("min_frame_id") = 500, py::arg("area_threshold") = 100,
        py::arg("min_count") = 100,
        "Boxes to drop before the next clip: those whose 'mask_areas' entry is at most "
        "area_threshold in more than min_count of the records with a key above min_frame_id. "
        "Returned in order of their first small occurrence.");
}

}  // namespace vexo::py_bind
