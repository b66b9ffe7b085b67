// The environment, clocks, debugger output and SHA-1 on Windows.
#include <vector>

#include <windows.h>
// After windows.h:
#include <bcrypt.h>

#include "platform/native.h"
#include "platform/system.h"
#include "platform/win32/wide.h"

namespace platform::win32 {
namespace {

class Win32System final : public System {
public:
    Error environment(const std::u16string& name, std::u16string& value) override
    {
        std::vector<wchar_t> buf(256);
        for (int attempt = 0; attempt < 8; ++attempt) {
            ::SetLastError(0);
            const DWORD n = ::GetEnvironmentVariableW(W(name), buf.data(), DWORD(buf.size()));
            if (n == 0) {
                const DWORD e = ::GetLastError();
                if (e == ERROR_SUCCESS) {
                    value.clear(); // set, and empty
                    return err::success;
                }
                return Error(e);
            }
            if (n < buf.size()) {
                value = U(buf.data(), n);
                return err::success;
            }
            buf.resize(n); // n is the size needed, terminator included
        }
        return err::insufficient_buffer;
    }

    uint32_t tick_count() override { return ::GetTickCount(); }
    uint64_t tick_count64() override { return ::GetTickCount64(); }

    LocalTime local_time() override
    {
        SYSTEMTIME st{};
        ::GetLocalTime(&st);
        LocalTime lt;
        lt.year = st.wYear;
        lt.month = st.wMonth;
        lt.day_of_week = st.wDayOfWeek;
        lt.day = st.wDay;
        lt.hour = st.wHour;
        lt.minute = st.wMinute;
        lt.second = st.wSecond;
        lt.milliseconds = st.wMilliseconds;
        return lt;
    }

    void debug_output(const std::u16string& line) override { ::OutputDebugStringW(W(line)); }

    Error check_state_folders(std::u16string&, std::u16string&) override { return err::success; }

    Error sha1(std::span<const uint8_t> data, Sha1Digest& digest) override
    {
        // One provider for the process: opening it is the expensive part, and hash objects made
        // from it may be used on any thread.
        static BCRYPT_ALG_HANDLE provider = [] {
            BCRYPT_ALG_HANDLE h = nullptr;
            if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA1_ALGORITHM, nullptr, 0))) return BCRYPT_ALG_HANDLE(nullptr);
            return h;
        }();
        if (!provider) return err::not_supported;
        BCRYPT_HASH_HANDLE hash = nullptr;
        if (!BCRYPT_SUCCESS(::BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0))) return err::gen_failure;
        bool ok = true;
        // BCryptHashData takes 32-bit lengths: feed large inputs in pieces.
        size_t done = 0;
        while (ok && done < data.size()) {
            const ULONG piece = ULONG(std::min<size_t>(data.size() - done, 1u << 30));
            ok = BCRYPT_SUCCESS(::BCryptHashData(hash, const_cast<PUCHAR>(data.data() + done), piece, 0));
            done += piece;
        }
        ok = ok && BCRYPT_SUCCESS(::BCryptFinishHash(hash, digest.data(), ULONG(digest.size()), 0));
        ::BCryptDestroyHash(hash);
        return ok ? err::success : err::gen_failure;
    }
};

} // namespace
} // namespace platform::win32

namespace platform::backend {
System* native_system()
{
    static win32::Win32System system;
    return &system;
}
} // namespace platform::backend
