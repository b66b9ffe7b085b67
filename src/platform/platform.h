// The installed set of operating-system services. Only src/platform/ talks to the operating
// system; everything else asks platform::current() (or the family accessors below).
//
// main() installs the native backend; tests swap one family for a scripted one with
// platform::Override and get the previous one back when the override goes out of scope.
#pragma once

#include "platform/errors.h"

namespace platform {

class Files;
class Registry;
class Sync;
class Pipes;
class Processes;
class Services;
class Devices;
class DeviceTree;
class System;

struct Platform {
    Files* files = nullptr;
    Registry* registry = nullptr;
    Sync* sync = nullptr;
    Pipes* pipes = nullptr;
    Processes* processes = nullptr;
    Services* services = nullptr;
    Devices* devices = nullptr;
    DeviceTree* devicetree = nullptr;
    System* system = nullptr;
};

// The backend of this build (win32/ on Windows, posix/ elsewhere).
Platform native();

// The installed set; the native backend until something else is installed.
Platform& current();
void install(const Platform& p);

// Family accessors: current().files and so on, as references.
Files& files();
Registry& registry();
Sync& sync();
Pipes& pipes();
Processes& processes();
Services& services();
Devices& devices();
DeviceTree& devicetree();
System& system();

// Replaces one family of current() for the life of the object (tests only; not thread-safe against
// concurrent overrides).
template <class Family>
class Override {
public:
    Override(Family* Platform::*member, Family& replacement)
        : member_(member), previous_(current().*member)
    {
        current().*member = &replacement;
    }
    ~Override() { current().*member_ = previous_; }
    Override(const Override&) = delete;
    Override& operator=(const Override&) = delete;

private:
    Family* Platform::*member_;
    Family* previous_;
};

} // namespace platform
