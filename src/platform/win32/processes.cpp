// Processes and users on Windows.
#include <vector>

#include <windows.h>
// After windows.h:
#include <psapi.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include "platform/native.h"
#include "platform/processes.h"
#include "platform/win32/wide.h"

namespace platform::win32 {
namespace {

// Fills a text through a call that takes a buffer and its size in characters and returns the
// length written, growing the buffer while the result may have been cut.
template <class Call>
Error grow_text(Call call, std::u16string& out, DWORD first = MAX_PATH)
{
    std::vector<wchar_t> buf(first);
    for (;;) {
        ::SetLastError(0);
        const DWORD n = call(buf.data(), DWORD(buf.size()));
        if (n == 0) return last_error();
        if (n < buf.size() - 1 || buf.size() >= 32768) {
            out = U(buf.data(), n < buf.size() ? n : buf.size() - 1);
            return err::success;
        }
        buf.resize(buf.size() * 2);
    }
}

class Win32Processes final : public Processes {
public:
    Error enumerate(std::vector<uint32_t>& ids) override
    {
        std::vector<DWORD> buf(1024);
        for (;;) {
            DWORD bytes = 0;
            if (!::EnumProcesses(buf.data(), DWORD(buf.size() * sizeof(DWORD)), &bytes)) return last_error();
            const size_t count = bytes / sizeof(DWORD);
            if (count < buf.size() || buf.size() >= (1u << 20)) {
                ids.assign(buf.begin(), buf.begin() + count);
                return err::success;
            }
            buf.resize(buf.size() * 2); // a full buffer may have been cut
        }
    }

    Error open(uint32_t pid, Handle& process) override
    {
        static const DWORD masks[] = {
            PROCESS_QUERY_INFORMATION | PROCESS_VM_READ,
            PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ,
            PROCESS_QUERY_LIMITED_INFORMATION,
        };
        Error last = err::invalid_parameter;
        for (const DWORD mask : masks) {
            if (const HANDLE h = ::OpenProcess(mask, FALSE, pid)) {
                process = to_handle(h);
                return err::success;
            }
            last = last_error();
        }
        return last;
    }

    Error close(Handle process) override
    {
        return ::CloseHandle(from_handle(process)) ? err::success : last_error();
    }

    Error module_file_name(Handle process, std::u16string& path) override
    {
        const HANDLE h = from_handle(process);
        return grow_text([h](wchar_t* b, DWORD n) { return ::GetModuleFileNameExW(h, nullptr, b, n); }, path);
    }

    Error full_image_name(Handle process, std::u16string& path) override
    {
        using Query = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
        static const Query query = [] {
            const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
            return kernel32 ? reinterpret_cast<Query>(reinterpret_cast<void*>(
                                  ::GetProcAddress(kernel32, "QueryFullProcessImageNameW")))
                            : nullptr;
        }();
        if (!query) return err::call_not_implemented;
        std::vector<wchar_t> buf(MAX_PATH);
        for (;;) {
            DWORD n = DWORD(buf.size());
            if (query(from_handle(process), 0, buf.data(), &n)) {
                path = U(buf.data(), n);
                return err::success;
            }
            const Error e = last_error();
            if (e != err::insufficient_buffer || buf.size() >= 32768) return e;
            buf.resize(buf.size() * 2);
        }
    }

    Error module_base_name(Handle process, std::u16string& name) override
    {
        const HANDLE h = from_handle(process);
        HMODULE first = nullptr;
        DWORD needed = 0;
        if (!::EnumProcessModules(h, &first, sizeof first, &needed)) return last_error();
        return grow_text([h, first](wchar_t* b, DWORD n) { return ::GetModuleBaseNameW(h, first, b, n); }, name);
    }

    Error token_user_name(Handle process, std::u16string& name) override
    {
        HANDLE token = nullptr;
        if (!::OpenProcessToken(from_handle(process), TOKEN_QUERY, &token)) return last_error();
        std::vector<uint8_t> info(2048);
        DWORD len = 0;
        BOOL ok = ::GetTokenInformation(token, TokenUser, info.data(), DWORD(info.size()), &len);
        if (!ok && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER && len > info.size()) {
            info.resize(len);
            ok = ::GetTokenInformation(token, TokenUser, info.data(), DWORD(info.size()), &len);
        }
        const Error token_error = ok ? err::success : last_error();
        ::CloseHandle(token);
        if (!ok) return token_error;
        const PSID sid = reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid;
        std::vector<wchar_t> account(256), domain(256);
        for (int attempt = 0; attempt < 4; ++attempt) {
            DWORD account_len = DWORD(account.size()), domain_len = DWORD(domain.size());
            SID_NAME_USE use{};
            if (::LookupAccountSidW(nullptr, sid, account.data(), &account_len, domain.data(), &domain_len, &use)) {
                name = U(account.data());
                return err::success;
            }
            const Error e = last_error();
            if (e != err::insufficient_buffer) return e;
            if (account_len > account.size()) account.resize(account_len);
            if (domain_len > domain.size()) domain.resize(domain_len);
        }
        return err::insufficient_buffer;
    }

