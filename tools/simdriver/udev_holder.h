// zelmusb.sys on a running Linux machine (the platform root holds no machine.json): the devices
// plugged into it are held through the kernel's USB authorization, as the filter driver holds
// them on Windows.
//
// - start(): every root hub's `authorized_default` becomes 0, so every new device waits with
//   `authorized` 0. The values the hubs had are kept first in <root>/drivers/zelmusb.hubs (owner
//   only, written before any hub is changed, and only when the file is not there yet: after a
//   crash it still holds the values from before the first start). Devices present at start keep
//   their state. A root hub that appears later is held the same way. A root hub without
//   `authorized_default` (not one the kernel's authorization covers) is passed over, with a trace.
// - Each udev "add" of a usb_device (a libudev monitor on the "udev" source) is raised to the
//   driver with its device document (devicedoc::arrival_of over the port path of its sysfs name),
//   exactly as usbsim raises a model device; the driver asks the registered user test or decides
//   at once (no user test: admitted; a hub while hubs are always accepted: admitted).
//   An "add" of a device whose `authorized` is not 0 (admitted already: udevadm trigger announces
//   every present device again), or of one still waiting for its verdict, is passed over.
// - Verdicts come back through decided() (the core's hook): admitted writes `authorized` 1;
//   refused leaves it 0.
// - A device whose document cannot be read, or that the driver cannot take (its table is full),
//   stays held (fail closed) and the reason is traced.
// - stop(restore): the listener ends; with `restore` each hub gets its kept value back and the
//   file is removed. A driver killed outright restores nothing: the hubs keep 0 and new devices
//   stay held until a driver runs again.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "device_document.h"

struct udev;
struct udev_monitor;

namespace simdriver {

class UdevHolder {
public:
    // Raises a device to the driver: 0 with the request id, or a Windows error.
    using Raise = std::function<uint32_t(const devicedoc::Arrival&, uint64_t& id)>;
    using Trace = std::function<void(const std::string&)>;

    UdevHolder(Raise raise, Trace trace);
    ~UdevHolder();
    UdevHolder(const UdevHolder&) = delete;
    UdevHolder& operator=(const UdevHolder&) = delete;

    // True when the platform root describes no model machine: the devices are real.
    static bool real_machine();

    // Listens, holds the hubs, starts the worker. False (traced, the hubs put back as they were)
    // when udev cannot be listened to or a hub cannot be held.
    bool start();
    // A verdict of the driver; called inside the driver's call, so it only queues.
    void decided(uint64_t id, bool allowed);
    void stop(bool restore);

    // The file that keeps the hubs' values from before the first start.
    static std::string saved_path();

private:
    void receive();
    void run();
    void on_add(const std::string& name, const std::string& syspath);
    void apply_verdicts();
    bool hold_root_hub(const std::string& name);
    bool save();

    Raise raise_;
    Trace trace_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    int wake_[2] = {-1, -1}; // ends the receiver
    std::thread receiver_, worker_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::pair<std::string, std::string>> arrivals_; // name, sysfs path; under m_
    std::deque<std::pair<uint64_t, bool>> verdicts_;            // under m_
    bool stopping_ = false;                           // under m_
    std::unordered_map<uint64_t, std::string> held_;  // request id → sysfs path (worker only)
    std::map<std::string, std::string> originals_;    // root hub → its value before the first start
};

} // namespace simdriver
