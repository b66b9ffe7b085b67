// Runs the system's own "reg query" on a key and returns its output: under Wine the prefix's
// reg.exe over the real registry, on Linux the stand-in tool over the emulated one.
#pragma once

#include <string>
#include <vector>

#include "../platform/fresh_machine.h"
#include "text/text.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace dc_test {

struct RegRun {
    int exit_code = -1;
    std::string output; // CR LF turned into LF
};

inline RegRun reg_query(const platform_test::TempFolder& dir, const std::string& key)
{
    RegRun run;
#ifdef _WIN32
    const std::wstring out_path = (dir.path() / platform_test::unique_name("reg")).wstring();
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return run;
    std::wstring command = L"reg.exe query \"";
    for (char16_t c : text::from_utf8(key)) command += wchar_t(c);
    command += L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = out;
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
        if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 259);
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        run.exit_code = int(code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(out);
    const std::string raw = platform_test::read_text_file(out_path);
#else
#ifndef ZELMUSB_REG_TOOL
    return run;
#else
    std::string raw;
    run.exit_code = platform_test::run_capturing({ZELMUSB_REG_TOOL, "query", key},
                                                 dir.path() / platform_test::unique_name("reg"), raw);
#endif
#endif
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
