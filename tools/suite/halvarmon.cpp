// The suite's monitor program, scripted: answers "get_config" with the content of a settings file,
// every other question with "1", and writes each question it receives to a log, one per line.
//   halvarmon.exe [--settings <file, UTF-8>] [--log <file>] [--hang-ms <ms>] [--hold-mutex <name>]
// --hang-ms makes it take that long over every answer (a monitor that hangs); --hold-mutex has it
// hold the global mutex <name> for its life (as the suite holds its settings-loading mutex).
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "platform/sync.h"
#include "suite_common.h"

namespace {
std::u16string g_settings_path;
std::u16string g_log;
uint32_t g_hang_ms = 0;

std::u16string answer(uint32_t, const std::u16string& question)
{
    suite::log_line(g_log, question);
    if (g_hang_ms) platform::sync().sleep(g_hang_ms);
    if (question == u"get_config") {
        if (g_settings_path.empty()) return {};
        std::u16string text;
        CByteBuffer content;
        if (!ReadWholeFile(g_settings_path, content)) return {};
        return text::from_utf8(std::string_view(reinterpret_cast<const char*>(content.data()), content.size()));
    }
    return u"1";
}
} // namespace

int suite_main(const suite::Args& args)
{
    g_settings_path = args.get(u"--settings");
    g_log = args.get(u"--log");
    g_hang_ms = uint32_t(text::wtoi(args.get(u"--hang-ms", u"0")));
    platform::Handle held = platform::null_handle;
    if (const std::u16string name = args.get(u"--hold-mutex"); !name.empty())
        platform::sync().create_mutex(u"Global\\" + name, held);
    class_commp commp(2000, 2000);
    commp.text_handler = answer;
    commp.listen(u"default");
    return 0;
}
