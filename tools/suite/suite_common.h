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

// Appends the message, as one UTF-8 line, to the log file (when one was given). Messages carry
// JSON written with CR LF line ends: a backslash, CR and LF are written as \\, \r and \n so that
// each message stays one line.
inline void log_line(const std::u16string& log, const std::u16string& message)
{
    if (log.empty()) return;
    std::u16string line;
    for (char16_t c : message) {
        if (c == u'\\') line += u"\\\\";
        else if (c == u'\r') line += u"\\r";
        else if (c == u'\n') line += u"\\n";
        else line += c;
    }
    AppendToFile(log, text::to_utf8(line) + "\n");
}

} // namespace suite

// Each stand-in's entry, called with its arguments.
int suite_main(const suite::Args& args);
