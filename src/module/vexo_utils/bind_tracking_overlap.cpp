#include "common/convert.h"
#include "vexo_utils/tracking_parts.h"

namespace vexo::py_bind {

void bind_overlap_frames(py::module_& /*m*/) {}

}  // namespace vexo::py_bind
