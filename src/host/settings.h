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

// Loads the initial rules from the list of devices present when protection was set up.
void load_initial_rules();

// The /test: action: reloads the settings, then writes "<path>.blocked.json" (UTF-8) with the
// elements of the rule list in `path` that the rules do not allow as devices.
void test_rules_file(const std::u16string& path);
