#include <optional>

#include "common/convert.h"
#include "core/errors.h"
#include "pen/annotation.h"
#include "pen/pen_file.h"
#include "pen/pen_membership.h"
#include "vexo_utils/bindings.h"

namespace vexo::py_bind {

namespace {

// A float64 array of an array-like (lists, tuples, numpy arrays, CPU torch
// tensors), raising TypeError naming `what` when it is not numeric.
py::array_t<double> real_array(py::handle obj, const std::string& what) {
  if (obj.is_none()) throw vexo::TypeError(what + ": expected numbers, got None");
  py::object src = py::reinterpret_borrow<py::object>(obj);
  if (py::hasattr(src, "detach") && py::hasattr(src, "cpu")) src = host_array(src, what);
  py::object np = py::module_::import("numpy");
  try {
    py::object arr = np.attr("asarray")(src, py::arg("dtype") = np.attr("float64"));
    return py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(arr);
  } catch (py::error_already_set& e) {
    throw vexo::TypeError(what + ": expected numbers (" + std::string(e.what()) + ")");
  }
}

py::list polygon_to_py(const PenPolygon& poly) {
  py::list out;
  for (std::size_t i = 0; i < poly.points.size(); ++i) {
    const cv::Point2d& p = poly.points[i];
    auto num = [](double v, bool integral) -> py::object {
      if (integral) return py::int_(static_cast<long long>(v));
      return py::float_(v);
    };
    out.append(py::make_tuple(num(p.x, poly.integral[i][0]), num(p.y, poly.integral[i][1])));
  }
  return out;
}

py::object get_pen_json_path(py::object video_dir, py::object custom) {
  std::string dir = to_str(video_dir, "video_dir");
  std::optional<std::string> c = optional_str(custom, "custom_pen_json_path");
  std::optional<std::string> r = vexo::get_pen_json_path(dir, c);
  if (!r) return py::none();
  return py::str(*r);
}

py::object draw_pen(py::object image_path, py::object json_path, py::object drawout) {
  const bool draw = py::bool_(drawout);
  std::string img = draw ? to_str(image_path, "image_path") : std::string();
  std::string js = to_str(json_path, "json_path");
  PenDrawing d;
  {
    py::gil_scoped_release nogil;
    d = vexo::draw_pen(img, js, draw);
  }
  py::list poly = polygon_to_py(d.polygon);
  if (!draw) return std::move(poly);
  return py::make_tuple(mat_to_pil(d.image, "RGB"), poly);
}

std::vector<cv::Point2d> polygon_from_py(py::handle obj) {
  py::array_t<double> a = real_array(obj, "polygon_points");
  if (a.ndim() != 2 || a.shape(1) != 2) {
    throw vexo::ValueError("polygon_points: expected a list of (x, y) vertices");
  }
  std::vector<cv::Point2d> pts;
  auto r = a.unchecked<2>();
  for (py::ssize_t i = 0; i < a.shape(0); ++i) pts.emplace_back(r(i, 0), r(i, 1));
  return pts;
}

py::tuple calculate_pen_intersection_ratio(py::object polygon_points, py::object boxes,
                                           py::object ratio_threshold) {
  double thr = to_double(ratio_threshold, "ratio_threshold");
  py::array_t<double> b = real_array(boxes, "boxes");
  std::vector<RealBox> box_list;
  if (!(b.ndim() == 1 && b.shape(0) == 0)) {
    if (b.ndim() != 2 || b.shape(1) != 4) {
      throw vexo::ValueError("boxes: expected an N x 4 array or a list of [x1, y1, x2, y2] boxes");
    }
    auto r = b.unchecked<2>();
    for (py::ssize_t i = 0; i < b.shape(0); ++i) {
      box_list.push_back({r(i, 0), r(i, 1), r(i, 2), r(i, 3)});
    }
  }
  std::vector<cv::Point2d> pts;
  if (!box_list.empty()) pts = polygon_from_py(polygon_points);
  PenRatios res;
  {
    py::gil_scoped_release nogil;
    res = vexo::calculate_pen_intersection_ratio(pts, box_list, thr);
  }
  py::list ratios, flags;
  for (double v : res.ratios) ratios.append(v);
  for (bool f : res.in_pen) flags.append(py::bool_(f));
  return py::make_tuple(ratios, flags);
}

py::array get_in_pen_mask(py::object frame_idx, py::object test_mask, py::object pen_json_path,
                          py::object frame_names) {
  std::int64_t idx = to_int(frame_idx, "frame_idx");
  std::string path = to_str(pen_json_path, "pen_json_path");
  std::vector<std::string> names = path_list_from_py(frame_names, "frame_names");
  if (test_mask.is_none()) throw vexo::TypeError("test_mask: expected a mask array, got None");
  py::object np = py::module_::import("numpy");
  py::object src = test_mask;
  if (py::hasattr(src, "detach") && py::hasattr(src, "cpu")) src = host_array(src, "test_mask");
  if (!py::isinstance<py::array>(src)) {
    throw vexo::TypeError("test_mask: expected a numpy mask array, got " + type_name(test_mask));
  }
  py::array a = np.attr("ascontiguousarray")(src);
  const char kind = a.dtype().kind();
  if (kind != 'b' && kind != 'u' && kind != 'i' && kind != 'f') {
    throw vexo::TypeError("test_mask: dtype " + py::str(a.dtype()).cast<std::string>() +
                          " is not supported (use a bool, integer or float mask)");
  }
  if (a.ndim() < 2) throw vexo::ValueError("test_mask: expected an H x W mask");
  std::size_t slices = 1;
  for (py::ssize_t d = 0; d + 2 < a.ndim(); ++d) {
    if (a.shape(d) != 1) {
      throw vexo::ValueError("test_mask: leading dimensions must have size 1 (H x W or 1 x H x W)");
    }
    slices *= static_cast<std::size_t>(a.shape(d));
  }
  const py::ssize_t rows = a.shape(a.ndim() - 2), cols = a.shape(a.ndim() - 1);
  if (rows > INT32_MAX || cols > INT32_MAX) throw vexo::ValueError("test_mask: mask too large");
  py::array out(a.dtype(), std::vector<py::ssize_t>(a.shape(), a.shape() + a.ndim()));
  const void* sp = a.data();
  void* dp = out.mutable_data();
  const std::size_t item = static_cast<std::size_t>(a.itemsize());
  {
    py::gil_scoped_release nogil;
    cv::Mat pen = frame_pen_mask(idx, path, names, static_cast<int>(rows), static_cast<int>(cols));
    cut_slices_to_pen(sp, dp, slices, item, pen);
  }
  return out;
}

// The host value of a JSON scalar or structure.
py::object json_to_py(const nlohmann::ordered_json& v) {
  using vt = nlohmann::ordered_json::value_t;
  switch (v.type()) {
    case vt::null:
      return py::none();
    case vt::boolean:
      return py::bool_(v.get<bool>());
    case vt::number_integer:
      return py::int_(v.get<std::int64_t>());
    case vt::number_unsigned:
      return py::int_(v.get<std::uint64_t>());
    case vt::number_float:
      return py::float_(v.get<double>());
    case vt::string:
      return py::str(v.get_ref<const std::string&>());
    case vt::array: {
      py::list l;
      for (const auto& e : v) l.append(json_to_py(e));
      return std::move(l);
    }
    case vt::object: {
      py::dict d;
      for (auto it = v.begin(); it != v.end(); ++it) d[py::str(it.key())] = json_to_py(it.value());
      return std::move(d);
    }
    default:
      return py::none();
  }
}

py::object retrieve_annotation(py::object json_path, py::object save_path, py::object box_drawing,
                               py::object object_ids) {
  std::string path = to_str(json_path, "json_path");
  std::optional<std::string> save = optional_str(save_path, "save_path");
  const bool boxes = py::bool_(box_drawing);
  const bool all = py::isinstance<py::str>(object_ids) && object_ids.cast<std::string>() == "all";
  AnnotationFile file;
  {
    py::gil_scoped_release nogil;
    file = read_annotation(path);
  }
  // Colours come from the host's process-wide generator, one per drawn
  // detection, so seeding it reproduces the image.
  py::object randint = import_host("random").attr("randint");
  std::vector<std::optional<Rgb>> colours(file.object_ids.size());
  for (std::size_t i = 0; i < file.object_ids.size(); ++i) {
    if (!all) {
      py::object id = json_to_py(file.object_ids[i]);
      int found = PySequence_Contains(object_ids.ptr(), id.ptr());
      if (found < 0) throw py::error_already_set();
      if (!found) continue;
    }
    Rgb c{};
    for (auto& ch : c) ch = static_cast<std::uint8_t>(to_int(randint(0, 254), "random colour"));
    colours[i] = c;
  }
  cv::Mat img;
  {
    py::gil_scoped_release nogil;
    img = render_annotation(file, colours, boxes, save.value_or(""));
  }
  return mat_to_pil(img, "RGBA");
}

void fix_polygon_scaling(py::object json_path, py::object save_path) {
  std::string path = to_str(json_path, "json_path");
  std::optional<std::string> save = optional_str(save_path, "save_path");
  py::gil_scoped_release nogil;
  vexo::fix_polygon_scaling(path, save);
}

}  // namespace

void bind_pen(py::module_& m) {
  m.def("draw_pen", &draw_pen, py::arg("image_path"), py::arg("json_path"),
        py::arg("drawout") = false,
        "Reads the pen polygon (the first shape's \"points\") of a pen JSON file as a list of "
        "(x, y) tuples. With drawout, also loads image_path and returns (RGB PIL image with the "
        "closed outline drawn in red, 3 pixels wide with rounded joints, polygon). Raises "
        "ValueError('No shapes found in the JSON file.') when \"shapes\" is empty.");
  m.def("calculate_pen_intersection_ratio", &calculate_pen_intersection_ratio,
        py::arg("polygon_points"), py::arg("boxes"), py::arg("ratio_threshold"),
        "(ratios, in_pen): for each [x1, y1, x2, y2] box, the percentage of its area inside the "
        "pen polygon (exact geometry) and whether it is >= ratio_threshold. An empty box list "
        "gives two empty lists; a zero-area box raises ValueError.");
  m.def("fix_polygon_scaling", &fix_polygon_scaling, py::arg("json_path"),
        py::arg("save_path") = py::none(),
        "Repairs polygons normalised with swapped image dimensions: every formatted_polygon "
        "pair (x, y) becomes (x * H/W, y * W/H), written with 6 decimals. The file is written to "
        "save_path (or over json_path) through a temporary file renamed into place, keys in the "
        "order read, indented by 4 spaces. Prints 'Error loading image: ...' and writes nothing "
        "when the frame image cannot be opened.");
  m.def("retrieve_annotation", &retrieve_annotation, py::arg("json_path"),
        py::arg("save_path") = py::none(), py::arg("box_drawing") = false,
        py::arg("object_ids") = "all",
        "Renders a per-frame tracking JSON file onto its frame: each selected detection's "
        "polygons filled in a random colour (Python's random module, 0..254) at alpha 100 and, "
        "with box_drawing, its last xyxy box and a 'Box <object_id - 1>' label. object_ids is "
        "'all' or a collection of object_id values. Returns an RGBA PIL image, also saved to "
        "save_path when given and not empty.");
  m.def("get_pen_json_path", &get_pen_json_path, py::arg("video_dir"),
        py::arg("custom_pen_json_path") = py::none(),
        "Path of the pen polygon file for a clip folder: custom_pen_json_path when given, "
        "otherwise the site pen folder's file of the camera named in video_dir (the first "
        "backslash-separated component containing 'Camera', up to its first underscore); None "
        "when the camera is unknown.");
  m.def("get_in_pen_mask", &get_in_pen_mask, py::arg("frame_idx"), py::arg("test_mask"),
        py::arg("pen_json_path"), py::arg("frame_names"),
        "test_mask (H x W or 1 x H x W) cut to the pen polygon of pen_json_path, rasterised with "
        "truncated vertices at the mask's size; same shape and dtype. frame_idx must index "
        "frame_names (the frame itself is not read).");
}

}  // namespace vexo::py_bind
