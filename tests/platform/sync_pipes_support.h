// What the mutex, event and pipe tests share: a fresh emulated machine per test on posix, and
// object names that no other test or earlier run can have used.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdlib>
#include <filesystem>
#include <unistd.h>
#endif

#include "text/text.h"

namespace testsupport {

// On posix, points $ZELMUSB_PLATFORM_ROOT (inherited by child processes) at a new empty folder for
// the life of the object, and removes it afterwards. Windows (Wine) has its own machine.
class FreshRoot {
public:
    FreshRoot()
    {
#ifndef _WIN32
        if (const char* old = std::getenv("ZELMUSB_PLATFORM_ROOT")) {
            had_old_ = true;
            old_ = old;
        }
        // Short on purpose: pipe sockets live below it and socket paths are limited to 108 bytes.
        char tmpl[] = "/tmp/zsp-XXXXXX";
        if (const char* dir = ::mkdtemp(tmpl)) path_ = dir;
        ::setenv("ZELMUSB_PLATFORM_ROOT", path_.c_str(), 1);
#endif
    }
    ~FreshRoot()
    {
#ifndef _WIN32
        if (had_old_)
            ::setenv("ZELMUSB_PLATFORM_ROOT", old_.c_str(), 1);
        else
            ::unsetenv("ZELMUSB_PLATFORM_ROOT");
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
#endif
    }
    FreshRoot(const FreshRoot&) = delete;
    FreshRoot& operator=(const FreshRoot&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string old_;
    bool had_old_ = false;
};

inline uint32_t own_pid()
{
#ifdef _WIN32
    return ::GetCurrentProcessId();
#else
    return static_cast<uint32_t>(::getpid());
#endif
}

// "zelmusb_test_<what>_<pid>_<n>": unique per process and call.
inline std::string unique_name(const std::string& what)
{
    static std::atomic<unsigned> counter{0};
    return "zelmusb_test_" + what + "_" + std::to_string(own_pid()) + "_" + std::to_string(++counter);
}

inline std::u16string unique_name16(const std::string& what)
{
    return text::from_utf8(unique_name(what));
}

} // namespace testsupport
