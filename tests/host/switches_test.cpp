#include <gtest/gtest.h>

#include "app/switches.h"
#include "text/text.h"

namespace {

TEST(FindSwitch, ValuesAndOrderOfSwitches)
{
    struct Case {
        const char16_t* line;
        const char16_t* sw;
        bool found;
        const char16_t* value;
    };
    const Case cases[] = {
        {u"/TEST:C:\\Dir\\A.json", u"/test:", true, u"c:\\dir\\a.json"},
        {u"/gud:\"C:\\My Files\\usb list.json\" /x", u"/gud:", true, u"c:\\my files\\usb list.json"},
        {u"/gud:C:\\My Files\\list.json", u"/gud:", true, u"c:\\my"},
        {u"/startup", u"/start", true, u""},
        {u"/test:c:/stop/rules.json", u"/test:", true, u"c:/stop/rules.json"},
        {u"/test:c:/stop/rules.json", u"/stop", true, u""},  // found too: the caller's order decides
        {u"/stop /start", u"/stop", true, u""},
        {u"", u"/start", false, u""},
        {u"/gud:", u"/gud:", true, u""},
        {u"/gud:\"unterminated path", u"/gud:", true, u"unterminated path"},
        {u"/UNINSTALL", u"/uninstall", true, u""},
        {u"/ŁÓDŹ:Żółw", u"/łódź:", true, u"żółw"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(text::to_utf8(c.line) + " / " + text::to_utf8(c.sw));
        std::u16string value = u"stale";
        EXPECT_EQ(find_switch(c.line, c.sw, value), c.found);
        EXPECT_EQ(value, c.value);
    }
}

} // namespace
