// Shared pieces of the suite's stand-in programs: arguments, the question log, the listener.
#pragma once

#include <string>
#include <vector>

#include "host/commp.h"
#include "host/files.h"
#include "text/text.h"

namespace suite {

// "--name value" pairs of the command line (UTF-16 on both platforms).
struct Args {
    std::vector<std::u16string> items;
    std::u16string get(std::u16string_view name, std::u16string fallback = {}) const
    {
        for (size_t i = 0; i + 1 < items.size(); ++i)
            if (items[i] == name) return items[i + 1];
        return fallback;
    }
};

// Appends the message, as one UTF-8 line, to the log file (when one was given).
inline void log_line(const std::u16string& log, const std::u16string& message)
{
    if (!log.empty()) AppendToFile(log, text::to_utf8(message) + "\n");
}

} // namespace suite

// Each stand-in's entry, called with its arguments.
int suite_main(const suite::Args& args);
