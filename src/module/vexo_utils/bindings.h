// One registration function per subsystem; each lives in its own bind_*.cpp.
#pragma once

#include <pybind11/pybind11.h>

namespace vexo::py_bind {

void bind_records(pybind11::module_& m);      // VideoMetadata, VideoProcessor
void bind_core(pybind11::module_& m);         // overlap measures
void bind_reader(pybind11::module_& m);       // tracking output reader
void bind_pen(pybind11::module_& m);          // pen files, membership, annotation tools
void bind_detection(pybind11::module_& m);    // detector results, initializer, similarity
void bind_features(pybind11::module_& m);     // appearance features, last frame, matcher, dark text
void bind_tracking(pybind11::module_& m);     // post-processing of tracked clips
void bind_video(pybind11::module_& m);        // catalogue and frame extraction
void bind_visual(pybind11::module_& m);       // mask and box drawing
void bind_diagnostics(pybind11::module_& m);  // heatmap, clusters, motion, box IoU

}  // namespace vexo::py_bind
