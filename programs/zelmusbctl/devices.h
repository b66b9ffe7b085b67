// The USB devices present, as zelmusbctl shows and names them: each device's entry of the device
// list (the one /gud: writes, read through the driver facade), the identity a decision gives it
// (policy/identity.h), and what the driver says of it (held, asked, `authorized`; the DEVICES
// question of driver_interface.h, answered by zelmusb.sys on a running Linux machine).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "policy/rules.h"

namespace ctl {

struct Device {
    std::u16string port; // the sysfs name ("1-2.3"), from the entry's physical device object name
    uint16_t vid = 0, pid = 0;
    UsbRule identity;        // the five texts a decision matches, as the decision reads them
    std::u16string checksum; // the identity's checksum: the name of its files in the accept folder
    std::u16string drives;   // drive letters
    bool hub = false;
    std::u16string document; // the entry, as the driver would send it in a question
    // What the driver says; `known` is false when it could not be asked.
    bool known = false;
    int authorized = -1; // -1: unreadable
    uint8_t held = 0;    // ZD_HELD_*
    uint8_t decided = 0; // ZD_DECIDED_*
    uint64_t request_id = 0;
    bool recorded = false; // a decision recorded it in the accept folder
};

struct Machine {
    std::vector<Device> devices;
    // Why the device list or the driver could not be read; empty when they were.
    std::u16string list_error, driver_error;
    bool holding = false; // the driver holds this machine's real devices
    uint32_t hubs_held = 0;
};

// Reads the devices present and asks the driver about them.
Machine read_machine();

// The state for people: "allowed", "blocked" (with "by its verdict" or "by the administrator" when
// the driver decided it since it started), "waiting for a verdict", "held: no program registered",
// "not decided (present before protection)": admitted, but neither the driver since it started nor
// a decision recorded in the accept folder decided it; "unknown (...)".
std::u16string state_text(const Device& d);
// The same as a stable word for --json: allowed, blocked, asked, held, undecided, unknown.
const char* state_word(const Device& d);

// The devices `name` names: a sysfs name, vendor:product (hexadecimal), or a serial number.
std::vector<const Device*> find_devices(const Machine& m, const std::string& name);

// "1-2 1234:abcd "Acme" "Flash" serial "F-1"", for messages.
std::u16string device_line(const Device& d);

} // namespace ctl