    Error snapshot_exe_name(uint32_t pid, std::u16string& name) override
    {
        const HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snap == INVALID_HANDLE_VALUE) return last_error();
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        Error result = err::not_found;
        for (BOOL more = ::Process32FirstW(snap, &entry); more; more = ::Process32NextW(snap, &entry)) {
            if (entry.th32ProcessID == pid) {
                name = U(entry.szExeFile);
                result = err::success;
                break;
            }
        }
        ::CloseHandle(snap);
        return result;
    }

    uint32_t current_id() override { return ::GetCurrentProcessId(); }

    uint32_t current_thread_id() override { return ::GetCurrentThreadId(); }

    Error current_module_path(std::u16string& path) override
    {
        return grow_text([](wchar_t* b, DWORD n) { return ::GetModuleFileNameW(nullptr, b, n); }, path);
    }

    std::u16string current_arguments() override
    {
        const std::u16string line = U(::GetCommandLineW());
        size_t i = 0;
        // The program name ends at its closing quote, or at the first blank or tab.
        if (i < line.size() && line[i] == u'"') {
            ++i;
            while (i < line.size() && line[i] != u'"') ++i;
            if (i < line.size()) ++i;
        } else {
            while (i < line.size() && line[i] != u' ' && line[i] != u'\t') ++i;
        }
        while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) ++i;
        return line.substr(i);
    }

    bool current_privileged() override { return ::IsUserAnAdmin() != FALSE; }

    Error current_user_name(std::u16string& name) override
    {
        std::vector<wchar_t> buf(257); // UNLEN + 1
        for (int attempt = 0; attempt < 4; ++attempt) {
            DWORD n = DWORD(buf.size());
            if (::GetUserNameW(buf.data(), &n)) {
                name = U(buf.data());
                return err::success;
            }
            const Error e = last_error();
            if (e != err::insufficient_buffer) return e;
            buf.resize(n > buf.size() ? n : buf.size() * 2);
        }
        return err::insufficient_buffer;
    }

    uint16_t user_ui_language() override { return ::GetUserDefaultUILanguage(); }

    uint16_t system_ui_language() override { return ::GetSystemDefaultUILanguage(); }

    Error launch(const LaunchRequest& request, LaunchResult& result) override
    {
        result = LaunchResult{};
        SHELLEXECUTEINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
        info.hwnd = nullptr;
        info.lpVerb = request.verb.empty() ? nullptr : W(request.verb);
        info.lpFile = W(request.file);
        info.lpParameters = request.parameters.empty() ? nullptr : W(request.parameters);
        info.lpDirectory = request.directory.empty() ? nullptr : W(request.directory);
        info.nShow = request.show;
        if (!::ShellExecuteExW(&info)) return last_error();
        if (!info.hProcess) return err::success; // handed to something that started no process of ours
        result.process_id = ::GetProcessId(info.hProcess);
        if (request.wait) {
            uint64_t waited_ms = 0;
            for (;;) {
                const DWORD w = ::WaitForSingleObject(info.hProcess, 100);
                if (w == WAIT_OBJECT_0) {
                    DWORD code = 0;
                    if (::GetExitCodeProcess(info.hProcess, &code)) {
                        result.ended = true;
                        result.exit_code = code;
                    }
                    break;
                }
                if (w != WAIT_TIMEOUT) break;
                // A thread that owns windows must keep serving them while it waits.
                MSG msg;
                while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                    ::TranslateMessage(&msg);
                    ::DispatchMessageW(&msg);
                }
                waited_ms += 100;
                if (waited_ms > request.wait_limit_ms) break;
            }
        }
        ::CloseHandle(info.hProcess);
        return err::success;
    }

    [[noreturn]] void terminate_current(uint32_t exit_code) override
    {
        ::TerminateProcess(::GetCurrentProcess(), exit_code);
        ::ExitProcess(exit_code); // not reached: TerminateProcess of oneself does not return
    }
};

} // namespace
} // namespace platform::win32

namespace platform::backend {
Processes* native_processes()
{
    static win32::Win32Processes processes;
    return &processes;
}
} // namespace platform::backend
