// UTF-16 texts as the W functions take them: wchar_t is 16 bits on Windows, so a char16_t string
// is passed as it is.
#pragma once

#include <string>
#include <windows.h>

#include "platform/errors.h"

namespace platform::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 code units");

inline const wchar_t* W(const std::u16string& s)
{
    return reinterpret_cast<const wchar_t*>(s.c_str());
}

inline std::u16string U(const wchar_t* s, size_t n)
{
    return std::u16string(reinterpret_cast<const char16_t*>(s), n);
}

inline std::u16string U(const wchar_t* s)
{
    return std::u16string(reinterpret_cast<const char16_t*>(s));
}

inline Handle to_handle(HANDLE h)
{
    return static_cast<Handle>(reinterpret_cast<uintptr_t>(h));
}

inline HANDLE from_handle(Handle h)
{
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(h));
}

// The calling thread's last error, never 0 after a failed call (a call that fails without saying
// why is still a failure).
inline Error last_error()
{
    const DWORD e = ::GetLastError();
    return e ? Error(e) : err::gen_failure;
}

} // namespace platform::win32
