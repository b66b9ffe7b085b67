// The suite's settings as the host loads them: the settings record and the rule lists (declared
// by the policy, policy/usb_settings.h and policy/rules.h) are filled here from the suite's files
// (plain, or in the scrambled container).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "json/hostjson/json_node.h"
#include "policy/usb_settings.h"


// The name of the mutex the suite holds while it writes its settings.
inline constexpr const char16_t* loading_config_mutex = u"ZELMAR_LOADING_CONFIG_INP";
// How long the settings loader waits for the suite to let go of that mutex before it reads anyway.
inline constexpr uint32_t loading_wait_limit_ms = 5000;
// How long the whole question to the monitor for its settings may take.
inline constexpr uint32_t monitor_answer_limit_ms = 5000;
// The largest settings or rule file read (a file beyond it is not read, and that is traced): far
// more than any real one, small enough that reading it costs a bounded amount of memory.
inline constexpr uint32_t suite_file_limit = 16u * 1024u * 1024u;

// The scrambled container: "C2H5OH" followed by the payload XOR-ed with a key stream.
namespace container {
inline constexpr char marker[] = "C2H5OH";
constexpr size_t marker_size = 6;
// Turns payload bytes into content and back (the operation is its own inverse).
void scramble(uint8_t* bytes, size_t size);
// "C2H5OH" + the scrambled bytes, as the suite stores a file.
std::vector<uint8_t> pack(const std::vector<uint8_t>& content);
} // namespace container

// Reads a suite file: the whole content (unscrambled when it is a container), as bytes.
bool LoadSuiteBytes(const std::u16string& path, std::vector<uint8_t>& content);
// The content as text: UTF-8 after a leading EF BB BF; otherwise a leading FF FE is skipped; UTF-16LE when the second byte is zero (and at
// least two characters are there), otherwise 8-bit text in the system code page.
std::u16string DecodeSuiteText(const std::vector<uint8_t>& content);
// LoadSuiteBytes, then DecodeSuiteText. False when the file cannot be read.
bool LoadSuiteFile(const std::u16string& path, std::u16string& text);

// The content of a settings file (after LoadSuiteBytes) read into `doc` as the settings loader
// reads it; false when it does not parse (or parses to nearly nothing), which the loader retries.
bool ParseSettings(const std::vector<uint8_t>& content, CJsonNode& doc);
// The text ParseSettings reads from the content (as DecodeSuiteText, but UTF-16LE already when
// the second byte is zero).
std::u16string DecodeSettingsText(const std::vector<uint8_t>& content);

// The settings record from a settings document, as the loader fills it: each member of "usb" read
// as a number; a member left out reads as 0, or, in a strict document (the monitor's answer), as
// its fallback (0 for "active", 2 for "action", 1 for the rest).
void read_settings(CJsonNode& doc, UsbSettings& settings);

struct SettingsFile {
    std::u16string path;
    std::u16string name;
    std::unique_ptr<CJsonNode> doc = std::make_unique<CJsonNode>();
};
// Loads the settings file `name` ("cfg.json") from the configuration folder, or the suite's bin
// folder, waiting for the suite to finish writing it, retrying and restoring it as the suite does.
SettingsFile LoadSettingsFile(const std::u16string& name);

// Reloads the settings (from the monitor, else from "cfg.json") and every rule list.
void read_config();

// The settings in effect and the sizes of the rule lists, as one line of JSON:
// {"active":1,"action":2,"allow_io":1,"allow_printers":1,"allow_network":1,"report_on_allow":1,
// "allow_initial":1,"rules":3,"rules_io":0,"rules_printers":0,"rules_network":0,"rules_initial":2}.
std::u16string settings_summary();

// Loads the initial rules from the list of devices present when protection was set up.
void load_initial_rules();

// A faithful copy of a node and its subtree, owned by the caller. Writing an element and reading
// the text back would not do for rule elements: the reader wraps a text that is an array into one
// more array.
CJsonNode* clone_node(const CJsonNode& source);

// The /test: action: reloads the settings, then writes "<path>.blocked.json" (UTF-8) with the
// elements of the rule list in `path` that the rules do not allow as devices.
void test_rules_file(const std::u16string& path);
