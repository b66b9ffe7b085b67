// The machine-model text of the USB devices read from sysfs (sysfs_machine.h says where each
// member comes from). Nothing here does I/O; every length and index comes from the kernel's
// files and is checked before it is used.
#include "platform/linux/sysfs_machine.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "platform/model/machine.h"
#include "text/text.h"

namespace platform::posix::sysfs {

namespace {

constexpr const char* hub_interface = "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
constexpr const char* bus_type_usb = "{9d7debbc-c85d-11d1-9eb4-006008c3a19a}";

// A JSON string: quoted, escaped, and valid UTF-8 (a byte that does not start or continue a
// UTF-8 sequence, as the kernel's files may hold, becomes U+FFFD).
std::string quote(std::string_view s)
{
    const std::u16string wide = text::from_utf8(s);
    const std::string clean = text::to_utf8(wide);
    std::string out = "\"";
    for (const char c : clean) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string hex(std::string_view bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (out.size() > 1) out += ' ';
        out += digits[u >> 4];
        out += digits[u & 15];
    }
    return out + "\"";
}

std::string hex4(uint32_t v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFF);
    return buf;
}

uint32_t le16(std::string_view b, size_t at) { return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8; }

// "1-1.2" → bus 1, ports {1, 2}; "usb3" → bus 3, no ports. False for any other name.
bool parse_name(const std::string& name, uint32_t& bus, std::vector<uint32_t>& ports)
{
    ports.clear();
    auto number = [](std::string_view s, uint32_t& out, uint32_t max) {
        if (s.empty() || s.size() > 3) return false;
        out = 0;
        for (const char c : s) {
            if (c < '0' || c > '9') return false;
            out = out * 10 + uint32_t(c - '0');
        }
        return out >= 1 && out <= max;
    };
    if (name.rfind("usb", 0) == 0) return number(std::string_view(name).substr(3), bus, 999);
    const size_t dash = name.find('-');
    if (dash == std::string::npos || !number(std::string_view(name).substr(0, dash), bus, 999)) return false;
    std::string_view rest = std::string_view(name).substr(dash + 1);
    while (true) {
        const size_t dot = rest.find('.');
        uint32_t port = 0;
        if (!number(rest.substr(0, dot), port, 255)) return false;
        ports.push_back(port);
        if (dot == std::string_view::npos) return true;
        rest.remove_prefix(dot + 1);
    }
}

// The configuration sets of a `descriptors` file after its device descriptor: each wTotalLength
// long, the last one cut where the file ends; at most bNumConfigurations.
std::vector<std::string_view> configuration_sets(std::string_view all)
{
    std::vector<std::string_view> sets;
    const uint32_t count = uint8_t(all[17]);
    for (size_t at = 18; sets.size() < count && at + 4 <= all.size();) {
        if (uint8_t(all[at + 1]) != 2) break; // not a configuration descriptor: the rest is not either
        const size_t total = le16(all, at + 2);
        if (total < 4) break;
        sets.push_back(all.substr(at, std::min(total, all.size() - at)));
        at += total;
    }
    return sets;
}

// Speed code of USB_NODE_CONNECTION_INFORMATION_EX from sysfs `speed` (Mbit/s).
uint32_t speed_code(const std::string& speed)
{
    if (speed == "1.5") return 0;
    if (speed == "12") return 1;
    if (speed == "480") return 2;
    if (speed.empty()) return 2;
    return 3;
}

// A serial number usable in a Windows instance id.
bool valid_id_part(const std::string& s)
{
    if (s.empty() || s.size() > 127) return false;
    return std::all_of(s.begin(), s.end(), [](char c) { return c > ' ' && c < 0x7f && c != '\\' && c != ','; });
}

class Writer {
public:
    Writer(const std::vector<UsbDevice>& devices, const std::vector<Disk>& disks) : devices_(devices)
    {
        for (size_t i = 0; i < devices.size(); ++i) {
            uint32_t bus = 0;
            std::vector<uint32_t> ports;
            if (!parse_name(devices[i].name, bus, ports)) continue;
            by_name_[devices[i].name] = i;
            if (ports.empty()) {
                roots_.emplace(bus, i);
            } else {
                const std::string parent = ports.size() == 1 ? "usb" + std::to_string(bus)
                                                             : devices[i].name.substr(0, devices[i].name.rfind('.'));
                children_[parent].emplace(ports.back(), i);
            }
        }
        for (const Disk& d : disks) {
            const std::string name = d.usb_device.substr(d.usb_device.rfind('/') + 1);
            disks_[name].push_back(&d);
        }
    }

