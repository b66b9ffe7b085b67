// Starts, waits for and kills a helper process in the cross-process tests (Win32 or POSIX, as
// built). Kept apart from the platform layer under test, so that a fault there cannot hide
// itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace testchild {

#ifdef ZELMUSB_PLATFORM_CHILD
// The helper program beside the test program. Under Wine the build's Linux path means nothing,
// so the file name is taken and looked for in the test program's own folder.
inline std::string program()
{
    std::string path = ZELMUSB_PLATFORM_CHILD;
#ifdef _WIN32
    const size_t slash = path.find_last_of("/\\");
    const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    char self[MAX_PATH * 2];
    const DWORD n = ::GetModuleFileNameA(nullptr, self, sizeof self);
    std::string dir(self, n);
    dir = dir.substr(0, dir.find_last_of('\\') + 1);
    path = dir + file;
#endif
    return path;
}
#endif

// A program of the build by its build path; under Wine the Linux path is reached through Z:.
inline std::string built_program_path(std::string path)
{
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') {
        for (char& c : path)
            if (c == '/') c = '\\';
        path = "Z:" + path;
    }
#endif
    return path;
}

class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child()
    {
        if (running()) kill();
#ifdef _WIN32
        if (process_) ::CloseHandle(process_);
#endif
    }

#ifdef ZELMUSB_PLATFORM_CHILD
    bool start(const std::vector<std::string>& args) { return start_program(program(), args); }
#endif

    bool start_program(const std::string& exe, const std::vector<std::string>& args)
    {
        if (running()) kill();
        ended_ = false;
        code_ = -1;
        pid_ = 0;
#ifdef _WIN32
        if (process_) ::CloseHandle(process_);
        process_ = nullptr;
#endif
#ifdef _WIN32
        std::string line = "\"";
        line += exe;
        line += "\"";
        for (const auto& a : args) line += " \"" + a + "\"";
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        std::vector<char> buf(line.begin(), line.end());
        buf.push_back('\0');
        if (!::CreateProcessA(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            return false;
        ::CloseHandle(pi.hThread);
        process_ = pi.hProcess;
        pid_ = pi.dwProcessId;
        return true;
#else
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(exe.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_t pid;
        if (::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return false;
        pid_ = static_cast<uint32_t>(pid);
        return true;
#endif
    }

    uint32_t pid() const { return pid_; }
    bool running() const { return pid_ != 0 && !ended_; }

    // The exit code, or -1 when it has not ended within `ms`.
    int wait(uint32_t ms)
    {
        if (ended_) return code_;
        if (pid_ == 0) return -1;
#ifdef _WIN32
        if (::WaitForSingleObject(process_, ms) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        ::GetExitCodeProcess(process_, &code);
        code_ = static_cast<int>(code);
#else
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            int status = 0;
            const pid_t r = ::waitpid(static_cast<pid_t>(pid_), &status, WNOHANG);
            if (r == static_cast<pid_t>(pid_)) {
                code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (r < 0 || std::chrono::steady_clock::now() >= deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
#endif
        ended_ = true;
        return code_;
    }

    // Ends the process at once, as the task manager or `kill -9` would, and reaps it.
    void kill()
    {
        if (!running()) return;
#ifdef _WIN32
        ::TerminateProcess(process_, 137);
#else
        ::kill(static_cast<pid_t>(pid_), SIGKILL);
#endif
        wait(30000);
    }

private:
    uint32_t pid_ = 0;
    bool ended_ = false;
    int code_ = -1;
#ifdef _WIN32
    HANDLE process_ = nullptr;
#endif
};

} // namespace testchild
