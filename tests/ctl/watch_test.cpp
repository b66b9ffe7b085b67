// watch reads the verdict lines of the program's trace, whatever the product name holds.
#include <gtest/gtest.h>

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

} // namespace
