// Plugging and unplugging a device described in a machine file, by its place in the USB tree.
//
// A port path names a port from its host controller down: "<controller index>-<port>[.<port>...]",
// so "0-3" is port 3 of the root hub of controller 0 and "0-1.2" port 2 of the hub on port 1 of
// that root hub (at most seven ports, the deepest USB allows). Numbers are decimal.
//
// A device is connected when its port's "status" is not 0 (absent: 1); status 0 keeps the
// description of a device that is not plugged in, and the machine model leaves it out entirely
// (the port is empty; its nodes, disks, volumes and hub are not on the machine).
//
// set_port_status edits the text in place, touching only that port's "status" (added after the
// port's opening brace when absent), so the rest of the file stays as its author wrote it. The
// result is checked as a whole machine before it is given back: a description that cannot be
// plugged (a drive letter already in use, a broken node) is refused and nothing changes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace platform::model {

struct PortPath {
    uint32_t controller = 0;
    std::vector<uint32_t> ports; // from the root hub down; never empty
};

// The path from its text; nothing when the text is not one.
std::optional<PortPath> parse_port_path(std::string_view text);
std::string port_path_text(const PortPath& path);

// Errors of set_port_status besides those of the file: the path leads to no described device
// (ERROR_NOT_FOUND), the device is connected already (ERROR_ALREADY_EXISTS), it is not connected
// (ERROR_DEVICE_NOT_CONNECTED), the machine with the change would not be usable (ERROR_INVALID_DATA).
constexpr Error port_not_found = err::not_found;
constexpr Error port_already_connected = err::already_exists;
constexpr Error port_not_connected = err::device_not_connected;

// The machine file `text` with the device at `path` connected (status 1) or not (status 0), in
// `edited`; 0, or one of the errors above with `message` saying what and where.
Error set_port_status(std::string_view text, const PortPath& path, bool connected, std::string& edited,
                      std::string& message);

} // namespace platform::model
