// What a wait for a verdict is waiting for, said while it lasts. A verdict can take as long as the
// driver waits for the program (two minutes), most of it while the user is asked; without a word
// that looks like a hang. A quick verdict says nothing: the first line comes after a second, then
// one at each change and a reminder every 30 seconds, on standard error, so that the lines that
// scripts read ("request N", "verdict ...") stay as they are.
//
//   request 3: the driver holds the device and waits for the program to take it
//   request 3: the program has it and decides by its rules and settings
//   request 3: the program asks the user (halvarmenu.exe); the driver decides by itself after 120 s
//   request 3: still waiting after 30 s; the driver decides by itself after 120 s
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "driver_client.h"

namespace driver_client {

class WaitNarrator {
public:
    // `driver_wait_ms`: how long the driver waits for the program before its own default.
    // `user_asked`: whether the program is asking the user now. `say`: one line.
    WaitNarrator(uint64_t request, uint32_t driver_wait_ms, std::function<bool()> user_asked,
                 std::function<void(const std::string&)> say);
    // Called with each poll of a pending verdict and the time waited so far.
    void operator()(const Verdict& v, uint32_t waited_ms);

    static constexpr uint32_t quiet_ms = 1000;
    static constexpr uint32_t reminder_ms = 30000;

private:
    enum class Phase { none, held, deciding, asking };
    std::string line(Phase phase) const;

    uint64_t request_;
    uint32_t driver_wait_s_;
    std::function<bool()> user_asked_;
    std::function<void(const std::string&)> say_;
    Phase said_ = Phase::none;
    uint32_t last_said_ms_ = 0;
};

// Whether the suite's menu program is answering a question on its channel "usb_device" now (its
// pipe's busy mutex exists): while the program waits for the user, it does.
bool menu_is_asking();

// "usbsim: " and the line on standard error, at once.
void say_on_stderr(const std::string& line);

} // namespace driver_client
