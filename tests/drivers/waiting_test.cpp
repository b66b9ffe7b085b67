// usbsim's account of a long wait for a verdict: what it says, when, and that a quick verdict
// says nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "waiting.h"

namespace {

struct Poll {
    uint32_t waited_ms;
    bool fetched;
    bool asking;
};

TEST(UsbsimWaiting, SaysWhatTheVerdictWaitsForAtEachChange)
{
    struct Case {
        const char* what;
        std::vector<Poll> polls;
        std::vector<std::string> said;
    };
    const std::string held = "request 7: the driver holds the device and waits for the program to take it";
    const std::string deciding = "request 7: the program has it and decides by its rules and settings";
    const std::string asking =
        "request 7: the program asks the user (halvarmenu.exe); the driver decides by itself after 120 s";
    const Case cases[] = {
        {"a quick verdict says nothing", {{0, false, false}, {50, true, false}, {950, true, true}}, {}},
        {"the program never takes it", {{0, false, false}, {1000, false, false}, {1050, false, false}}, {held}},
        {"the user is asked", {{900, true, false}, {1000, true, false}, {1050, true, true}, {5000, true, true}},
         {deciding, asking}},
        {"the user's answer is no step back", {{1000, true, true}, {3000, true, false}, {3050, false, false}}, {asking}},
        {"a reminder every 30 s of the same state",
         {{1000, true, true}, {30950, true, true}, {31000, true, true}, {61000, true, true}},
         {asking, "request 7: still waiting after 31 s; the driver decides by itself after 120 s",
          "request 7: still waiting after 61 s; the driver decides by itself after 120 s"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool asking_now = false;
        std::vector<std::string> said;
        driver_client::WaitNarrator narrator(7, 120000, [&] { return asking_now; },
                                      [&](const std::string& line) { said.push_back(line); });
        for (const Poll& p : c.polls) {
            asking_now = p.asking;
            driver_client::Verdict v;
            v.state = ZD_VERDICT_PENDING;
            v.fetched = p.fetched;
            narrator(v, p.waited_ms);
        }
        EXPECT_EQ(said, c.said);
    }
}

TEST(UsbsimWaiting, AVerdictEndsTheAccount)
{
    std::vector<std::string> said;
    driver_client::WaitNarrator narrator(1, 120000, nullptr, [&](const std::string& line) { said.push_back(line); });
    driver_client::Verdict v;
    v.state = ZD_VERDICT_ANSWERED;
    v.fetched = true;
    narrator(v, 5000);
    EXPECT_TRUE(said.empty());
}

} // namespace
