// Whole processes: the program, the monitor stand-in and the pipe commands, each test with its own
// data and root folders (a fresh emulated machine on Linux; real Windows processes under Wine).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "e2e_machine.h"
#include "host/commp.h"
#include "platform/pipes.h"
#include "platform/platform.h"
#include "text/text.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using namespace std::chrono_literals;
using e2e::Program;

// The values read_config traces, in the order of its lines.
struct Settings {
    int active, action, rules, allow_io, allow_pr, allow_net, initial;
};

std::vector<std::string> settings_lines(const Settings& s)
{
    auto line = [](const char* label, int v) { return std::string(label) + std::to_string(v) + "\r\n"; };
    return {line("active     : ", s.active),   line("action     : ", s.action),
            line("rules      : ", s.rules),    line("allow_io   : ", s.allow_io),
            line("allow_pr   : ", s.allow_pr), line("allow_net  : ", s.allow_net),
            line("initial    : ", s.initial)};
}

// The last line read_config traces for its settings.
constexpr char settings_end[] = "rules (net): ";

// Checks that the settings lines traced from `from` on are those of `expected`.
void expect_settings(const std::string& trace, size_t from, const Settings& expected)
{
    for (const std::string& line : settings_lines(expected))
        EXPECT_NE(trace.find(line, from), std::string::npos) << "missing " << line << "in\n" << trace.substr(from);
}

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string utf16le_with_bom(const std::u16string& text)
{
    std::string bytes = "\xFF\xFE";
    for (const uint8_t b : text::to_utf16le(text)) bytes.push_back(char(b));
    return bytes;
}

class HostProcesses : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : name)
            if (c == '/') c = '-';
        machine_ = std::make_unique<e2e::Machine>(name);
    }
    void TearDown() override { machine_.reset(); }

    e2e::Machine& machine() { return *machine_; }
    uint32_t start_program(std::vector<std::u16string> args) { return machine_->start(Program::zelmarusb, args); }
    std::string trace() const { return machine_->trace(); }

    // The suite's settings file in the suite configuration folder.
    std::filesystem::path cfg_json() const { return machine_->all_users_profile() / "halvar" / "cfg" / "cfg.json"; }
    std::filesystem::path monitor_log() const { return machine_->folder() / "monitor.log"; }

    // Starts the monitor answering "get_config" with `settings` and waits until it listens.
    uint32_t start_monitor(const std::string& settings)
    {
        const auto file = machine_->folder() / "settings.json";
        e2e::write_file(file, settings);
        const uint32_t pid = machine_->start(
            Program::halvarmon, {u"--settings", file.u16string(), u"--log", monitor_log().u16string()});
        EXPECT_NE(pid, 0u);
        EXPECT_TRUE(machine_->trace_has("zelmar_comm_default_" + std::to_string(pid) + "]")) << trace();
        return pid;
    }

private:
    std::unique_ptr<e2e::Machine> machine_;
};

