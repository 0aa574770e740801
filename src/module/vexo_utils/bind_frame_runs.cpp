// Runs of consecutive frames per group.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "common/convert.h"
#include "core/errors.h"
#include "core/format.h"
#include "tracking/frame_runs.h"
#include "vexo_utils/bindings.h"

namespace vexo::py_bind {

using namespace vexo::tracking;

namespace {

std::int64_t frame_number(py::handle v, const std::string& what) {
  if (py::isinstance<py::float_>(v)) {
    double d = v.cast<double>();
    if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 9.0e15) {
      throw vexo::ValueError(what + ": frame numbers must be integers, got " + fmt_float(d));
    }
    return static_cast<std::int64_t>(d);
  }
  return to_int(v, what);
}

std::optional<GroupValue> group_value(py::handle v, bool null, const std::string& what) {
  if (null) return std::nullopt;
  if (py::isinstance<py::str>(v)) return GroupValue(v.cast<std::string>());
  if (py::isinstance<py::float_>(v)) return GroupValue(v.cast<double>());
  if (is_host_integer(v)) return GroupValue(to_int(v, what));
  if (py::hasattr(v, "__float__") && !py::isinstance<py::bytes>(v)) {
    return GroupValue(to_double(v, what));
  }
  throw vexo::TypeError(what + ": group values must be text or numbers, got " + type_name(v));
}

py::object group_key(const GroupValue& g) {
  if (auto* i = std::get_if<std::int64_t>(&g)) return py::int_(*i);
  if (auto* d = std::get_if<double>(&g)) return py::float_(*d);
  return py::str(std::get<std::string>(g));
}

py::dict find_continuous_frames(py::object frames_df, py::object group_by,
                                py::object n_consecutive) {
  py::object pd = import_host("pandas");
  if (!py::isinstance(frames_df, pd.attr("DataFrame"))) {
    throw vexo::TypeError("frames_df: expected a pandas DataFrame, got " + type_name(frames_df));
  }
  double n = to_double(n_consecutive, "n_consecutive");
  const std::string group_label = py::repr(group_by).cast<std::string>();
  py::object fcol = column_from_py(frames_df, py::str("Frame ID"), "frames_df");
  py::object gcol = column_from_py(frames_df, group_by, "frames_df");
  py::list fvals = fcol.attr("tolist")();
  py::list gvals = gcol.attr("tolist")();
  py::list gnull = pd.attr("isna")(gcol).attr("tolist")();
  std::vector<std::int64_t> frames(fvals.size(), 0);
  std::vector<std::optional<GroupValue>> groups(gvals.size());
  for (std::size_t i = 0; i < gvals.size(); ++i) {
    groups[i] = group_value(gvals[i], gnull[i].cast<bool>(), "frames_df[" + group_label + "]");
    if (groups[i]) frames[i] = frame_number(fvals[i], "frames_df['Frame ID']");
  }
  std::vector<FrameRunGroup> runs;
  {
    py::gil_scoped_release nogil;
    runs = vexo::tracking::find_continuous_frames(frames, groups, n);
  }
  py::dict out;
  for (const FrameRunGroup& g : runs) {
    py::list lst;
    for (const auto& r : g.runs) lst.append(py::cast(r));
    out[group_key(g.group)] = lst;
  }
  return out;
}

}  // namespace

void bind_frame_runs(py::module_& m) {
  m.def("find_continuous_frames", &find_continuous_frames, py::arg("frames_df"),
        py::arg("group_by") = "Box ID", py::arg("n_consecutive") = 3,
        "Runs of consecutive 'Frame ID' values per value of the column group_by.\n\n"
        "Returns {group value: [run, ...]} with groups in ascending order (text order for "
        "text), each run an ascending list of consecutive frame numbers at least n_consecutive "
        "long; a repeated frame starts a new run. Rows with a null group value are ignored and "
        "groups without a kept run are left out.");
}

}  // namespace vexo::py_bind
