// The backend's families, one factory each, defined in win32/ or posix/. A family that a backend
// does not provide yet returns nullptr.
#pragma once

#include "platform/platform.h"

namespace platform::model {
class Engine;
}

namespace platform::backend {
Files* native_files();
Registry* native_registry();
Sync* native_sync();
Pipes* native_pipes();
Processes* native_processes();
Services* native_services();
Devices* native_devices();
DeviceTree* native_devicetree();
System* native_system();
// The machine model the backend answers USB, device-tree and volume requests from (posix:
// <root>/machine.json), for the tools that plug devices into it; null where the backend asks the
// real machine (win32).
model::Engine* native_machine();
} // namespace platform::backend