TEST_F(HostProcesses, StartStopAndASecondStart)
{
    const uint32_t first = start_program({u"/start"});
    ASSERT_NE(first, 0u);
    ASSERT_TRUE(machine().trace_has("listener [\\\\.\\pipe\\zelmar_comm_default_" + std::to_string(first) + "]"));
    ASSERT_TRUE(machine().trace_has(settings_end)) << trace();

    // A second /start while one runs does nothing of its own and ends at once.
    const uint32_t second = start_program({u"/start"});
    int code = -1;
    ASSERT_TRUE(machine().ended_within(second, 10s, &code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(count(trace(), "*** USB STARTED."), 1u);

    // Only the first switch found acts: "/stop /start" stops the instance and starts none, so it
    // ends by itself.
    const uint32_t stopper = start_program({u"/stop", u"/start"});
    ASSERT_TRUE(machine().ended_within(stopper, 15s, &code));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(machine().trace_has("Stop result: 1\r\n", 1s)) << trace();

    // The running instance sees the request at its next 5-second poll.
    ASSERT_TRUE(machine().ended_within(first, 8s, &code)) << trace();
    EXPECT_EQ(code, 0);
    const std::string t = trace();
    const size_t stopped = t.find("*** USB STOPPED.");
    ASSERT_NE(stopped, std::string::npos) << t;
    EXPECT_NE(t.find("Exit.", stopped), std::string::npos) << t;
    EXPECT_EQ(count(t, "*** USB STARTED."), 1u);
}

// A machine whose folders another user can change (the platform root below a folder of nobody) is
// not taken charge of: /start says which folder and whose it is, and ends.
TEST_F(HostProcesses, StartRefusedBelowAFolderOfAnotherUser)
{
#ifdef _WIN32
    GTEST_SKIP() << "on Windows the rights of the program's folders are the installer's";
#else
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand a folder to nobody";
    ASSERT_EQ(::chown(machine().folder().c_str(), 65534, 65534), 0);
    const uint32_t pid = start_program({u"/start"});
    int code = -1;
    const bool ended = machine().ended_within(pid, 15s, &code);
    ASSERT_EQ(::chown(machine().folder().c_str(), 0, 0), 0);
    ASSERT_TRUE(ended) << trace();
    EXPECT_TRUE(machine().trace_has("Not started: the folder " + machine().folder().string() + " (owner nobody)", 1s))
        << trace();
    EXPECT_EQ(count(trace(), "*** USB STARTED."), 0u);
#endif
}

TEST_F(HostProcesses, StopWithoutARunningInstance)
{
    const uint32_t stopper = start_program({u"/stop"});
    int code = -1;
    ASSERT_TRUE(machine().ended_within(stopper, 15s, &code));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(machine().trace_has("Stop result: \r\n", 1s)) << trace();
}

// "/stop" ends the /start instance in bounded time whatever else holds it: the suite holding the
// settings-loading mutex for ever, a monitor that never answers, a client that connects to the
// instance's channel and says nothing. Each time a "cfg" is sent first, so that the listener is
// busy with a reload when the stop comes.
TEST_F(HostProcesses, StopEndsTheInstanceWhateverHoldsIt)
{
    enum class Holder { loading_mutex, hanging_monitor, silent_client };
    struct Case {
        const char* what;
        Holder holder;
    };
    const Case cases[] = {
        {"the suite holds the settings-loading mutex", Holder::loading_mutex},
        {"the monitor hangs", Holder::hanging_monitor},
        {"a client holds the channel", Holder::silent_client},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        e2e::write_file(cfg_json(), R"({"usb":{"active":1}})");
        const auto settings = machine().folder() / "settings.json";
        e2e::write_file(settings, R"({"usb":{"active":1}})");
        if (c.holder == Holder::loading_mutex)
            ASSERT_NE(machine().start(Program::halvarmon, {u"--hold-mutex", u"ZELMAR_LOADING_CONFIG_INP"}), 0u);
        if (c.holder == Holder::hanging_monitor)
            ASSERT_NE(machine().start(Program::halvarmon, {u"--settings", settings.u16string(), u"--hang-ms", u"600000"}), 0u);
        const uint32_t instance = start_program({u"/start"});
        ASSERT_NE(instance, 0u);
        ASSERT_TRUE(machine().trace_has("listener [\\\\.\\pipe\\zelmar_comm_default_" + std::to_string(instance) + "]"))
            << trace();

        std::thread reload([instance] {
            class_commp asker(2000, 2000);
            asker.AskText(instance, u"cfg", u"default", 30000);
        });
        platform::Handle client = platform::null_handle;
        if (c.holder == Holder::silent_client) {
            reload.join(); // the channel is free again; now a client takes it and says nothing
            auto& pipes = platform::pipes();
            const std::u16string path = class_commp::pipe_path(u"default", instance);
            for (int i = 0; i < 300 && pipes.open_client(path, client) != 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ASSERT_NE(client, platform::null_handle);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }

        const auto start = std::chrono::steady_clock::now();
        const uint32_t stopper = start_program({u"/stop"});
        int code = -1;
        // The listener is free within its own bounds (a reload or a silent client, about ten
        // seconds at most), then the instance sees the request at its next five-second poll.
        EXPECT_TRUE(machine().ended_within(instance, 30s, &code)) << trace();
        const auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
        EXPECT_LE(took.count(), 25) << trace();
        EXPECT_TRUE(machine().ended_within(stopper, 15s, &code));
        EXPECT_TRUE(machine().trace_has("Stop result: 1\r\n", 1s)) << trace();
        if (reload.joinable()) reload.join();
        if (client != platform::null_handle) platform::pipes().close(client);
    }
}

// "cfg" on the running instance's channel reloads the settings, now from the monitor.
TEST_F(HostProcesses, CfgReloadsTheSettings)
{
    e2e::write_file(cfg_json(), R"({"usb":{"active":1}})");
    const uint32_t instance = start_program({u"/start"});
    ASSERT_TRUE(machine().trace_has(settings_end)) << trace();
    const std::string at_start = trace();
    expect_settings(at_start, 0, {1, 0, 0, 0, 0, 0, 0});
    const size_t reload_from = at_start.find(settings_end) + 1;

    start_monitor(R"({"usb":{"active":"1"}})");
    class_commp asker(2000, 2000);
    EXPECT_EQ(asker.AskText(instance, u"cfg", u"default"), u"1");

    ASSERT_TRUE(machine().trace_has(settings_end)) << trace();
    const std::string t = trace();
    ASSERT_EQ(count(t, settings_end), 2u) << t;
    // The monitor's answer holds only "active": the others take their fallbacks.
    expect_settings(t, reload_from, {1, 2, 0, 1, 1, 1, 1});
    EXPECT_EQ(e2e::read_file(monitor_log()), "get_config\n");
}

// Where the settings come from at start, and how the settings file may be encoded.
struct SettingsSource {
    const char* name;
    std::string monitor_answer; // empty: no monitor runs
    std::string cfg_json;       // bytes of the settings file; empty: none
    Settings expected;
};
void PrintTo(const SettingsSource& source, std::ostream* out)
{
    *out << source.name;
}

class SettingsAtStart : public HostProcesses, public ::testing::WithParamInterface<SettingsSource> {};

TEST_P(SettingsAtStart, AreTraced)
{
    const SettingsSource& source = GetParam();
    if (!source.cfg_json.empty()) e2e::write_file(cfg_json(), source.cfg_json);
    if (!source.monitor_answer.empty()) start_monitor(source.monitor_answer);
    start_program({u"/start"});
    ASSERT_TRUE(machine().trace_has(settings_end)) << trace();
    expect_settings(trace(), 0, source.expected);
    if (!source.monitor_answer.empty()) {
        EXPECT_EQ(e2e::read_file(monitor_log()), "get_config\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, SettingsAtStart,
    ::testing::Values(
        // A monitor answer with "active" alone, as a text: the other members take their fallbacks.
        SettingsSource{"Monitor", R"({"usb":{"active":"1"}})", "", {1, 2, 0, 1, 1, 1, 1}},
        // No monitor: the settings file, in which a missing member reads as 0.
        SettingsSource{"FileUtf8", "", R"({"usb":{"active":1}})", {1, 0, 0, 0, 0, 0, 0}},
        // UTF-16LE with a byte-order mark; Polish letters in a rule's text.
        SettingsSource{"FileUtf16WithBom", "",
                       utf16le_with_bom(u"{\"usb\":{\"active\":1,\"action\":2,\"allow_io\":1,\"allow_printers\":0,"
                                        u"\"allow_network\":1,\"allow_initial\":0,"
                                        u"\"rules\":[[{\"opis\":\"Zażółć gęślą jaźń\"},1]]}}"),
                       {1, 2, 1, 1, 0, 1, 0}},
        // Windows-1250: "Pchnąć w tę łódź jeża" and rules with Polish letters, values as texts.
        SettingsSource{"FileWindows1250", "",
                       "{\"usb\":{\"opis\":\"Pchn\xB9\xE6 w t\xEA \xB3\xF3\x64\x9F je\xBF\x61\",\"active\":\"1\","
                       "\"action\":\"2\",\"allow_io\":\"0\",\"allow_printers\":\"1\",\"allow_network\":\"0\","
                       "\"allow_initial\":\"1\",\"rules\":[[{\"producent\":\"\xA3\xF3\x64\x9F\",\"opis\":\"g\xEA\x9C\"},"
                       "\"0\"],[{\"produkt\":\"\xBF\xF3\xB3w\"},1]]}}",
                       {1, 2, 2, 0, 1, 0, 1}}),
    [](const ::testing::TestParamInfo<SettingsSource>& info) { return std::string(info.param.name); });

} // namespace
