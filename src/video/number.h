// A number as the host holds it, for window bounds in folder names and
// messages.
#pragma once

#include "core/format.h"

namespace vexo::video {

// Window bounds and steps in minutes, as the host holds them.
using Number = HostNumber;

}  // namespace vexo::video
