#include "device_document.h"

#include <algorithm>
#include <charconv>

#include "drivercontrol/manager.h"
#include "json/holder/json_holder.h"
#include "platform/devicetree.h"
#include "platform/platform.h"
#include "text/text.h"
#include "usbinventory/devnode.h"
#include "usbinventory/dhmanager.h"

namespace devicedoc {

namespace {

using namespace ZelmUsbVardoManager;
using platform::model::PortPath;

constexpr uint32_t device_connected = 1;

// The connection record of the port at `path`, read through the hubs above it as the device list
// reads them.
uint32_t read_port(const DriverKeyMap& keys, const PortPath& path, UsbNodeConnectionInformationEx& record,
                   std::u16string& status_text)
{
    std::u16string hub_name;
    {
        DHManager controller;
        if (const uint32_t r = controller.Open(text::format(u"\\\\.\\HCD%d", int(path.controller)), status_text)) return r;
        if (const uint32_t r = controller.GetRootHubNameForHost(hub_name, status_text)) return r;
    }
    for (size_t depth = 0; depth < path.ports.size(); ++depth) {
        DHManager hub;
        if (const uint32_t r = hub.Open(u"\\\\.\\" + hub_name, status_text)) return r;
        if (const uint32_t r = hub.GetConnectionInfo(keys, path.ports[depth], record, status_text)) return r;
        if (record.ConnectionStatus != device_connected) {
            status_text = u"no device is connected there";
            return platform::err::device_not_connected;
        }
        if (depth + 1 < path.ports.size()) {
            if (!record.DeviceIsHub) {
                status_text = u"a device on the way is not a hub";
                return platform::err::not_found;
            }
            hub_name = record.NodeName;
        }
    }
    return 0;
}

// A hub for "hubs always accepted": its device class says hub and so does every interface it
// offers (every setting of every configuration, as far as its descriptors were read). A device
// that says hub but carries anything else (a storage or keyboard interface behind a hub's
// device descriptor) is asked like any device. One whose configurations could not be read offers
// no interface a driver could bind to, and is taken at its word.
bool is_hub(const UsbDeviceDescriptor& device)
{
    constexpr uint8_t hub_class = 9;
    if (device.bDeviceClass != hub_class) return false;
    for (const auto& configuration : device.Configurations)
        for (const auto& interface : configuration.Interfaces)
            if (interface.bInterfaceClass != hub_class) return false;
    return true;
}

bool number(std::string_view text, uint32_t& value)
{
    if (text.empty() || text.size() > 9) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

} // namespace

uint32_t arrival_of(const PortPath& path, Arrival& out, std::u16string& status_text)
{
    // One look at the machine for the whole document, taken now.
    const platform::DeviceWalk walk(platform::devicetree());
    DriverKeyMap keys;
    if (const uint32_t r = DHManager::GetDeviceInstancesMap(keys, status_text)) return r;
    DriveLettersMap letters;
    if (const uint32_t r = DevNode::GetVolumesInfo(letters, status_text)) return r;
    UsbNodeConnectionInformationEx record;
    if (const uint32_t r = read_port(keys, path, record, status_text)) return r;
    try {
        JsonHolder list = JsonHolder::CreateArray();
        const uint32_t r = Manager::GetUSBDeviceJSON(keys, path.ports.back(), record, list, letters, status_text);
        if (list.Count() == 0) {
            if (status_text.empty()) status_text = u"the device gives no entry";
            return r ? r : platform::err::not_found;
        }
        out.document = list[0].ToString();
    } catch (const JsonHolderException& e) {
        status_text = e.message;
        return e.code ? e.code : platform::err::internal_error;
    }
    out.hub = is_hub(record.DeviceDescriptor);
    out.vid = record.DeviceDescriptor.idVendor;
    out.pid = record.DeviceDescriptor.idProduct;
    out.rev = record.DeviceDescriptor.bcdDevice;
    out.behind.clear();
    if (record.DeviceIsHub) {
        DHManager hub;
        UsbNodeInformation node;
        std::u16string ignored;
        if (hub.Open(u"\\\\.\\" + record.NodeName, ignored) == 0 && hub.GetNodeInfoForHub(node, ignored) == 0 &&
            node.NodeType == 0)
            for (uint32_t port = 1; port <= node.bNumberOfPorts; ++port) {
                UsbNodeConnectionInformationEx child;
                if (hub.GetConnectionInfo(keys, port, child, ignored) == 0 && child.ConnectionStatus == device_connected) {
                    PortPath below = path;
                    below.ports.push_back(port);
                    out.behind.push_back(below);
                }
            }
    }
    return 0;
}

std::optional<PortPath> port_path_of(const std::string& sysfs_name, std::vector<uint32_t> buses)
{
    const size_t dash = sysfs_name.find('-');
    if (dash == std::string::npos || sysfs_name.find(':') != std::string::npos) return std::nullopt;
    uint32_t bus = 0;
    if (!number(std::string_view(sysfs_name).substr(0, dash), bus)) return std::nullopt;
    std::sort(buses.begin(), buses.end());
    buses.erase(std::unique(buses.begin(), buses.end()), buses.end());
    const auto at = std::find(buses.begin(), buses.end(), bus);
    if (at == buses.end()) return std::nullopt;
    PortPath path;
    path.controller = uint32_t(at - buses.begin());
    std::string_view rest = std::string_view(sysfs_name).substr(dash + 1);
    for (;;) {
        const size_t dot = rest.find('.');
        uint32_t port = 0;
        if (!number(rest.substr(0, dot), port) || port == 0) return std::nullopt;
        path.ports.push_back(port);
        if (dot == std::string_view::npos) break;
        rest = rest.substr(dot + 1);
    }
    return path;
}

} // namespace devicedoc
