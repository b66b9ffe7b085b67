// The USB devices present, as a rule list that allows each of them: the initial device list, the
// /gud: list, and the start-up sweep that ejects removable drives no rule allows.
#pragma once

#include <mutex>
#include <string>

class CJsonNode;

// Fills `list` (an empty object) with the member "rules": one rule per present device, in the
// library's order, each [{"producent", "produkt", "numer", "klasa", "opis"[, "dyski"]}, 1]. With
// `exact_patterns` each text is "=" + text; with `skip_drives` devices with drive letters are left
// out. 1 on success; 0 (traced) when the library cannot list the devices.
int generate_current_usb_list(CJsonNode& list, bool exact_patterns, bool skip_drives);

// Writes the present devices with exact patterns: to `path` in UTF-8, or, when `path` is empty, to
// the initial device list in UTF-16LE. Does nothing without the driver facade, and writes nothing
// when the list cannot be built.
void save_current_usb_list(const std::u16string& path, bool skip_drives);

// Serialises the check, writing and loading of the initial device list between the threads that
// may do it (the driver run and "cfg").
std::recursive_mutex& initial_list_lock();

// The start-up sweep: writes "tmp\devices_found.txt" (the present devices) below the data folder,
// reports every device with drive letters that no rule allows, ejects its removable drives letter
// by letter, and writes the log "tmp\devices_ejected.txt". Does nothing without the driver facade
// or when the devices cannot be listed. The rule matching runs under the settings lock.
void eject_unlisted_devices();

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
