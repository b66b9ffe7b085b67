// The USB devices present, as a rule list that allows each of them.
#pragma once

#include <string>

// Writes the present devices with exact patterns: to `path` in UTF-8, or, when `path` is empty, to
// the initial device list in UTF-16LE. Does nothing without the driver facade.
void save_current_usb_list(const std::u16string& path, bool skip_drives);
// The start-up sweep: reports and ejects the removable drives that no rule allows. Does nothing
// without the driver facade.
void eject_unlisted_devices();
