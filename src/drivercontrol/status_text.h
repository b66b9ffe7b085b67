// The library's status texts for a failed operation: a message, "; err=0x", the code as eight
// upper-case hexadecimal digits, and a NUL character (the "%c" of the format the suite has always
// read), e.g. "Operation fail; err=0x00000002" followed by NUL. The texts are part of the
// library's interface: callers compare them byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "json/holder/json_holder.h"
#include "text/text.h"

namespace ZelmUsbVardoManager {

// "<message>; err=0x%08lX" and a NUL. The message is text, never a format.
inline std::u16string err_text(std::u16string_view message, uint32_t code)
{
    return text::format(u"%s; err=0x%08lX%c", message, code, u'\0');
}

// "Operation fail; err=0x%08lX" and a NUL: a Windows call or a driver request that failed.
inline std::u16string operation_fail_text(uint32_t code)
{
    return err_text(u"Operation fail", code);
}

// A JSON document error in the same form: its message and code.
inline std::u16string exception_text(const JsonHolderException& e)
{
    return err_text(e.message, e.code);
}

} // namespace ZelmUsbVardoManager
