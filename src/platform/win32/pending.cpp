// Families this backend does not provide yet. Each moves to its own file when it is implemented.
#include "platform/native.h"

namespace platform::backend {
Files* native_files() { return nullptr; }
Registry* native_registry() { return nullptr; }
Processes* native_processes() { return nullptr; }
Services* native_services() { return nullptr; }
Devices* native_devices() { return nullptr; }
DeviceTree* native_devicetree() { return nullptr; }
System* native_system() { return nullptr; }
} // namespace platform::backend
