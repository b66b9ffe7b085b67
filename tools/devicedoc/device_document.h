// The device document of one USB device, as the filter driver stand-ins hold it: the device's own
// entry of what the inventory's Manager::GetUSBDeviceJSON gives for its port, read through the
// hub it hangs on exactly as the device list reads it. Shared by usbsim (a device of the machine
// model) and zelmusb.sys (a device of the running machine, read from sysfs by the platform).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/model/ports.h"

namespace devicedoc {

struct Arrival {
    std::u16string document;
    bool hub = false; // a hub for "hubs always accepted": hub class, every interface a hub's
    uint16_t vid = 0, pid = 0, rev = 0;
    std::vector<platform::model::PortPath> behind; // the connected devices on its ports, when it is a hub
};

// The document of the device at `path`: 0, or the inventory's error with `status_text`.
uint32_t arrival_of(const platform::model::PortPath& path, Arrival& out, std::u16string& status_text);

// The port path of a sysfs USB device name ("1-1.2": bus 1, port 1, then port 2), the controller
// being the rank of its bus among `buses` (the buses of the root hubs; \\.\HCD0 is the lowest).
// Nothing for a root hub ("usb1"), a name of another form, or a bus not among `buses`.
std::optional<platform::model::PortPath> port_path_of(const std::string& sysfs_name, std::vector<uint32_t> buses);

} // namespace devicedoc
