// The driver run of the /start instance: the process's one driver facade, the sequences that bring
// the filter driver into service and take it out again, and the callbacks handed to the library.
//
// The facade is shared by the main thread (the driver run), the pipe listener ("cfg" writes the
// initial device list) and the list writer. It is built whole before it is published, every use
// runs under the one facade lock, and it is destroyed under that lock, so no thread can hold it
// while it goes. The lock is re-entrant: a sequence that holds it may call functions that use the
// facade themselves. Which of the process's locks may be taken while holding which is stated in
// app/lock_order.h.
//
// The device lists (the initial list, the /gud: list, the start-up sweep) are built by the policy
// (policy/present.h) from the device list read here through the facade.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace ZelmUsbVardoManager {
class Manager;
}

// The names the driver is installed and reached under.
inline constexpr const char16_t* driver_service_name = u"ZelmUsb";
inline constexpr const char16_t* driver_display_name = u"ZelmUsb";
inline constexpr const char16_t* driver_device_name = u"\\\\.\\ZelmUsb";

// How long the driver holds a device for the verdict, in units of 100 ns (120 s).
inline constexpr uint64_t user_test_wait_100ns = 1200000000ull;
// The verdict the driver applies to a device nobody answered for in time.
inline constexpr bool user_test_default_accepted = true;
// The start-up sweep runs only while the system has been up for less than this.
inline constexpr uint64_t just_booted_ms = 300000;

// Runs `work` on the facade under the facade lock. False, and `work` not run, when there is none.
bool use_facade(const std::function<void(ZelmUsbVardoManager::Manager&)>& work);
// Whether a facade exists now.
bool facade_exists();
// Creates the facade with the driver's names unless one exists; true when this call created it.
bool create_facade();
// Destroys the facade, once no other thread is using it. Nothing when there is none.
void destroy_facade();

// Reads the library's list of present devices (Manager::GetCurrentUSBDevicesJSONListText) under
// the facade lock. False when there is no facade; false, with the trace line
// "generate_current_usb_list error: <code> : <status>", when the library cannot list the devices.
bool read_present_devices(std::u16string& devices);

// Writes the present devices with exact patterns: to `path` in UTF-8, or, when `path` is empty, to
// the initial device list in UTF-16LE. Does nothing without the driver facade, and writes nothing
// when the devices cannot be listed.
void save_current_usb_list(const std::u16string& path, bool skip_drives);
// The /gud: list writer: save_current_usb_list(path, false) with a facade of its own when the
// process has none.
void write_usb_list_to(const std::u16string& path);

// Serialises the check, writing and loading of the initial device list between the threads that
// may do it (the driver run and "cfg"). The first lock of app/lock_order.h.
std::recursive_mutex& initial_list_lock();
// Writes the initial device list (without drives) when it is missing, then loads the initial rules.
void ensure_initial_list();

// The start-up sweep (eject_unlisted_devices of policy/present.h) over the present devices. Does
// nothing without the driver facade or when the devices cannot be listed.
void sweep_unlisted_devices();

// 1 when the driver is installed, started and taking user tests (or a facade already existed).
int start_driver_run();
// User test off, accepted lists cleared, and on an uninstall request the driver stopped and
// removed; the facade destroyed. Always 1.
int stop_driver_run();

// State callbacks of the library's service operations: they trace the code.
void InstallStateCallback(uint32_t code, void* context);
void DriverStateCallback(uint32_t code, void* context);
// The user-test callback: the driver's device document to the decision. Nonzero admits. The
// decision's report and blocked notice wait for user_test_outcome, which the library calls with
// the driver's answer to the verdict, and then follow the verdict the driver applied: the one
// given, or the driver's default (admit) when the driver refused it (a verdict after its time-out).
uint8_t user_test_decision(const char16_t* document, void* context);
void user_test_outcome(uint8_t verdict, uint32_t result, void* context);