    std::string text()
    {
        std::string out = "{\"controllers\": [";
        uint32_t index = 0;
        for (const auto& [bus, i] : roots_) {
            if (index) out += ",\n";
            controller(out, index++, devices_[i]);
        }
        return out + "]}\n";
    }

private:
    void controller(std::string& out, uint32_t index, const UsbDevice& root)
    {
        std::string id = "USB\\HCD\\" + root.name;
        uint32_t vendor = 0, device = 0;
        if (!root.parent_name.empty() && std::sscanf(root.parent_vendor.c_str(), "%x", &vendor) == 1 &&
            std::sscanf(root.parent_device.c_str(), "%x", &device) == 1)
            id = "PCI\\VEN_" + hex4(vendor) + "&DEV_" + hex4(device) + "\\" + root.parent_name + "&" + root.name;
        const std::string description = !root.parent_model.empty() ? root.parent_model
                                         : root.product              ? *root.product
                                                                     : "USB Host Controller";
        const SetupClass usb = interface_class(9, 0, 0);
        out += "{\"index\": " + std::to_string(index) + ", \"node\": {\"id\": " + quote(id) +
               ", \"props\": {\"DEVICEDESC\": " + quote(description) + ", \"CLASS\": \"USB\", \"CLASSGUID\": " +
               quote(usb.guid) + ", \"DRIVER\": " + quote(std::string(usb.guid) + "\\hcd-" + root.name) +
               ", \"PHYSICAL_DEVICE_OBJECT_NAME\": " + quote("\\Device\\USBFDO-" + root.name) + "}}";
        const uint32_t speed = speed_code(root.speed);
        const char* kind = speed >= 3 ? "ROOT_HUB30" : speed == 2 ? "ROOT_HUB20" : "ROOT_HUB";
        out += ", \"root_hub\": ";
        hub(out, root, std::string("USB#") + kind + "#" + root.name + hub_interface, 1,
            "\"node\": " + node(root, std::string("USB\\") + kind + "\\" + root.name, 0) + ", ");
        out += "}";
    }

    // A hub's members (name, ports, devices), with `extra` before its devices.
    void hub(std::string& out, const UsbDevice& d, const std::string& name, int tier, const std::string& extra)
    {
        const auto kids = children_.find(d.name);
        uint32_t ports = std::max<uint32_t>(d.maxchild, 1);
        if (kids != children_.end() && !kids->second.empty()) ports = std::max(ports, kids->second.rbegin()->first);
        out += "{\"name\": " + quote(name) + ", \"ports\": " + std::to_string(ports) + ", " + extra + "\"devices\": [";
        bool first = true;
        if (kids != children_.end())
            for (const auto& [port_number, i] : kids->second) {
                if (!first) out += ",\n";
                first = false;
                port(out, port_number, devices_[i], d, tier);
            }
        out += "]}";
    }

