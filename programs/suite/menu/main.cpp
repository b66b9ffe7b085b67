// halvarmenu.exe for Linux: the suite's menu program. The program asks it, by that name, on the
// channel "usb_device", whether the user allows a device ("ask_usb_device|<identity>") and tells it
// of a blocked one ("usb_device_blocked|<identity>"). It runs as root beside the service, with the
// service's platform root (where the program finds it), and puts each question to the user of the
// active local desktop session as a notification with "Allow" and "Block", shown through
// zelmusb-notify running as that user on that user's session bus.
//
// Answers: "1" for Allow only; the empty answer for Block, a dismissed notification, no answer
// within the limit, no session, or a notification that cannot be shown. With no session the
// question is shown nowhere else (`zelmusbctl watch --ask` is the console's way).
//
//   halvarmenu.exe [--answer-limit-ms N] [--session none|<uid>:<bus address>] [--notify <program>]
#include <cstdlib>
#include <cstring>
#include <string>

#include "answerer.h"
#include "desktop.h"
#include "host/trace.h"
#include "notification_text.h"
#include "text/text.h"

namespace {

// Safely inside the program's wait for the user (the driver's 120 s less the program's margin), so
// that an answer given at the last moment still reaches the driver in time.
constexpr uint32_t default_answer_limit_ms = 90000;
constexpr uint32_t notice_expire_ms = 10000;

uint32_t g_answer_limit_ms = default_answer_limit_ms;
std::string g_session;
std::string g_notify;

std::u16string u(const std::string& s)
{
    return text::from_utf8(s);
}

std::optional<bool> ask_on_desktop(const answerer::Question& q)
{
    const auto session = desktop::active_session(g_session);
    if (!session) {
        TRACE(u"No active local session: \"%s\" is not asked about (the empty answer)", q.produkt);
        return std::nullopt;
    }
    const menu::NotificationText t = menu::question_text(q);
    // The helper closes the notification at the limit; the extra seconds are for it to say so.
    const std::string outcome = desktop::run_as_user(
        *session, g_notify, {"ask", t.summary, t.body, std::to_string(g_answer_limit_ms)}, g_answer_limit_ms + 3000);
    TRACE(u"Asked user %u about \"%s\": %s", unsigned(session->uid), q.produkt,
          outcome.empty() ? std::u16string(u"no outcome") : u(outcome));
    if (outcome == "allow") return true;
    // Only what the user chose is kept as a rule that blocks the device for good (the monitor's).
    if (outcome == "block" && !desktop::record_block(text::to_utf8(q.checksum)))
        TRACE(u"The Block of \"%s\" cannot be recorded: it is not kept as a rule", q.produkt);
    return std::nullopt; // Block, dismissed, timed out or not shown: the empty answer
}

void tell_blocked(const answerer::Question& q)
{
    const auto session = desktop::active_session(g_session);
    if (!session) return;
    const menu::NotificationText t = menu::blocked_text(q);
    const std::string outcome = desktop::run_as_user(*session, g_notify,
                                                     {"tell", t.summary, t.body, std::to_string(notice_expire_ms)}, 5000);
    TRACE(u"Blocked notice for \"%s\" to user %u: %s", q.produkt, unsigned(session->uid),
          outcome.empty() ? std::u16string(u"no outcome") : u(outcome));
}

int usage()
{
    std::fputs("usage: halvarmenu.exe [--answer-limit-ms N] [--session none|<uid>:<bus address>] [--notify <program>]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    g_notify = desktop::own_folder() + "zelmusb-notify";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return usage();
        const std::string value = argv[++i];
        if (a == "--answer-limit-ms") {
            g_answer_limit_ms = uint32_t(std::strtoul(value.c_str(), nullptr, 10));
            if (g_answer_limit_ms == 0 || g_answer_limit_ms > default_answer_limit_ms) return usage();
        } else if (a == "--session") {
            g_session = value;
        } else if (a == "--notify") {
            g_notify = value;
        } else {
            return usage();
        }
    }
    TRACE(u"Menu: asking the desktop's user, %u ms at most per question", unsigned(g_answer_limit_ms));
    answerer::serve(ask_on_desktop, tell_blocked);
}
