// Pen membership of boxes and masks.
#include <vector>

#include "common/convert.h"
#include "core/errors.h"
#include "pen/pen_membership.h"
#include "vexo_utils/bindings.h"

namespace vexo::py_bind {

using namespace vexo::pen;

namespace {

std::vector<cv::Point2d> polygon_from_py(py::handle obj) {
  py::array_t<double> a = real_array_from_py(obj, "polygon_points");
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
  py::array_t<double> b = real_array_from_py(boxes, "boxes");
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
    res = vexo::pen::calculate_pen_intersection_ratio(pts, box_list, thr);
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
  py::array out = zeroed_array({a.shape(), a.shape() + a.ndim()}, a.dtype());
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

}  // namespace

void bind_pen_membership(py::module_& m) {
  m.def("calculate_pen_intersection_ratio", &calculate_pen_intersection_ratio,
        py::arg("polygon_points"), py::arg("boxes"), py::arg("ratio_threshold"),
        "(ratios, in_pen): for each [x1, y1, x2, y2] box, the percentage of its area inside the "
        "pen polygon (exact geometry) and whether it is >= ratio_threshold. An empty box list "
        "gives two empty lists; a zero-area box raises ValueError.");
  m.def("get_in_pen_mask", &get_in_pen_mask, py::arg("frame_idx"), py::arg("test_mask"),
        py::arg("pen_json_path"), py::arg("frame_names"),
        "test_mask (H x W or 1 x H x W) cut to the pen polygon of pen_json_path, rasterised with "
        "truncated vertices at the mask's size; same shape and dtype. frame_idx must index "
        "frame_names (the frame itself is not read).");
}

}  // namespace vexo::py_bind
