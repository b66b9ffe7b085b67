// Processes and users: the raw steps of EnumProcesses, OpenProcess, GetModuleFileNameExW,
// QueryFullProcessImageNameW, the Toolhelp snapshot, EnumProcessModules/GetModuleBaseNameW,
// OpenProcessToken/GetTokenInformation/LookupAccountSidW, GetUserNameW, the UI language calls,
// ShellExecuteExW and TerminateProcess. What to do when a step fails (names for the System and
// Idle processes, caches, fallbacks) is the caller's business.
//
// Paths come back in Windows form. The posix backend reads /proc and gives the Linux path with its
// "/" turned into "\\" (the files layer turns them back), so that callers can cut a path at its last
// "\\" on both platforms.
//
// More of the posix backend: the base name (module_base_name, snapshot_exe_name) is the name the
// executable was started under (comm, made whole where the kernel cut it at 15 characters); the user
// of a process is the owner of /proc/<pid>; the UI languages come from LC_ALL, LC_MESSAGES or LANG,
// the first one set ("pl_PL.UTF-8" is 1045, "C" or an unknown locale 1033), the system's from
// /etc/locale.conf or /etc/default/locale. launch finds a bare name in the working folder, the
// current folder and PATH, tries "x.exe" as "x" when only that exists, splits the parameters by the
// Windows rules, and reports 1155 for a file that is no program; the show command means nothing
// there. Exit codes are Linux's 8 bits (128 + n for a process ended by signal n).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace platform {

// ShellExecuteExW show commands used by the system.
namespace show_command {
constexpr int32_t hide = 0;       // SW_HIDE
constexpr int32_t show_normal = 1; // SW_SHOWNORMAL
} // namespace show_command

struct LaunchRequest {
    std::u16string verb = u"open"; // the empty verb means the default one, "open"
    std::u16string file;           // a path, or a bare name searched as Windows searches it
    std::u16string parameters;     // one command-line text, quoted the Windows way
    std::u16string directory;      // the working folder; empty: the caller's own
    int32_t show = show_command::hide;
    bool wait = false;
    // With `wait`: the wait goes in 100 ms steps (pumping the thread's window messages between
    // them on Windows) and gives up once the steps add up to more than this.
    uint32_t wait_limit_ms = 1800000;
};

struct LaunchResult {
    uint32_t process_id = 0; // 0 when the system started nothing it could name
    bool ended = false;      // the wait saw the process end
    uint32_t exit_code = 0;  // its exit code, when it ended
};

class Processes {
public:
    virtual ~Processes() = default;

    // EnumProcesses: the identifiers of all running processes, in the system's order.
    virtual Error enumerate(std::vector<uint32_t>& ids) = 0;

    // OpenProcess with the first of these access masks that succeeds:
    // PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, PROCESS_QUERY_LIMITED_INFORMATION |
    // PROCESS_VM_READ, PROCESS_QUERY_LIMITED_INFORMATION. The error of the last attempt otherwise
    // (87 for an identifier that names no process).
    virtual Error open(uint32_t pid, Handle& process) = 0;
    virtual Error close(Handle process) = 0;

    // GetModuleFileNameExW(process, main module): the full path of its executable.
    virtual Error module_file_name(Handle process, std::u16string& path) = 0;
    // QueryFullProcessImageNameW, looked up at run time in kernel32.dll: 120 when the system does
    // not have it.
    virtual Error full_image_name(Handle process, std::u16string& path) = 0;
    // EnumProcessModules + GetModuleBaseNameW of the first module: the executable's file name.
    virtual Error module_base_name(Handle process, std::u16string& name) = 0;
    // OpenProcessToken + GetTokenInformation(TokenUser) + LookupAccountSidW: the account name of
    // the process's user, without the domain.
    virtual Error token_user_name(Handle process, std::u16string& name) = 0;
    // A Toolhelp process snapshot's executable name for `pid`; 1168 when the snapshot does not hold
    // it.
    virtual Error snapshot_exe_name(uint32_t pid, std::u16string& name) = 0;

    // GetCurrentProcessId, GetCurrentThreadId.
    virtual uint32_t current_id() = 0;
    virtual uint32_t current_thread_id() = 0;
    // GetModuleFileNameW(no module): the running executable's full path.
    virtual Error current_module_path(std::u16string& path) = 0;
    // The command line after the program's name, as GetCommandLineW gives it with its first
    // argument (quoted or not) and the blanks after it cut off. posix: the arguments joined by
    // blanks; an argument holding a blank is quoted (a switch's value after its ":", otherwise
    // whole), and an empty one is written as "".
    virtual std::u16string current_arguments() = 0;
    // GetUserNameW: the user running this process.
    virtual Error current_user_name(std::u16string& name) = 0;
    // Whether this process may change the machine's protection: an elevated administrator's
    // token (IsUserAnAdmin); posix: the effective user is root.
    virtual bool current_privileged() = 0;
    // GetUserDefaultUILanguage, GetSystemDefaultUILanguage: Windows language identifiers
    // (1033 English (United States), 1045 Polish, ...).
    virtual uint16_t user_ui_language() = 0;
    virtual uint16_t system_ui_language() = 0;

    // ShellExecuteExW with SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI and no owner window; with
    // `wait`, waits as LaunchRequest says. The error is the launch's (2 for a missing program);
    // a wait that gave up is not an error (`ended` stays false).
    virtual Error launch(const LaunchRequest& request, LaunchResult& result) = 0;

    // TerminateProcess(GetCurrentProcess(), exit_code): ends at once, without clean-up.
    [[noreturn]] virtual void terminate_current(uint32_t exit_code) = 0;
};

} // namespace platform
