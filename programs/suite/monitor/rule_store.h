// The monitor's work on the settings file, apart from the pipes and the disk: the settings it hands
// to the program for "get_config", and the rule it stores for "usb_device_add_rule<0|1>:<device>".
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "json/hostjson/json_node.h"

namespace monitor {

// The answer to "get_config": the settings document of the file's content, with each of the
// settings the file leaves out put in as 0 ("active" is 0 left out either way). The program takes a member missing from a monitor's
// answer as on (1, or 2 for "action") but one missing from the file as 0: the file must mean
// the same whichever way it is read. Empty (so the program reads the file itself, and traces what
// it finds) when the content is not whole JSON or has no object "usb".
std::u16string config_answer(const std::vector<uint8_t>& content);

// A rule to store: the device's patterns ("=" and its texts) and the action.
struct Rule {
    bool allow = false;
    std::unique_ptr<CJsonNode> patterns; // an object of the five rule keys, only the non-empty ones
    std::u16string checksum;             // the device's, as the message gives it (may be empty)
};

// Reads "usb_device_add_rule1:{...}" / "usb_device_add_rule0:{...}". False, with the reason in
// `error`, for anything else: another head, an action other than 0 or 1, a device that is not an
// object, a rule key that is not a text, or a device with no text at all (its rule would match
// every device).
bool parse_rule_message(const std::u16string& message, Rule& rule, std::u16string& error);

// Puts the rule first in "rules" of "usb" of `doc` (the user's latest answer decides before the
// kept rules) and drops the kept rules with the same patterns, whatever their action, so that no
// rule is there twice and an earlier answer about the device does not outlive the new one. The
// rest of the document stays. False, with the reason, when "usb" or its "rules" is not what a
// settings file holds there.
bool store_rule(CJsonNode& doc, const Rule& rule, std::u16string& error);

} // namespace monitor
