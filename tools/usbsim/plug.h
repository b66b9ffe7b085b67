// usbsim plug / unplug: a device described in the machine model arrives at its port, or leaves it.
//
// plug <port path> [--wait-ms N]:
//   1. the driver's control device must open (a device plugged while no driver runs is an error,
//      and the machine stays as it was);
//   2. the device's port gets status 1 in the machine file (written atomically; ports.h);
//   3. its device document is what the inventory's Manager::GetUSBDeviceJSON gives for it, read
//      through the hub it hangs on, exactly as the device list reads it;
//   4. the document is raised to the driver, which holds the device and asks the user test, and
//      the verdict is awaited: at most N ms, or as long as the driver itself waits and 5 s more;
//   5. admitted (answered, or the driver's own default): the device stays connected; a hub's
//      connected devices then arrive one after the other, each raised and decided the same way.
//      Refused, or no verdict in time, or the document or raise failed: the port is disconnected
//      again (status 0), and so is everything behind it.
// unplug <port path>: the port gets status 0; the driver is not involved.
//
// Output, one line each: "<path> request <id>", "<path> verdict <text>", then "<path> connected"
// or "<path> disconnected". Exit: 0 done (whatever the verdict), 1 bad command line, 2 an error
// (printed with its Windows code: no machine file, no device at that path, the driver not
// running, no verdict in time...).
#pragma once

#include <string>
#include <vector>

namespace usbsim {

int plug_command(const std::vector<std::string>& args);
int unplug_command(const std::vector<std::string>& args);

} // namespace usbsim