    void port(std::string& out, uint32_t number, const UsbDevice& d, const UsbDevice& parent, int tier)
    {
        out += "{\"port\": " + std::to_string(number);
        const std::string_view all = d.descriptors;
        if (all.size() < 18 || uint8_t(all[1]) != 1) {
            out += ", \"status\": 2}"; // DeviceFailedEnumeration: nothing usable came from the device
            return;
        }
        const std::string_view device = all.substr(0, 18);
        const auto sets = configuration_sets(all);
        const bool is_hub = uint8_t(device[4]) == 9;
        const bool too_deep = is_hub && tier + 1 > model::max_hub_tiers;
        if (too_deep) out += ", \"status\": 7"; // DeviceHubNestedTooDeeply
        out += ", \"speed\": " + std::to_string(speed_code(d.speed)) + ", \"address\": " + std::to_string(d.devnum & 0xFFFF) +
               ", \"configuration\": " + std::to_string(d.configuration & 0xFF) + ", \"device\": " + hex(device) +
               ", \"configs\": [";
        for (size_t i = 0; i < sets.size(); ++i) out += (i ? ", " : "") + hex(sets[i]);
        out += "], \"strings\": " + strings(d, device, sets);

        // The active configuration decides the class; a device not configured yet (held until
        // it is decided) is described by the one the kernel will set, so that it is named while
        // held as it is named once admitted.
        const uint32_t value = d.configuration ? d.configuration : chosen_configuration(all);
        std::string_view active = sets.empty() ? std::string_view() : sets[0];
        for (const auto s : sets)
            if (s.size() >= 6 && uint8_t(s[5]) == value) active = s;
        bool composite = false;
        const SetupClass cls = device_class(std::string(device), std::string(active), composite);
        const std::string vid = hex4(le16(device, 8)), pid = hex4(le16(device, 10)), rev = hex4(le16(device, 12));
        std::string serial = d.serial ? *d.serial : d.serial_short;
        const std::string id = "USB\\VID_" + vid + "&PID_" + pid + "\\" + (valid_id_part(serial) ? serial : d.name);
        out += ", \"node\": " + node(d, id, number, &parent, &cls, composite, active);
        if (is_hub && !too_deep) {
            out += ", \"hub\": ";
            hub(out, d, "USB#VID_" + vid + "&PID_" + pid + "#" + d.name + hub_interface, tier + 1, "");
        }
        out += "}";
    }

    // The string descriptors: usbfs's answers as the device gave them, or sysfs's texts under 0x0409.
    std::string strings(const UsbDevice& d, std::string_view device, const std::vector<std::string_view>& sets)
    {
        std::map<uint32_t, std::string> entries;
        if (d.languages) {
            auto raw = [](std::string_view bytes) { return std::string("{\"raw\": ").append(hex(bytes)).append("}"); };
            entries[0] = raw(*d.languages);
            for (const auto& [index, answers] : d.strings) {
                std::string e = "{";
                for (const auto& [language, bytes] : answers) {
                    if (e.size() > 1) e += ", ";
                    e.append("\"").append(hex4(language)).append("\": ").append(bytes ? raw(*bytes) : "null");
                }
                entries[index] = e + "}";
            }
        } else {
            auto add = [&](uint32_t index, const std::optional<std::string>& value) {
                if (index == 0 || entries.count(index)) return;
                entries[index] = value ? "{\"0409\": " + quote(*value) + "}" : std::string("null");
            };
            add(uint8_t(device[14]), d.manufacturer);
            add(uint8_t(device[15]), d.product);
            add(uint8_t(device[16]), d.serial);
            for (const auto s : sets)
                if (s.size() >= 9 && uint8_t(s[5]) == d.configuration) add(uint8_t(s[6]), d.configuration_string);
            for (const auto& [index, value] : d.interface_strings) add(index, value);
        }
        std::string out = "{";
        for (const auto& [index, e] : entries) out += (out.size() > 1 ? ", \"" : "\"") + std::to_string(index) + "\": " + e;
        return out + "}";
    }

