#include "host/trace.h"

#include "platform/platform.h"
#include "platform/processes.h"
#include "platform/system.h"

namespace {
constexpr size_t trace_buffer_chars = 4096;
constexpr size_t cout_max_chars = 128;
} // namespace

std::u16string trace_function_name(std::string_view signature)
{
    std::string_view s = signature;
    if (const size_t paren = s.find('('); paren != std::string_view::npos && paren > 0) s = s.substr(0, paren);
    if (const size_t cc = s.find("__cdecl"); cc != std::string_view::npos && cc > 0) {
        s = s.substr(cc + 7);
    } else if (const size_t blank = s.rfind(' '); blank != std::string_view::npos) {
        // No calling convention in the text: keep the blank before the qualified name, as the
        // cut after "__cdecl" does.
        s = s.substr(blank);
    } else {
        return u" " + text::from_utf8(s);
    }
    return text::from_utf8(s);
}

std::u16string trace_prefix(std::string_view signature, int line)
{
    return text::format(u"[ODS][%.8x] %s:%i -> ", platform::processes().current_thread_id(),
                        trace_function_name(signature), line);
}

void TraceLine(const std::u16string& prefix, std::u16string_view format, std::span<const text::FormatArg> args)
{
    std::u16string message = text::vformat(format, args);
    // The formatting buffer holds 4096 characters with its terminator; a longer text is lost.
    if (message.size() >= trace_buffer_chars)
        message = u" log buffer too small";
    platform::system().debug_output(prefix + message + u"\r\n");
}

std::u16string cout_text(std::u16string_view message)
{
    std::u16string clean(message);
    for (char16_t& c : clean)
        if (c == u'%') c = u'_';
    if (clean.size() > cout_max_chars) clean.resize(cout_max_chars);
    return clean;
}

void _COUT(std::u16string_view message, int)
{
    TraceLine(trace_prefix(ZELMUSB_FUNCSIG, __LINE__), cout_text(message));
}

std::u16string IntText(int value)
{
    return text::format(u"%i", value);
}

std::u16string LocalTimestamp()
{
    const auto t = platform::system().local_time();
    return text::format(u"%.4i.%.2i.%.2i %.2i:%.2i:%.2i", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

std::u16string CompactTimestamp()
{
    const auto t = platform::system().local_time();
    return text::format(u"%.4i%.2i%.2i%.2i%.2i%.2i", t.year, t.month, t.day, t.hour, t.minute, t.second);
}
