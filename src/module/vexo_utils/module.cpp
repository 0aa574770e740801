#include "common/module_setup.h"
#include "vexo_utils/bindings.h"

// The native half of the vexo_utils package; the package's Python layer gives
// every operation its signature, documentation and records.
PYBIND11_MODULE(_native, m) {
  m.doc() =
      "Operations for tracking individual pigs in farm pens from fixed overhead cameras: "
      "frame extraction, first-frame detection and segmentation, mask cleaning, tracking "
      "output reading, overlap reports, clip-to-clip identity matching and drawing.";
  vexo::py_bind::init_module_conventions(m);
  m.def("_set_console_sink", &vexo::py_bind::route_console, pybind11::arg("write"));
  m.def("_set_progress_hook", &vexo::py_bind::route_progress, pybind11::arg("hook"));
  vexo::py_bind::bind_records(m);
  vexo::py_bind::bind_core(m);
  vexo::py_bind::bind_pen(m);
  vexo::py_bind::bind_detection(m);
  vexo::py_bind::bind_features(m);
  vexo::py_bind::bind_tracking(m);
  vexo::py_bind::bind_video(m);
  vexo::py_bind::bind_visual(m);
  vexo::py_bind::bind_diagnostics(m);
}
