// The verdict lines of the program's trace, for watch.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ctl {

struct VerdictLine {
    bool allowed = false;
    std::string device;  // as the trace quotes it: the product name in quotes, or <not read>
    std::string decider; // "main rule 2 (...)", "the user's answer "1"", "default action 0 (no rule)", ...
};

// Reads a trace line "... Verdict allow=1 for "USB Keyboard", decided by main rule 1 (...)"; false
// for any other line.
bool parse_verdict_line(std::string_view line, VerdictLine& out);

// The last verdict line of the trace file for the device the trace names `device` (its product in
// quotes), read from the file's last `window` bytes; nothing when there is none.
std::optional<VerdictLine> last_verdict(const std::string& trace_file, const std::string& device,
                                        size_t window = 4u << 20);

// "2026-12-11 08:01:02 allowed "USB Keyboard" by main rule 1 (...)", stamped now.
std::string watch_line(const VerdictLine& v);

} // namespace ctl
