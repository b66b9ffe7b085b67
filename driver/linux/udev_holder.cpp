#include "udev_holder.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../core/driver_interface.h"
#include "platform/linux/sysfs_machine.h"
#include "platform/model/families.h"
#include "platform/platform.h"
#include "platform/posix/hub_values.h"
#include "platform/posix/root.h"
#include "text/text.h"

namespace linux_driver {

namespace {

using namespace std::chrono_literals;

constexpr char usb_devices[] = "/sys/bus/usb/devices/";
// A device whose document cannot be read yet (its files still being added) is tried again in
// steps growing from the first to the longest, until the patience runs out.
constexpr auto document_patience = 1s;
constexpr auto retry_first = 2ms;
constexpr auto retry_longest = 100ms;
constexpr int receive_buffer_bytes = 16 * 1024 * 1024;
// Announcements waiting for the worker, and devices known at once, at most.
constexpr size_t max_events = 16384;
constexpr size_t max_devices = 4096;

using platform::posix::hub_values::read_attribute;
using platform::posix::hub_values::write_attribute;

bool is_root_hub(const std::string& name) { return name.rfind("usb", 0) == 0; }

// The root hubs of sysfs, by name, with their bus numbers.
std::vector<std::pair<std::string, uint32_t>> root_hubs()
{
    std::vector<std::pair<std::string, uint32_t>> hubs;
    DIR* dir = ::opendir(usb_devices);
    if (!dir) return hubs;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (!is_root_hub(name)) continue;
        uint32_t bus = 0;
        const auto [end, ec] = std::from_chars(name.data() + 3, name.data() + name.size(), bus);
        if (ec == std::errc() && end == name.data() + name.size()) hubs.emplace_back(name, bus);
    }
    ::closedir(dir);
    return hubs;
}

// The devices (not root hubs, not interfaces) of sysfs below root hub `hub` ("usb1": "1-...").
std::vector<std::string> devices_below(const std::string& hub)
{
    std::vector<std::string> names;
    const std::string prefix = hub.substr(3) + "-";
    if (DIR* dir = ::opendir(usb_devices)) {
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name.rfind(prefix, 0) == 0 && name.find(':') == std::string::npos) names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

// The machine the inventory reads a document from: the one device being raised and the hubs above
// it, read from their own folders, in place of the whole machine. The daemon's inventory asks
// nothing else, so its devices and device-tree families answer from this machine while it holds.
class OneDeviceMachine {
public:
    OneDeviceMachine() : previous_(platform::current())
    {
        platform::Platform p = previous_;
        p.devices = &devices_;
        p.devicetree = &tree_;
        platform::install(p);
    }
    ~OneDeviceMachine() { platform::install(previous_); }

    // The document of device `name`: 0, or why not in `why`.
    uint32_t arrival(const std::string& name, devicedoc::Arrival& out, std::string& why)
    {
        const std::optional<std::string> text = reader_.machine_json(name, why);
        if (!text) return platform::err::file_not_found;
        store_->set(*text);
        // One controller (the device's root hub), then the device's ports from its name.
        const std::optional<platform::model::PortPath> path = devicedoc::port_path_of(name, {bus_of(name)});
        if (!path) {
            why = "no port path";
            return platform::err::invalid_parameter;
        }
        std::u16string status_text;
        const uint32_t r = devicedoc::arrival_of(*path, out, status_text);
        if (r) why = text::to_utf8(status_text);
        return r;
    }

private:
    class Text final : public platform::model::Store {
    public:
        void set(std::string text)
        {
            text_ = std::move(text);
            ++version_;
        }
        platform::Error stamp(platform::model::Stamp& stamp, bool& settled) override
        {
            stamp = {int64_t(version_), text_.size(), 0x4f4e45ull};
            settled = true;
            return 0;
        }
        platform::Error read(std::string& bytes, size_t limit) override
        {
            if (text_.size() > limit) return platform::err::not_enough_memory;
            bytes = text_;
            return 0;
        }
        platform::Error replace(std::string_view) override { return platform::err::access_denied; }

    private:
        std::string text_ = "{\"controllers\": []}";
        uint64_t version_ = 0;
    };

    static uint32_t bus_of(const std::string& name)
    {
        uint32_t bus = 0;
        std::from_chars(name.data(), name.data() + name.find('-'), bus);
        return bus;
    }

    platform::Platform previous_;
    platform::posix::sysfs::DeviceReader reader_; // keeps the hubs above the devices raised, read once
    Text* store_ = new Text;
    platform::model::Engine engine_{std::unique_ptr<platform::model::Store>(store_)};
    platform::model::ModelDevices devices_{engine_};
    platform::model::ModelDeviceTree tree_{engine_};
};

UdevHolder::UdevHolder(Raise raise, Trace trace) : raise_(std::move(raise)), trace_(std::move(trace)) {}

UdevHolder::~UdevHolder()
{
    stop(false);
}

bool UdevHolder::real_machine()
{
    struct stat st{};
    return ::stat((platform::posix::root() + "/machine.json").c_str(), &st) != 0 && errno == ENOENT;
}

std::string UdevHolder::saved_path()
{
    return platform::posix::hub_values::kept_path();
}

bool UdevHolder::save()
{
    return platform::posix::hub_values::keep(originals_);
}

// `before`, when given, gets the value the hub had when this call found it.
bool UdevHolder::hold_root_hub(const std::string& name, std::string* before)
{
    const std::string attribute = usb_devices + name + "/authorized_default";
    const std::optional<std::string> value = read_attribute(attribute);
    if (!value && errno == ENOENT) {
        // Not a hub the kernel's authorization covers: nothing on it can be held.
        trace_(name + ": no authorized_default; devices on this hub are not held");
        return true;
    }
    if (!value || value->empty() || value->size() > 8) {
        trace_(name + ": authorized_default cannot be read");
        return false;
    }
    if (before) *before = *value;
    if (!originals_.count(name)) {
        originals_[name] = *value;
        if (!save()) {
            originals_.erase(name);
            trace_(name + ": the hub's value cannot be kept in " + saved_path());
            return false;
        }
    }
    if (!write_attribute(attribute, "0")) {
        trace_(name + ": authorized_default cannot be written");
        return false;
    }
    return true;
}

bool UdevHolder::start()
{
    // The values kept by an earlier start that did not end in a stop. Without a file to believe,
    // a root hub that reads 0 is taken as held by a driver before this one: its value from before
    // is lost, and the kernel's default is kept in its place rather than that 0.
    namespace hubs = platform::posix::hub_values;
    std::string why;
    const hubs::Kept kept = hubs::load(originals_, trace_, &why);
    if (kept == hubs::Kept::read) trace_("hub values kept from an earlier start: " + std::to_string(originals_.size()));
    if (kept != hubs::Kept::read)
        for (const auto& [name, now] : hubs::present())
            if (now == "0") {
                trace_(name + ": reads 0 with " + (kept == hubs::Kept::none ? "no kept value" : "kept values not believed (" + why + ")") +
                       "; " + hubs::kernel_default + ", the kernel's default, is kept for it");
                originals_[name] = hubs::kernel_default;
            }
    if (kept != hubs::Kept::read && !originals_.empty() && !save())
        trace_("the hubs' values cannot be kept in " + saved_path());
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    // Listening first: a device added while the hubs are being held is not missed.
    udev_ = udev_new();
    monitor_ = udev_ ? udev_monitor_new_from_netlink(udev_, "udev") : nullptr;
    if (!monitor_ || udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", "usb_device") < 0 ||
        // Room for a burst of announcements while devices are being read.
        udev_monitor_set_receive_buffer_size(monitor_, receive_buffer_bytes) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
        trace_("udev cannot be listened to");
        stop(false);
        return false;
    }
    machine_ = std::make_unique<OneDeviceMachine>();
    size_t waiting = 0;
    for (const auto& [name, bus] : root_hubs()) {
        std::string before;
        if (!hold_root_hub(name, &before)) {
            stop(true);
            return false;
        }
        // Below a hub that was holding already, a device at 0 was plugged while no driver ran
        // (or at boot with usbcore.authorized_default=0): nobody was asked about it yet. Below a
        // hub that was not, a device at 0 was refused by someone else on purpose: left alone.
        if (before == "0")
            for (const std::string& device : devices_below(name))
                if (read_attribute(usb_devices + device + "/authorized") == "0") {
                    on_add(device, usb_devices + device);
                    ++waiting;
                }
    }
    trace_("holding new USB devices on " + std::to_string(originals_.size()) + " root hubs");
    if (waiting) trace_(std::to_string(waiting) + " devices held while no driver ran are asked about now");
    worker_ = std::thread([this] { run(); });
    receiver_ = std::thread([this] { receive(); });
    return true;
}

void UdevHolder::stop(bool restore)
{
    {
        std::lock_guard lock(m_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (wake_[1] >= 0) {
        const char b = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_[1], &b, 1);
    }
    if (receiver_.joinable()) receiver_.join();
    if (worker_.joinable()) worker_.join();
    apply_verdicts(); // those given while the driver unloaded
    if (restore && !originals_.empty()) {
        const bool all = platform::posix::hub_values::restore(originals_, trace_);
        if (all) {
            platform::posix::hub_values::forget();
        }
        trace_(all ? "the hubs' values are put back" : "some hubs keep 0; their values stay in " + saved_path());
    }
    release_all(restore);
    if (restore) originals_.clear();
    machine_.reset();
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
    monitor_ = nullptr;
    udev_ = nullptr;
    for (int& fd : wake_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

// The devices still held: with the hubs' values put back, each gets what its root hub's value
// gives a device plugged now; without, they stay held.
void UdevHolder::release_all(bool restore)
{
    while (!devices_.empty()) {
        const Device& d = devices_.front();
        if (restore) {
            const std::string hub = "usb" + d.name.substr(0, d.name.find('-'));
            const auto it = originals_.find(hub);
            const std::string value = it == originals_.end() ? "0" : it->second;
            const bool hardwired = read_attribute("port/connect_type", d.folder) == "hardwired";
            if ((value == "1" || value == "-1" || (value == "2" && hardwired)) &&
                read_attribute("authorized", d.folder) == "0" && !write_attribute("authorized", "1", d.folder))
                trace_(d.name + ": cannot be admitted as its hub's value gives");
        }
        forget(devices_.begin());
    }
}

void UdevHolder::decided(uint64_t id, bool allowed)
{
    {
        std::lock_guard lock(m_);
        verdicts_.emplace_back(id, allowed);
    }
    cv_.notify_one();
}

void UdevHolder::registered()
{
    {
        std::lock_guard lock(m_);
        registration_ = true;
    }
    cv_.notify_one();
}

void UdevHolder::forget(std::list<Device>::iterator it)
{
    if (it->folder >= 0) ::close(it->folder);
    if (it->id) by_id_.erase(it->id);
    by_path_.erase(it->syspath);
    devices_.erase(it);
}

void UdevHolder::apply_verdicts()
{
    std::deque<std::pair<uint64_t, bool>> verdicts;
    {
        std::lock_guard lock(m_);
        verdicts.swap(verdicts_);
    }
    for (const auto& [id, allowed] : verdicts) {
        const auto found = by_id_.find(id);
        // A device raised by another client (usbsim), or one that left before its verdict.
        if (found == by_id_.end()) continue;
        const auto it = found->second;
        // Through the folder of the device that was asked about: if it left, the write finds no
        // file, whatever was plugged into its port since.
        if (allowed && !write_attribute("authorized", "1", it->folder)) trace_(it->name + ": cannot be admitted (gone?)");
        {
            // The administrator's word stays until the device leaves.
            std::lock_guard lock(m_);
            uint8_t& by = decided_[it->name];
            if (by != ZD_DECIDED_ADMIN) by = ZD_DECIDED_VERDICT;
        }
        forget(it);
    }
    // A verdict made room in the driver's table.
    if (!verdicts.empty()) full_ = false;
    if (!verdicts.empty())
        for (Device& d : devices_)
            if (!d.id && d.waits == Device::Waits::room) d.waits = Device::Waits::now;
}

void UdevHolder::on_add(const std::string& name, const std::string& syspath)
{
    if (is_root_hub(name)) {
        hold_root_hub(name);
        return;
    }
    const int folder = ::open(syspath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return; // gone again
    struct stat st{};
    // An "add" for a device that is admitted already (udevadm trigger announces every present
    // device again) changes nothing: what is in use is not cut off.
    if (::fstat(folder, &st) != 0 || read_attribute("authorized", folder) != "0") {
        ::close(folder);
        return;
    }
    if (const auto known = by_path_.find(syspath); known != by_path_.end()) {
        // Announced again while it waits: nothing new. A new folder under the name is a device
        // plugged again (its "remove" not seen yet): the old question no longer names it.
        if (known->second->inode == uint64_t(st.st_ino)) {
            ::close(folder);
            return;
        }
        forget(known->second);
    }
    {
        // A device to be asked: whoever decided one at this name before, it was another device.
        std::lock_guard lock(m_);
        decided_.erase(name);
    }
    if (devices_.size() >= max_devices) {
        trace_(name + ": too many devices held at once; the device stays held");
        ::close(folder);
        return;
    }
    Device d;
    d.name = name;
    d.syspath = syspath;
    d.folder = folder;
    d.inode = uint64_t(st.st_ino);
    d.first_try = d.next_try = Clock::now();
    devices_.push_back(std::move(d));
    by_path_[syspath] = std::prev(devices_.end());
}

void UdevHolder::on_remove(const std::string& syspath)
{
    {
        std::lock_guard lock(m_);
        decided_.erase(syspath.substr(syspath.rfind('/') + 1));
    }
    if (const auto known = by_path_.find(syspath); known != by_path_.end()) forget(known->second);
}

// True when the device was dealt with (asked, or given up); false when it waits.
bool UdevHolder::raise_one(Device& d)
{
    devicedoc::Arrival arrival;
    std::string why;
    if (const uint32_t r = machine_->arrival(d.name, arrival, why)) {
        const auto now = Clock::now();
        if (now - d.first_try >= document_patience) {
            trace_(d.name + ": the document cannot be read (" + std::to_string(r) + " " + why + "); the device stays held");
            return true;
        }
        const auto step = std::min<Clock::duration>(retry_first * (1 << std::min(d.failures++, 10)), retry_longest);
        d.next_try = now + step;
        return false;
    }
    uint64_t id = 0;
    const uint32_t e = raise_(arrival, id);
    if (e == platform::err::not_ready) {
        d.waits = Device::Waits::registration;
        unregistered_ = true;
        return false;
    }
    if (e == platform::err::no_system_resources) {
        d.waits = Device::Waits::room;
        full_ = true;
        return false;
    }
    if (e) {
        trace_(d.name + ": the driver did not take the device (" + std::to_string(e) + "); it stays held");
        return true;
    }
    d.id = id;
    return false;
}

// Raises every device whose turn has come, in order of arrival.
void UdevHolder::raise_due()
{
    for (auto it = devices_.begin(); it != devices_.end();) {
        Device& d = *it;
        const auto next = std::next(it);
        // While the driver is known to be full, or to have nobody to ask, the others wait as the
        // one that found it so, without a document built for nothing.
        if (!d.id && d.waits == Device::Waits::now && (unregistered_ || full_)) {
            d.waits = unregistered_ ? Device::Waits::registration : Device::Waits::room;
        } else if (!d.id && d.waits == Device::Waits::now && d.next_try <= Clock::now()) {
            // A verdict given inside the raise (a hub admitted at once) is queued like any other
            // and applied at the worker's next turn, which it wakes.
            if (raise_one(d))
                forget(it);
            else if (d.id)
                by_id_[d.id] = it;
        }
        it = next;
    }
}

// Announcements are taken off the socket at once, whatever the worker is doing: the socket's
// queue is short, and an announcement lost is a device never asked about.
void UdevHolder::receive()
{
    const int fd = udev_monitor_get_fd(monitor_);
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) break;
        if (p[1].revents & POLLIN) break;
        if (!(p[0].revents & POLLIN)) continue;
        while (udev_device* device = udev_monitor_receive_device(monitor_)) {
            const char* action = udev_device_get_action(device);
            const char* sysname = udev_device_get_sysname(device);
            const char* syspath = udev_device_get_syspath(device);
            const std::string_view a = action ? action : "";
            if ((a == "add" || a == "remove") && sysname && syspath) {
                std::lock_guard lock(m_);
                if (events_.size() < max_events) {
                    events_.push_back({a == "add", sysname, syspath});
                    overflow_traced_ = false;
                } else if (!overflow_traced_) {
                    trace_("too many announcements at once; the devices among them stay held");
                    overflow_traced_ = true;
                }
            }
            udev_device_unref(device);
            cv_.notify_one();
        }
    }
}

void UdevHolder::run()
{
    for (;;) {
        std::deque<Event> events;
        std::set<std::string> dismissed;
        {
            std::unique_lock lock(m_);
            // Until something comes, or the next device whose document is tried again is due.
            auto due = Clock::time_point::max();
            for (const Device& d : devices_)
                if (!d.id && d.waits == Device::Waits::now) due = std::min(due, d.next_try);
            const auto ready = [&] {
                return stopping_ || !events_.empty() || !verdicts_.empty() || registration_ || !dismissed_.empty();
            };
            if (due == Clock::time_point::max())
                cv_.wait(lock, ready);
            else
                cv_.wait_until(lock, due, ready);
            if (stopping_) break;
            events.swap(events_);
            dismissed.swap(dismissed_);
            if (registration_) {
                registration_ = false;
                unregistered_ = false;
                for (Device& d : devices_)
                    if (d.waits == Device::Waits::registration) d.waits = Device::Waits::now;
            }
        }
        apply_verdicts();
        // Decided by the administrator while they waited to be asked: not asked any more.
        for (auto it = devices_.begin(); it != devices_.end();) {
            const auto next = std::next(it);
            if (!it->id && dismissed.count(it->name)) forget(it);
            it = next;
        }
        for (const Event& e : events) {
            if (e.add)
                on_add(e.name, e.syspath);
            else
                on_remove(e.syspath);
        }
        raise_due();
        publish();
    }
}

void UdevHolder::publish()
{
    std::map<std::string, Seen> held;
    for (const Device& d : devices_) {
        Seen& s = held[d.name];
        s.name = d.name;
        s.id = d.id;
        s.held = d.id ? ZD_HELD_ASKED
                 : d.waits == Device::Waits::registration ? ZD_HELD_NO_REGISTRATION
                 : d.waits == Device::Waits::room         ? ZD_HELD_NO_ROOM
                                                          : ZD_HELD_READING;
    }
    std::lock_guard lock(m_);
    published_.swap(held);
    published_hubs_ = uint32_t(originals_.size());
}

std::vector<UdevHolder::Seen> UdevHolder::seen(uint32_t& hubs)
{
    std::vector<Seen> out;
    std::map<std::string, Seen> held;
    std::map<std::string, uint8_t> decided;
    {
        std::lock_guard lock(m_);
        held = published_;
        decided = decided_;
        hubs = published_hubs_;
    }
    for (const auto& [hub, bus] : root_hubs())
        for (const std::string& name : devices_below(hub)) {
            Seen s;
            if (const auto h = held.find(name); h != held.end()) s = h->second;
            if (const auto d = decided.find(name); d != decided.end()) s.decided = d->second;
            s.name = name;
            const std::optional<std::string> a = read_attribute(usb_devices + name + "/authorized");
            s.authorized = a == "0" ? 0 : a == "1" ? 1 : -1;
            out.push_back(std::move(s));
        }
    std::sort(out.begin(), out.end(), [](const Seen& a, const Seen& b) { return a.name < b.name; });
    return out;
}

uint32_t UdevHolder::admit(const std::string& name, bool allowed, uint64_t& asked)
{
    asked = 0;
    // A plain device name ("1-2.3"): nothing that could lead out of the device folders.
    const auto allowed_char = [](char c) { return (c >= '0' && c <= '9') || c == '-' || c == '.'; };
    const bool plain = !name.empty() && name.size() <= ZD_DEVICE_NAME_MAX && name[0] >= '0' && name[0] <= '9' &&
                       name.find('-') != std::string::npos && std::all_of(name.begin(), name.end(), allowed_char);
    if (!plain) return platform::err::invalid_parameter;
    if (!read_attribute(usb_devices + name + "/authorized")) return platform::err::file_not_found;
    bool waiting = false;
    {
        std::lock_guard lock(m_);
        if (const auto h = published_.find(name); h != published_.end()) {
            asked = h->second.id;
            waiting = !asked;
        }
    }
    if (!write_attribute(usb_devices + name + "/authorized", allowed ? "1" : "0")) return platform::err::access_denied;
    {
        std::lock_guard lock(m_);
        decided_[name] = ZD_DECIDED_ADMIN;
        // One waiting for the program (or for room) is decided now: it is not asked later.
        if (waiting) dismissed_.insert(name);
    }
    cv_.notify_one();
    trace_(name + (allowed ? ": admitted" : ": refused") + " by the administrator");
    return 0;
}

} // namespace linux_driver
