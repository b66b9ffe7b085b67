// zelmusbctl's command line: help for the whole and for each command, and wrong use (exit 2)
// told apart from failure (exit 1) before anything is read or changed.
#include <gtest/gtest.h>

#include "../support/fresh_machine.h"
#include "ctl.h"

namespace {

TEST(Usage, HelpAndWrongUse)
{
    platform_test::FreshMachine machine;
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        const char* out; // in standard output; nullptr: nothing checked
        const char* err; // in standard error
    };
    const Case cases[] = {
        {{}, 2, "usage: zelmusbctl <command>", ""},
        {{"--help"}, 0, "Exit codes: 0 done, 1 failed, 2 usage.", ""},
        {{"list", "--help"}, 0, "usage: zelmusbctl list [--json]", ""},
        {{"allow", "-h"}, 0, "--permanent also adds a rule for it", ""},
        {{"watch", "--help"}, 0, "--ask answers the program's questions", ""},
        {{"frobnicate"}, 2, "usage: zelmusbctl <command>", "unknown command frobnicate"},
        {{"list", "extra"}, 2, nullptr, "usage: zelmusbctl list [--json]"},
        {{"list", "--jsno"}, 2, nullptr, "list: unknown option --jsno"},
        {{"why"}, 2, nullptr, "usage: zelmusbctl why <device>"},
        {{"why", "a", "b"}, 2, nullptr, "usage: zelmusbctl why <device>"},
        {{"allow", "1-2", "--port-bound"}, 2, nullptr, "usage: zelmusbctl allow"},
        {{"block", "1-2", "--permanent", "--port-bound", "--model-wide"}, 2, nullptr, "usage: zelmusbctl block"},
        {{"check", "a", "b"}, 2, nullptr, "usage: zelmusbctl check [settings file]"},
        {{"status", "now"}, 2, nullptr, "usage: zelmusbctl status"},
        {{"reload", "--force"}, 2, nullptr, "reload: unknown option --force"},
        {{"generate", "x"}, 2, nullptr, "usage: zelmusbctl generate [--write]"},
        {{"watch", "a", "b"}, 2, nullptr, "usage: zelmusbctl watch"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int code = ctl::ctl_main(c.args);
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(code, c.exit_code) << out << err;
        if (c.out) {
            EXPECT_NE(out.find(c.out), std::string::npos) << out;
        }
        EXPECT_NE(err.find(c.err), std::string::npos) << err;
    }
}

} // namespace
