// Everything a binding needs to meet the host: the readers of host values
// (host_read.h) and the writers of host values (host_write.h).
#pragma once

#include "common/host_read.h"
#include "common/host_write.h"
