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
    // "[ODS][%.8x] %s:%i -> " of the thread, the function's name and the line.
    std::u16string prefix = u"[ODS][";
    text::append_hex(prefix, platform::processes().current_thread_id(), 8);
    prefix += u"] ";
    prefix += trace_function_name(signature);
    prefix.push_back(u':');
    text::append_decimal(prefix, line, 1);
    prefix += u" -> ";
    return prefix;
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

namespace {
// What "%.<digits>i" gives for a field of the local time (never negative), then `after`. A
// decision writes several time stamps; the general formatter costs more than all the rest of
// making them.
void append_field(std::u16string& out, uint16_t value, int digits, char16_t after)
{
    text::append_decimal(out, value, digits);
    if (after) out.push_back(after);
}
} // namespace

std::u16string LocalTimestamp()
{
    // "%.4i.%.2i.%.2i %.2i:%.2i:%.2i"
    const auto t = platform::system().local_time();
    std::u16string out;
    out.reserve(19);
    append_field(out, t.year, 4, u'.');
    append_field(out, t.month, 2, u'.');
    append_field(out, t.day, 2, u' ');
    append_field(out, t.hour, 2, u':');
    append_field(out, t.minute, 2, u':');
    append_field(out, t.second, 2, 0);
    return out;
}

std::u16string CompactTimestamp()
{
    // "%.4i%.2i%.2i%.2i%.2i%.2i"
    const auto t = platform::system().local_time();
    std::u16string out;
    out.reserve(14);
    append_field(out, t.year, 4, 0);
    append_field(out, t.month, 2, 0);
    append_field(out, t.day, 2, 0);
    append_field(out, t.hour, 2, 0);
    append_field(out, t.minute, 2, 0);
    append_field(out, t.second, 2, 0);
    return out;
}
