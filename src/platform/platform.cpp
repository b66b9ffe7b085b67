#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

#include "platform/native.h"

namespace platform {

Platform native()
{
    Platform p;
    p.files = backend::native_files();
    p.registry = backend::native_registry();
    p.sync = backend::native_sync();
    p.pipes = backend::native_pipes();
    p.processes = backend::native_processes();
    p.services = backend::native_services();
    p.devices = backend::native_devices();
    p.devicetree = backend::native_devicetree();
    p.system = backend::native_system();
    return p;
}

Platform& current()
{
    static Platform installed = native();
    return installed;
}

void install(const Platform& p)
{
    current() = p;
}

namespace {
template <class Family>
Family& required(Family* family, const char* name)
{
    if (!family) {
        // A missing family is a build fault, not a run-time condition: stop loudly.
        std::fprintf(stderr, "platform: the %s family is not available in this build\n", name);
        std::abort();
    }
    return *family;
}
} // namespace

Files& files() { return required(current().files, "files"); }
Registry& registry() { return required(current().registry, "registry"); }
Sync& sync() { return required(current().sync, "sync"); }
Pipes& pipes() { return required(current().pipes, "pipes"); }
Processes& processes() { return required(current().processes, "processes"); }
Services& services() { return required(current().services, "services"); }
Devices& devices() { return required(current().devices, "devices"); }
DeviceTree& devicetree() { return required(current().devicetree, "devicetree"); }
System& system() { return required(current().system, "system"); }

} // namespace platform
