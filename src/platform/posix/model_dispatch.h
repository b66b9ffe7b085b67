// The one place where the posix `devices` backend hands over the device paths that no running
// driver serves (volumes such as "\\\\.\\E:", hubs, host controllers): the machine model answers
// them. The handles it gives live in the same handle table as the control devices' handles; the
// backend maps its own handle values to the model's.
#pragma once

#include "platform/devices.h"

namespace platform::posix {

// The devices of the machine model (<root>/machine.json); model_dispatch.cpp.
Devices& model_devices();

} // namespace platform::posix