    // A device node with its properties, the interface nodes of a composite device and the disks
    // below the device.
    std::string node(const UsbDevice& d, const std::string& id, uint32_t port, const UsbDevice* parent = nullptr,
                     const SetupClass* cls = nullptr, bool composite = false, std::string_view active = {})
    {
        const SetupClass setup = cls ? *cls : interface_class(9, 0, 0);
        std::string props = "\"CLASS\": " + quote(setup.name) + ", \"CLASSGUID\": " + quote(setup.guid) +
                            ", \"DRIVER\": " + quote(std::string(setup.guid) + "\\" + d.name) +
                            ", \"PHYSICAL_DEVICE_OBJECT_NAME\": " + quote(text::to_utf8(pdo_name(d.name))) +
                            ", \"ENUMERATOR_NAME\": \"USB\", \"BUSTYPEGUID\": " + quote(bus_type_usb);
        if (!d.model_from_database.empty()) props += ", \"DEVICEDESC\": " + quote(d.model_from_database);
        else if (d.product) props += ", \"DEVICEDESC\": " + quote(*d.product);
        if (!d.vendor_from_database.empty()) props += ", \"MFG\": " + quote(d.vendor_from_database);
        else if (d.manufacturer) props += ", \"MFG\": " + quote(*d.manufacturer);
        std::string children;
        if (parent) {
            const std::string_view dd = d.descriptors;
            const std::string vid = hex4(le16(dd, 8)), pid = hex4(le16(dd, 10));
            props += ", \"HARDWAREID\": [" + quote("USB\\VID_" + vid + "&PID_" + pid + "&REV_" + hex4(le16(dd, 12))) +
                     ", " + quote("USB\\VID_" + vid + "&PID_" + pid) + "]";
            char ids[160];
            if (composite)
                std::snprintf(ids, sizeof ids, "\"USB\\\\DevClass_00&SubClass_00&Prot_00\", \"USB\\\\DevClass_00&SubClass_00\", "
                                               "\"USB\\\\DevClass_00\", \"USB\\\\COMPOSITE\"");
            else
                std::snprintf(ids, sizeof ids, "\"USB\\\\Class_%02x&SubClass_%02x&Prot_%02x\", \"USB\\\\Class_%02x&SubClass_%02x\", \"USB\\\\Class_%02x\"",
                              uint8_t(dd[4]), uint8_t(dd[5]), uint8_t(dd[6]), uint8_t(dd[4]), uint8_t(dd[5]), uint8_t(dd[4]));
            props += ", \"COMPATIBLEIDS\": [" + std::string(ids) + "]";
            char location[40];
            std::snprintf(location, sizeof location, "Port_#%04u.Hub_#%04u", port % 10000, parent->devnum % 10000);
            props += ", \"LOCATION_INFORMATION\": " + quote(location);
            props += ", \"REMOVAL_POLICY\": " + std::string(d.removable == "fixed" ? "1" : "3");
            if (composite) children = interfaces(d, vid, pid, active);
            const std::string below = disks(d);
            if (!below.empty()) children += (children.empty() ? "" : ", ") + below;
        }
        std::string out = "{\"id\": " + quote(id) + ", \"props\": {" + props + "}";
        if (!children.empty()) out += ", \"children\": [" + children + "]";
        return out + "}";
    }

    // One node per interface (alternate setting 0) of a composite device's active configuration.
    std::string interfaces(const UsbDevice& d, const std::string& vid, const std::string& pid, std::string_view set)
    {
        std::string out;
        for (size_t at = 0; at + 2 <= set.size();) {
            const size_t length = uint8_t(set[at]);
            if (length < 2 || at + length > set.size()) break;
            if (uint8_t(set[at + 1]) == 4 && length >= 9 && set[at + 3] == 0) {
                const uint8_t number = uint8_t(set[at + 2]);
                char mi[8];
                std::snprintf(mi, sizeof mi, "%02X", number);
                const SetupClass c = interface_class(uint8_t(set[at + 5]), uint8_t(set[at + 6]), uint8_t(set[at + 7]));
                const std::string name = d.name + ":" + std::to_string(d.configuration) + "." + std::to_string(number);
                if (!out.empty()) out += ", ";
                out += "{\"id\": " + quote("USB\\VID_" + vid + "&PID_" + pid + "&MI_" + mi + "\\" + name) +
                       ", \"props\": {\"CLASS\": " + quote(c.name) + ", \"CLASSGUID\": " + quote(c.guid) +
                       ", \"DRIVER\": " + quote(std::string(c.guid) + "\\" + name) +
                       ", \"PHYSICAL_DEVICE_OBJECT_NAME\": " + quote("\\Device\\USBPDO-" + name) + "}}";
            }
            at += length;
        }
        return out;
    }

