#pragma once

#include <pybind11/pybind11.h>

namespace vexo::py_bind {

void bind_writer(pybind11::module_& m);    // tracking output writer
void bind_standins(pybind11::module_& m);  // classical detector / segmenter / encoder
void bind_synth(pybind11::module_& m);     // synthetic recordings and propagation

}  // namespace vexo::py_bind
