#include "common/convert.h"
#include "vexo_pipeline/bindings.h"

namespace vexo::py_bind {

void bind_synth(py::module_& /*m*/) {}

}  // namespace vexo::py_bind
