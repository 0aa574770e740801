// The tracking quality report.
#include <cstring>
#include <string>
#include <vector>

#include "common/convert.h"
#include "core/errors.h"
#include "core/format.h"
#include "tracking/report.h"
#include "vexo_utils/bindings.h"

namespace vexo::py_bind {

using namespace vexo::tracking;

namespace {

HostNumber report_number(py::handle v, const std::string& what) {
  if (is_host_integer(v)) return HostNumber::integer(to_int(v, what));
  return HostNumber::real(to_double(v, what));
}

// One column of report rows as a numpy array: int64 when every value is an
// integer, float64 otherwise.
py::object number_column(const std::vector<const HostNumber*>& vals) {
  bool all_int = true;
  for (const HostNumber* v : vals) all_int = all_int && v->is_int;
  if (all_int) {
    py::array_t<std::int64_t> a(static_cast<py::ssize_t>(vals.size()));
    auto* p = a.mutable_data();
    for (std::size_t i = 0; i < vals.size(); ++i) p[i] = vals[i]->i;
    return a;
  }
  py::array_t<double> a(static_cast<py::ssize_t>(vals.size()));
  auto* p = a.mutable_data();
  for (std::size_t i = 0; i < vals.size(); ++i) p[i] = vals[i]->value();
  return a;
}

py::object object_column(const std::vector<py::object>& vals) {
  py::object np = py::module_::import("numpy");
  py::array a = np.attr("empty")(vals.size(), py::arg("dtype") = "object");
  for (std::size_t i = 0; i < vals.size(); ++i) a[py::int_(i)] = vals[i];
  return a;
}

// The eight-column table of overlap rows [begin, end).
py::object overlap_table(const TrackingReport& rep, std::size_t begin, std::size_t end) {
  const std::size_t n = end - begin;
  py::array_t<std::int64_t> frame(static_cast<py::ssize_t>(n));
  py::array_t<double> value(static_cast<py::ssize_t>(n));
  std::vector<py::object> pair, type, none(n, py::none());
  std::vector<const HostNumber*> a1, a2;
  py::str overlap_type("High overlap mask detected");
  for (std::size_t i = 0; i < n; ++i) {
    const OverlapRow& r = rep.overlap_rows[begin + i];
    frame.mutable_data()[i] = r.frame;
    value.mutable_data()[i] = r.value;
    pair.push_back(py::str(r.pair));
    type.push_back(overlap_type);
    a1.push_back(&r.area1);
    a2.push_back(&r.area2);
  }
  const auto& cols = report_columns();
  py::dict data;
  data[py::str(cols[0])] = frame;
  data[py::str(cols[1])] = object_column(pair);
  data[py::str(cols[2])] = value;
  data[py::str(cols[3])] = number_column(a1);
  data[py::str(cols[4])] = number_column(a2);
  data[py::str(cols[5])] = object_column(type);
  data[py::str(cols[6])] = object_column(none);
  data[py::str(cols[7])] = object_column(none);
  py::object pd = import_host("pandas");
  return pd.attr("DataFrame")(data, py::arg("columns") = py::cast(cols));
}

py::tuple generate_tracking_report(py::object data, py::object save_dir_base, py::object thr) {
  py::dict records = require_dict(data, "vexo_annotation_data");
  std::string dir = to_str(save_dir_base, "save_dir_base");
  double threshold = to_double(thr, "intersection_thrr");
  py::object np = py::module_::import("numpy");
  py::object float64 = np.attr("float64");

  std::vector<ReportFrame> frames;
  std::vector<py::object> frame_keys;
  std::vector<std::vector<py::object>> box_keys, area_values;
  frames.reserve(records.size());
  for (auto item : records) {
    ReportFrame fr;
    fr.frame = to_int(item.first, "vexo_annotation_data key");
    std::string name = "vexo_annotation_data[" + fmt_int(fr.frame) + "]";
    py::dict rec = require_dict(item.second, name);
    py::dict areas = require_dict(record_field(rec, "mask_areas", name), name + "['mask_areas']");
    std::vector<py::object> keys, vals;
    for (auto a : areas) {
      std::string key = py::str(a.first).cast<std::string>();
      fr.area_keys.push_back(key);
      fr.areas.push_back(report_number(a.second, name + "['mask_areas'][" + key + "]"));
      keys.push_back(py::reinterpret_borrow<py::object>(a.first));
      vals.push_back(py::reinterpret_borrow<py::object>(a.second));
    }
    py::object df = record_field(rec, "intersections_df", name);
    if (!py::hasattr(df, "index") || !py::hasattr(df, "columns") || !py::hasattr(df, "to_numpy")) {
      throw vexo::TypeError(name + "['intersections_df']: expected a pandas DataFrame, got " +
                            type_name(df));
    }
    py::list rows = df.attr("index").attr("tolist")();
    py::list cols = df.attr("columns").attr("tolist")();
    py::array_t<double, py::array::c_style | py::array::forcecast> cells =
        np.attr("ascontiguousarray")(df.attr("to_numpy")(py::arg("dtype") = float64));
    if (cells.ndim() != 2 || cells.shape(0) != static_cast<py::ssize_t>(rows.size()) ||
        cells.shape(1) != static_cast<py::ssize_t>(cols.size())) {
      throw vexo::ValueError(name + "['intersections_df']: table shape does not match its labels");
    }
    fr.cells.assign(cells.data(), cells.data() + cells.size());
    auto label_areas = [&](const py::list& labels, std::vector<std::string>& texts,
                           std::vector<std::optional<HostNumber>>& out) {
      for (auto l : labels) {
        std::string key = py::str(l).cast<std::string>();
        texts.push_back(key);
        if (areas.contains(l)) {
          out.push_back(report_number(areas[l], name + "['mask_areas'][" + key + "]"));
        } else {
          out.emplace_back();
        }
      }
    };
    label_areas(rows, fr.row_keys, fr.row_areas);
    label_areas(cols, fr.col_keys, fr.col_areas);
    frames.push_back(std::move(fr));
    frame_keys.push_back(py::reinterpret_borrow<py::object>(item.first));
    box_keys.push_back(std::move(keys));
    area_values.push_back(std::move(vals));
  }

  TrackingReport rep;
  {
    py::gil_scoped_release nogil;
    rep = vexo::tracking::generate_tracking_report(frames, dir, threshold);
  }

  py::list zero_rows;
  const auto& cols = report_columns();
  for (const ZeroAreaRow& z : rep.zero_area_rows) {
    py::dict row;
    row[py::str(cols[0])] = frame_keys[z.frame_pos];
    for (int c = 1; c <= 4; ++c) row[py::str(cols[c])] = py::none();
    row[py::str(cols[5])] = py::str("Zero area detected");
    row[py::str(cols[6])] = box_keys[z.frame_pos][z.key_pos];
    row[py::str(cols[7])] = area_values[z.frame_pos][z.key_pos];
    zero_rows.append(row);
  }
  py::list overlap_frames;
  for (std::size_t f : rep.overlap_frames) overlap_frames.append(frame_keys[f]);
  const std::size_t n = rep.overlap_rows.size();
  py::object all = overlap_table(rep, 0, n);
  py::object last =
      overlap_table(rep, rep.overlap_frames.empty() ? n : rep.last_frame_first_row, n);
  return py::make_tuple(all, zero_rows, overlap_frames, last);
}

}  // namespace

void bind_report(py::module_& m) {
  m.def("generate_tracking_report", &generate_tracking_report, py::arg("vexo_annotation_data"),
        py::arg("save_dir_base"), py::arg("intersection_thrr") = 80,
        "Report the frames of a clip that need review.\n\n"
        "Scans every record of vexo_annotation_data ({annotation index: frame record} with "
        "'mask_areas' and 'intersections_df') for masks of area 0 and overlap cells strictly "
        "above intersection_thrr. When anything is found, writes "
        "save_dir_base/tracking_question_report.csv (high-overlap rows first, then zero-area "
        "rows; written to a temporary file and renamed into place) and prints progress lines.\n\n"
        "Returns (overlap_frames_data, zero_area_frames, overlap_frames, box_keys_df): the "
        "DataFrame of all high-overlap rows, the list of zero-area row dicts, the keys of the "
        "frames with overlap, and the DataFrame of the last such frame's rows. Both tables have "
        "the columns Frame ID (int64), Box Pair (str), Intersection Value (float64, rounded to "
        "two decimals), Mask Area1, Mask Area2 (int64), Report type (str), Box ID and Mask Areas "
        "(None).");
}

}  // namespace vexo::py_bind
