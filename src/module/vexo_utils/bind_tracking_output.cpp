#include <cstring>

#include "common/convert.h"
#include "core/errors.h"
#include "core/tracking_output.h"
#include "vexo_utils/bindings.h"

namespace vexo::py_bind {

namespace {

py::array stack_to_numpy(const FrameFile& f) {
  if (f.count() == 0)
    return py::array_t<std::uint8_t>({py::ssize_t{0}, py::ssize_t{f.rows}, py::ssize_t{f.cols}});
  return mat_to_numpy_shaped(f.stack, {static_cast<py::ssize_t>(f.count()), f.rows, f.cols});
}

// Consecutive frames nearly always hold the same boxes: their tables share
// one pandas Index instead of building a new one per frame.
struct IndexCache {
  std::vector<std::string> keys;
  py::object index;
  const py::object& get(const std::vector<std::string>& k) {
    if (!index || k != keys) {
      keys = k;
      index = make_index(k);
    }
    return index;
  }
};

py::dict record_to_py(const FrameRecord& rec, IndexCache* cache = nullptr) {
  py::dict d;
  d["frame_index"] = py::int_(rec.frame_index);
  py::array stack = stack_to_numpy(rec.file);
  py::dict masks, areas;
  for (std::size_t i = 0; i < rec.keys.size(); ++i) {
    py::str key(rec.keys[i]);
    masks[key] = stack[py::int_(rec.slot[i])];
    areas[key] = py::int_(rec.areas[i]);
  }
  d["masks_dict"] = masks;
  d["mask_areas"] = areas;
  d["json_path"] = py::str(rec.json_path);
  d["image_path"] = py::str(rec.file.image_path);
  if (rec.has_table) {
    if (cache) {
      const std::size_t n = rec.keys.size();
      py::array_t<double> data({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(n)});
      if (n) std::memcpy(data.mutable_data(), rec.table.data(), n * n * sizeof(double));
      const py::object& idx = cache->get(rec.keys);
      d["intersections_df"] = make_float_frame(data, idx, idx);
    } else {
      d["intersections_df"] = make_float_frame(rec.table, rec.keys, rec.keys);
    }
  }
  return d;
}

int checked_dim(py::handle v, const char* what) {
  std::int64_t x = to_int(v, what);
  if (x < 0 || x > 1000000)
    throw vexo::ValueError(std::string(what) + " must be between 0 and 1000000");
  return static_cast<int>(x);
}

py::tuple process_json_and_generate_masks(py::object json_path, py::object height,
                                          py::object width) {
  std::string path = to_str(json_path, "json_path");
  int h = checked_dim(height, "height"), w = checked_dim(width, "width");
  FrameFile f;
  {
    py::gil_scoped_release nogil;
    f = read_frame_file(path, h, w);
  }
  py::list ids;
  for (auto id : f.ids) ids.append(py::int_(id));
  return py::make_tuple(py::str(f.image_path), stack_to_numpy(f), ids);
}

py::tuple get_vexo_annotation_data(py::object video_dir, py::object last_or_not, py::object ixx,
                                   py::object save_dir_base) {
  (void)video_dir;
  (void)last_or_not;
  std::string root = to_str(save_dir_base, "save_dir_base");
  std::int64_t sel = to_int(ixx, "ixx");
  py::dict all;
  IndexCache cache;
  TrackingOutput found;
  {
    py::gil_scoped_release nogil;
    found = read_tracking_output(root, sel, [&](std::size_t i, FrameRecord&& rec) {
      py::gil_scoped_acquire gil;
      // Tables of all frames share Index objects; a single record builds its own.
      all[py::int_(i)] = record_to_py(rec, sel > 0 ? nullptr : &cache);
      rec = FrameRecord{};  // the host values now own the masks
    });
  }
  switch (found) {
    case TrackingOutput::NoFiles:
      return py::make_tuple(py::none(), py::none());
    case TrackingOutput::OutOfRange:
      return py::make_tuple(py::dict(), py::dict());
    case TrackingOutput::One:
      return py::make_tuple(all, all);
    case TrackingOutput::All:
      break;
  }
  py::object last = all[py::int_(py::len(all) - 1)];
  return py::make_tuple(last, all);
}

}  // namespace

void bind_tracking_output(py::module_& m) {
  m.def("process_json_and_generate_masks", &process_json_and_generate_masks, py::arg("json_path"),
        py::arg("height"), py::arg("width"),
        "Read one per-frame tracking file. Returns (image_path, masks, ids): masks is an "
        "N x height x width uint8 array of 0/1 masks rasterised from the detections' polygons, "
        "ids the detections' object_id minus 1 (-1 when absent).");
  m.def("get_vexo_annotation_data", &get_vexo_annotation_data, py::arg("video_dir"),
        py::arg("last_or_not") = false, py::arg("ixx") = 0,
        py::arg("save_dir_base") = "D:\\ToBeLabeled_20pigs\\VEXO2_output_2hr",
        "Read a clip's tracking output folder (save_dir_base; video_dir is not used).\n\n"
        "With ixx <= 0 returns (last record, {annotation index: record}) where each record is a "
        "dict with frame_index, masks_dict, mask_areas, json_path, image_path and "
        "intersections_df. With 0 < ixx < file count returns the one-entry map {ixx: record} "
        "twice (no intersections_df); with ixx >= file count two empty dicts. When no file is "
        "found prints a message and returns (None, None).");
}

}  // namespace vexo::py_bind
