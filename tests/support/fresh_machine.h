// Test support for the platform families: scratch folders, a fresh emulated machine per test on
// Linux, unique registry key names, and the paths of the helper programs built beside the tests.
#pragma once

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "text/text.h"

namespace platform_test {

inline int process_id()
{
#ifdef _WIN32
    return _getpid();
#else
    return int(::getpid());
#endif
}

// A name no other test, run or process uses at the same time.
inline std::string unique_name(const std::string& prefix)
{
    static std::atomic<int> counter{0};
    return prefix + "-" + std::to_string(process_id()) + "-" + std::to_string(++counter) + "-" +
           std::to_string(std::rand() % 100000);
}

// A new, empty folder under the system's temporary folder, removed with its content at the end.
class TempFolder {
public:
    TempFolder() : path_(std::filesystem::temp_directory_path() / unique_name("zelmusb-test"))
    {
        std::filesystem::create_directories(path_);
    }
    ~TempFolder()
    {
        std::error_code ignored;
        // Files made read-only by a test would stop the removal on Windows.
        for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_write,
                                         std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The folder, or a name inside it, as a Windows-style path ("\\" before the name).
    std::u16string windows(std::u16string_view name = u"") const
    {
        std::u16string p = path_.u16string();
        if (!name.empty()) {
            p += u'\\';
            p += name;
        }
        return p;
    }

private:
    std::filesystem::path path_;
};

// Texts joined by appending (GCC 12 warns wrongly about "literal + string" in some inlined
// places of the Windows build).
template <class... Parts>
std::u16string cat(const Parts&... parts)
{
    std::u16string s;
    (s.append(std::u16string_view(parts)), ...);
    return s;
}

inline void set_env(const char* name, const char* value)
{
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
#endif
}

// Sets an environment variable for the life of the object and puts the old value back after.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name)) {
            had_ = true;
            old_ = old;
        }
        set_env(name, value);
    }
    ~ScopedEnv() { set_env(name_.c_str(), had_ ? old_.c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool had_ = false;
    std::string old_;
};

#ifndef _WIN32
// A platform root without machine.json is the running machine: its USB devices are listed,
// ejected and held by the driver through /sys. Outside a umockdev testbed (which stands in for
// /sys and sets UMOCKDEV_DIR) a test's machine is an empty model instead, so that no test can
// change the computer it runs on; a test that wants the file gone or different replaces it.
inline void keep_off_the_real_machine(const std::filesystem::path& root)
{
    if (std::getenv("UMOCKDEV_DIR")) return;
    std::filesystem::create_directories(root);
    if (std::filesystem::exists(root / "machine.json")) return;
    std::ofstream(root / "machine.json") << "{\"controllers\": []}\n";
}
#endif

// On Linux, a new emulated machine: the platform root is a fresh folder for the life of the
// object. On Windows the machine is the real one and nothing changes.
class FreshMachine {
public:
    FreshMachine()
#ifndef _WIN32
        : env_("ZELMUSB_PLATFORM_ROOT", root_.path().string().c_str())
#endif
    {
#ifndef _WIN32
        keep_off_the_real_machine(root_.path());
#endif
    }
    const std::filesystem::path& root() const { return root_.path(); }

private:
    TempFolder root_;
#ifndef _WIN32
    ScopedEnv env_;
#endif
};

// A program built beside the tests, as the platform under test names it: under Wine the build's
// Linux path is reached through drive Z:.
inline std::u16string built_program(const char* build_path)
{
    std::u16string p = text::from_utf8(build_path);
#ifdef _WIN32
    if (!p.empty() && p[0] == u'/') {
        for (char16_t& c : p)
            if (c == u'/') c = u'\\';
        p = u"Z:" + p;
    }
#endif
    return p;
}

inline std::string read_text_file(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace platform_test
