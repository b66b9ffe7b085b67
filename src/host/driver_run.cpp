#include "host/driver_run.h"

#include <memory>
#include <mutex>

#include "drivercontrol/manager.h"
#include "host/app.h"
#include "host/settings.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "policy/present.h"

using ZelmUsbVardoManager::Manager;

namespace {
struct Facade {
    std::recursive_mutex lock;
    std::unique_ptr<Manager> manager;
};

Facade& facade()
{
    static Facade f;
    return f;
}
} // namespace

bool use_facade(const std::function<void(Manager&)>& work)
{
    std::lock_guard guard(facade().lock);
    if (!facade().manager) return false;
    work(*facade().manager);
    return true;
}

bool facade_exists()
{
    std::lock_guard guard(facade().lock);
    return facade().manager != nullptr;
}

bool create_facade()
{
    std::lock_guard guard(facade().lock);
    if (facade().manager) return false;
    // Built whole before any other thread can see it.
    auto manager = std::make_unique<Manager>(driver_service_name, driver_display_name, driver_device_name);
    facade().manager = std::move(manager);
    return true;
}

void destroy_facade()
{
    std::lock_guard guard(facade().lock);
    facade().manager.reset();
}

void ensure_initial_list()
{
    // The main thread (start of the run) and the listener ("cfg") may both find the file missing;
    // one of them writes it and loads the rules, the other then finds it there.
    std::lock_guard serialised(initial_list_lock());
    const std::u16string path = get_path(u"current_usb");
    platform::Error error = 0;
    if (platform::files().attributes(path, error) != platform::attribute::invalid) return;
    save_current_usb_list(u"", true);
    load_initial_rules();
}