    std::string disks(const UsbDevice& d)
    {
        const auto found = disks_.find(d.name);
        if (found == disks_.end()) return {};
        std::string out;
        for (const Disk* disk : found->second) {
            const SetupClass c = disk_class(disk->cdrom);
            out += ", {\"id\": " + quote(std::string(disk->cdrom ? "USBSTOR\\CDROM\\" : "USBSTOR\\DISK\\") + disk->name) +
                   ", \"props\": {\"CLASS\": " + quote(c.name) + ", \"CLASSGUID\": " + quote(c.guid) +
                   ", \"DRIVER\": " + quote(std::string(c.guid) + "\\" + disk->name) +
                   ", \"PHYSICAL_DEVICE_OBJECT_NAME\": " + quote("\\Device\\" + disk->name) +
                   "}, \"disk\": {\"number\": " + std::to_string(disk->number) + ", \"volumes\": [";
            bool first = true;
            for (const Volume& v : disk->volumes) {
                if (v.letter < u'A' || v.letter > u'Z') continue;
                out += std::string(first ? "" : ", ") + "{\"letter\": \"" + char(v.letter) +
                       "\", \"partition\": " + std::to_string(v.partition) + ", \"type\": \"" +
                       (v.drive_type == 5 ? "cdrom" : v.drive_type == 3 ? "fixed" : "removable") + "\"}";
                first = false;
            }
            out += "]}}";
        }
        return out.empty() ? out : out.substr(2);
    }

    const std::vector<UsbDevice>& devices_;
    std::map<std::string, size_t> by_name_;
    std::map<uint32_t, size_t> roots_;                                 // by bus number
    std::map<std::string, std::map<uint32_t, size_t>> children_;      // by parent name, by port
    std::map<std::string, std::vector<const Disk*>> disks_;            // by USB device name
};

} // namespace

std::u16string pdo_name(const std::string& sysfs_name) { return u"\\Device\\USBPDO-" + text::from_utf8(sysfs_name); }

std::string sysfs_name_of(std::u16string_view pdo)
{
    constexpr std::u16string_view prefix = u"\\Device\\USBPDO-";
    if (pdo.substr(0, prefix.size()) != prefix) return {};
    const std::string name = text::to_utf8(pdo.substr(prefix.size()));
    uint32_t bus = 0;
    std::vector<uint32_t> ports;
    return parse_name(name, bus, ports) ? name : std::string();
}

std::string machine_json(const std::vector<UsbDevice>& devices, const std::vector<Disk>& disks)
{
    return Writer(devices, disks).text();
}

uint32_t chosen_configuration(std::string_view all)
{
    if (all.size() < 18 || uint8_t(all[1]) != 1) return 0;
    const bool vendor_device = uint8_t(all[4]) == 0xff;
    const auto sets = configuration_sets(all);
    uint32_t best = 0;
    for (size_t i = 0; i < sets.size(); ++i) {
        const std::string_view set = sets[i];
        if (set.size() < 9) continue;
        const uint32_t value = uint8_t(set[5]);
        // The first interface descriptor of the set.
        std::string_view first;
        for (size_t at = 0; at + 2 <= set.size();) {
            const size_t length = uint8_t(set[at]);
            if (length < 2 || at + length > set.size()) break;
            if (uint8_t(set[at + 1]) == 4 && length >= 9) {
                first = set.substr(at, length);
                break;
            }
            at += length;
        }
        const auto c = first.empty() ? 0 : uint8_t(first[5]), s = first.empty() ? 0 : uint8_t(first[6]),
                   p = first.empty() ? 0 : uint8_t(first[7]);
        const bool rndis = c == 0x02 && s == 0x02 && p == 0xff, activesync = c == 0xef && s == 0x01 && p == 0x01;
        if (i == 0 && sets.size() > 1 && !first.empty() && (rndis || activesync)) {
            best = value; // kept unless a later one suits better
        } else if (!vendor_device && !first.empty() && c != 0xff) {
            return value;
        } else if (!best) {
            best = value;
        }
    }
    return best;
}

} // namespace platform::posix::sysfs
