// Trace output: one line per call on the debugger output channel, prefixed with the thread, the
// function and the source line that wrote it:  "[ODS][0000abcd]  Class::Function:123 -> text\r\n".
#pragma once

#include <string>
#include <string_view>

#include "text/text.h"

// The function part of the prefix, from a compiler's signature text. An MSVC signature
// ("int __cdecl CzelmarusbApp::InitInstance(void)") is cut before its "(" and after "__cdecl",
// which leaves the blank that followed "__cdecl". Other compilers' signatures (GCC's
// "int CzelmarusbApp::InitInstance()") have no calling convention in them; they are cut to the same
// visible text: a blank and the qualified name.
std::u16string trace_function_name(std::string_view signature);

// "[ODS][%.8x] %s:%i -> " for the calling thread, the function and the line.
std::u16string trace_prefix(std::string_view signature, int line);

// Formats `format` with the arguments into a 4096-character line. A line that does not fit is
// replaced by prefix + " log buffer too small".
void TraceLine(const std::u16string& prefix, std::u16string_view format,
               std::span<const text::FormatArg> args = {});

template <class... Args>
void trace_line(const std::u16string& prefix, std::u16string_view format, const Args&... args)
{
    const text::FormatArg list[] = {text::FormatArg(args)..., text::FormatArg(0)};
    TraceLine(prefix, format, std::span<const text::FormatArg>(list, sizeof...(Args)));
}

#if defined(_MSC_VER)
#define ZELMUSB_FUNCSIG __FUNCSIG__
#else
#define ZELMUSB_FUNCSIG __PRETTY_FUNCTION__
#endif

// A trace line from the current function: TRACE(u"Stop result: %s", answer).
#define TRACE(...) trace_line(trace_prefix(ZELMUSB_FUNCSIG, __LINE__), __VA_ARGS__)

// The plain entry for one text: every "%" becomes "_", the text is cut to 128 characters, and the
// line carries _COUT's own name. The integer is accepted and ignored.
void _COUT(std::u16string_view text, int = 0);

// The clean-up _COUT applies: "%" becomes "_", and the text is cut to 128 characters.
std::u16string cout_text(std::u16string_view text);

// "%i" of a value.
std::u16string IntText(int value);

// The local time as "YYYY.MM.DD hh:mm:ss" (for people) and "YYYYMMDDhhmmss" (for names).
std::u16string LocalTimestamp();
std::u16string CompactTimestamp();
