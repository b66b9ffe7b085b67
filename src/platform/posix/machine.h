// The machine model of this platform root: one engine over <root>/machine.json, shared by the
// devices (through model_devices), devicetree, files (drive types) and system (uptime) families.
#pragma once

#include "platform/model/engine.h"

namespace platform::posix {

model::Engine& machine();

} // namespace platform::posix
