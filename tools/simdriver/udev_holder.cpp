#include "udev_holder.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/hub_values.h"
#include "platform/posix/root.h"
#include "text/text.h"

namespace simdriver {

namespace {

constexpr char usb_devices[] = "/sys/bus/usb/devices/";
// The inventory reads the running machine again when sysfs has changed, looking at most every
// 20 ms: a device just added may need that long to appear in it. Tried again in short steps, so
// the device is read as soon as it appears.
constexpr auto document_patience = std::chrono::seconds(1);
constexpr int document_retry_ms = 2;
constexpr int receive_buffer_bytes = 16 * 1024 * 1024;
// Announcements waiting for the worker, at most (each is a name and a path).
constexpr size_t max_arrivals = 4096;

// An attribute's first line, or nothing.
std::optional<std::string> read_attribute(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char buffer[64];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (n < 0) return std::nullopt;
    std::string value(buffer, size_t(n));
    value.erase(std::find(value.begin(), value.end(), '\n'), value.end());
    return value;
}

bool write_attribute(const std::string& path, const std::string& value)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, value.data(), value.size()) == ssize_t(value.size());
    return ::close(fd) == 0 && ok;
}

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

} // namespace

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

bool UdevHolder::hold_root_hub(const std::string& name)
{
    const std::string attribute = usb_devices + name + "/authorized_default";
    if (!originals_.count(name)) {
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
    for (const auto& [name, bus] : root_hubs())
        if (!hold_root_hub(name)) {
            stop(true);
            return false;
        }
    trace_("holding new USB devices on " + std::to_string(originals_.size()) + " root hubs");
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
            originals_.clear();
        }
        trace_(all ? "the hubs' values are put back" : "some hubs keep 0; their values stay in " + saved_path());
    }
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
    monitor_ = nullptr;
    udev_ = nullptr;
    for (int& fd : wake_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
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

void UdevHolder::apply_verdicts()
{
    std::deque<std::pair<uint64_t, bool>> verdicts;
    {
        std::lock_guard lock(m_);
        verdicts.swap(verdicts_);
    }
    for (const auto& [id, allowed] : verdicts) {
        const auto it = held_.find(id);
        if (it == held_.end()) continue; // a device raised by another client (usbsim)
        const std::string attribute = it->second + "/authorized";
        if (allowed && !write_attribute(attribute, "1")) trace_(it->second + ": cannot be admitted");
        held_.erase(it);
    }
}

void UdevHolder::on_add(const std::string& name, const std::string& syspath)
{
    if (is_root_hub(name)) {
        hold_root_hub(name);
        return;
    }
    // An "add" for a device that is admitted already (udevadm trigger announces every present
    // device again), or that waits for its verdict, changes nothing: what is in use is not cut off.
    if (read_attribute(syspath + "/authorized") != "0") return;
    for (const auto& [id, held] : held_)
        if (held == syspath) return;
    std::vector<uint32_t> buses;
    for (const auto& [hub, bus] : root_hubs()) buses.push_back(bus);
    const std::optional<platform::model::PortPath> path = devicedoc::port_path_of(name, buses);
    if (!path) {
        trace_(name + ": no port path; the device stays held");
        return;
    }
    devicedoc::Arrival arrival;
    std::u16string status_text;
    uint32_t r = 0;
    const auto give_up = std::chrono::steady_clock::now() + document_patience;
    for (;;) {
        status_text.clear();
        if (!(r = devicedoc::arrival_of(*path, arrival, status_text)) || std::chrono::steady_clock::now() > give_up) break;
        ::usleep(document_retry_ms * 1000);
    }
    if (r) {
        trace_(name + ": the document cannot be read (" + std::to_string(r) + " " + text::to_utf8(status_text) +
               "); the device stays held");
        return;
    }
    uint64_t id = 0;
    if (const uint32_t e = raise_(arrival, id)) {
        trace_(name + ": the driver did not take the device (" + std::to_string(e) + "); it stays held");
        return;
    }
    held_[id] = syspath;
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
            if (action && sysname && syspath && std::string_view(action) == "add") {
                std::lock_guard lock(m_);
                if (arrivals_.size() < max_arrivals)
                    arrivals_.emplace_back(sysname, syspath);
                else
                    trace_(std::string(sysname) + ": too many devices at once; the device stays held");
            }
            udev_device_unref(device);
            cv_.notify_one();
        }
    }
}

void UdevHolder::run()
{
    for (;;) {
        std::pair<std::string, std::string> arrival;
        {
            std::unique_lock lock(m_);
            cv_.wait(lock, [&] { return stopping_ || !arrivals_.empty() || !verdicts_.empty(); });
            if (stopping_) break;
            if (!arrivals_.empty()) {
                arrival = std::move(arrivals_.front());
                arrivals_.pop_front();
            }
        }
        apply_verdicts();
        if (!arrival.first.empty()) {
            on_add(arrival.first, arrival.second);
            apply_verdicts();
        }
    }
}

} // namespace simdriver
