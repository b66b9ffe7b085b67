// What the policy knows of a device: five readable texts taken from the driver's device document,
// a checksum over them that names the device's files, and the user logged on when it arrived.
#pragma once

#include <string>

#include "policy/rules.h"

class CJsonNode;

// Fills `identity` (an empty object) with "producent", "produkt", "numer", "klasa", "opis",
// "checksum" and "user", and `fields` with the five texts; returns the checksum. Never fails: a
// document that does not parse gives "-" for every text.
std::u16string build_device_identity(const std::u16string& document, CJsonNode& identity, UsbRule& fields);

// The text the checksum is taken over: the host writer's text (CJsonNode::ToText, control
// characters other than the five short forms left raw) of an object of the five members, which
// lists them in key order whatever order the driver used, so that a device keeps its name.
std::u16string checksum_form(const std::u16string& producent, const std::u16string& produkt,
                             const std::u16string& numer, const std::u16string& klasa, const std::u16string& opis);

// SHA-1 of the text's UTF-16LE code units (no byte-order mark, no terminator), as 40 upper-case
// hexadecimal digits. Empty (and traced) when the system cannot compute the digest.
std::u16string DeviceChecksum(const std::u16string& text);
