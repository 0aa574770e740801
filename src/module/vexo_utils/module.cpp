#include "common/module_setup.h"
#include "core/parallel.h"
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
  m.def("_set_thread_limit", &vexo::set_thread_limit, pybind11::arg("n"));
  vexo::py_bind::bind_overlap(m);
  vexo::py_bind::bind_tracking_output(m);
  vexo::py_bind::bind_pen_file(m);
  vexo::py_bind::bind_pen_membership(m);
  vexo::py_bind::bind_annotation(m);
  vexo::py_bind::bind_gdino_filter(m);
  vexo::py_bind::bind_initializer(m);
  vexo::py_bind::bind_similarity(m);
  vexo::py_bind::bind_features(m);
  vexo::py_bind::bind_dark_text(m);
  vexo::py_bind::bind_last_frame(m);
  vexo::py_bind::bind_matcher(m);
  vexo::py_bind::bind_report(m);
  vexo::py_bind::bind_frame_runs(m);
  vexo::py_bind::bind_pruning(m);
  vexo::py_bind::bind_overlap_frames(m);
  vexo::py_bind::bind_refine(m);
  vexo::py_bind::bind_catalogue(m);
  vexo::py_bind::bind_video_processor(m);
  vexo::py_bind::bind_drawing(m);
  vexo::py_bind::bind_diagnostics(m);
}
