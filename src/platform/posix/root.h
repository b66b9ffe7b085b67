// Where the emulated machine lives on Linux: the platform root, shared by every process that uses
// this backend (the program, the driver, the suite stand-ins, sc and reg).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform::posix {

// $ZELMUSB_PLATFORM_ROOT, or ${XDG_STATE_HOME:-$HOME/.local/state}/zelmusb/platform. Read on every
// call, so a test that changes the variable gets a fresh machine.
std::string root();
// The same, from the three variables as another process has them (null when unset).
std::string root_from(const char* platform_root, const char* state_home, const char* home);

// A path below the root ("registry/HKLM", "objects", "services", ...), created when missing.
// Folders made here are the owner's alone whatever the umask (0700), except the root itself (0711:
// others pass through it) and "objects", "registry" and "services" (0755): other users' programs
// (the suite's menu runs as the logged-on user, sc and reg as anyone) reach the pipes and mutexes,
// read keys and query services there, as users may on Windows.
std::string root_folder(std::string_view sub);

// Whether a Linux path lies below the platform root (the root itself excluded), by its text.
bool below_root(const std::string& path);

// System::check_state_folders for the platform root (platform/system.h).
uint32_t check_root_folders(std::u16string& folder, std::u16string& owner);

// A Windows path as a Linux path: UTF-8, "\\" turned into "/".
std::string native_path(std::u16string_view windows_path);

} // namespace platform::posix
