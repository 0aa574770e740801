#include <cmath>

#include "common/convert.h"
#include "core/errors.h"
#include "vexo_utils/bindings.h"
#include "visual/drawing.h"

namespace vexo::py_bind {

using namespace vexo::visual;

namespace {

// A drawing mask: set where the value is greater than 0.
MaskIn positive_mask(py::handle obj, const std::string& what) {
  return mask_from_py(obj, what, false, MaskRule::Positive);
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
  // A stack tensor is read as one host array; other sequences entry by entry.
  py::object seq = py::hasattr(masks, "detach") && py::hasattr(masks, "cpu")
                       ? py::object(host_array(masks, "masks"))
                       : py::reinterpret_borrow<py::object>(masks);
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
    out = vexo::visual::draw_masks_on_image(img.mat, mats);
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
    out = vexo::visual::img_bbx_drawing(img.mat, keys, mats);
  }
  return mat_to_pil(out, "RGBA");
}

void video_segments_mask_visual(py::object video_segments, py::object frame_idx,
                                py::object object_id) {
  py::object mask = video_segments[frame_idx][object_id];
  py::object np = py::module_::import("numpy");
  if (py::hasattr(mask, "detach") && py::hasattr(mask, "cpu")) mask = host_array(mask, "mask");
  py::object arr = np.attr("squeeze")(np.attr("asarray")(mask));
  // The figure is a host service: draw into the current axes of the current
  // figure and leave showing it to the caller.
  import_host("matplotlib.pyplot").attr("imshow")(arr);
}

}  // namespace

void bind_drawing(py::module_& m) {
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
