// Reading the USB devices of the running machine: sysfs files, udev properties and usbfs string
// descriptors; the stamp of the set of devices; the store the model engine reads them through.
#include <algorithm>
#include <charconv>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/sysfs_machine.h"

namespace platform::posix::sysfs {

namespace {

constexpr const char* usb_devices = "/sys/bus/usb/devices";
constexpr size_t descriptors_limit = 64 * 1024; // far above what a device can describe
constexpr size_t attribute_limit = 4096;        // a sysfs attribute is at most a page
constexpr int usbfs_timeout_ms = 500;
constexpr size_t max_languages = 16;
constexpr size_t max_transfers = 96; // per device, so a device that answers slowly cannot stall a scan

// A whole file of at most `limit` bytes; no value when it cannot be opened or read.
std::optional<std::string> read_bytes(const std::string& path, size_t limit)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string out;
    char chunk[4096];
    while (out.size() < limit) {
        const size_t want = std::min(sizeof chunk, limit - out.size());
        const ssize_t n = ::read(fd, chunk, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(chunk, size_t(n));
        // A sysfs attribute (as a regular file) comes whole: a short read is its end, which saves
        // a second call for each of the many small files a device has.
        if (size_t(n) < want) break;
    }
    ::close(fd);
    return out;
}

// A text attribute without its line end.
std::optional<std::string> attribute(const std::string& dir, const char* name)
{
    auto v = read_bytes(dir + "/" + name, attribute_limit);
    if (v && !v->empty() && v->back() == '\n') v->pop_back();
    return v;
}

uint32_t number_attribute(const std::string& dir, const char* name, int base = 10)
{
    const auto v = attribute(dir, name);
    if (!v || v->empty()) return 0;
    errno = 0;
    char* end = nullptr;
    const unsigned long n = std::strtoul(v->c_str(), &end, base);
    return errno || n > 0xFFFFFFFFul ? 0 : uint32_t(n);
}

std::string udev_text(const char* value) { return value ? value : ""; }

// The string indexes a device's descriptors name: the device's three, then every configuration's
// and interface's, in order, each once.
std::vector<uint32_t> string_indexes(const std::string& all)
{
    std::vector<uint32_t> out;
    auto add = [&](uint32_t i) {
        if (i && std::find(out.begin(), out.end(), i) == out.end()) out.push_back(i);
    };
    if (all.size() < 18) return out;
    add(uint8_t(all[14]));
    add(uint8_t(all[15]));
    add(uint8_t(all[16]));
    for (size_t at = 18; at + 2 <= all.size();) {
        const size_t length = uint8_t(all[at]);
        if (length < 2 || at + length > all.size()) break;
        const uint8_t type = uint8_t(all[at + 1]);
        if (type == 2 && length >= 9) add(uint8_t(all[at + 6]));
        if (type == 4 && length >= 9) add(uint8_t(all[at + 8]));
        at += length;
    }
    return out;
}

// What tells one directory of a device from another, and from itself before a file was added
// to it: its inode and the time it was last changed (a device plugged again under the same name
// gets a new directory; a testbed, unlike the kernel, adds a device's files one by one). Zeros
// when it is gone.
struct DirectoryMark {
    uint64_t inode = 0;
    int64_t modified_ns = 0;
};
DirectoryMark directory_mark(const std::string& dir)
{
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) return {};
    return {uint64_t(st.st_ino), int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

bool read_usbfs_strings(const std::string& node, UsbDevice& device)
{
    int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t transfers = 0;
    bool stalled = false;
    auto get = [&](uint32_t index, uint16_t language) -> std::optional<std::string> {
        if (stalled || transfers >= max_transfers) return std::nullopt;
        ++transfers;
        unsigned char buffer[255] = {};
        usbdevfs_ctrltransfer t {};
        t.bRequestType = 0x80; // device to host, standard, device
        t.bRequest = 6;        // GET_DESCRIPTOR
        t.wValue = uint16_t(0x0300 | index);
        t.wIndex = language;
        t.wLength = sizeof buffer;
        t.timeout = usbfs_timeout_ms;
        t.data = buffer;
        int n;
        while ((n = ::ioctl(fd, USBDEVFS_CONTROL, &t)) < 0 && errno == EINTR) {
        }
        if (n < 0) {
            // A device that does not answer in time is asked nothing more.
            if (errno == ETIMEDOUT || errno == ENODEV) stalled = true;
            return std::nullopt;
        }
        return std::string(reinterpret_cast<const char*>(buffer), std::min<size_t>(size_t(n), sizeof buffer));
    };
    const auto list = get(0, 0);
    if (!list || list->size() < 2 || uint8_t((*list)[1]) != 3) {
        ::close(fd);
        return false;
    }
    std::vector<uint16_t> languages;
    const size_t end = std::min<size_t>(list->size(), uint8_t((*list)[0]));
    for (size_t at = 2; at + 2 <= end && languages.size() < max_languages; at += 2)
        languages.push_back(uint16_t(uint8_t((*list)[at]) | uint8_t((*list)[at + 1]) << 8));
    device.languages = *list;
    device.strings.clear();
    for (const uint32_t index : string_indexes(device.descriptors)) {
        auto& answers = device.strings.emplace_back(index, decltype(device.strings)::value_type::second_type{}).second;
        for (const uint16_t language : languages) answers.emplace_back(language, get(index, language));
    }
    ::close(fd);
    return true;
}

namespace {

// The sysfs part of the record of the device `name` whose address and active configuration are
// known; false when it is gone (or not all there yet) since it was listed.
bool read_sysfs_part(const std::string& name, uint32_t devnum, uint32_t configuration, UsbDevice& d)
{
    const std::string dir = std::string(usb_devices) + "/" + name;
    d.name = name;
    auto descriptors = read_bytes(dir + "/descriptors", descriptors_limit);
    if (!descriptors) return false;
    d.descriptors = std::move(*descriptors);
    // The kernel names a device by its bus ("usb1", "1-2.3"): `busnum` says the same.
    d.bus = 0;
    std::from_chars(name.data() + (name.rfind("usb", 0) == 0 ? 3 : 0), name.data() + name.size(), d.bus);
    d.devnum = devnum;
    d.speed = attribute(dir, "speed").value_or("");
    // Only a hub has ports: `maxchild` is 0 for a device neither of whose class nor any of whose
    // interfaces is the hub class.
    bool may_have_ports = d.name.rfind("usb", 0) == 0 || d.descriptors.size() < 18 || uint8_t(d.descriptors[4]) == 9;
    for (size_t at = 18; !may_have_ports && at + 9 <= d.descriptors.size();) {
        const size_t length = uint8_t(d.descriptors[at]);
        if (length < 2) break;
        may_have_ports = uint8_t(d.descriptors[at + 1]) == 4 && uint8_t(d.descriptors[at + 5]) == 9;
        at += length;
    }
    d.maxchild = may_have_ports ? std::min<uint32_t>(number_attribute(dir, "maxchild"), 255) : 0;
    d.configuration = configuration;
    d.removable = attribute(dir, "removable").value_or("");
    d.manufacturer = attribute(dir, "manufacturer");
    d.product = attribute(dir, "product");
    d.serial = attribute(dir, "serial");
    if (d.configuration) {
        d.configuration_string = attribute(dir, "configuration");
        if (d.configuration_string && d.configuration_string->empty()) d.configuration_string.reset();
    }
    // The interfaces of the active configuration and their texts.
    const std::string& all = d.descriptors;
    bool in_active = false;
    for (size_t at = 18; at + 2 <= all.size() && all.size() >= 18;) {
        const size_t length = uint8_t(all[at]);
        if (length < 2 || at + length > all.size()) break;
        const uint8_t type = uint8_t(all[at + 1]);
        if (type == 2 && length >= 9) in_active = uint8_t(all[at + 5]) == d.configuration && d.configuration;
        if (type == 4 && length >= 9 && in_active && all[at + 3] == 0 && all[at + 8]) {
            const std::string iface = dir + "/" + name + ":" + std::to_string(d.configuration) + "." +
                                      std::to_string(uint8_t(all[at + 2]));
            if (auto text = attribute(iface, "interface")) d.interface_strings.emplace_back(uint8_t(all[at + 8]), *text);
        }
        at += length;
    }
    return true;
}

// The names of the hardware database for the device's ids, as udev's rule for USB devices looks
// them up ("usb:vVVVVpPPPP:<product>", matched against the database's patterns). Nothing when
// the machine has no database.
void from_hardware_database(udev_hwdb* hwdb, UsbDevice& d)
{
    if (!hwdb || d.descriptors.size() < 18 || d.name.rfind("usb", 0) == 0) return;
    char modalias[32];
    std::snprintf(modalias, sizeof modalias, "usb:v%04Xp%04X:", unsigned(uint8_t(d.descriptors[8]) | uint8_t(d.descriptors[9]) << 8),
                  unsigned(uint8_t(d.descriptors[10]) | uint8_t(d.descriptors[11]) << 8));
    const std::string key = modalias + d.product.value_or("");
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, ::udev_hwdb_get_properties_list_entry(hwdb, key.c_str(), 0))
    {
        const std::string name = udev_text(::udev_list_entry_get_name(entry));
        if (name == "ID_MODEL_FROM_DATABASE") d.model_from_database = udev_text(::udev_list_entry_get_value(entry));
        if (name == "ID_VENDOR_FROM_DATABASE") d.vendor_from_database = udev_text(::udev_list_entry_get_value(entry));
    }
}

// udev's part of the record, and the device's node where it has one. `described` tells whether
// udev has described the device already (its database entry is written): a device the kernel has
// just announced may gain udev's names a moment later.
std::string read_udev_part(UdevContext& context, UsbDevice& d, bool& described)
{
    std::string devnode;
    described = false;
    udev* u = context.get();
    if (!u) return devnode;
    udev_device* ud = ::udev_device_new_from_subsystem_sysname(u, "usb", d.name.c_str());
    if (!ud) return devnode;
    described = ::udev_device_get_is_initialized(ud) > 0;
    // The properties in one pass: each look-up by name reads udev's database entry again when
    // the device has none yet.
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, ::udev_device_get_properties_list_entry(ud))
    {
        const char* name = ::udev_list_entry_get_name(entry);
        if (!name) continue;
        if (std::strcmp(name, "ID_MODEL_FROM_DATABASE") == 0) d.model_from_database = udev_text(::udev_list_entry_get_value(entry));
        else if (std::strcmp(name, "ID_VENDOR_FROM_DATABASE") == 0) d.vendor_from_database = udev_text(::udev_list_entry_get_value(entry));
        else if (std::strcmp(name, "ID_SERIAL_SHORT") == 0) d.serial_short = udev_text(::udev_list_entry_get_value(entry));
    }
    if (d.model_from_database.empty() && d.vendor_from_database.empty()) from_hardware_database(context.hardware_database(), d);
    devnode = udev_text(::udev_device_get_devnode(ud));
    if (d.name.rfind("usb", 0) == 0) {
        if (udev_device* parent = ::udev_device_get_parent(ud)) { // owned by ud
            d.parent_name = udev_text(::udev_device_get_sysname(parent));
            d.parent_vendor = udev_text(::udev_device_get_sysattr_value(parent, "vendor"));
            d.parent_device = udev_text(::udev_device_get_sysattr_value(parent, "device"));
            d.parent_model = udev_text(::udev_device_get_property_value(parent, "ID_MODEL_FROM_DATABASE"));
        }
    }
    ::udev_device_unref(ud);
    return devnode;
}

// What libudev says of a device while no udev daemon runs (a container, a testbed) and nothing
// is in udev's database for it: the properties of the kernel's `uevent` file (its node is
// DEVNAME) and, for want of names, the hardware database's. The same as read_udev_part gives then,
// without libudev's look-ups along the device's path. No value when the database has an entry
// for the device after all (written by a udev daemon that ran before): then libudev is asked.
std::optional<std::string> read_kernel_part(UdevContext& context, const std::string& dir, UsbDevice& d)
{
    std::string devnode, major, minor;
    if (const auto uevent = read_bytes(dir + "/uevent", attribute_limit)) {
        std::string_view rest = *uevent;
        while (!rest.empty()) {
            const size_t end = std::min(rest.find('\n'), rest.size());
            const std::string_view line = rest.substr(0, end);
            rest.remove_prefix(std::min(end + 1, rest.size()));
            const size_t eq = line.find('=');
            if (eq == std::string_view::npos) continue;
            const std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
            if (key == "DEVNAME" && !value.empty()) devnode = value[0] == '/' ? std::string(value) : "/dev/" + std::string(value);
            else if (key == "MAJOR") major = value;
            else if (key == "MINOR") minor = value;
            else if (key == "ID_MODEL_FROM_DATABASE") d.model_from_database = value;
            else if (key == "ID_VENDOR_FROM_DATABASE") d.vendor_from_database = value;
            else if (key == "ID_SERIAL_SHORT") d.serial_short = value;
        }
    }
    // udev's database entry: by device number for a device with a node, else by subsystem and name.
    const std::string entry = "/run/udev/data/" + (major.empty() ? "+usb:" + d.name : "c" + major + ":" + minor);
    if (::access(entry.c_str(), F_OK) == 0) return std::nullopt;
    if (d.model_from_database.empty() && d.vendor_from_database.empty()) from_hardware_database(context.hardware_database(), d);
    return devnode;
}

} // namespace

std::vector<UsbDevice> read_usb_devices(bool usbfs, DeviceCache* cache, bool* partial)
{
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(usb_devices)) {
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            // Interfaces ("1-1:1.0") are read with their device.
            if (name.empty() || name[0] == '.' || name.find(':') != std::string::npos) continue;
            names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    if (partial) *partial = false;
    UdevContext u;
    // Without a udev daemon (a container, a testbed) nothing describes a device later: what udev
    // gives now is all it will give.
    const bool udev_runs = ::access("/run/udev/control", F_OK) == 0;
    std::vector<UsbDevice> out;
    DeviceCache kept;
    for (const std::string& name : names) {
        const std::string dir = std::string(usb_devices) + "/" + name;
        const DirectoryMark mark = directory_mark(dir);
        const uint32_t devnum = number_attribute(dir, "devnum");
        const uint32_t configuration = number_attribute(dir, "bConfigurationValue");
        CachedDevice entry{mark.inode, mark.modified_ns, devnum, configuration, {}, false, false};
        const auto it = cache ? cache->find(name) : DeviceCache::iterator{};
        if (cache && it != cache->end() && it->second.inode == mark.inode &&
            it->second.modified_ns == mark.modified_ns && it->second.devnum == devnum &&
            it->second.configuration == configuration) {
            entry = std::move(it->second);
        } else if (!read_sysfs_part(name, devnum, configuration, entry.device)) {
            // Listed, but its files are gone, or not all there yet: the next look reads again.
            if (partial) *partial = true;
            continue;
        }
        if (!entry.udev_final) {
            bool described = false;
            const std::string devnode = read_udev_part(u, entry.device, described);
            entry.udev_final = described || (u.get() && !udev_runs);
            // usbfs only through the node udev names: a device node the machine does not have is
            // never guessed at. Asked once for each device.
            if (usbfs && !devnode.empty() && !entry.usbfs_asked) {
                read_usbfs_strings(devnode, entry.device);
                entry.usbfs_asked = true;
            }
        }
        out.push_back(entry.device);
        if (cache) kept.emplace(name, std::move(entry));
    }
    if (cache) *cache = std::move(kept);
    return out;
}

UdevContext::~UdevContext()
{
    if (hwdb_) ::udev_hwdb_unref(hwdb_);
    if (udev_) ::udev_unref(udev_);
}

udev* UdevContext::get()
{
    if (!udev_ && !tried_) {
        tried_ = true;
        udev_ = ::udev_new();
    }
    return udev_;
}

udev_hwdb* UdevContext::hardware_database()
{
    // Looked for again at most once a minute while the machine has none: it is written when
    // the database is updated (systemd-hwdb), which a running reader should notice.
    constexpr int64_t look_again_ms = 60 * 1000;
    if (hwdb_ || !get()) return hwdb_;
    const int64_t now = now_ms();
    if (hwdb_looked_ms_ >= 0 && now - hwdb_looked_ms_ < look_again_ms) return nullptr;
    hwdb_looked_ms_ = now;
    hwdb_ = ::udev_hwdb_new(udev_);
    return hwdb_;
}

std::optional<std::string> DeviceReader::machine_json(const std::string& name, std::string& why)
{
    // The hubs above it, from the root hub down: "1-1.2" lies below "1-1", which lies below "usb1".
    const size_t dash = name.find('-');
    if (dash == std::string::npos || dash == 0 || name.find(':') != std::string::npos || name.find('/') != std::string::npos) {
        why = "not the name of a USB device";
        return std::nullopt;
    }
    std::vector<std::string> chain = {"usb" + name.substr(0, dash)};
    for (size_t at = name.find('.', dash); at != std::string::npos; at = name.find('.', at + 1)) chain.push_back(name.substr(0, at));
    chain.push_back(name);
    std::vector<UsbDevice> devices;
    // Whether a udev daemon runs, looked at again at most once a second.
    const int64_t now = now_ms();
    if (udev_looked_ms_ < 0 || now - udev_looked_ms_ >= 1000) {
        udev_looked_ms_ = now;
        udev_runs_ = ::access("/run/udev/control", F_OK) == 0;
    }
    const bool udev_runs = udev_runs_;
    for (const std::string& each : chain) {
        const std::string dir = std::string(usb_devices) + "/" + each;
        const bool hub = each != name;
        // A hub above is read once while its folder, address and configuration stay the same (its
        // folder's time of change is not compared: it changes with every device plugged below),
        // which is looked at again at most every 100 ms: a burst of devices below it is read
        // without looking at the hub for each.
        auto cached = hub ? hubs_.find(each) : hubs_.end();
        if (cached != hubs_.end() && now - cached->second.looked_ms < 100) {
            devices.push_back(cached->second.device);
            continue;
        }
        const DirectoryMark mark = directory_mark(dir);
        const uint32_t devnum = number_attribute(dir, "devnum"), configuration = number_attribute(dir, "bConfigurationValue");
        if (cached != hubs_.end() && cached->second.inode == mark.inode && cached->second.devnum == devnum &&
            cached->second.configuration == configuration) {
            cached->second.looked_ms = now;
            devices.push_back(cached->second.device);
            continue;
        }
        UsbDevice& d = devices.emplace_back();
        if (!mark.inode || !read_sysfs_part(each, devnum, configuration, d)) {
            why = each + " is gone or not all there yet";
            return std::nullopt;
        }
        bool described = false;
        // A root hub's controller is found through udev's view of its parent device.
        std::optional<std::string> devnode;
        if (!udev_runs && each.rfind("usb", 0) != 0) devnode = read_kernel_part(udev_, dir, d);
        if (!devnode) {
            d.model_from_database.clear(), d.vendor_from_database.clear(), d.serial_short.clear();
            devnode = read_udev_part(udev_, d, described);
        }
        // Only the device's own strings are in its entry: the hubs above it are not asked.
        if (usbfs_ && !hub && !devnode->empty()) read_usbfs_strings(*devnode, d);
        // Without a udev daemon (a container, a testbed) what udev gives now is all it will give.
        if (hub && (described || !udev_runs))
            hubs_[each] = KnownHub{mark.inode, devnum, configuration, d, now};
    }
    // Bounded: a machine has only so many hubs; a cache grown past that is started again.
    if (hubs_.size() > 256) hubs_.clear();
    return sysfs::machine_json(devices, {});
}

uint64_t sysfs_stamp()
{
    uint64_t h = 1469598103934665603ull; // FNV-1a
    auto mix = [&](const void* p, size_t n) {
        for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<const unsigned char*>(p)[i]) * 1099511628211ull;
    };
    for (const char* folder : {usb_devices, "/sys/class/block"}) {
        DIR* dir = ::opendir(folder);
        if (!dir) {
            mix("-", 1);
            continue;
        }
        // The listing order of a folder is stable while it does not change, so no sorting.
        const bool usb = folder == usb_devices;
        while (const dirent* e = ::readdir(dir)) {
            mix(e->d_name, std::strlen(e->d_name) + 1);
            mix(&e->d_ino, sizeof e->d_ino);
            // A device plugged again gets a new directory, also where the link's inode is used
            // again; a device whose files are still being added changes its directory.
            if (usb && e->d_name[0] != '.' && !std::strchr(e->d_name, ':')) {
                const DirectoryMark mark = directory_mark(std::string(usb_devices) + "/" + e->d_name);
                mix(&mark.inode, sizeof mark.inode);
                mix(&mark.modified_ns, sizeof mark.modified_ns);
            }
        }
        ::closedir(dir);
        mix("/", 1);
    }
    return h;
}

