#include "app/driver_run.h"

#include <memory>
#include <mutex>

#include "app/app.h"
#include "app/lock_order.h"
#include "app/settings.h"
#include "drivercontrol/manager.h"
#include "host/files.h"
#include "host/paths.h"
#include "host/trace.h"
#include "json/hostjson/json_node.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/services.h"
#include "platform/system.h"
#include "policy/decision.h"
#include "policy/present.h"
#include "text/text.h"

using ZelmUsbVardoManager::Manager;

namespace {
// Installed and started with a 10 ms poll, removed with a 50 ms one; demand start.
constexpr uint32_t service_poll_ms = 10;
constexpr uint32_t uninstall_poll_ms = 50;
using platform::service::demand_start;
using platform::err::service_already_running;
using platform::err::service_exists;

struct Facade {
    std::recursive_mutex lock;
    std::unique_ptr<Manager> manager;
};

Facade& facade()
{
    static Facade f;
    return f;
}

std::u16string code_text(uint32_t code)
{
    return IntText(int(code));
}

// A driver that runs while nobody answers its user tests lets every device in unasked: a start
// that cannot register its user test takes the driver out of service again before it gives up.
int abandon_start(Manager& manager, std::u16string& status)
{
    const uint32_t code = manager.Stop(service_poll_ms, status, nullptr, DriverStateCallback);
    if (code != 0)
        _COUT(u"Driver stopping error: " + code_text(code) + u" : " + status);
    else
        _COUT(u"Driver stopped.");
    return 0;
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

bool read_present_devices(std::u16string& devices)
{
    uint32_t code = 0;
    std::u16string status;
    if (!use_facade([&](Manager&) { code = Manager::GetCurrentUSBDevicesJSONListText(100, devices, status); }))
        return false;
    if (code != 0) {
        _COUT(u"generate_current_usb_list error: " + text::format(u"%u", code) + u" : " + status);
        return false;
    }
    return true;
}

void save_current_usb_list(const std::u16string& path, bool skip_drives)
{
    std::u16string devices;
    if (!read_present_devices(devices)) return;
    CJsonNode list;
    generate_current_usb_list(devices, list, true, skip_drives);
    const std::u16string text = list.ToText(0);
    int written = 0;
    if (!path.empty()) {
        // Every character is kept: a pair of surrogates is one four-byte sequence.
        const std::string bytes = text::to_utf8(text);
        written = WriteOutputFile(path, bytes.data(), bytes.size());
    } else {
        const auto bytes = text::to_utf16le(text);
        written = WriteOutputFile(get_path(u"current_usb"), bytes.data(), bytes.size());
    }
    // Said only once the list is where it was asked for: a full disk is told instead.
    if (written) _COUT(u"Current USB list generated.");
}

void write_usb_list_to(const std::u16string& path)
{
    const bool created = create_facade();
    save_current_usb_list(path, false);
    if (created) destroy_facade();
}

std::recursive_mutex& initial_list_lock()
{
    static std::recursive_mutex lock;
    return lock;
}

void ensure_initial_list()
{
    // The main thread (start of the run) and the listener ("cfg") may both find the file missing;
    // one of them writes it and loads the rules, the other then finds it there.
    std::lock_guard serialised(initial_list_lock());
    const std::u16string path = get_path(u"current_usb");
    platform::Error error = 0;
    if (platform::files().attributes(path, error) != platform::attribute::invalid) return;
    static_assert(lock_may_nest(ProcessLock::initial_list, ProcessLock::facade));
    save_current_usb_list(u"", true);
    static_assert(lock_may_nest(ProcessLock::initial_list, ProcessLock::settings));
    load_initial_rules();
}

void sweep_unlisted_devices()
{
    std::u16string devices;
    if (read_present_devices(devices)) eject_unlisted_devices(devices);
}

void InstallStateCallback(uint32_t code, void*)
{
    _COUT(u"InstallStateCallback: " + code_text(code));
}

void DriverStateCallback(uint32_t code, void*)
{
    _COUT(u"DriverStateCallback: " + code_text(code));
}

uint8_t user_test_decision(const char16_t* document, void*)
{
    // The report waits for the driver's answer to the verdict (user_test_outcome).
    hold_decision_outcomes(true);
    if (document == nullptr) return zelmusb_decision(nullptr) != 0;
    const std::u16string text(document);
    return zelmusb_decision(&text) != 0;
}

void user_test_outcome(uint8_t verdict, uint32_t result, void*)
{
    // Refused, the verdict came too late (or the driver is gone): the device met the driver's own
    // default, which this run registers as admit.
    settle_decision_outcome(result == 0 ? verdict != 0 : user_test_default_accepted);
    hold_decision_outcomes(false);
}

int start_driver_run()
{
    if (!create_facade()) return 1;

    // Not under the facade lock: the initial list and the sweep take it themselves, and the initial
    // list's lock comes before the facade's (app/lock_order.h), so holding the facade here while
    // waiting for the initial list could stop this thread and "cfg" on the listener for good.
    static_assert(!lock_may_nest(ProcessLock::facade, ProcessLock::initial_list));
    ensure_initial_list();
    load_initial_rules();

    // A 64-bit uptime: a 32-bit count wraps after 49.7 days and would look like a fresh boot.
    if (g_settings.active != 0 && platform::system().tick_count64() < just_booted_ms) sweep_unlisted_devices();

    // The driver calls hold the facade: "cfg" waits until the driver is in service or failed.
    std::lock_guard guard(facade().lock);
    if (!facade().manager) return 0;
    Manager& manager = *facade().manager;
    std::u16string status;

    const std::u16string admittances = get_path(u"internal_accept");
    const std::u16string config = get_path(u"config");
    const std::u16string image = get_path(u"sys");

    uint32_t code = manager.Install(service_poll_ms, image, config, admittances, demand_start, nullptr, nullptr,
                                    nullptr, status, true, nullptr, InstallStateCallback);
    if (code != 0 && code != service_exists) {
        _COUT(u"Driver installation error: " + code_text(code) + u" : " + status);
        return 0;
    }
    _COUT(u"Driver installed.");

    code = manager.Start(service_poll_ms, status, nullptr, DriverStateCallback);
    if (code != 0 && code != service_already_running) {
        _COUT(u"Driver starting error: " + code_text(code) + u" : " + status);
        return 0;
    }
    _COUT(u"Driver started.");

    if (manager.Attach(status))
        _COUT(u"Driver attached.");
    else
        _COUT(u"Driver attach error: " + status);

    code = manager.SetHubsAccept(true, ZelmUsbVardoManager::CONFIG_DRIVER_AND_FILE, status);
    if (code != 0) {
        _COUT(u"Hubs accepted error: " + code_text(code) + u" : " + status);
        return abandon_start(manager, status);
    }
    _COUT(u"Hubs accepted done.");

    code = manager.UserTest_on(user_test_decision, user_test_wait_100ns, nullptr, user_test_default_accepted, status,
                               user_test_outcome);
    // The library recovers a registration left by a crashed run (31) itself; a 31 that still comes
    // back means the driver refuses this one, and no device would get its verdict: a failure.
    if (code != 0) {
        _COUT(u"User mode enable error: " + code_text(code) + u" : " + status);
        return abandon_start(manager, status);
    }
    _COUT(u"User mode enable done.");
    return 1;
}

int stop_driver_run()
{
    std::lock_guard guard(facade().lock);
    if (!facade().manager) return 1;
    Manager& manager = *facade().manager;
    std::u16string status;

    uint32_t code = manager.UserTest_off(status);
    if (code != 0)
        _COUT(u"User mode disable error: " + code_text(code) + u" : " + status);
    else
        _COUT(u"User mode disabled.");

    manager.ClearAcceptedNameList(status);
    manager.ClearAcceptedTypeList(status);

    if (g_uninstall_request != 0) {
        code = manager.Stop(service_poll_ms, status, nullptr, DriverStateCallback);
        if (code != 0)
            _COUT(u"Driver stopping error: " + code_text(code) + u" : " + status);
        else
            _COUT(u"Driver stopped.");
        code = manager.Uninstall(uninstall_poll_ms, status, nullptr, DriverStateCallback);
        if (code != 0)
            _COUT(u"Driver uninstall error: " + code_text(code) + u" : " + status);
        else
            _COUT(u"Driver uninstalled.");
    }
    destroy_facade();
    return 1;
}
