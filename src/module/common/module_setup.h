// Module-wide set-up shared by both extension modules: the console sink (the
// host's sys.stdout), the interrupt hook (Ctrl-C) and the translation of core
// errors into host exceptions.
#pragma once

#include <pybind11/pybind11.h>

namespace vexo::py_bind {

// Call once from each module's init.
void init_module_conventions(pybind11::module_& m);

}  // namespace vexo::py_bind
