// Scripted platform families for host tests.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/processes.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "../support/virtual_clock.h"

namespace fakes {

// A system family that records debugger output and shows a fixed local time; the tick counts are
// `time`, which moves only when the test moves it.
class System : public platform::System {
public:
    std::vector<std::u16string> lines;
    platform::LocalTime now{2024, 1, 3, 31, 9, 59, 59, 0};
    platform_test::VirtualTime time{0x1A2B3};
    std::map<std::u16string, std::u16string> env;
    std::mutex lock;

    platform::Error environment(const std::u16string& name, std::u16string& value) override
    {
        auto it = env.find(name);
        if (it == env.end()) return platform::err::envvar_not_found;
        value = it->second;
        return 0;
    }
    uint32_t tick_count() override { return static_cast<uint32_t>(time.now_ms); }
    uint64_t tick_count64() override { return time.now_ms; }
    platform::LocalTime local_time() override { return now; }
    platform::Error check_state_folders(std::u16string&, std::u16string&) override { return 0; }
    void debug_output(const std::u16string& line) override
    {
        std::lock_guard<std::mutex> g(lock);
        lines.push_back(line);
    }
    platform::Error sha1(std::span<const uint8_t> data, platform::Sha1Digest& digest) override
    {
        return platform::err::not_supported;
    }
};

// A process table: identifier -> image path, user; open() fails for identifiers marked closed.
class Processes : public platform::Processes {
public:
    struct Entry {
        std::u16string path;
        std::u16string user;
        bool can_open = true;
    };
    std::vector<uint32_t> order;
    std::map<uint32_t, Entry> table;
    int opens = 0;

    void add(uint32_t pid, std::u16string path, std::u16string user = u"", bool can_open = true)
    {
        order.push_back(pid);
        table[pid] = Entry{std::move(path), std::move(user), can_open};
    }

    platform::Error enumerate(std::vector<uint32_t>& ids) override
    {
        ids = order;
        return 0;
    }
    platform::Error open(uint32_t pid, platform::Handle& h) override
    {
        ++opens;
        auto it = table.find(pid);
        if (it == table.end() || !it->second.can_open) return platform::err::access_denied;
        h = pid + 1000;
        return 0;
    }
    platform::Error close(platform::Handle) override { return 0; }
    platform::Error module_file_name(platform::Handle h, std::u16string& path) override
    {
        path = table[uint32_t(h - 1000)].path;
        return path.empty() ? platform::err::partial_copy : 0;
    }
    platform::Error full_image_name(platform::Handle h, std::u16string& path) override
    {
        return platform::err::call_not_implemented;
    }
    platform::Error module_base_name(platform::Handle h, std::u16string& name) override
    {
        const auto& p = table[uint32_t(h - 1000)].path;
        name = p.substr(p.rfind(u'\\') + 1);
        return 0;
    }
    platform::Error token_user_name(platform::Handle h, std::u16string& name) override
    {
        name = table[uint32_t(h - 1000)].user;
        return name.empty() ? platform::err::access_denied : 0;
    }
    platform::Error snapshot_exe_name(uint32_t pid, std::u16string& name) override
    {
        auto it = table.find(pid);
        if (it == table.end()) return platform::err::not_found;
        name = it->second.path.substr(it->second.path.rfind(u'\\') + 1);
        return 0;
    }
    uint32_t current_id() override { return 77; }
    uint32_t current_thread_id() override { return 0x1a2c; }
    platform::Error current_module_path(std::u16string& path) override
    {
        path = u"C:\\Program Files\\zelmarusb\\zelmarusb.exe";
        return 0;
    }
    std::u16string current_arguments() override { return u"/start"; }
    platform::Error current_user_name(std::u16string& name) override
    {
        name = u"tester";
        return 0;
    }
    bool current_privileged() override { return true; }
    uint16_t user_ui_language() override { return 1045; }
    uint16_t system_ui_language() override { return 1033; }
    platform::Error launch(const platform::LaunchRequest&, platform::LaunchResult&) override
    {
        return platform::err::not_supported;
    }
    [[noreturn]] void terminate_current(uint32_t) override { std::abort(); }
};

// Sleeps in virtual time (`time`); named mutexes are a set of names some "other process" holds.
class Sync : public platform::Sync {
public:
    platform_test::VirtualTime time;
    std::map<std::u16string, int> held; // name -> probes left before it is released (-1: for ever)
    std::mutex lock;

    platform::Error create_mutex(const std::u16string& name, platform::Handle& out) override
    {
        std::lock_guard<std::mutex> g(lock);
        out = 1;
        if (held.count(name)) return platform::err::already_exists;
        held[name] = -1;
        return 0;
    }
    platform::Error open_mutex(const std::u16string& name, platform::Handle& out) override
    {
        std::lock_guard<std::mutex> g(lock);
        auto it = held.find(name);
        if (it == held.end()) return platform::err::file_not_found;
        if (it->second == 0) {
            held.erase(it);
            return platform::err::file_not_found;
        }
        if (it->second > 0) --it->second;
        out = 1;
        return 0;
    }
    platform::Error create_event(bool, bool, const std::u16string&, platform::Handle&) override
    {
        return platform::err::not_supported;
    }
    platform::Error set_event(platform::Handle) override { return platform::err::not_supported; }
    platform::Error reset_event(platform::Handle) override { return platform::err::not_supported; }
    platform::Error open_event_of(uint32_t, platform::Handle, platform::Handle&) override
    {
        return platform::err::not_supported;
    }
    platform::Error close(platform::Handle) override { return 0; }
    platform::Error wait_any(const std::vector<platform::Handle>&, uint32_t, size_t&) override
    {
        return platform::err::not_supported;
    }
    platform::Error wait(platform::Handle, uint32_t) override { return platform::err::not_supported; }
    void sleep(uint32_t ms) override { time.pass(ms); }
};

} // namespace fakes
