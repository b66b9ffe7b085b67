#include "waiting.h"

#include <cstdio>

#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/processes.h"
#include "platform/sync.h"
#include "text/text.h"

namespace driver_client {

WaitNarrator::WaitNarrator(uint64_t request, uint32_t driver_wait_ms, std::function<bool()> user_asked,
                           std::function<void(const std::string&)> say)
    : request_(request), driver_wait_s_(driver_wait_ms / 1000), user_asked_(std::move(user_asked)), say_(std::move(say))
{
}

std::string WaitNarrator::line(Phase phase) const
{
    const std::string own = "the driver decides by itself after " + std::to_string(driver_wait_s_) + " s";
    std::string text = "request " + std::to_string(request_) + ": ";
    switch (phase) {
    case Phase::held: return text + "the driver holds the device and waits for the program to take it";
    case Phase::deciding: return text + "the program has it and decides by its rules and settings";
    case Phase::asking: return text + "the program asks the user (halvarmenu.exe); " + own;
    case Phase::none: break;
    }
    return text;
}

void WaitNarrator::operator()(const Verdict& v, uint32_t waited_ms)
{
    if (v.state != ZD_VERDICT_PENDING || waited_ms < quiet_ms) return;
    Phase now = !v.fetched ? Phase::held : user_asked_ && user_asked_() ? Phase::asking : Phase::deciding;
    // Once the user has answered, the program stores the answer and reports before the verdict
    // goes back: that is not a step back to the rules.
    if (now < said_) now = said_;
    if (now != said_) {
        say_(line(now));
        said_ = now;
        last_said_ms_ = waited_ms;
    } else if (waited_ms - last_said_ms_ >= reminder_ms) {
        say_("request " + std::to_string(request_) + ": still waiting after " + std::to_string(waited_ms / 1000) +
             " s; the driver decides by itself after " + std::to_string(driver_wait_s_) + " s");
        last_said_ms_ = waited_ms;
    }
}

bool menu_is_asking()
{
    auto& processes = platform::processes();
    std::vector<uint32_t> ids;
    if (processes.enumerate(ids) != platform::err::success) return false;
    for (uint32_t pid : ids) {
        platform::Handle h = platform::null_handle;
        if (processes.open(pid, h) != platform::err::success) continue;
        std::u16string name;
        const bool named = processes.module_base_name(h, name) == platform::err::success;
        for (char16_t& c : name) c = text::to_lower(c);
        const bool menu = named && name == u"halvarmenu.exe";
        processes.close(h);
        if (!menu) continue;
        // The listener's busy mutex, "busy_mutex_" + its pipe's name, exists while it answers.
        const std::u16string mutex = u"Global\\busy_mutex_zelmar_comm_usb_device_" + text::from_utf8(std::to_string(pid));
        platform::Handle m = platform::null_handle;
        const platform::Error e = platform::sync().open_mutex(mutex, m);
        if (e == platform::err::success) platform::sync().close(m);
        if (e == platform::err::success || e == platform::err::access_denied) return true;
    }
    return false;
}

void say_on_stderr(const std::string& line)
{
    std::fprintf(stderr, "usbsim: %s\n", line.c_str());
    std::fflush(stderr);
}

} // namespace driver_client
