// The examples of the README's guide, run: the files under examples/ are shown in the README as
// they are, the settings example gives the verdicts the guide's table says, and the rules test of
// the rules example writes the result the guide shows.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/app.h"
#include "host/files.h"
#include "policy/rules.h"
#include "policy_fixture.h"

namespace {

// The source tree: the fixtures folder is tests/fixtures.
std::filesystem::path source_file(const std::string& relative)
{
    return std::filesystem::path(ZELMUSB_FIXTURES).parent_path().parent_path() / relative;
}

std::string read_source(const std::string& relative)
{
    std::ifstream in(source_file(relative), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string without_cr(std::string s)
{
    std::erase(s, '\r');
    return s;
}

class ReadmeExamples : public policy_test::PolicyTest {
protected:
    std::string traced_mistakes() const
    {
        std::string found;
        for (const auto& l : system_.lines) {
            const std::string line = text::to_utf8(l);
            if (line.find("Rules: ") != std::string::npos || line.find("Settings: \"") != std::string::npos ||
                line.find("has no object") != std::string::npos || line.find("Cannot write") != std::string::npos)
                found += line;
        }
        return found;
    }
};

TEST_F(ReadmeExamples, TheReadmeShowsEachExampleAsItIs)
{
    const std::string readme = read_source("README.md");
    ASSERT_FALSE(readme.empty());
    for (const char* example : {"examples/cfg.json", "examples/rules.json", "examples/rules.json.blocked.json"}) {
        SCOPED_TRACE(example);
        const std::string content = read_source(example);
        ASSERT_FALSE(content.empty());
        EXPECT_NE(readme.find("```json\n" + content + "```\n"), std::string::npos);
        EXPECT_NE(readme.find(std::string("`") + example + "`"), std::string::npos);
    }
}

TEST_F(ReadmeExamples, TheSettingsExampleDecidesAsTheGuideSays)
{
    write_settings(read_source("examples/cfg.json"));
    read_config();
    EXPECT_EQ(traced_mistakes(), "");
    EXPECT_EQ(g_settings.active, 1);
    EXPECT_EQ(g_settings.action, 2);
    EXPECT_EQ(g_settings.allow_io, 1);
    EXPECT_EQ(g_settings.allow_printers, 1);
    EXPECT_EQ(g_settings.allow_network, 1);
    EXPECT_EQ(g_settings.report_on_allow, 1);
    EXPECT_EQ(g_settings.allow_initial, 1);
    ASSERT_EQ(main_rules.size(), 3u);

    struct Case {
        const char16_t* producent;
        const char16_t* produkt;
        const char16_t* numer;
        int32_t verdict; // 65535: no rule decides, "action" 2 asks the user
    };
    const Case cases[] = {
        {u"Logi", u"USB Keyboard", u"K-001", rule_allows},
        {u"ACME", u"Acme Flash Drive", u"F-002", rule_blocks},
        {u"Acme Corp", u"Acme Flash Drive", u"F-003", no_rule_decided},
        {u"Globex", u"Stick", u"4C530001", rule_allows},
        {u"Gizmo", u"Gadget", u"G-003", no_rule_decided},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(text::to_utf8(c.producent) + " / " + text::to_utf8(c.produkt));
        UsbRule device;
        device.producent = c.producent;
        device.produkt = c.produkt;
        device.numer = c.numer;
        device.klasa = u"USB";
        device.opis = std::u16string(c.producent) + u" " + c.produkt;
        EXPECT_EQ(match_rules(device, false), c.verdict);
    }
}

TEST_F(ReadmeExamples, TheRulesTestOfTheRulesExampleWritesWhatTheGuideShows)
{
    write_settings(read_source("examples/cfg.json"));
    const std::u16string input = data_.windows(u"rules.json");
    const std::string rules = read_source("examples/rules.json");
    ASSERT_EQ(WriteWholeFile(input, rules.data(), rules.size()), 1);
    test_rules_file(input);
    EXPECT_EQ(traced_mistakes(), "");
    // The example ends its last line, as a text file does; the program's output does not.
    EXPECT_EQ(without_cr(platform_test::read_text_file(data_.path() / "rules.json.blocked.json")) + "\n",
              read_source("examples/rules.json.blocked.json"));
}

} // namespace
