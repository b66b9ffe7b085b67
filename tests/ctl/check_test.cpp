// zelmusbctl's check reads the settings and rule lists as the program reads them: every mistake
// line the program traces while it loads them is among check's, with what the program takes in
// silence (a file cut short, a rule without patterns, "active" left out) besides; and the
// README's table of mistakes says what check says.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "../policy/policy_fixture.h"
#include "app/settings.h"
#include "host/files.h"
#include "platform/registry.h"
#include "settings_check.h"
#include "text/text.h"

namespace {

using policy_test::PolicyTest;

class Check : public PolicyTest {
protected:
    Check()
    {
        // The suite's root folder, for the rule lists bin\u_*.bin; under Wine the registry is the
        // prefix's, so the value it had is put back afterwards.
        auto& reg = platform::registry();
        platform::Handle k = platform::null_handle;
        EXPECT_EQ(reg.create_key(u"Software\\halvar", platform::key_access::all_access, k), 0u);
        had_root_ = reg.query_value(k, u"RootPath", old_type_, old_root_) == 0;
        const std::u16string root = data_.windows(u"suite");
        std::vector<uint8_t> value;
        for (char16_t c : root + std::u16string(1, u'\0')) {
            value.push_back(uint8_t(c));
            value.push_back(uint8_t(c >> 8));
        }
        EXPECT_EQ(reg.set_value(k, u"RootPath", platform::reg_type::sz, value), 0u);
        reg.close_key(k);
        std::filesystem::create_directories(data_.path() / "suite" / "bin");
    }
    ~Check() override
    {
        auto& reg = platform::registry();
        platform::Handle k = platform::null_handle;
        if (reg.open_key(u"Software\\halvar", platform::key_access::all_access, k) != 0) return;
        if (had_root_)
            reg.set_value(k, u"RootPath", old_type_, old_root_);
        else
            reg.delete_value(k, u"RootPath");
        reg.close_key(k);
    }
    bool had_root_ = false;
    uint32_t old_type_ = 0;
    std::vector<uint8_t> old_root_;

    // The settings file as an administrator writes it: UTF-8.
    void write_utf8_settings(const std::string& json)
    {
        std::filesystem::create_directories(data_folder() / "cfg");
        std::ofstream(data_folder() / "cfg" / "cfg.json", std::ios::binary) << json;
    }

    void write_rule_list(const char* name, const std::string& json)
    {
        std::ofstream(data_.path() / "suite" / "bin" / name, std::ios::binary) << json;
    }

    // The mistake lines the loader traced (those of policy/rule_check.h), their text only.
    std::vector<std::string> traced_mistakes() const
    {
        std::vector<std::string> found;
        for (const std::u16string& l : system_.lines) {
            const std::string line = text::to_utf8(l);
            if (line.find("trace_rule_mistakes") == std::string::npos &&
                line.find("trace_settings_mistakes") == std::string::npos)
                continue;
            std::string t = line.substr(line.find(" -> ") + 4);
            while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
            found.push_back(t);
        }
        return found;
    }

