// Where the emulated machine lives on Linux: the platform root, shared by every process that uses
// this backend (the program, the driver stand-in, the suite stand-ins, sc and reg).
#pragma once

#include <string>
#include <string_view>

namespace platform::posix {

// $ZELMUSB_PLATFORM_ROOT, or ${XDG_STATE_HOME:-$HOME/.local/state}/zelmusb/platform. Read on every
// call, so a test that changes the variable gets a fresh machine.
std::string root();
// The same, from the three variables as another process has them (null when unset).
std::string root_from(const char* platform_root, const char* state_home, const char* home);

// A path below the root ("registry/HKLM", "objects", "services", ...), created when missing.
std::string root_folder(std::string_view sub);

// A Windows path as a Linux path: UTF-8, "\\" turned into "/".
std::string native_path(std::u16string_view windows_path);

} // namespace platform::posix
