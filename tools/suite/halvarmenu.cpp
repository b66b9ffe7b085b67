// The suite's menu program, scripted: answers "ask_usb_device|..." on channel "usb_device" with a
// fixed answer ("1", "0" or nothing), optionally after a delay, and logs every message it gets.
//   halvarmenu.exe [--answer 1|0|none] [--delay-ms N] [--log <file>]
#include "platform/platform.h"
#include "platform/sync.h"
#include "suite_common.h"

namespace {
std::u16string g_answer = u"1";
uint32_t g_delay_ms = 0;
std::u16string g_log;

std::u16string answer(uint32_t, const std::u16string& question)
{
    suite::log_line(g_log, question);
    if (question.rfind(u"ask_usb_device|", 0) != 0) return {};
    if (g_delay_ms) platform::sync().sleep(g_delay_ms);
    return g_answer == u"none" ? std::u16string() : g_answer;
}
} // namespace

int suite_main(const suite::Args& args)
{
    g_answer = args.get(u"--answer", u"1");
    g_delay_ms = uint32_t(text::wtoi(args.get(u"--delay-ms", u"0")));
    g_log = args.get(u"--log");
    class_commp commp(2000, 2000);
    commp.text_handler = answer;
    commp.listen(u"usb_device");
    return 0;
}
