#include "common/convert.h"
#include "vexo_utils/bindings.h"

namespace vexo::py_bind {

void bind_features(py::module_& /*m*/) {}

}  // namespace vexo::py_bind
