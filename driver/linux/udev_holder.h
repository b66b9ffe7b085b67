// zelmusb.sys on a running Linux machine (the platform root holds no machine.json): the devices
// plugged into it are held through the kernel's USB authorization, as the filter driver holds
// them on Windows.
//
// - start(): every root hub's `authorized_default` becomes 0, so every new device waits with
//   `authorized` 0. The values the hubs had are kept first in <root>/drivers/zelmusb.hubs (owner
//   only, written before any hub is changed, and only when the file is not there yet: after a
//   crash it still holds the values from before the first start). Devices present at start keep
//   their state, except those that wait with `authorized` 0 below a root hub that was holding
//   already (an earlier driver's, or usbcore.authorized_default=0 at boot): plugged while no
//   driver ran, they are asked now. A root hub that appears later is held the same way. A root
//   hub without `authorized_default` (not one the kernel's authorization covers) is passed over,
//   with a trace.
// - Each udev "add" of a usb_device (a libudev monitor on the "udev" source) is raised to the
//   driver with its device document (devicedoc::arrival_of over the machine of that one device,
//   read from its own sysfs folder and those of the hubs above it: sysfs::DeviceReader),
//   exactly as usbsim raises a model device. The document is the device's entry of the device
//   list: a held device is named (class, description, manufacturer) as it is once admitted.
//   An "add" of a device whose `authorized` is not 0 (admitted already: udevadm trigger announces
//   every present device again), or of one already waiting with the same identity, is passed over.
// - A device is known by its sysfs folder, held open (O_PATH) from its "add" on: a device plugged
//   again under the same name has a new folder. Its verdict is written through that folder, so it
//   reaches that device alone, never one plugged into the same port since; a "remove", or an "add"
//   of a new device at its name, forgets it (its question may still be answered: nothing is
//   written).
// - The driver raises with ZD_RAISE_HOLD_UNREGISTERED: while no user test is registered (before
//   the program registers after a driver start, after the program's /stop) a device is refused
//   and waits here, to be raised when a user test is registered (registered()). A device the
//   driver cannot take now (its table of pending questions is full) waits for a verdict to make
//   room. Nothing is admitted without a question, nothing is refused for lack of room.
// - A device whose document cannot be read (its files not all there yet) is tried again, in
//   growing steps, for document_patience, other devices going on meanwhile; then it stays held
//   (fail closed) and the reason is traced.
// - Verdicts come back through decided() (the core's hook): admitted writes `authorized` 1;
//   refused leaves it 0.
// - stop(restore): the listener ends; with `restore` each hub gets its kept value back and the
//   file is removed, and a device still waiting gets what its hub's restored value gives (1:
//   admitted; 2: admitted when its port is hardwired; 0: held). A driver killed outright restores
//   nothing: the hubs keep 0 and new devices stay held until a driver runs again.
//
// Bounds: the announcements waiting for the worker (max_events), the devices known at once
// (max_devices; a name is known once, so only as many as there are ports), the folders held open
// (one per known device).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "device_document.h"

struct udev;
struct udev_monitor;

namespace linux_driver {

class OneDeviceMachine;

class UdevHolder {
public:
    // Raises a device to the driver: 0 with the request id, or a Windows error (21: no user test
    // registered; 1450: no room now).
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
    // A user test was registered: the devices waiting for one are raised. Only queues.
    void registered();
    void stop(bool restore);

    // The file that keeps the hubs' values from before the first start.
    static std::string saved_path();

    // What the administrator's command sees (driver_interface.h, DEVICES and ADMIT). Both are
    // called on a control device's thread, never the worker's.
    struct Seen {
        std::string name;
        int authorized = -1; // -1: cannot be read
        uint8_t held = 0;    // ZD_HELD_*
        uint8_t decided = 0; // ZD_DECIDED_*
        uint64_t id = 0;
    };
    // Every USB device of sysfs (no root hubs, no interfaces) with `authorized` and what the
    // holder is doing with it (as of the worker's last turn); `hubs` the root hubs held.
    std::vector<Seen> seen(uint32_t& hubs);
    // Writes `authorized` of the device `name` (a plain sysfs name) now: 0, or 87 (not a device
    // name), 2 (no such device), 5 (cannot be written). `asked` is its question, if it has one (the
    // caller answers it); one that waits to be asked (for a registration, for room) is not asked
    // any more. Either way the device counts as the administrator's until it leaves.
    uint32_t admit(const std::string& name, bool allowed, uint64_t& asked);

private:
    using Clock = std::chrono::steady_clock;
    // A device the holder answers for, from its "add" until its verdict is written, it leaves,
    // or it is given up.
    struct Device {
        std::string name, syspath;
        int folder = -1; // its sysfs folder, O_PATH
        uint64_t inode = 0;
        uint64_t id = 0; // its question, once raised
        Clock::time_point first_try, next_try;
        int failures = 0;
        enum class Waits { now, registration, room } waits = Waits::now;
    };
    struct Event {
        bool add;
        std::string name, syspath;
    };

    void receive();
    void run();
    void on_add(const std::string& name, const std::string& syspath);
    void on_remove(const std::string& syspath);
    void raise_due();
    bool raise_one(Device& d);
    void apply_verdicts();
    void forget(std::list<Device>::iterator it);
    void release_all(bool restore);
    bool hold_root_hub(const std::string& name, std::string* before = nullptr);
    bool save();
    // Copies the worker's devices and the hubs held for seen(); the worker's, once a turn.
    void publish();

    Raise raise_;
    Trace trace_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    int wake_[2] = {-1, -1}; // ends the receiver
    std::thread receiver_, worker_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Event> events_;                       // under m_
    std::deque<std::pair<uint64_t, bool>> verdicts_; // under m_
    bool registration_ = false;                      // under m_: a user test was registered
    bool stopping_ = false;                          // under m_
    bool overflow_traced_ = false;                   // under m_
    std::map<std::string, Seen> published_;          // under m_: the held devices, by name
    uint32_t published_hubs_ = 0;                    // under m_
    std::map<std::string, uint8_t> decided_;         // under m_: who decided a device, by name, until it leaves
    std::set<std::string> dismissed_;                // under m_: waiting devices the administrator decided
    // The worker's own.
    std::list<Device> devices_;                                        // in order of arrival
    std::unordered_map<std::string, std::list<Device>::iterator> by_path_;
    std::unordered_map<uint64_t, std::list<Device>::iterator> by_id_;
    // The driver answered that it has no room (until a verdict) or nobody to ask (until a
    // registration): the devices after the one that found it so wait without being read.
    bool full_ = false, unregistered_ = false;
    std::map<std::string, std::string> originals_; // root hub → its value before the first start
    std::unique_ptr<OneDeviceMachine> machine_;
};

} // namespace linux_driver
