// The USB devices present, as a rule list that allows each of them (for the initial device list and
// the /gud: list), and the start-up sweep that ejects removable drives no rule allows. The device
// list comes from the host, which asks the driver facade for it (app/driver_run.h).
#pragma once

#include <string>

class CJsonNode;

// Fills `list` (an empty object) with the member "rules": one rule per device of `devices` (the
// library's list of present devices, Manager::GetCurrentUSBDevicesJSONListText), in its order, each
// [{"producent", "produkt", "numer", "klasa", "opis"[, "dyski"]}, 1]. With `exact_patterns` each
// text is "=" + text; with `skip_drives` devices with drive letters are left out. Traces "Current
// USB list generated.".
void generate_current_usb_list(const std::u16string& devices, CJsonNode& list, bool exact_patterns, bool skip_drives);

// The start-up sweep over `devices` (as for generate_current_usb_list): writes
// "tmp\devices_found.txt" (the present devices) below the data folder, reports every device with
// drive letters that no rule allows, ejects its removable drives letter by letter, and writes the
// log "tmp\devices_ejected.txt". The rule matching runs under the settings lock. The host's
// sweep_unlisted_devices (app/driver_run.h) lists the devices and calls this.
void eject_unlisted_devices(const std::u16string& devices);

// Whether the drive of `letter` is removable (GetDriveTypeW of "<letter>:\" is 2).
bool is_removable_drive(char16_t letter);

// Locks (up to 20 tries, 500 ms apart), dismounts and ejects the volume of `letter`; true when its
// handle was closed after the attempt (also when it could not be locked), false when it could not
// be opened or is neither removable nor a CD drive.
bool eject_drive(char16_t letter);
// eject_drive, also saying how it went for the trace: "ejected", or which step failed and its
// Windows error code ("failed: error 5 at CreateFile", "failed: the volume stayed locked by
// another user (error 5)", ...).
bool eject_drive(char16_t letter, std::u16string& outcome);

// How the lock of eject_drive is retried.
inline constexpr int eject_lock_tries = 20;
inline constexpr unsigned eject_lock_pause_ms = 500;