SysfsStore::SysfsStore(RootFn platform_root, int recheck_ms, bool usbfs)
    : platform_root_(std::move(platform_root)), recheck_ms_(recheck_ms), usbfs_(usbfs)
{
}

Error SysfsStore::stamp(model::Stamp& stamp, bool& settled)
{
    const int64_t now = now_ms();
    if (taken_ms_ < 0 || now - taken_ms_ >= recheck_ms_) {
        stamp_ = sysfs_stamp();
        // A read that missed a listed device is not the machine of this stamp: a stamp of its own
        // makes the next look read again (at most once a recheck, or at a walk).
        if (partial_) stamp_ ^= ++partial_reads_;
        taken_ms_ = now;
    }
    stamp.modified_ns = int64_t(stamp_ & 0x7FFFFFFFFFFFFFFFull);
    stamp.size = 0;
    stamp.file_id = 0x5359534653ull; // never a file's: a machine file that appears is read anew
    settled = true;
    return err::success;
}

Error SysfsStore::read(std::string& bytes, size_t limit)
{
    const std::vector<UsbDevice> devices = read_usb_devices(usbfs_, &cache_, &partial_);
    std::vector<Disk> found;
    if (!devices.empty()) found = usb_disks(platform_root_());
    std::string text = machine_json(devices, found);
    if (text.size() > limit) return err::not_enough_memory;
    bytes = std::move(text);
    return err::success;
}

Error SysfsStore::replace(std::string_view)
{
    // The running machine is not a file to rewrite: a device is plugged with a hand.
    return err::access_denied;
}

std::optional<Error> SysfsStore::lock_volume(char16_t letter) { return sysfs::lock_volume(platform_root_(), letter); }
std::optional<Error> SysfsStore::dismount_volume(char16_t letter) { return sysfs::dismount_volume(platform_root_(), letter); }
std::optional<Error> SysfsStore::eject_volume(char16_t letter) { return sysfs::eject_volume(platform_root_(), letter); }

} // namespace platform::posix::sysfs
