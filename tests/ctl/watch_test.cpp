// watch reads the verdict lines of the program's trace, whatever the product name holds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "watch.h"

namespace {

TEST(Watch, ReadsTheVerdictLinesOfTheTrace)
{
    struct Case {
        const char* what;
        const char* line;
        bool verdict;
        bool allowed;
        const char* device;
        const char* decider;
    };
    const Case cases[] = {
        {"a rule",
         "[ODS][0000abcd]  zelmusb_decision:125 -> Verdict allow=1 for \"USB Keyboard\", decided by main rule 1 "
         "(produkt \"keyboard\", producent \"\", numer \"\", klasa \"\", opis \"\")\r\n",
         true, true, "\"USB Keyboard\"",
         "main rule 1 (produkt \"keyboard\", producent \"\", numer \"\", klasa \"\", opis \"\")"},
        {"the user's answer", "x -> Verdict allow=0 for \"Stick\", decided by the user's answer \"0\"", true, false,
         "\"Stick\"", "the user's answer \"0\""},
        {"a product name with the separator in it",
         "x -> Verdict allow=0 for \"A, decided by B\", decided by default action 0 (no rule)", true, false,
         "\"A, decided by B\"", "default action 0 (no rule)"},
        {"the policy off", "x -> Verdict allow=1 for <not read>, decided by policy off", true, true, "<not read>",
         "policy off"},
        {"another line", "x -> >> New device, allow=1", false, false, "", ""},
        {"a verdict without its decider", "x -> Verdict allow=1 for \"X\"", false, false, "", ""},
        {"an allow that is no number", "x -> Verdict allow=x for \"X\", decided by y", false, false, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ctl::VerdictLine v;
        ASSERT_EQ(ctl::parse_verdict_line(c.line, v), c.verdict);
        if (!c.verdict) continue;
        EXPECT_EQ(v.allowed, c.allowed);
        EXPECT_EQ(v.device, c.device);
        EXPECT_EQ(v.decider, c.decider);
    }
}

// The last verdict of a device in a trace file, among other devices' and other lines.
TEST(Watch, FindsTheLastVerdictOfADevice)
{
    const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                       ("zelmusb-watch-" + std::to_string(std::rand()) + ".txt");
    std::ofstream(file, std::ios::binary)
        << "a -> Verdict allow=0 for \"Stick\", decided by default action 0 (no rule)\r\n"
           "a -> Verdict allow=1 for \"Mouse\", decided by main rule 1 (produkt \"Mouse\")\r\n"
           "a -> >> New device, allow=1\r\n"
           "a -> Verdict allow=1 for \"Stick\", decided by the user's answer \"1\"\r\n"
           "a -> Verdict allow=0 for \"Mouse\", decided by main rule 2 (produkt \"Mouse\")";
    const auto stick = ctl::last_verdict(file.string(), "\"Stick\"");
    ASSERT_TRUE(stick);
    EXPECT_TRUE(stick->allowed);
    EXPECT_EQ(stick->decider, "the user's answer \"1\"");
    const auto mouse = ctl::last_verdict(file.string(), "\"Mouse\"");
    ASSERT_TRUE(mouse);
    EXPECT_EQ(mouse->decider, "main rule 2 (produkt \"Mouse\")") << "the last line has no line end";
    EXPECT_FALSE(ctl::last_verdict(file.string(), "\"Keyboard\""));
    // Only the window at the end is read (a large trace is not read whole): the Stick lines lie
    // before the last 80 bytes, and a line cut by the window's start is no verdict.
    EXPECT_FALSE(ctl::last_verdict(file.string(), "\"Stick\"", 80));
    EXPECT_TRUE(ctl::last_verdict(file.string(), "\"Mouse\"", 80));
    EXPECT_FALSE(ctl::last_verdict((file.string() + ".none"), "\"Stick\""));
    std::filesystem::remove(file);
}

} // namespace
