// The Windows half of the test machine: programs started with CreateProcessW, the trace read from
// the debugger output channel as a debug-output reader does.
//
// OutputDebugStringW, with no debugger attached, hands its text (converted to the ANSI code page)
// to a reader through four named objects: under the mutex "DBWinMutex" a writer waits for
// "DBWIN_BUFFER_READY", puts its process identifier and the text into the 4096-byte mapping
// "DBWIN_BUFFER" and sets "DBWIN_DATA_READY". The reader copies the text out and sets
// "DBWIN_BUFFER_READY" again. Without a reader (no mapping) the text goes nowhere, so the reader
// lives from the start of a test to its end.
#ifdef _WIN32
#include "e2e_machine.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include <windows.h>

#include "../support/machine_lock.h"

namespace e2e {

namespace {
constexpr DWORD dbwin_buffer_size = 4096;

// The build's Linux path of a program, as Wine sees it (the Unix root is drive Z:).
std::wstring windows_path(std::string path)
{
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    std::wstring w(path.begin(), path.end());
    for (wchar_t& c : w)
        if (c == L'/') c = L'\\';
    return w;
}

// One argument of a command line: quoted when it holds a blank (the paths the tests pass hold no
// quotes).
std::wstring argument(const std::u16string& a)
{
    std::wstring w(a.begin(), a.end());
    if (w.find_first_of(L" \t") == std::wstring::npos && !w.empty()) return w;
    return L"\"" + w + L"\"";
}
} // namespace

class DebugOutputReader {
public:
    DebugOutputReader()
    {
        buffer_ready_ = ::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
        const bool another = ::GetLastError() == ERROR_ALREADY_EXISTS;
        data_ready_ = ::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
        mapping_ = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, dbwin_buffer_size,
                                        L"DBWIN_BUFFER");
        if (mapping_) view_ = static_cast<const char*>(::MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0));
        stop_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (another || !buffer_ready_ || !data_ready_ || !view_ || !stop_) {
            release();
            // Two readers would take each other's lines: the trace of a test would be incomplete.
            throw std::runtime_error(another ? "another debug-output reader runs on this machine"
                                             : "the debug-output objects cannot be created");
        }
        thread_ = std::thread([this] { run(); });
    }
    ~DebugOutputReader()
    {
        ::SetEvent(stop_);
        thread_.join();
        release();
    }

    // Lines of `pid` are kept from now on.
    void watch(DWORD pid)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        watched_.insert(pid);
    }
    std::string text() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }

private:
    void run()
    {
        const HANDLE waits[2] = {data_ready_, stop_};
        ::SetEvent(buffer_ready_);
        while (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
            DWORD pid = 0;
            std::memcpy(&pid, view_, sizeof pid);
            const char* line = view_ + sizeof pid;
            const size_t length = ::strnlen(line, dbwin_buffer_size - sizeof pid);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (watched_.count(pid)) text_.append(line, length);
            }
            ::SetEvent(buffer_ready_);
        }
    }
    void release()
    {
        if (view_) ::UnmapViewOfFile(view_);
        for (HANDLE h : {mapping_, buffer_ready_, data_ready_, stop_})
            if (h) ::CloseHandle(h);
        view_ = nullptr;
        mapping_ = buffer_ready_ = data_ready_ = stop_ = nullptr;
    }

    HANDLE buffer_ready_ = nullptr;
    HANDLE data_ready_ = nullptr;
    HANDLE mapping_ = nullptr;
    HANDLE stop_ = nullptr;
    const char* view_ = nullptr;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::set<DWORD> watched_;
    std::string text_;
};

struct Machine::Leg {
    // Taken first and let go last: the trace reader and the services are the machine's only ones.
    platform_test::MachineLock lock;
    DebugOutputReader reader;
    struct Child {
        DWORD pid;
        HANDLE process;
    };
    std::vector<Child> children; // started and not yet waited for
};

Machine::Machine(const std::string& name)
    : folder_(std::filesystem::temp_directory_path() /
              ("zelmusb-e2e-" + std::to_string(::GetCurrentProcessId()) + "-" + name)),
      leg_(std::make_unique<Leg>())
{
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    ::SetEnvironmentVariableW(L"ALLUSERSPROFILE", all_users_profile().wstring().c_str());
    point_suite_root(suite_root());
    // The prefix's service manager outlives the tests: start without a driver another run left.
    end_services();
}

