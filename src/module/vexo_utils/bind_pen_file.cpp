// Pen polygon files: where a clip's pen file is and drawing its outline.
#include <optional>

#include "common/convert.h"
#include "core/errors.h"
#include "pen/pen_file.h"
#include "vexo_utils/bindings.h"

namespace vexo::py_bind {

using namespace vexo::pen;

namespace {

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
  std::optional<std::string> r = vexo::pen::get_pen_json_path(dir, c);
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
    d = vexo::pen::draw_pen(img, js, draw);
  }
  py::list poly = polygon_to_py(d.polygon);
  if (!draw) return poly;
  return py::make_tuple(mat_to_pil(d.image, "RGB"), poly);
}

}  // namespace

void bind_pen_file(py::module_& m) {
  m.def("draw_pen", &draw_pen, py::arg("image_path"), py::arg("json_path"),
        py::arg("drawout") = false,
        "Reads the pen polygon (the first shape's \"points\") of a pen JSON file as a list of "
        "(x, y) tuples. With drawout, also loads image_path and returns (RGB PIL image with the "
        "closed outline drawn in red, 3 pixels wide with rounded joints, polygon). Raises "
        "ValueError('No shapes found in the JSON file.') when \"shapes\" is empty.");
  m.def("get_pen_json_path", &get_pen_json_path, py::arg("video_dir"),
        py::arg("custom_pen_json_path") = py::none(),
        "Path of the pen polygon file for a clip folder: custom_pen_json_path when given, "
        "otherwise the site pen folder's file of the camera named in video_dir (the first "
        "backslash-separated component containing 'Camera', up to its first underscore); None "
        "when the camera is unknown.");
}

}  // namespace vexo::py_bind
