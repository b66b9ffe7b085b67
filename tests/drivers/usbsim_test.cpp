// usbsim as a program against the loaded driver: its output and exit codes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "../support/fresh_machine.h"
#include "loaded_driver.h"

namespace {

struct Ran {
    int exit_code;
    std::string out;
};

Ran usbsim(const std::string& args, const platform_test::TempFolder& folder)
{
    const auto out = folder.path() / "out.txt";
    const std::string program = text::to_utf8(platform_test::built_program(USBSIM));
#ifdef _WIN32
    const std::string command = "\"\"" + program + "\" " + args + " > \"" + out.string() + "\" 2>&1\"";
#else
    const std::string command = "'" + program + "' " + args + " > '" + out.string() + "' 2>&1";
#endif
    int status = std::system(command.c_str());
#ifndef _WIN32
    status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    std::string text = platform_test::read_text_file(out);
    std::erase(text, '\r'); // Windows' text-mode output
    return {status, text};
}

TEST(Usbsim, RaisesDevicesAndPrintsVerdictsAndTheJournal)
{
    platform_test::TempFolder folder;
    {
        std::ofstream doc(folder.path() / "device.json", std::ios::binary);
        doc << "{\"DeviceDescriptor\":{\"idVendor\":1921,\"idProduct\":21863,\"bcdDevice\":256,\"Product\":\"Zażółć\"}}";
    }
    const std::string device = "\"" + (folder.path() / "device.json").string() + "\"";

    driver_test::LoadedDriver driver;
    ASSERT_EQ(0u, driver.error()) << driver.failed_step();

    struct Case {
        const char* what;
        std::string args;
        int exit_code;
        std::vector<std::string> lines; // each found in the output
    };
    const Case cases[] = {
        {"raise prints the request id", "raise " + device, 0, {"request 1\n"}},
        {"with --wait also the verdict", "raise " + device + " --wait", 0,
         {"request 2\n", "verdict allowed (no user test registered)\n"}},
        {"a hub", "raise " + device + " --hub --wait", 0, {"request 3\n", "verdict allowed"}},
        {"state prints the journal", "state", 0,
         {"user test: off", "next id 4", "TEST_RAISE -> 0 request 3", "request 2 verdict allowed (no user test registered)"}},
        {"a missing document", "raise \"" + (folder.path() / "none.json").string() + "\"", 2, {"error 2"}},
        {"no document", "raise --wait", 1, {"usage:"}},
        {"an unknown verb", "plug", 1, {"usage:"}},
        {"state takes no arguments", "state x", 1, {"usage:"}},
    };
    Ran r;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        r = usbsim(c.args, folder);
        EXPECT_EQ(c.exit_code, r.exit_code) << r.out;
        for (const std::string& line : c.lines) EXPECT_NE(std::string::npos, r.out.find(line)) << r.out;
    }

    // Without a driver: the open error, exit 2.
    ASSERT_EQ(0u, driver.unload());
    r = usbsim("state", folder);
    EXPECT_EQ(2, r.exit_code) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("opening the driver failed: error 2")) << r.out;
}

} // namespace
