// One registration function per core header the module exposes; each lives
// in bind_<header>.cpp and is called from module.cpp.
#pragma once

#include <pybind11/pybind11.h>

namespace vexo::py_bind {

void bind_overlap(pybind11::module_& m);          // core/overlap.h
void bind_tracking_output(pybind11::module_& m);  // core/tracking_output.h
void bind_pen_file(pybind11::module_& m);         // pen/pen_file.h
void bind_pen_membership(pybind11::module_& m);   // pen/pen_membership.h
void bind_annotation(pybind11::module_& m);       // pen/annotation.h
void bind_gdino_filter(pybind11::module_& m);     // detection/gdino_filter.h
void bind_initializer(pybind11::module_& m);      // detection/initializer.h
void bind_similarity(pybind11::module_& m);       // detection/similarity.h
void bind_features(pybind11::module_& m);         // detection/features.h
void bind_dark_text(pybind11::module_& m);        // detection/dark_text.h
void bind_last_frame(pybind11::module_& m);       // detection/last_frame.h
void bind_matcher(pybind11::module_& m);          // detection/matcher.h
void bind_report(pybind11::module_& m);           // tracking/report.h
void bind_frame_runs(pybind11::module_& m);       // tracking/frame_runs.h
void bind_pruning(pybind11::module_& m);          // tracking/pruning.h
void bind_overlap_frames(pybind11::module_& m);   // tracking/overlap_frames.h
void bind_refine(pybind11::module_& m);           // tracking/refine.h
void bind_catalogue(pybind11::module_& m);        // video/catalogue.h (VideoMetadata)
void bind_video_processor(pybind11::module_& m);  // video/clip_duration.h, crop_region.h,
                                                  // extraction.h, frame_writer.h
void bind_drawing(pybind11::module_& m);          // visual/drawing.h
void bind_diagnostics(pybind11::module_& m);      // visual/diagnostics.h

}  // namespace vexo::py_bind
