#include "common/module_setup.h"
#include "core/parallel.h"
#include "vexo_pipeline/bindings.h"

PYBIND11_MODULE(_vexo_pipeline, m) {
  m.doc() =
      "Native part of vexo_pipeline: stand-ins for the detector, segmenter, video "
      "propagation and tracking output writer that lie outside vexo_utils.";
  vexo::py_bind::init_module_conventions(m);
  // This module holds its own copy of the library's thread limit.
  m.def("_set_thread_limit", &vexo::set_thread_limit, pybind11::arg("n"));
  vexo::py_bind::bind_writer(m);
  vexo::py_bind::bind_standins(m);
  vexo::py_bind::bind_synth(m);
}
