// The values of the root hubs' `authorized_default` from before the driver held them, kept in
// <platform root>/drivers/zelmusb.hubs ("usb1 1", one root hub a line) so that they can be put
// back however the driver ends: by the driver at its stop, or by the service manager when the
// driver's service is deleted while no driver runs (on Windows the system unloads a filter driver
// then, and its holding ends with it; here the hubs would otherwise stay at 0 and hold every
// device plugged later with nothing to admit it).
//
// - keep(): the drivers folder is made owner-only (0700) and must belong to this user; the text
//   goes to a new file made exclusively and never through a symbolic link (O_CREAT | O_EXCL |
//   O_NOFOLLOW, 0600), synced, then renamed over the kept file: a crash leaves the old or the new
//   one, and nobody can have root write through a planted link.
// - load(): the file is believed only when it is a regular file of this user (or root) in that
//   folder, not a link, writable by nobody else, at most max_bytes long, and every line is
//   "usbN V" with V one of the values the kernel accepts (0, 1, 2), each hub once. A hub listed
//   twice or with another value gets 1, the kernel's default, with a trace line naming it and why;
//   a file that is not believed at all (planted, linked, empty, too long, a line that names no
//   hub) gives 1 for every root hub, traced the same way.
// - restore(): each root hub present gets its value; restore_kept() is the same from the file
//   for a caller with no driver running, and removes the file when every hub took its value.
#pragma once

#include <fcntl.h>

#include <functional>
#include <optional>
#include <map>
#include <string>
#include <string_view>

namespace platform::posix::hub_values {

using Trace = std::function<void(const std::string&)>;
using Values = std::map<std::string, std::string>; // root hub ("usb1") → authorized_default

// The kernel's own authorized_default, given back when the kept value is lost or not believed.
inline constexpr char kernel_default[] = "1";
inline constexpr size_t max_bytes = 64 * 1024;

// The Linux driver keeps its file under its service name in lower case.
inline constexpr char linux_driver[] = "zelmusb";

// A sysfs attribute's first line, or nothing; relative to `folder` when it is given (an O_PATH
// descriptor of a device's folder, so that the attribute of that very device is read or written).
std::optional<std::string> read_attribute(const std::string& path, int folder = AT_FDCWD);
bool write_attribute(const std::string& path, const std::string& value, int folder = AT_FDCWD);

// <root>/drivers/<driver>.hubs.
std::string kept_path(std::string_view driver = linux_driver);

// Writes `values` as the kept file. False (errno set) when it cannot be written safely.
bool keep(const Values& values, std::string_view driver = linux_driver);

enum class Kept {
    none,    // no file: nothing is held (or the file was lost)
    read,    // the file was believed; `values` holds its hubs (those not believed at 1)
    broken,  // the file exists and is not believed; `values` is empty
};
// Reads the kept file back, checked as above, tracing every hub given the default and why.
// `why_broken`, when given, receives the reason a broken file is not believed.
Kept load(Values& values, const Trace& trace, std::string* why_broken = nullptr,
          std::string_view driver = linux_driver);

// The root hubs present under /sys/bus/usb/devices with the authorized_default they show now
// (those without the attribute are left out).
Values present();

// Writes each kept value to its root hub when the hub is present; true when none failed.
bool restore(const Values& values, const Trace& trace);

// For a caller with no driver running (the driver's service is deleted): the kept values are put
// back; a broken file, or none while a root hub still reads 0, gives 1 with a trace line for each
// hub. The file is removed when every hub took its value. True when none failed.
bool restore_kept(const Trace& trace, std::string_view driver = linux_driver);

// Removes the kept file (after every hub took its value back).
void forget(std::string_view driver = linux_driver);

} // namespace platform::posix::hub_values
