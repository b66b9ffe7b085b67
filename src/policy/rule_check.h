// Mistakes in the suite's rules and settings that the loaders would otherwise take in silence, and
// that mostly let devices in: a misspelled pattern key leaves the pattern out, and a pattern left
// out matches every device. Each is traced with where it is; nothing is changed: the rules and
// settings are loaded exactly as they read. The same lines are given as texts to zelmusbctl's
// `check`, so that what it reports is what the program traces.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class CJsonNode;

// The members a rule's patterns object may hold: the five patterns and the drive letters.
inline constexpr const char16_t* rule_keys = u"producent, produkt, numer, klasa, opis, dyski";

// Traces each element of `rules` (a rule list's member "rules") that is not [ {patterns}, action ],
// whose patterns are not an object, whose patterns object has a member that is not a rule key
// (the members the suite stores with a rule it adds, "checksum", "user" and "etykieta", are
// known), or whose action is neither 0 nor 1. `list` names the list in the lines; elements are
// counted from 1.
void trace_rule_mistakes(const CJsonNode& rules, std::u16string_view list);
// The lines trace_rule_mistakes traces, in order.
std::vector<std::u16string> rule_mistakes(const CJsonNode& rules, std::u16string_view list);

// Traces a settings document without an object "usb" (naming a member that differs only in case),
// members of "usb" that are not settings, and settings whose value reads as 0 only because it is
// neither a number nor a text with a number. `source` names the document in the lines, `missing`
// says what becomes of the settings without "usb".
void trace_settings_mistakes(const CJsonNode& doc, std::u16string_view source, std::u16string_view missing);
// The lines trace_settings_mistakes traces, in order.
std::vector<std::u16string> settings_mistakes(const CJsonNode& doc, std::u16string_view source,
                                              std::u16string_view missing);
