// Runs a command-line tool to its end with its output captured, as the tests of the tools and of
// what they see (reg, sc) need it: on Windows through CreateProcessW (a bare program name is found
// along the search path), on Linux by fork and exec.
#pragma once

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "fresh_machine.h"
#include "text/text.h"

namespace platform_test {

#ifdef _WIN32
// One argument of a Windows command line, quoted by the rules the C runtime parses it with.
inline std::wstring quote_argument(const std::string& arg)
{
    std::wstring w;
    for (char16_t c : text::from_utf8(arg)) w += wchar_t(c);
    if (!w.empty() && w.find_first_of(L" \t\"") == std::wstring::npos) return w;
    std::wstring q = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : w) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        q.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        q += c;
        backslashes = 0;
    }
    q.append(backslashes * 2, L'\\'); // before the closing quote
    return q + L"\"";
}
#endif

// Runs a program with `args` (the program first), standard input empty and both output streams
// into the file `out`; returns its exit code (-1 when it could not be run or did not exit
// normally, 259 when it was ended after a minute) and leaves what it wrote in `output`.
inline int run_capturing(std::vector<std::string> args, const std::filesystem::path& out, std::string& output)
{
    int exit_code = -1;
#ifdef _WIN32
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE file = CreateFileW(out.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return exit_code;
    HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    std::wstring command;
    for (const auto& a : args) command += (command.empty() ? L"" : L" ") + quote_argument(a);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = file;
    si.hStdError = file;
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
        if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 259);
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        exit_code = int(code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(file);
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
#else
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    output = read_text_file(out);
    return exit_code;
}

} // namespace platform_test
