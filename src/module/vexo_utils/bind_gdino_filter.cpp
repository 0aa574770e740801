// Filtering of the grounding detector's results.
#include "common/convert.h"
#include "core/errors.h"
#include "detection/gdino_filter.h"
#include "vexo_utils/bindings.h"
#include "vexo_utils/host_detections.h"
#include "vexo_utils/model_adapters.h"

namespace vexo::py_bind {

namespace det = vexo::detection;

namespace {

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

}  // namespace

void bind_gdino_filter(py::module_& m) {
  m.def("process_gdino_results", &process_gdino_results, py::arg("gdino_results"),
        py::arg("target_label") = "pig",
        "(boxes, scores, labels) from entry 0 of the detector's post-processed output: "
        "numpy arrays in reading order (stable sort by y_min, then x_min), reduced to the "
        "detections whose label equals target_label exactly, or all of them when none does.");
}

}  // namespace vexo::py_bind
