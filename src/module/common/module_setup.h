// Module-wide set-up shared by both extension modules: the console sink (the
// host's sys.stdout), the interrupt hook (Ctrl-C), the translation of core
// errors into host exceptions, and the host's choice of console target and
// progress display.
#pragma once

#include <pybind11/pybind11.h>

namespace vexo::py_bind {

// Call once from each module's init.
void init_module_conventions(pybind11::module_& m);

// Sends the library's console text to `write` (called with each piece of
// text, line breaks included); None restores the host's sys.stdout.
void route_console(pybind11::object write);
// Installs `hook(task, done, total)` as the progress hook; None removes it,
// so the loops pay nothing for progress. A KeyboardInterrupt raised while the
// hook runs stops the call as Ctrl-C does.
void route_progress(pybind11::object hook);

}  // namespace vexo::py_bind
