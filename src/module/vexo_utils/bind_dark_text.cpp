// Dark-mark enhancement of a frame.
#include "common/convert.h"
#include "detection/dark_text.h"
#include "vexo_utils/bindings.h"

namespace vexo::py_bind {

using namespace vexo::detection;

namespace {

py::object enhance_dark_text_py(py::object image_pil, py::object gamma_obj) {
  const double gamma = to_double(gamma_obj, "gamma");
  ImageIn img = image_from_py(image_pil, "image_pil");
  cv::Mat out;
  {
    py::gil_scoped_release nogil;
    out = enhance_dark_text(img.mat, gamma);
  }
  return mat_to_pil(out, "L");
}

}  // namespace

void bind_dark_text(py::module_& m) {
  m.def("enhance_dark_text", &enhance_dark_text_py, py::arg("image_pil"), py::arg("gamma") = 1.5,
        "Grey, contrast-enhanced copy of an RGB image in which dark marks on a bright body "
        "stand out: luminance, a gamma curve (1 / gamma power) through a 256-entry table, then "
        "histogram equalisation. Returns a PIL image of mode L; gamma must be positive.");
}

}  // namespace vexo::py_bind