Machine::~Machine()
{
    for (const auto& c : leg_->children) {
        ::TerminateProcess(c.process, 137);
        ::WaitForSingleObject(c.process, 30000);
        ::CloseHandle(c.process);
    }
    leg_->children.clear();
    end_services();
    leg_.reset();
    restore_suite_root();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

uint32_t Machine::start(Program program, const std::vector<std::u16string>& args)
{
    return start_path(program_path(program), args);
}

uint32_t Machine::start_path(const std::filesystem::path& program, const std::vector<std::u16string>& args)
{
    const std::wstring exe = windows_path(program.string());
    std::wstring line = L"\"" + exe + L"\"";
    for (const auto& a : args) line += L" " + argument(a);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    // Suspended until its lines are watched, so that not even its first line is missed. A system
    // tool ("sc.exe") is found along the search path, so no application name is given.
    const bool bare = exe.find(L'\\') == std::wstring::npos;
    // Wine now and then refuses a start while its prefix is busy (seen in fresh prefixes): a few
    // tries, and the last refusal's code on the test's output when they all fail.
    DWORD refused = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (::CreateProcessW(bare ? nullptr : exe.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                             nullptr, nullptr, &si, &pi)) {
            refused = 0;
            break;
        }
        refused = ::GetLastError();
        ::Sleep(200);
    }
    if (refused != 0) {
        std::fprintf(stderr, "CreateProcessW %ls: error %lu\n", exe.c_str(), static_cast<unsigned long>(refused));
        return 0;
    }
    leg_->reader.watch(pi.dwProcessId);
    leg_->children.push_back({pi.dwProcessId, pi.hProcess});
    ::ResumeThread(pi.hThread);
    ::CloseHandle(pi.hThread);
    return pi.dwProcessId;
}

ToolRun Machine::run(Program program, const std::vector<std::u16string>& args, std::chrono::milliseconds limit)
{
    ToolRun result;
    const std::wstring exe = windows_path(program_path(program));
    std::wstring line = L"\"" + exe + L"\"";
    for (const auto& a : args) line += L" " + argument(a);
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, &inherit, 0)) return result;
    ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = write_end;
    si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = nullptr;
    PROCESS_INFORMATION pi{};
    const bool bare = exe.find(L'\\') == std::wstring::npos;
    const bool started = ::CreateProcessW(bare ? nullptr : exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                          nullptr, nullptr, &si, &pi);
    ::CloseHandle(write_end);
    if (!started) {
        ::CloseHandle(read_end);
        return result;
    }
    ::CloseHandle(pi.hThread);
    // The output is read on its own thread, so a tool that fills the pipe never blocks its end.
    std::thread reader([&] {
        char buffer[4096];
        DWORD got = 0;
        while (::ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got) result.output.append(buffer, got);
    });
    result.ended = ::WaitForSingleObject(pi.hProcess, DWORD(limit.count())) == WAIT_OBJECT_0;
    if (!result.ended) {
        ::TerminateProcess(pi.hProcess, 137);
        ::WaitForSingleObject(pi.hProcess, 10000);
    }
    DWORD code = 0;
    ::GetExitCodeProcess(pi.hProcess, &code);
    result.exit_code = int(code);
    ::CloseHandle(pi.hProcess);
    reader.join();
    ::CloseHandle(read_end);
    return result;
}

void Machine::kill(uint32_t pid)
{
    for (const auto& c : leg_->children)
        if (c.pid == pid) ::TerminateProcess(c.process, 137);
    ended_within(pid, std::chrono::seconds(10));
}

bool Machine::ended_within(uint32_t pid, std::chrono::milliseconds limit, int* exit_code)
{
    auto& children = leg_->children;
    for (auto it = children.begin(); it != children.end(); ++it) {
        if (it->pid != pid) continue;
        if (::WaitForSingleObject(it->process, DWORD(limit.count())) != WAIT_OBJECT_0) return false;
        DWORD code = 0;
        ::GetExitCodeProcess(it->process, &code);
        if (exit_code) *exit_code = int(code);
        ::CloseHandle(it->process);
        children.erase(it);
        return true;
    }
    return false;
}

std::string Machine::trace() const
{
    return leg_->reader.text();
}

} // namespace e2e
#endif
