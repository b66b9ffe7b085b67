// Runs the system's own "reg query" on a key and returns its output: under Wine the prefix's
// reg.exe over the real registry, on Linux the stand-in tool over the emulated one.
#pragma once

#include <string>
#include <vector>

#include "../support/fresh_machine.h"
#include "../support/run_tool.h"
#include "text/text.h"

namespace dc_test {

struct RegRun {
    int exit_code = -1;
    std::string output; // CR LF turned into LF
};

inline RegRun reg_query(const platform_test::TempFolder& dir, const std::string& key)
{
    RegRun run;
#ifdef _WIN32
    const std::string reg = "reg.exe";
#elif defined(ZELMUSB_REG_TOOL)
    const std::string reg = ZELMUSB_REG_TOOL;
#else
    return run;
#endif
    std::string raw;
    run.exit_code = platform_test::run_capturing({reg, "query", key}, dir.path() / platform_test::unique_name("reg"), raw);
    for (char c : raw)
        if (c != '\r') run.output += c;
    return run;
}

inline bool has_line(const RegRun& run, const std::string& wanted)
{
    size_t start = 0;
    while (start <= run.output.size()) {
        const size_t end = run.output.find('\n', start);
        if (run.output.substr(start, end == std::string::npos ? std::string::npos : end - start) == wanted)
            return true;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return false;
}

} // namespace dc_test
