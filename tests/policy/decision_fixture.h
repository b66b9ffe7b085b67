// A machine for decisions: the suite's menu and monitor stand-ins as real processes, a data folder
// of its own, settings and rule lists set by the test, and the trace recorded.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../platform/child/spawn.h"
#include "../support/fresh_machine.h"
#include "app/settings.h"
#include "host/commp.h"
#include "host/threads.h"
#include "platform/forwarding.h"
#include "platform/pipes.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "policy/rules.h"
#include "text/text.h"

namespace policy_test {

namespace fs = std::filesystem;

// The native system family, with the trace lines recorded and ALLUSERSPROFILE pointing at the
// test's folder.
class RecordingSystem : public platform::ForwardingSystem {
public:
    RecordingSystem(platform::System& real, std::u16string all_users)
        : ForwardingSystem(real), all_users_(std::move(all_users))
    {
    }

    platform::Error environment(const std::u16string& name, std::u16string& value) override
    {
        if (name == u"ALLUSERSPROFILE") {
            value = all_users_;
            return 0;
        }
        return inner_.environment(name, value);
    }
    void debug_output(const std::u16string& line) override
    {
        std::lock_guard<std::mutex> g(lock_);
        lines_.push_back(line);
    }

    void clear()
    {
        std::lock_guard<std::mutex> g(lock_);
        lines_.clear();
    }
    // The recorded lines that contain `part`, as UTF-8.
    std::vector<std::string> lines_with(std::u16string_view part)
    {
        std::lock_guard<std::mutex> g(lock_);
        std::vector<std::string> found;
        for (const auto& l : lines_)
            if (l.find(part) != std::u16string::npos) found.push_back(text::to_utf8(l));
        return found;
    }

private:
    std::u16string all_users_;
    std::mutex lock_;
    std::vector<std::u16string> lines_;
};

// The data folder is the same for every test of the program: the decision keeps the accept
// folder's path for the life of the process. Each test empties it.
inline const platform_test::TempFolder& all_users()
{
    static platform_test::TempFolder folder;
    return folder;
}

inline std::string read_file(const fs::path& p)
{
    return platform_test::read_text_file(p);
}

// The lines of a stand-in's question log.
inline std::vector<std::string> log_lines(const fs::path& p)
{
    std::vector<std::string> lines;
    const std::string content = read_file(p);
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) end = content.size();
        lines.push_back(content.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

inline bool starts_with(const std::string& s, const std::string& prefix)
{
    return s.rfind(prefix, 0) == 0;
}

class DecisionMachine : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::error_code ignored;
        fs::remove_all(data(), ignored);
        system_.clear();
        std::lock_guard<std::recursive_mutex> lock(settings_lock());
        g_settings = UsbSettings{};
        g_settings.active = 1;
        for (auto* list : {&io_rules, &printer_rules, &network_rules, &main_rules, &initial_rules}) list->clear();
    }
    void TearDown() override
    {
        notification_threads().WaitAll();
        menu_.kill();
        monitor_.kill();
    }

    // <all users>\halvar: the suite's data folder.
    fs::path data() const { return all_users().path() / "halvar"; }
    fs::path accept() const { return data() / "zelmusb" / "accept"; }
    fs::path menu_log() const { return scratch_.path() / "menu.log"; }
    fs::path monitor_log() const { return scratch_.path() / "monitor.log"; }

    // The menu program answering "1", "0" or "none", after `delay_ms`.
    void start_menu(const std::string& answer, int delay_ms = 0)
    {
        ASSERT_TRUE(menu_.start_program(testchild::built_program_path(HALVARMENU),
                                        {"--answer", answer, "--delay-ms", std::to_string(delay_ms), "--log",
                                         menu_log().string()}));
        wait_listening(menu_.pid(), u"usb_device");
    }
    void start_monitor(const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> args = {"--log", monitor_log().string()};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(monitor_.start_program(testchild::built_program_path(HALVARMON), args));
        wait_listening(monitor_.pid(), u"default");
    }

    // Until the program's listener takes connections (a connection without a request is dropped
    // by the listener without an answer or a log line).
    static void wait_listening(uint32_t pid, const std::u16string& channel)
    {
        auto& pipes = platform::pipes();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            platform::Handle h = platform::null_handle;
            if (pipes.open_client(class_commp::pipe_path(channel, pid), h) == platform::err::success) {
                pipes.close(h);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        FAIL() << "no listener on " << text::to_utf8(channel);
    }

    // Every report file below the data folder's "logs".
    std::vector<fs::path> reports() const
    {
        std::vector<fs::path> found;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(data() / "logs", ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec))
            if (it->is_regular_file()) found.push_back(it->path());
        std::sort(found.begin(), found.end());
        return found;
    }

    platform_test::FreshMachine machine_;
    platform_test::TempFolder scratch_;
    RecordingSystem system_{platform::system(), all_users().path().u16string()};
    platform::Override<platform::System> system_override_{&platform::Platform::system, system_};
    testchild::Child menu_;
    testchild::Child monitor_;
};

} // namespace policy_test
