// Mutexes, events and waits: the Win32 calls as they are.
#include "platform/sync.h"

#include <windows.h>

#include "platform/native.h"
#include "platform/win32/wide.h"

namespace platform::win32 {
namespace {


// A create call's result: a new object, or 183 with the handle of the existing one.
Error created(HANDLE h, Handle& out)
{
    const DWORD e = ::GetLastError();
    if (!h) return e;
    out = to_handle(h);
    return e == ERROR_ALREADY_EXISTS ? err::already_exists : err::success;
}

Error wait_result(DWORD r, DWORD count, size_t& index)
{
    if (r < WAIT_OBJECT_0 + count) {
        index = r - WAIT_OBJECT_0;
        return err::success;
    }
    if (r >= WAIT_ABANDONED_0 && r < WAIT_ABANDONED_0 + count) {
        index = r - WAIT_ABANDONED_0;
        return err::abandoned_wait_0;
    }
    if (r == WAIT_TIMEOUT) return err::wait_timeout;
    return ::GetLastError();
}

class Win32Sync final : public Sync {
public:
    Error create_mutex(const std::u16string& name, Handle& out) override
    {
        out = null_handle;
        ::SetLastError(0);
        return created(::CreateMutexW(nullptr, FALSE, name.empty() ? nullptr : W(name)), out);
    }

    Error open_mutex(const std::u16string& name, Handle& out) override
    {
        out = null_handle;
        HANDLE h = ::OpenMutexW(MUTEX_ALL_ACCESS, FALSE, W(name));
        if (!h) return ::GetLastError();
        out = to_handle(h);
        return err::success;
    }

    Error create_event(bool manual_reset, bool initially_set, const std::u16string& name, Handle& out) override
    {
        out = null_handle;
        ::SetLastError(0);
        return created(::CreateEventW(nullptr, manual_reset, initially_set, name.empty() ? nullptr : W(name)), out);
    }

    Error set_event(Handle h) override { return ::SetEvent(from_handle(h)) ? err::success : ::GetLastError(); }
    Error reset_event(Handle h) override { return ::ResetEvent(from_handle(h)) ? err::success : ::GetLastError(); }

    Error open_event_of(uint32_t owner_pid, Handle value, Handle& out) override
    {
        out = null_handle;
        const bool own = owner_pid == ::GetCurrentProcessId();
        HANDLE owner = own ? ::GetCurrentProcess() : ::OpenProcess(PROCESS_DUP_HANDLE, FALSE, owner_pid);
        if (!owner) return ::GetLastError();
        HANDLE dup = nullptr;
        const BOOL ok = ::DuplicateHandle(owner, from_handle(value), ::GetCurrentProcess(), &dup, 0, FALSE,
                                          DUPLICATE_SAME_ACCESS);
        const DWORD e = ok ? 0 : ::GetLastError();
        if (!own) ::CloseHandle(owner);
        if (!ok) return e;
        out = to_handle(dup);
        return err::success;
    }

    Error close(Handle h) override { return ::CloseHandle(from_handle(h)) ? err::success : ::GetLastError(); }

    Error wait_any(const std::vector<Handle>& handles, uint32_t timeout_ms, size_t& index) override
    {
        index = 0;
        if (handles.empty() || handles.size() > max_wait_handles) return err::invalid_parameter;
        HANDLE list[max_wait_handles];
        for (size_t i = 0; i < handles.size(); ++i) list[i] = from_handle(handles[i]);
        const DWORD count = static_cast<DWORD>(handles.size());
        return wait_result(::WaitForMultipleObjects(count, list, FALSE, timeout_ms), count, index);
    }

    Error wait(Handle h, uint32_t timeout_ms) override
    {
        size_t index;
        return wait_result(::WaitForSingleObject(from_handle(h), timeout_ms), 1, index);
    }

    void sleep(uint32_t ms) override { ::Sleep(ms); }
};

} // namespace
} // namespace platform::win32

namespace platform::backend {
Sync* native_sync()
{
    static win32::Win32Sync* instance = new win32::Win32Sync; // never destroyed: used until exit
    return instance;
}
} // namespace platform::backend
