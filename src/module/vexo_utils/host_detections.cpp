#include "vexo_utils/host_detections.h"

#include <cmath>

#include "core/errors.h"

namespace vexo::py_bind {

namespace det = vexo::detection;

namespace {

std::vector<double> read_doubles(const py::array& a) {
  auto d = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(a);
  if (!d) throw vexo::TypeError("cannot read the values as real numbers");
  return std::vector<double>(d.data(), d.data() + d.size());
}

}  // namespace

HostDetections read_detections(py::handle gdino_results, bool require_finite) {
  if (gdino_results.is_none()) throw vexo::TypeError("gdino_results: expected a list, got None");
  py::object entry;
  try {
    entry = gdino_results[py::int_(0)];
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_IndexError)) throw vexo::IndexError("gdino_results: the list is empty");
    if (e.matches(PyExc_TypeError) || e.matches(PyExc_KeyError)) {
      throw vexo::TypeError("gdino_results: expected a list of result mappings, got " +
                            type_name(gdino_results));
    }
    throw;
  }
  auto get = [&](const char* key) -> py::object {
    try {
      return entry[py::str(key)];
    } catch (py::error_already_set& e) {
      if (e.matches(PyExc_KeyError))
        throw vexo::KeyError(std::string("gdino_results[0] has no '") + key + "'");
      if (e.matches(PyExc_TypeError)) {
        throw vexo::TypeError("gdino_results[0]: expected a mapping, got " + type_name(entry));
      }
      throw;
    }
  };
  py::object scores_obj = get("scores");
  py::object labels_obj = get("labels");
  py::object boxes_obj = get("boxes");
  py::module_ np = py::module_::import("numpy");

  HostDetections out;
  out.scores = host_array(scores_obj, "gdino_results[0]['scores']");
  out.boxes = host_array(boxes_obj, "gdino_results[0]['boxes']");
  if (labels_obj.is_none())
    throw vexo::TypeError("gdino_results[0]['labels']: expected a sequence, got None");
  std::vector<std::string> labels;
  py::object label_seq = labels_obj;
  if (py::hasattr(labels_obj, "tolist")) label_seq = labels_obj.attr("tolist")();
  if (py::isinstance<py::str>(label_seq)) {
    throw vexo::TypeError(
        "gdino_results[0]['labels']: expected a sequence of labels, got a string");
  }
  py::list label_list;
  for (py::handle item : label_seq) {
    label_list.append(item);
    if (py::isinstance<py::str>(item)) {
      labels.push_back(item.cast<std::string>());
    } else if (py::isinstance<py::bytes>(item)) {
      labels.push_back(item.cast<std::string>());
    } else {
      labels.push_back(py::str(item).cast<std::string>());
    }
  }
  out.labels = np.attr("array")(label_list);

  if (out.scores.ndim() > 1 || (out.scores.ndim() == 0)) {
    if (out.scores.ndim() == 0 || out.scores.size() != 0) {
      throw vexo::ValueError("gdino_results[0]['scores']: expected N confidences, got shape " +
                             shape_text(out.scores));
    }
    out.scores = out.scores.attr("reshape")(0);
  }
  char sk = out.scores.dtype().kind();
  if (sk != 'f' && sk != 'i' && sk != 'u') {
    throw vexo::TypeError("gdino_results[0]['scores']: expected numbers, got dtype " +
                          py::str(out.scores.dtype()).cast<std::string>());
  }
  if (out.boxes.size() == 0 && !(out.boxes.ndim() == 2 && out.boxes.shape(1) == 4)) {
    out.boxes = out.boxes.attr("reshape")(0, 4);
  }
  if (out.boxes.ndim() != 2 || out.boxes.shape(1) != 4) {
    throw vexo::ValueError("gdino_results[0]['boxes']: expected an N x 4 array, got shape " +
                           shape_text(out.boxes));
  }
  char bk = out.boxes.dtype().kind();
  if (bk != 'f' && bk != 'i' && bk != 'u') {
    throw vexo::TypeError("gdino_results[0]['boxes']: expected numbers, got dtype " +
                          py::str(out.boxes.dtype()).cast<std::string>());
  }
  const auto n = static_cast<std::size_t>(out.boxes.shape(0));
  if (static_cast<std::size_t>(out.scores.size()) != n || labels.size() != n) {
    throw vexo::ValueError("gdino_results[0]: " + std::to_string(n) + " boxes, " +
                           std::to_string(out.scores.size()) + " scores and " +
                           std::to_string(labels.size()) + " labels do not line up");
  }
  std::vector<double> flat = read_doubles(out.boxes);
  out.core.scores = read_doubles(out.scores);
  out.core.single_precision_scores = sk == 'f' && out.scores.itemsize() <= 4;
  out.core.labels = std::move(labels);
  out.core.boxes.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    for (int k = 0; k < 4; ++k) {
      double v = flat[i * 4 + k];
      if (require_finite && !std::isfinite(v)) {
        throw vexo::ValueError("gdino_results[0]['boxes']: box " + std::to_string(i) +
                               " has a corner that is not finite");
      }
      out.core.boxes[i][static_cast<std::size_t>(k)] = v;
    }
  }
  return out;
}

}  // namespace vexo::py_bind
