// The detector's post-processed output as the host gives it.
#pragma once

#include "common/convert.h"
#include "detection/models.h"

namespace vexo::py_bind {

// Entry 0 of the detector's post-processed output: the host arrays as read
// ("boxes" N x 4, "scores" N, "labels" as numpy.array of the label sequence)
// and their core form.
struct HostDetections {
  py::array boxes;
  py::array scores;
  py::array labels;
  detection::Detections core;
};
// `require_finite` rejects boxes that hold NaN or infinite corners.
HostDetections read_detections(py::handle gdino_results, bool require_finite);

}  // namespace vexo::py_bind
