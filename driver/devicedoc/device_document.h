// The device document of one USB device, as the filter driver holds it: the device's own
// entry of what the inventory's Manager::GetUSBDeviceJSON gives for its port, read through the
// hub it hangs on exactly as the device list reads it. Shared by usbsim (a device of the machine
// model) and zelmusb.sys (a device of the running machine, read from sysfs by the platform).
//
// On the running machine zelmusb.sys builds the document of a device it holds (`authorized` 0,
// no configuration set, no interface folders yet) from the machine of that one device
// (sysfs::DeviceReader: its own folder and its hubs'), and the device list (/gud:, the
// initial list, the sweep) builds the same device's entry from the whole machine once it is
// admitted. Both go through the one machine-model writer and the one inventory, and the fields a
// rule names come from what admission does not change:
// - Manufacturer, Product, SerialNumber: the device's strings (usbfs, else the sysfs texts the
//   kernel read at enumeration, which it does before authorization); a manufacturer string that
//   comes empty is the node's manufacturer, as below.
// - DeviceProperty ClassName: the device class, else the interfaces of a configuration: while
//   held, the one the kernel will set (sysfs::chosen_configuration); admitted, the active one,
//   which is that one.
// - DeviceProperty DeviceDescription and Manufacturer: udev's hardware-database names
//   (ID_MODEL_FROM_DATABASE, ID_VENDOR_FROM_DATABASE), else the hardware database looked up by the
//   device's ids (udev's rules may not have run yet), else the sysfs texts.
// What differs is what admission changes and no rule reads: the configuration value, the open
// pipes, the interface strings, the instance number (DEVINST), the drive letters.
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
