#include <cmath>

#include "common/convert.h"
#include "core/errors.h"
#include "vexo_utils/bindings.h"
#include "visual/drawing.h"

namespace vexo::py_bind {

namespace {

std::string type_name(py::handle obj) {
  return py::str(py::type::of(obj).attr("__name__")).cast<std::string>();
}

py::object as_numpy(py::handle obj) {
  py::object src = py::reinterpret_borrow<py::object>(obj);
  if (py::hasattr(src, "detach") && py::hasattr(src, "cpu")) {
    src = src.attr("detach")().attr("cpu")().attr("numpy")();
  }
  return src;
}

// A drawing mask: set where the value is greater than 0. Bool and uint8
// masks are read in place; other numeric dtypes are thresholded here.
MaskIn positive_mask(py::handle obj, const std::string& what) {
  if (obj.is_none()) throw vexo::TypeError(what + ": expected a mask array, got None");
  py::object src = as_numpy(obj);
  if (!py::isinstance<py::array>(src)) {
    if (py::isinstance<py::list>(src) || py::isinstance<py::tuple>(src)) {
      src = py::module_::import("numpy").attr("asarray")(src);
    } else {
      throw vexo::TypeError(what + ": expected a numpy mask array, got " + type_name(obj));
    }
  }
  py::array a = py::reinterpret_borrow<py::array>(src);
  if (a.ndim() == 3 && a.shape(0) == 1) a = a.attr("reshape")(a.shape(1), a.shape(2));
  const char kind = a.dtype().kind();
  if (kind == 'b' || (kind == 'u' && a.itemsize() == 1)) return mask_from_py(a, what);
  if (kind != 'u' && kind != 'i' && kind != 'f') {
    throw vexo::TypeError(what + ": mask dtype " + py::str(a.dtype()).cast<std::string>() +
                          " is not supported (use bool, integer or float masks)");
  }
  if (a.ndim() != 2) {
    throw vexo::ValueError(what + ": expected a 2-D mask (H x W), got an array of " +
                           std::to_string(a.ndim()) + " dimensions");
  }
  py::array_t<double, py::array::c_style | py::array::forcecast> d =
      py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(a);
  if (!d) throw vexo::TypeError(what + ": cannot read the mask as numbers");
  const py::ssize_t rows = d.shape(0), cols = d.shape(1);
  if (rows > INT32_MAX || cols > INT32_MAX) throw vexo::ValueError(what + ": mask too large");
  MaskIn out;
  out.mat = cv::Mat(static_cast<int>(rows), static_cast<int>(cols), CV_8UC1);
  const double* p = d.data();
  for (py::ssize_t y = 0; y < rows; ++y) {
    std::uint8_t* row = out.mat.ptr<std::uint8_t>(static_cast<int>(y));
    for (py::ssize_t x = 0; x < cols; ++x) {
      double v = p[y * cols + x];
      if (std::isnan(v)) throw vexo::ValueError(what + ": mask holds NaN");
      row[x] = v > 0;
    }
  }
  return out;
}

// An image to draw on: PIL images of any mode (converted to RGBA when they
// are not grey, RGB or RGBA) or H x W x C uint8 arrays in RGB(A) order.
ImageIn drawing_image(py::handle obj) {
  if (!obj.is_none() && !py::isinstance<py::array>(obj) && py::hasattr(obj, "mode") &&
      py::hasattr(obj, "convert")) {
    std::string mode = py::str(obj.attr("mode")).cast<std::string>();
    if (mode != "L" && mode != "RGB" && mode != "RGBA") {
      return image_from_py(obj.attr("convert")("RGBA"), "image");
    }
  }
  return image_from_py(obj, "image");
}

std::vector<MaskIn> mask_list(py::handle masks) {
  if (masks.is_none() || py::isinstance<py::str>(masks) || py::isinstance<py::dict>(masks)) {
    throw vexo::TypeError("masks: expected a sequence of H x W masks, got " + type_name(masks));
  }
  py::object seq = as_numpy(masks);
  std::vector<MaskIn> out;
  std::size_t i = 0;
  for (py::handle m : py::iter(seq)) {
    out.push_back(positive_mask(m, "masks[" + std::to_string(i) + "]"));
    ++i;
  }
  return out;
}

py::object draw_masks_on_image(py::object image, py::object masks) {
  ImageIn img = drawing_image(image);
  std::vector<MaskIn> ms = mask_list(masks);
  std::vector<cv::Mat> mats;
  for (const auto& m : ms) mats.push_back(m.mat);
  cv::Mat out;
  {
    py::gil_scoped_release nogil;
    out = vexo::draw_masks_on_image(img.mat, mats);
  }
  return mat_to_pil(out, "RGBA");
}

py::object img_bbx_drawing(py::object image, py::object mask_dict) {
  if (!py::isinstance<py::dict>(mask_dict)) {
    throw vexo::TypeError("mask_dict: expected a dict of box key to mask, got " +
                          type_name(mask_dict));
  }
  ImageIn img = drawing_image(image);
  std::vector<std::string> keys;
  std::vector<MaskIn> ms;
  for (auto item : mask_dict.cast<py::dict>()) {
    std::string key = py::str(item.first).cast<std::string>();
    ms.push_back(positive_mask(item.second, "mask_dict[" + key + "]"));
    keys.push_back(std::move(key));
  }
  std::vector<cv::Mat> mats;
  for (const auto& m : ms) mats.push_back(m.mat);
  cv::Mat out;
  {
    py::gil_scoped_release nogil;
    out = vexo::img_bbx_drawing(img.mat, keys, mats);
  }
  return mat_to_pil(out, "RGBA");
}

void video_segments_mask_visual(py::object video_segments, py::object frame_idx,
                                py::object object_id) {
  py::object mask = video_segments[frame_idx][object_id];
  py::object np = py::module_::import("numpy");
  py::object arr = np.attr("squeeze")(np.attr("asarray")(as_numpy(mask)));
  // The figure is a host service: draw into the current axes of the current
  // figure and leave showing it to the caller.
  import_host("matplotlib.pyplot").attr("imshow")(arr);
}

}  // namespace

void bind_visual(py::module_& m) {
  m.def("draw_masks_on_image", &draw_masks_on_image, py::arg("image"), py::arg("masks"),
        "New RGBA PIL image: image (PIL image or H x W x C uint8 RGB/RGBA array) with mask i "
        "(pixels > 0) tinted in its index colour (seed 42 + i) at alpha 128; where masks "
        "overlap, the later mask's tint wins.");
  m.def("img_bbx_drawing", &img_bbx_drawing, py::arg("image"), py::arg("mask_dict"),
        "draw_masks_on_image for the masks of mask_dict, plus for each entry its tight mask box "
        "outlined 3 pixels wide in the entry's colour and the key written in white on a label "
        "of that colour above the box's top-left corner. Returns an RGBA PIL image.");
  m.def("video_segments_mask_visual", &video_segments_mask_visual, py::arg("video_segments"),
        py::arg("frame_idx"), py::arg("object_id"),
        "Shows video_segments[frame_idx][object_id], its size-1 dimensions removed, with "
        "matplotlib's imshow on the current figure (nothing is shown until the caller shows "
        "the figure).");
}

}  // namespace vexo::py_bind
