// Registration of the larger tracking operations, each in its own file.
#pragma once

#include <pybind11/pybind11.h>

namespace vexo::py_bind {

void bind_mask_refinement(pybind11::module_& m);  // Mask_Refinement
void bind_overlap_frames(pybind11::module_& m);   // process_overlap_frames

}  // namespace vexo::py_bind
