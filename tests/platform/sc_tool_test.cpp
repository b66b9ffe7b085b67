// The sc tool over the emulated service control manager: its status block line for line as
// sc.exe prints it (the expected lines below were taken from sc.exe under Wine for services in the
// same states), the confirmation and failure texts, and the exit codes.
#ifndef _WIN32
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "../support/fresh_machine.h"
#include "../support/run_tool.h"
#include "platform/posix/services_admin.h"

namespace {

struct ToolRun {
    int exit_code = -1;
    std::vector<std::string> lines;
};

ToolRun run_sc(const platform_test::TempFolder& dir, const std::vector<std::string>& args)
{
    ToolRun run;
    std::vector<std::string> all = {ZELMUSB_SC_TOOL};
    all.insert(all.end(), args.begin(), args.end());
    std::string text;
    run.exit_code = platform_test::run_capturing(all, dir.path() / platform_test::unique_name("out"), text);
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        run.lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return run;
}

std::vector<std::string> status_block(const std::string& name, const std::string& type, const std::string& state,
                                      const std::string& exit_code)
{
    return {"SERVICE_NAME: " + name,
            "        TYPE               : " + type,
            "        STATE              : " + state,
            "        WIN32_EXIT_CODE    : " + exit_code,
            "        SERVICE_EXIT_CODE  : 0  (0x0)",
            "        CHECKPOINT         : 0x0",
            "        WAIT_HINT          : 0x0"};
}

class ScToolTest : public testing::Test {
protected:
    void TearDown() override { platform::posix::end_all_services(); }

    ToolRun sc(const std::vector<std::string>& args) { return run_sc(folder, args); }

    // Queries until the state line reads `state` (at most 10 s).
    ToolRun query_until(const std::string& name, const std::string& state)
    {
        ToolRun run;
        for (int i = 0; i < 200; ++i) {
            run = sc({"query", name});
            if (run.lines.size() > 2 && run.lines[2] == "        STATE              : " + state) break;
            ::usleep(50 * 1000);
        }
        return run;
    }

    platform_test::FreshMachine machine;
    platform_test::TempFolder folder;
};

TEST_F(ScToolTest, OwnProcessServiceThroughItsLife)
{
    const std::string name = "zelmsctest";
    ToolRun r = sc({"create", name, "binpath=", ZELMUSB_SERVICE_CHILD});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.lines, std::vector<std::string>{"[SC] CreateService SUCCESS"});

    r = sc({"query", name});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.lines, status_block(name, "10  WIN32_OWN_PROCESS", "1  STOPPED", "1077  (0x435)"));

    r = sc({"start", name});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.lines, status_block(name, "10  WIN32_OWN_PROCESS", "4  RUNNING", "0  (0x0)"));
    r = sc({"query", name});
    EXPECT_EQ(r.lines, status_block(name, "10  WIN32_OWN_PROCESS", "4  RUNNING", "0  (0x0)"));

    r = sc({"stop", name});
    EXPECT_EQ(r.exit_code, 0);
    ASSERT_GE(r.lines.size(), 3u);
    EXPECT_TRUE(r.lines[2] == "        STATE              : 3  STOP_PENDING" ||
                r.lines[2] == "        STATE              : 1  STOPPED")
        << r.lines[2];
    r = query_until(name, "1  STOPPED");
    EXPECT_EQ(r.lines, status_block(name, "10  WIN32_OWN_PROCESS", "1  STOPPED", "0  (0x0)"));

    r = sc({"delete", name});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.lines, std::vector<std::string>{"[SC] DeleteService SUCCESS"});
}

TEST_F(ScToolTest, KernelDriverAndFailures)
{
    // The type line names the kernel driver as Windows' sc.exe does (Wine's leaves the name out).
    ASSERT_EQ(sc({"create", "zelmdrv", "binpath=", ZELMUSB_SERVICE_CHILD, "type=", "kernel"}).exit_code, 0);
    EXPECT_EQ(sc({"start", "zelmdrv"}).lines, status_block("zelmdrv", "1  KERNEL_DRIVER", "4  RUNNING", "0  (0x0)"));

    struct Case {
        const char* what;
        std::vector<std::string> args;
        int code; // the Windows code; the exit status keeps its low eight bits
        std::vector<std::string> lines;
    };
    const std::string absent = (folder.path() / "absent.sys").string();
    const Case cases[] = {
        {"start of a running driver", {"start", "zelmdrv"}, 1056,
         {"[SC] StartService FAILED 1056:", "", "An instance of the service is already running.", ""}},
        {"create of a name that exists", {"create", "ZELMDRV", "binpath=", absent}, 1073,
         {"[SC] CreateService FAILED 1073:", "", "The specified service already exists.", ""}},
        {"query of a service that does not exist", {"query", "zelmnone"}, 1060,
         {"[SC] OpenService FAILED 1060:", "", "The specified service does not exist as an installed service.", ""}},
        {"an unknown type", {"create", "zelmbad", "binpath=", absent, "type=", "weird"}, 1639, {}},
        {"an option without its value", {"create", "zelmbad", "binpath="}, 1639, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ToolRun r = sc(c.args);
        EXPECT_EQ(r.exit_code, c.code & 0xFF);
        if (!c.lines.empty()) {
            EXPECT_EQ(r.lines, c.lines);
        }
    }

    ASSERT_EQ(sc({"stop", "zelmdrv"}).exit_code, 0);
    query_until("zelmdrv", "1  STOPPED");
    const ToolRun stopped = sc({"stop", "zelmdrv"});
    EXPECT_EQ(stopped.exit_code, 1062 & 0xFF);
    EXPECT_EQ(stopped.lines[0], "[SC] ControlService FAILED 1062:");
    EXPECT_EQ(sc({"delete", "zelmdrv"}).exit_code, 0);
    EXPECT_EQ(sc({"delete", "zelmdrv"}).exit_code, 1060 & 0xFF);

    const ToolRun missing = sc({"create", "zelmmissing", "binpath=", absent, "type=", "kernel"});
    ASSERT_EQ(missing.exit_code, 0);
    EXPECT_EQ(sc({"start", "zelmmissing"}).exit_code, 2);
}

} // namespace
#endif
