// What zelmusbctl finds in the suite's settings and rule lists: read as zelmarusb reads them (the
// same file order, decoding, parser and mistake lines: app/settings.h, policy/rule_check.h), but
// once, without waiting for the suite, retrying or restoring anything, so that a check changes
// nothing and takes no time.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "policy/usb_settings.h"

namespace ctl {

struct SettingsCheck {
    std::u16string source;                // the file read, or "the monitor's answer"; empty: none
    bool parsed = false;                  // a settings document was read
    UsbSettings settings;                 // as the program reads them from it
    size_t rules = 0;                     // the user's rules ("rules" of "usb")
    std::vector<std::u16string> mistakes; // each with where it is
    std::u16string off;                   // why protection is off; empty when "active" reads 1
};

// `file`: the settings file to check; empty: the program's own settings (with `ask_monitor`, the
// monitor's answer when it gives one; else cfg\cfg.json of the data folder, else <RootPath>\bin\cfg.json).
// The suite's rule lists bin\u_io.bin, bin\u_pr.bin and bin\u_net.bin are checked too.
// With `install` the settings and rule lists read are also put in place for this process's rule
// matching (g_settings and the lists of policy/rules.h, the initial list included), as read_config
// would put them, so that a dry run decides as the program would now.
SettingsCheck check_settings(const std::u16string& file, bool ask_monitor, bool install = false);

} // namespace ctl
