// Administration of the emulated service control manager, for the teardown of a test machine.
#pragma once

namespace platform::posix {

// Ends every daemon that the service manager of the current platform root started (SIGTERM, then
// SIGKILL after the stop bound) and removes every service record with its registry key, so that a
// test that failed midway leaves nothing running or installed behind.
void end_all_services();

} // namespace platform::posix