    static std::string joined(const std::vector<std::u16string>& lines)
    {
        std::string all;
        for (const auto& l : lines) all += text::to_utf8(l) + "\n";
        return all;
    }
};

TEST_F(Check, FindsWhatTheProgramTracesAndWhatItTakesInSilence)
{
    struct Case {
        const char* what;
        const char* settings; // cfg.json; nullptr: none
        const char* io_list;  // bin\u_io.bin; nullptr: none
        std::vector<const char*> expected; // each in one of check's lines; empty: no mistake
        bool active;                       // what "active" reads as
        const char* off;                   // in the reason protection is off; nullptr: it is on
    };
    const Case cases[] = {
        {"good settings", R"({"usb":{"active":1,"action":2,"rules":[[{"produkt":"Keyboard"},1]]}})", nullptr, {}, true,
         nullptr},
        {"no settings file", nullptr, nullptr, {"no settings file can be read"}, false, "no settings file"},
        {"\"USB\" for \"usb\"", R"({"USB":{"active":1}})", nullptr,
         {"has no object \"usb\" (it has \"USB\"; names are lower case)"}, false, "has no object \"usb\""},
        {"a boolean", R"({"usb":{"active":true,"action":2}})", nullptr,
         {"\"active\" of ", "is true or false, neither a number nor a text; it reads as 0"}, false,
         "\"active\" reads as 0"},
        {"a text without a number", R"({"usb":{"active":"yes","action":2}})", nullptr,
         {"is the text \"yes\", which holds no number"}, false, "\"active\" reads as 0"},
        {"\"active\" left out", R"({"usb":{"action":2}})", nullptr, {"has no \"active\"; it reads as 0"}, false,
         "\"active\" reads as 0"},
        {"an unknown setting", R"({"usb":{"active":1,"actoin":0}})", nullptr, {"\"actoin\" in \"usb\" of "}, true,
         nullptr},
        {"a misspelled rule key", R"({"usb":{"active":1,"rules":[[{"prodkt":"Acme"},0]]}})", nullptr,
         {"element 1 of \"rules\" in \"usb\" of ", "\"prodkt\" is not a rule key"}, true, nullptr},
        {"a rule without patterns", R"({"usb":{"active":1,"rules":[[{},1]]}})", nullptr,
         {"element 1 of \"rules\" in \"usb\" of ", "has no pattern: it matches every device and allows it"}, true,
         nullptr},
        {"an action that never decides", R"({"usb":{"active":1,"rules":[[{"produkt":"a"},"yes"]]}})", nullptr,
         {"the action reads as 0; 1 allows, 0 blocks"}, true, nullptr},
        {"a file cut short", R"({"usb":{"active":1,"rules":[[{"produkt":"a"},1])", nullptr,
         {"is not well-formed JSON"}, true, nullptr},
        {"a file that does not parse", "this is not JSON", nullptr, {"does not parse; every setting reads as 0"},
         false, "does not parse"},
        {"a mistake in the suite's list", R"({"usb":{"active":1}})", R"({"rules":[[{"Produkt":"x"},1]]})",
         {"element 1 of bin\\u_io.bin: \"Produkt\" is not a rule key", "which are lower case"}, true, nullptr},
        {"the suite's list cut short", R"({"usb":{"active":1}})", R"({"rules":[[{"produkt":"x"},1])",
         {"bin\\u_io.bin is not well-formed JSON"}, true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code ec;
        std::filesystem::remove(data_folder() / "cfg" / "cfg.json", ec);
        std::filesystem::remove(data_.path() / "suite" / "bin" / "u_io.bin", ec);
        if (c.settings) write_utf8_settings(c.settings);
        if (c.io_list) write_rule_list("u_io.bin", c.io_list);

        system_.lines.clear();
        // The loader retries a file that does not parse for seconds; what it traces of it is
        // not a mistake line of the rules and settings.
        if (c.settings && std::string_view(c.settings) != "this is not JSON") read_config();
        const ctl::SettingsCheck check = ctl::check_settings(u"", false);
        const std::string all = joined(check.mistakes);
        for (const std::string& traced : traced_mistakes())
            EXPECT_NE(all.find(traced), std::string::npos) << "traced but not reported: " << traced << "\n" << all;
        for (const char* e : c.expected) EXPECT_NE(all.find(e), std::string::npos) << e << "\n" << all;
        EXPECT_EQ(check.mistakes.empty(), c.expected.empty()) << all;
        EXPECT_EQ(bool(check.settings.active), c.active);
        if (c.off)
            EXPECT_NE(text::to_utf8(check.off).find(c.off), std::string::npos) << text::to_utf8(check.off);
        else
            EXPECT_TRUE(check.off.empty()) << text::to_utf8(check.off);
        // Nothing was changed: check restores nothing and writes nothing.
        if (c.settings) {
            std::ifstream in(data_folder() / "cfg" / "cfg.json", std::ios::binary);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.settings);
        }
    }
}

TEST_F(Check, AFileNamedIsCheckedInPlaceOfTheProgramsOwn)
{
    write_utf8_settings(R"({"usb":{"active":1}})");
    const std::filesystem::path other = data_.path() / "other.json";
    std::ofstream(other, std::ios::binary) << R"({"usb":{"active":1,"allow_io":"x"}})";
    const ctl::SettingsCheck check = ctl::check_settings(text::from_utf8(other.string()), false);
    ASSERT_EQ(check.mistakes.size(), 1u) << joined(check.mistakes);
    EXPECT_NE(text::to_utf8(check.mistakes[0]).find("\"allow_io\" of " + other.string()), std::string::npos);
    EXPECT_TRUE(ctl::check_settings(u"", false).mistakes.empty());
}

// The README's table of configuration mistakes: each row's settings, checked, give the row's
// message (the table is between the two marks; a row's settings and message are its second and
// third cells, in backquotes).
TEST_F(Check, ReadmeMistakesTableSaysWhatCheckSays)
{
    std::ifstream in(std::string(ZELMUSB_FIXTURES) + "/../../README.md");
    ASSERT_TRUE(in);
    bool inside = false;
    int rows = 0;
    const std::regex row(R"(^\| [^|]+ \| (`(.+)`|\(none\)) \| `(.+)` \|$)");
    for (std::string line; std::getline(in, line);) {
        if (line.find("<!-- check mistakes -->") != std::string::npos) inside = true;
        if (line.find("<!-- end of check mistakes -->") != std::string::npos) break;
        std::smatch m;
        if (!inside || !std::regex_match(line, m, row)) continue;
        SCOPED_TRACE(line);
        ++rows;
        std::error_code ec;
        std::filesystem::remove(data_folder() / "cfg" / "cfg.json", ec);
        if (m[2].matched) write_utf8_settings(m[2].str());
        const ctl::SettingsCheck check = ctl::check_settings(u"", false);
        EXPECT_NE(joined(check.mistakes).find(m[3].str()), std::string::npos) << joined(check.mistakes);
    }
    EXPECT_GE(rows, 5) << "the README's table of mistakes was not found";
}

} // namespace
