// The verdict on a newly plugged device, with the suite's menu and monitor running as real
// processes: who is asked, what is sent, what is recorded and reported.
#include "decision_fixture.h"

#include <atomic>
#include <condition_variable>
#include <future>
#include <optional>
#include <regex>

#include "app/app.h"
#include "host/files.h"
#include "host/processes.h"
#include "json/hostjson/json_node.h"
#include "platform/forwarding.h"
#include "platform/sync.h"
#include "policy/decision.h"
#include "policy/identity.h"

namespace {

using namespace policy_test;

const std::u16string stick =
    u"{\"DeviceDescriptor\":{\"Manufacturer\":\"Acme\",\"Product\":\"Flash Stick\",\"SerialNumber\":\"0001\"},"
    u"\"DeviceProperty\":{\"ClassName\":\"DiskDrive\",\"DeviceDescription\":\"Disk drive\"},\"Port\":3}";

UsbRule rule_for_product(const std::u16string& pattern, int32_t action)
{
    UsbRule r;
    clear_rule(r);
    r.produkt = pattern;
    r.action = action;
    return r;
}

class Decision : public DecisionMachine {
protected:
    // Files of the accept folder by extension.
    std::vector<fs::path> accept_files(const std::string& extension) const
    {
        std::vector<fs::path> found;
        std::error_code ec;
        for (auto it = fs::directory_iterator(accept(), ec); !ec && it != fs::directory_iterator(); it.increment(ec))
            if (it->path().extension() == extension) found.push_back(it->path());
        return found;
    }
    // The report's text (UTF-16LE on disk) as UTF-8.
    static std::string report_text(const fs::path& p)
    {
        const std::string bytes = read_file(p);
        return text::to_utf8(text::from_utf16le(std::span<const uint8_t>(
            reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())));
    }
};

TEST_F(Decision, OutcomesByRulesSettingsAndTheUsersAnswer)
{
    enum RuleKind { none, allowing, blocking };
    struct Case {
        const char* what;
        int32_t action;
        int32_t report_on_allow;
        RuleKind rule;
        const char* menu_answer;
        int verdict;
        bool asked;
        const char* rule_message;  // the start of the message to the monitor, or "" for none
        int report_level;           // 0: no report
        bool blocked_notice;
    };
    const Case cases[] = {
        {"allowing rule, reports on", 0, 1, allowing, "1", 1, false, "", 1, false},
        {"allowing rule, reports off", 0, 0, allowing, "1", 1, false, "", 0, false},
        {"blocking rule wins over asking", 2, 1, blocking, "1", 0, false, "", 3, true},
        {"no rule, action 0", 0, 0, none, "1", 0, false, "", 3, true},
        {"no rule, the user allows", 2, 1, none, "1", 1, true, "usb_device_add_rule1:", 1, false},
        {"no rule, the user allows, reports off", 2, 0, none, "1", 1, true, "usb_device_add_rule1:", 0, false},
        {"no rule, the user blocks", 2, 0, none, "0", 0, true, "usb_device_add_rule0:", 3, false},
        {"no rule, the menu gives no answer", 2, 0, none, "none", 0, true, "usb_device_add_rule0:", 3, false},
        {"no rule, action 1, reports off", 1, 0, none, "1", 1, false, "", 0, false},
        {"no rule, action 1, reports on", 1, 1, none, "1", 1, false, "", 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        fs::remove(menu_log());
        fs::remove(monitor_log());
        start_menu(c.menu_answer);
        start_monitor();
        {
            std::lock_guard<std::recursive_mutex> lock(settings_lock());
            g_settings.action = c.action;
            g_settings.report_on_allow = c.report_on_allow;
            if (c.rule != none) main_rules.push_back(rule_for_product(u"flash", c.rule == allowing ? 1 : 0));
        }

        EXPECT_EQ(zelmusb_decision(&stick), c.verdict);
        notification_threads().WaitAll();

        const auto menu = log_lines(menu_log());
        const auto monitor = log_lines(monitor_log());
        const bool asked = std::any_of(menu.begin(), menu.end(), [](auto& l) { return starts_with(l, "ask_usb_device|{"); });
        const bool notice = std::any_of(menu.begin(), menu.end(), [](auto& l) { return starts_with(l, "usb_device_blocked|{"); });
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(notice, c.blocked_notice);
        EXPECT_EQ(menu.size(), size_t(asked) + size_t(notice));
        if (*c.rule_message) {
            ASSERT_EQ(monitor.size(), 1u);
            EXPECT_TRUE(starts_with(monitor[0], c.rule_message)) << monitor[0];
            EXPECT_NE(monitor[0].find("\"produkt\" : \"=Flash Stick\""), std::string::npos) << monitor[0];
        } else {
            EXPECT_TRUE(monitor.empty());
        }

        const auto files = reports();
        if (c.report_level == 0) {
            EXPECT_TRUE(files.empty());
        } else {
            ASSERT_EQ(files.size(), 1u);
            const std::string name = files[0].filename().string();
            EXPECT_EQ(name.substr(name.size() - 10), c.report_level == 1 ? "-1401.json" : "-1403.json");
            const std::string report = report_text(files[0]);
            EXPECT_NE(report.find(c.report_level == 1 ? "Podłączone urządzenie USB" : "Zablokowane urządzenie USB"),
                      std::string::npos);
            EXPECT_NE(report.find(std::string("\"action\" : ") + (c.verdict ? "1" : "0")), std::string::npos);
        }
        // Every decided device is recorded, whatever the verdict.
        EXPECT_EQ(accept_files(".json").size(), 1u);
        EXPECT_EQ(accept_files(".txt").size(), 1u);
        EXPECT_EQ(system_.lines_with(u">> New device, allow=" + text::format(u"%i", c.verdict)).size(), 1u);
        TearDown();
    }
}

// A sync family that holds long sleeps (the clean-up's ten seconds) until the test lets them go.
class HeldSleeps : public platform::ForwardingSync {
public:
    explicit HeldSleeps(platform::Sync& real) : ForwardingSync(real) {}
    void sleep(uint32_t ms) override
    {
        if (ms < 1000) return inner_.sleep(ms);
        std::unique_lock<std::mutex> l(lock_);
        ++held_;
        changed_.notify_all();
        changed_.wait(l, [&] { return released_; });
    }
    void wait_until_held(int count)
    {
        std::unique_lock<std::mutex> l(lock_);
        changed_.wait_for(l, std::chrono::seconds(30), [&] { return held_ >= count; });
    }
    void release()
    {
        std::lock_guard<std::mutex> l(lock_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    int held_ = 0;
    bool released_ = false;
};

// Every verdict leaves one trace line that names what decided it: the list and the position of the
// rule with its five patterns, the user's answer, the "action" default, capture or the policy off.
TEST_F(Decision, TraceNamesWhatDecided)
{
    enum Setup { rules_only, user_answers, capture_waits };
    struct Case {
        const char* what;
        Setup setup;
        int32_t active, action;
        std::vector<UsbRule>* list; // where the test's rules go, after one rule that never decides
        int32_t rule_action;
        bool document;
        std::string line;
    };
    const std::string allowed = "Verdict allow=1 for \"Flash Stick\", decided by ";
    const std::string blocked = "Verdict allow=0 for \"Flash Stick\", decided by ";
    const std::string flash = " (produkt \"flash\", producent \"\", numer \"\", klasa \"\", opis \"\")";
    const Case cases[] = {
        {"an io rule", rules_only, 1, 0, &io_rules, 1, true, allowed + "io rule 2"},
        {"a printers rule", rules_only, 1, 1, &printer_rules, 0, true, blocked + "printers rule 2"},
        {"a network rule", rules_only, 1, 0, &network_rules, 1, true, allowed + "network rule 2"},
        {"a main rule", rules_only, 1, 1, &main_rules, 0, true, blocked + "main rule 2"},
        {"an initial rule", rules_only, 1, 0, &initial_rules, 1, true, allowed + "initial rule 2"},
        {"the user's answer", user_answers, 1, 2, nullptr, 0, true, allowed + "the user's answer \"1\""},
        {"the default, no rule", rules_only, 1, 0, nullptr, 0, true, blocked + "default action 0 (no rule)"},
        {"the default, no document", rules_only, 1, 1, nullptr, 0, false,
         "Verdict allow=1 for <none>, decided by default action 1 (no device document)"},
        {"capture", capture_waits, 1, 0, &main_rules, 0, true, allowed + "capture"},
        {"the policy off", rules_only, 0, 0, &main_rules, 0, true,
         "Verdict allow=1 for <not read>, decided by policy off"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        testchild::Child capture;
        if (c.setup == user_answers) {
            fs::remove(menu_log());
            start_menu("1");
            start_monitor();
        }
        if (c.setup == capture_waits) {
            ASSERT_TRUE(capture.start_program(testchild::built_program_path(ZELMUSCAPTURE), {"--hold-ms", "60000"}));
            for (int i = 0; i < 3000 && !MutexPresent(capture_mutex); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ASSERT_TRUE(MutexPresent(capture_mutex));
        }
        {
            std::lock_guard<std::recursive_mutex> lock(settings_lock());
            g_settings.active = c.active;
            g_settings.action = c.action;
            g_settings.allow_io = g_settings.allow_printers = g_settings.allow_network = g_settings.allow_initial = 1;
            if (c.list) {
                c.list->push_back(rule_for_product(u"=Other", 0));
                c.list->push_back(rule_for_product(u"flash", c.rule_action));
            }
        }
        // A capture starts the clean-up of the handed-over file, which sleeps ten seconds holding
        // its mutex: held here and let go, so that no clean-up outlives the case.
        HeldSleeps held_sleeps(platform::sync());
        std::optional<platform::Override<platform::Sync>> hold;
        if (c.setup == capture_waits) hold.emplace(&platform::Platform::sync, held_sleeps);
        zelmusb_decision(c.document ? &stick : nullptr);
        if (hold) {
            held_sleeps.wait_until_held(1);
            held_sleeps.release();
            host_threads().WaitAll();
            hold.reset();
        }
        notification_threads().WaitAll();
        const auto lines = system_.lines_with(u"Verdict allow=");
        ASSERT_EQ(lines.size(), 1u);
        const std::string expected = c.list && c.setup == rules_only && c.active ? c.line + flash : c.line;
        EXPECT_TRUE(lines[0].ends_with(expected + "\r\n")) << lines[0];
        EXPECT_NE(lines[0].find("zelmusb_decision"), std::string::npos) << "the decision's own prefix";
        capture.kill();
        TearDown();
    }
}

TEST_F(Decision, PolicyOffAllowsWithoutRecordingAnything)
{
    start_menu("0");
    start_monitor();
    g_settings.active = 0;
    g_settings.action = 0;
    main_rules.push_back(rule_for_product(u"", 0));
    EXPECT_EQ(zelmusb_decision(&stick), 1);
    notification_threads().WaitAll();
    EXPECT_FALSE(fs::exists(data()));
    EXPECT_TRUE(log_lines(menu_log()).empty());
    EXPECT_TRUE(log_lines(monitor_log()).empty());
    EXPECT_TRUE(system_.lines_with(u"New device").empty());
}

TEST_F(Decision, NoDocumentGivesTheDefaultOfTheActionSetting)
{
    for (int32_t action : {0, 1, 2}) {
        g_settings.action = action;
        EXPECT_EQ(zelmusb_decision(nullptr), action != 0 ? 1 : 0) << action;
    }
    EXPECT_FALSE(fs::exists(accept()) && !accept_files(".json").empty());
    EXPECT_TRUE(reports().empty());
    EXPECT_EQ(system_.lines_with(u">> New device, allow=").size(), 3u);
}

TEST_F(Decision, SecondArrivalAddsALineAndReplacesTheIdentity)
{
    g_settings.action = 1;
    g_settings.report_on_allow = 0;
    EXPECT_EQ(zelmusb_decision(&stick), 1);
    EXPECT_EQ(zelmusb_decision(&stick), 1);
    const auto logs = accept_files(".txt");
    ASSERT_EQ(logs.size(), 1u);
    const auto lines = log_lines(logs[0]);
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& l : lines) EXPECT_EQ(l.size(), 20u) << l;  // "YYYY.MM.DD hh:mm:ss" and CR
    const auto identities = accept_files(".json");
    ASSERT_EQ(identities.size(), 1u);
    // Named by the checksum; the identity as the host writes it, UTF-16LE without a byte-order mark.
    CJsonNode identity;
    UsbRule fields;
    clear_rule(fields);
    const std::u16string checksum = build_device_identity(stick, identity, fields);
    EXPECT_EQ(identities[0].filename().u16string(), checksum + u".json");
    EXPECT_EQ(read_file(identities[0]), [&] {
        const auto bytes = text::to_utf16le(identity.ToText(0));
        return std::string(bytes.begin(), bytes.end());
    }());
}

// What one decision writes, byte for byte: the identity file, the arrival line and the report. The
// machine's clock is the real one here, so each time stamp reads as "<time>".
TEST_F(Decision, WhatADecisionWritesByteForByte)
{
    const std::regex local_time(R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2})");
    auto timeless = [&](const std::string& s) { return std::regex_replace(s, local_time, "<time>"); };
    // The desktop's user is whoever runs explorer.exe on the machine the test runs on (nobody on a
    // model machine, the prefix's user under Wine).
    std::vector<std::u16string> users;
    CProcesses().DesktopUsers(users);
    const std::string user = users.empty() ? "" : text::to_utf8(users[0]);
    g_settings.action = 1;
    g_settings.report_on_allow = 1;
    EXPECT_EQ(zelmusb_decision(&stick), 1);

    const auto identities = accept_files(".json");
    ASSERT_EQ(identities.size(), 1u);
    EXPECT_EQ(identities[0].filename().string(), "4BFA4C3F05E2D4B57D192137F485D276A61404A4.json");
    EXPECT_EQ(report_text(identities[0]), "{\r\n"
                                          "    \"checksum\" : \"4BFA4C3F05E2D4B57D192137F485D276A61404A4\", \r\n"
                                          "    \"klasa\" : \"DiskDrive\", \r\n"
                                          "    \"numer\" : \"0001\", \r\n"
                                          "    \"opis\" : \"Disk drive\", \r\n"
                                          "    \"producent\" : \"Acme\", \r\n"
                                          "    \"produkt\" : \"Flash Stick\", \r\n"
                                          "    \"user\" : \"" + user + "\"\r\n"
                                          "}");
    const auto logs = accept_files(".txt");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(timeless(read_file(logs[0])), "<time>\r\n");
    const auto files = reports();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(files[0].filename().string(), std::regex(R"(\d{14}-\d{8}-[0-9a-f]{8}-1401\.json)")))
        << files[0];
    const std::string entries[][2] = {
        {"Producent", "Acme"},          {"Produkt", "Flash Stick"},
        {"Klasa", "DiskDrive"},         {"Opis", "Disk drive"},
        {"Numer seryjny", "0001"},      {"Suma kontrolna", "4BFA4C3F05E2D4B57D192137F485D276A61404A4"},
        {"Użytkownik", user},           {"Akcja", "Dopuszczone"},
    };
    std::string report = "{\r\n"
                         "    \"info\" : [\r\n"
                         "        {\r\n"
                         "            \"action\" : 1, \r\n"
                         "            \"checksum\" : \"4BFA4C3F05E2D4B57D192137F485D276A61404A4\", \r\n"
                         "            \"klasa\" : \"DiskDrive\", \r\n"
                         "            \"numer\" : \"0001\", \r\n"
                         "            \"opis\" : \"Disk drive\", \r\n"
                         "            \"producent\" : \"Acme\", \r\n"
                         "            \"produkt\" : \"Flash Stick\", \r\n"
                         "            \"time\" : \"<time>\", \r\n"
                         "            \"user\" : \"" + user + "\"\r\n"
                         "        }\r\n"
                         "    ], \r\n"
                         "    \"params\" : {\r\n"
                         "        \"date\" : \"<time>\", \r\n"
                         "        \"title\" : \"Podłączone urządzenie USB\"\r\n"
                         "    }, \r\n"
                         "    \"report\" : [";
    for (const auto& [event, value] : entries) {
        report += std::string(&event == &entries[0][0] ? "" : ", ") + "\r\n        {\r\n            \"event\" : \"" + event +
                  "\", \r\n            \"value\" : \"" + value + "\"\r\n        }";
    }
    report += "\r\n    ]\r\n}";
    EXPECT_EQ(timeless(report_text(files[0])), report);
}

TEST_F(Decision, CaptureHandsTheDeviceOverAndCleansUpLater)
{
    start_menu("0");
    start_monitor();
    HeldSleeps sync(platform::sync());
    platform::Override<platform::Sync> held(&platform::Platform::sync, sync);
    testchild::Child capture;
    ASSERT_TRUE(capture.start_program(testchild::built_program_path(ZELMUSCAPTURE), {"--hold-ms", "60000"}));
    for (int i = 0; i < 3000 && !MutexPresent(capture_mutex); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(MutexPresent(capture_mutex));

    g_settings.action = 0;  // would block, were rules consulted
    main_rules.push_back(rule_for_product(u"", 0));
    const std::u16string other = u"{\"DeviceDescriptor\":{\"Product\":\"Card reader \xD83D\xDE00\"}}";
    EXPECT_EQ(zelmusb_decision(&stick), 1);
    EXPECT_EQ(zelmusb_decision(&other), 1);  // within the ten seconds: replaces the file

    const fs::path handed = data() / "tmp" / "usbdevice.json";
    ASSERT_TRUE(fs::exists(handed));
    const std::string content = read_file(handed);
    // UTF-8, exact patterns, an empty text stays empty, the time stamp of 14 digits.
    EXPECT_NE(content.find("\"produkt\" : \"=Card reader \xF0\x9F\x98\x80\""), std::string::npos) << content;
    EXPECT_NE(content.find("\"producent\" : \"\""), std::string::npos) << content;
    EXPECT_NE(content.find("\"klasa\" : \"=-\""), std::string::npos) << content;
    const size_t stamp = content.find("\"timestamp\" : \"");
    ASSERT_NE(stamp, std::string::npos);
    EXPECT_EQ(content.find('"', stamp + 15), stamp + 15 + 14);

    // One clean-up waits; the second capture's thread saw its mutex and left.
    sync.wait_until_held(1);
    EXPECT_TRUE(MutexPresent(cleanup_mutex));
    EXPECT_TRUE(fs::exists(handed));
    sync.release();
    host_threads().WaitAll();
    EXPECT_FALSE(fs::exists(handed));
    EXPECT_FALSE(MutexPresent(cleanup_mutex));

    // Nothing of the decision proper: no question, no notice, no report, no trace line.
    notification_threads().WaitAll();
    EXPECT_TRUE(log_lines(menu_log()).empty());
    EXPECT_TRUE(log_lines(monitor_log()).empty());
    EXPECT_TRUE(reports().empty());
    EXPECT_TRUE(system_.lines_with(u"New device").empty());
    EXPECT_EQ(accept_files(".json").size(), 2u);  // the arrival is still recorded
    capture.kill();
}

// A "cfg" reload that arrives while the user is being asked does not wait for the answer (it
// would hold the pipe's commands, "stop" among them, for as long as the user takes); the decision
// runs to its end with the settings it started with.
TEST_F(Decision, ReloadDoesNotWaitForTheUsersAnswer)
{
    start_menu("1", 3000);
    start_monitor();  // answers "get_config" with nothing: the settings come from cfg.json
    const fs::path cfg = data() / "cfg" / "cfg.json";
    fs::create_directories(cfg.parent_path());
    {
        std::ofstream out(cfg, std::ios::binary);
        out << "{\"usb\":{\"active\":1,\"action\":0,\"report_on_allow\":0}}";
    }
    g_settings.action = 2;
    g_settings.report_on_allow = 1;

    std::atomic<int> order{0};
    int decision_end = 0, reload_end = 0;
    auto decision = std::async(std::launch::async, [&] {
        const int verdict = zelmusb_decision(&stick);
        decision_end = ++order;
        return verdict;
    });
    // The question is with the menu program now.
    for (int i = 0; i < 1000 && log_lines(menu_log()).empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(log_lines(menu_log()).empty());
    auto reload = std::async(std::launch::async, [&] {
        const std::u16string answer = HandleDefaultQuestion(0, u"cfg");
        reload_end = ++order;
        return answer;
    });
    EXPECT_EQ(reload.get(), u"1");
    EXPECT_EQ(decision.get(), 1);
    EXPECT_EQ(reload_end, 1);
    EXPECT_EQ(decision_end, 2);
    // The decision kept "report_on_allow" 1 to its end; afterwards the new settings hold.
    EXPECT_EQ(reports().size(), 1u);
    EXPECT_EQ(g_settings.action, 0);
    EXPECT_EQ(g_settings.report_on_allow, 0);
}

// Documents the driver could send that are broken or hostile: each gets the verdict of the rules
// (here: no rule decides, "action" 0 blocks) and is recorded.
TEST_F(Decision, BrokenDocumentsAreDecidedAndRecorded)
{
    std::u16string deep(100000, u'[');
    std::u16string big = u"{\"DeviceDescriptor\":{\"Product\":\"" + std::u16string(1 << 20, u'x') + u"\"}}";
    std::u16string surrogates = u"{\"DeviceDescriptor\":{\"Product\":\"a\xD800z\",\"Manufacturer\":\"\xDC00\"}}";
    const std::pair<const char*, std::u16string> cases[] = {
        {"not JSON", u"{\"DeviceDescriptor\":"},
        {"100000 levels", deep},
        {"1 MB product", big},
        {"lone surrogates", surrogates},
    };
    start_menu("1");
    start_monitor();
    g_settings.action = 0;
    g_settings.report_on_allow = 0;
    for (const auto& [what, document] : cases) {
        SCOPED_TRACE(what);
        const size_t before = reports().size();
        EXPECT_EQ(zelmusb_decision(&document), 0);
        EXPECT_EQ(reports().size(), before + 1);
    }
    notification_threads().WaitAll();
    // The first two have no readable section: one identity, the all-hyphen one.
    EXPECT_EQ(accept_files(".json").size(), 3u);
    EXPECT_EQ(log_lines(menu_log()).size(), 4u);  // one blocked notice each
}

} // namespace
