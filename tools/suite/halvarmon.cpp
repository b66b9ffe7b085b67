// The suite's monitor program, scripted: answers "get_config" with the content of a settings file,
// every other question with "1", and writes each question it receives to a log, one per line.
//   halvarmon.exe [--settings <file, UTF-8>] [--log <file>]
#include <fstream>
#include <sstream>

#include "suite_common.h"

namespace {
std::u16string g_settings_path;
std::u16string g_log;

std::u16string answer(uint32_t, const std::u16string& question)
{
    suite::log_line(g_log, question);
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
    class_commp commp(2000, 2000);
    commp.text_handler = answer;
    commp.listen(u"default");
    return 0;
}
