// Rules: five text patterns and an action, the five rule lists, and their matching.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CJsonNode;

// One rule, and also the shape in which a device is matched.
struct UsbRule {
    std::u16string produkt;
    std::u16string producent;
    std::u16string numer;
    std::u16string klasa;
    std::u16string opis;
    int32_t action = 1; // 1 allow, 0 block; any other value never decides
};

// Match results of match_rules.
constexpr int32_t rule_allows = 1;
constexpr int32_t rule_blocks = 0;
constexpr int32_t no_rule_decided = 0xFFFF;

// The rule lists of the process, replaced whole under the settings lock.
extern std::vector<UsbRule> io_rules;
extern std::vector<UsbRule> printer_rules;
extern std::vector<UsbRule> network_rules;
extern std::vector<UsbRule> main_rules;
extern std::vector<UsbRule> initial_rules;

void clear_rule(UsbRule& rule);
// Fills `rule` from a rule in JSON form (a node with two children: the texts, then the action).
int parse_rule(UsbRule& rule, CJsonNode* node);
// Appends to `list` every element of `rules` that has exactly two children, as a rule, its texts
// as read (matching ignores their case).
void load_rule_list(std::vector<UsbRule>& list, CJsonNode* rules);

// A leading "=" makes the pattern exact; otherwise it is a containment test. Case is ignored.
bool match_field(const std::u16string& value, const std::u16string& pattern);
// The rule's action when it matches the device, 2 otherwise.
int32_t match_rule(const UsbRule& rule, const UsbRule& device, bool serial_only);
// The first deciding rule over the lists the settings allow: 1, 0, or 65535 when none decides.
int32_t match_rules(const UsbRule& device, bool serial_only);

// The rule that decided a match: its list ("io", "printers", "network", "main", "initial"), its
// position there counted from 1, and the rule itself (valid while the settings lock is held, as
// the lists may be replaced when it is not). `rule` is null when no rule decided.
struct RuleMatch {
    const char16_t* list = u"";
    size_t position = 0;
    const UsbRule* rule = nullptr;
};
// match_rules, also telling which rule decided.
int32_t match_rules(const UsbRule& device, bool serial_only, RuleMatch& decided);
// For a trace line: main rule 3 (produkt "flash", producent "=acme", numer "", klasa "", opis ""),
// or "no rule" when none decided. To be called with the settings lock held.
std::u16string describe_match(const RuleMatch& decided);

// Turns the identity's five texts into exact patterns: "=" before each one that is not empty, as
// the suite's rules and the capture hand-over name a device.
void make_patterns_exact(CJsonNode& identity);

// Asks the suite's monitor to store a rule for the device `identity` describes (exact patterns),
// allowing or blocking it. The answer is not examined.
void add_device_rule(CJsonNode& identity, bool allow);
// The longest the rule message to the monitor may take, answer included.
inline constexpr uint32_t rule_message_limit_ms = 5000;
// The message add_device_rule sends: "usb_device_add_rule1:" (or "0:") and a copy of the identity
// with exact patterns for its non-empty texts and a label "etykieta" naming the device and the time.
std::u16string device_rule_message(const CJsonNode& identity, bool allow);
