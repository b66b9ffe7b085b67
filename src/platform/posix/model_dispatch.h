// The devices that are not a driver's control device (host controllers, hubs, volumes, disk
// interfaces) are answered by the machine model. The posix devices family sends every open of
// such a path here and keeps the handles it gets in its own handle table.
#pragma once

#include "platform/devices.h"

namespace platform::posix {

platform::Devices& model_devices();

} // namespace platform::posix
