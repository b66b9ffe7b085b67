// Mistakes a user makes in settings, rules and output paths: each is loaded or written exactly as
// before, and a trace line names it, since otherwise a misspelled key would let devices in and a
// lost output would look like success.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "../usbinventory/model_machine.h"
#include "app/app.h"
#include "app/driver_run.h"
#include "host/files.h"
#include "platform/files.h"
#include "platform/forwarding.h"
#include "policy/present.h"
#include "policy/rules.h"
#include "policy_fixture.h"

namespace {

using inventory_test::ModelMachine;
using policy_test::PolicyTest;

class Mistakes : public PolicyTest {
protected:
    // Every trace line with `part` in it.
    std::vector<std::string> lines_with(const std::string& part) const
    {
        std::vector<std::string> found;
        for (const auto& l : system_.lines) {
            const std::string line = text::to_utf8(l);
            if (line.find(part) != std::string::npos) found.push_back(line);
        }
        return found;
    }
    std::string all_lines() const
    {
        std::string all;
        for (const auto& l : system_.lines) all += text::to_utf8(l);
        return all;
    }
};

TEST_F(Mistakes, RuleElementsThatMatchMoreThanMeantAreNamedWithTheirPlace)
{
    struct Case {
        const char* what;
        const char* element;  // the second element of the user rules; the first is a good one
        const char* expected; // in a "Rules:" line; nullptr: no such line
        size_t loaded;        // user rules loaded: exactly as without the check
    };
    const Case cases[] = {
        {"a misspelled key", R"([{"prodkt":"Acme"},0])", "element 2 of \"rules\" in \"usb\" of ", 2},
        {"the same, its key named", R"([{"prodkt":"Acme"},0])",
         "\"prodkt\" is not a rule key (producent, produkt, numer, klasa, opis, dyski); it is not read, and a "
         "pattern left out matches every device",
         2},
        {"a key in upper case", R"([{"Produkt":"Acme"},0])", "\"Produkt\" is not a rule key (producent, produkt, numer, "
                                                              "klasa, opis, dyski), which are lower case",
         2},
        {"an English key", R"([{"product":"Acme","producent":"Zeta"},0])", "\"product\" is not a rule key", 2},
        {"patterns that are not an object", R"(["Acme",0])",
         "element 2 of \"rules\" in \"usb\" of cfg.json... its patterns are a text", 2},
        {"no action", R"([{"produkt":"Acme"}])", "is not [ {patterns}, action ]: it is not a rule", 1},
        {"an action in words", R"([{"produkt":"Acme"},"block"])", "the action reads as 0; 1 allows, 0 blocks", 2},
        {"the members the suite stores with a rule", R"([{"produkt":"=Acme","checksum":"AB12","user":"ann","etykieta":"x"},0])",
         nullptr, 2},
        {"drive letters", R"([{"produkt":"=Stick","dyski":"E"},1])", nullptr, 2},
        {"an action as a text", R"([{"produkt":"Acme"},"1"])", nullptr, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        system_.lines.clear();
        write_settings(std::string(R"({"usb":{"active":1,"rules":[[{"produkt":"Keyboard"},1],)") + c.element + "]}}");
        read_config();
        EXPECT_EQ(main_rules.size(), c.loaded);
        if (!c.expected) {
            EXPECT_TRUE(lines_with("Rules:").empty()) << all_lines();
            continue;
        }
        std::string expected = c.expected;
        // "cfg.json..." stands for the settings file's path, which the line names in full.
        const size_t dots = expected.find("cfg.json...");
        if (dots != std::string::npos)
            expected.replace(dots, 11, text::to_utf8(suite_config_folder(u"cfg.json")) + ":");
        EXPECT_EQ(lines_with(expected).size(), 1u) << all_lines();
    }
}

TEST_F(Mistakes, TheRulesTestInputIsNamedAsTheList)
{
    const std::u16string input = data_.windows(u"rules.json");
    ASSERT_EQ(WriteWholeFile(input, text::from_utf8(R"({"rules":[[{"produkt":"a"},1],[{"opis":"b"},1],[{"klass":"USB"},0]]})")), 1);
    write_settings(R"({"usb":{"active":1}})");
    test_rules_file(input);
    EXPECT_EQ(lines_with("Rules: element 3 of " + text::to_utf8(input) + ": \"klass\" is not a rule key").size(), 1u)
        << all_lines();
}

TEST_F(Mistakes, SettingsThatReadAsZeroSayWhy)
{
    struct Case {
        const char* what;
        const char* settings;
        const char* expected; // in a "Settings:" line; nullptr: no mistake is traced
        int32_t active;       // as read: the check changes nothing
    };
    const Case cases[] = {
        {"no \"usb\", but \"USB\"", R"({"USB":{"active":1}})",
         "has no object \"usb\" (it has \"USB\"; names are lower case); every setting reads as 0", 0},
        {"no \"usb\" at all", R"({"settings":{"active":1}})", "has no object \"usb\"; every setting reads as 0", 0},
        {"\"usb\" that is not an object", R"({"usb":[1,2]})", "\"usb\" of ", 0},
        {"a misspelled setting", R"({"usb":{"activ":1}})", "\"activ\" in \"usb\" of ", 0},
        {"a setting in upper case", R"({"usb":{"Active":1}})", "\"Active\" in \"usb\" of ", 0},
        {"true", R"({"usb":{"active":true}})", "is true or false, neither a number nor a text; it reads as 0", 0},
        {"a word", R"({"usb":{"active":"yes"}})", "is the text \"yes\", which holds no number; it reads as 0", 0},
        {"numbers and texts with numbers", R"({"usb":{"active":"1","action":2,"allow_io":" 0","rules":[]}})", nullptr, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        system_.lines.clear();
        write_settings(c.settings);
        read_config();
        EXPECT_EQ(g_settings.active, c.active);
        if (c.expected) {
            EXPECT_EQ(lines_with(c.expected).size(), 1u) << all_lines();
        } else {
            EXPECT_TRUE(lines_with("Settings: \"").empty() && lines_with("has no object").empty()) << all_lines();
        }
    }
}

// The native files family, except that every write takes nothing: a full disk.
class FullDisk : public platform::ForwardingFiles {
public:
    using ForwardingFiles::ForwardingFiles;
    platform::Error write(platform::Handle, const void*, uint32_t, uint32_t& w) override
    {
        w = 0;
        return platform::err::disk_full;
    }
};

TEST_F(Mistakes, OutputsThatCannotBeWrittenAreTracedWithPathAndCode)
{
    // A file where a folder of the path should be, folders where the outputs should be.
    std::filesystem::create_directories(data_.path() / "out" / "taken.json");
    std::filesystem::create_directories(data_.path() / "out" / "rules.json.blocked.json");
    { std::ofstream(data_.path() / "out" / "plain.txt") << "x"; }
    const std::u16string input = data_.windows(u"out\\rules.json");
    ASSERT_EQ(WriteWholeFile(input, text::from_utf8(R"({"rules":[[{"produkt":"a"},1]]})")), 1);
    write_settings(R"({"usb":{"active":1}})");
    ModelMachine machine(inventory_test::read_fixture("example_machine.json"));
    FullDisk full(platform::files());

    struct Case {
        const char* what;
        const char16_t* list; // the /gud: list, below the folder "out"; nullptr: the /test: result
        bool full_disk;
        const char* code;
    };
    const Case cases[] = {
        {"the list in a folder that cannot be made", u"plain.txt\\list.json", false, "error 3 (the folder does not exist"},
        {"the list where a folder is", u"taken.json", false, "error 5 (access denied"},
        {"the list on a full disk", u"list.json", true, "error 112 (the disk is full)"},
        {"the rules test result where a folder is", nullptr, false, "error 5 (access denied"},
        {"the rules test result on a full disk", nullptr, true, "error 112 (the disk is full)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        system_.lines.clear();
        const std::u16string out = c.list ? data_.windows(u"out\\") + c.list : input + u".blocked.json";
        if (!c.list && c.full_disk) std::filesystem::remove(data_.path() / "out" / "rules.json.blocked.json");
        std::optional<platform::Override<platform::Files>> disk;
        if (c.full_disk) disk.emplace(&platform::Platform::files, full);
        if (c.list) {
            // The list is generated, then cannot be written: only the failure is told.
            ASSERT_TRUE(create_facade());
            save_current_usb_list(out, false);
            destroy_facade();
            EXPECT_EQ(lines_with("Current USB list generated.").size(), 0u) << all_lines();
        } else {
            test_rules_file(input);
        }
        EXPECT_EQ(lines_with("Cannot write " + text::to_utf8(out) + ": " + c.code).size(), 1u) << all_lines();
        EXPECT_FALSE(std::filesystem::is_regular_file(std::filesystem::path(text::to_utf8(out))));
    }
}

} // namespace
