// Detector result filtering: detections in reading order (top to bottom,
// then left to right), reduced to one target label.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "detection/models.h"

namespace vexo::detection {

// Indices into `d` of the detections kept, in reading order: a stable sort
// by y_min, then x_min (NaN corners sort last), then the rows whose label
// equals `target_label` exactly, or every row when none does.
std::vector<std::size_t> gdino_selection(const Detections& d,
                                         const std::string& target_label = "pig");

// The selected rows of `d`, in that order.
Detections take_detections(const Detections& d, const std::vector<std::size_t>& rows);

Detections process_gdino_results(const Detections& d, const std::string& target_label = "pig");

}  // namespace vexo::detection
