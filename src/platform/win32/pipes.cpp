// Named pipes: the Win32 calls, with overlapped I/O on client ends so that a read can be bounded.
#include "platform/pipes.h"

#include <windows.h>

#include <sddl.h>

#include <mutex>
#include <unordered_set>

#include "platform/native.h"
#include "platform/win32/wide.h"

namespace platform::win32 {
namespace {


// LocalSystem: all file access; Everyone: generic read and write.
constexpr wchar_t system_and_everyone_sddl[] = L"D:(A;;0x1F01FF;;;SY)(A;;0xC0000000;;;WD)";

// "\\.\pipe\" and a name after it. Checked here so that both backends refuse the same paths
// (Wine answers an empty name with 6 and creates a pipe with 0 instances).
bool is_pipe_path(const std::u16string& path)
{
    static constexpr char16_t prefix[] = u"\\\\.\\pipe\\";
    constexpr size_t n = sizeof prefix / sizeof prefix[0] - 1;
    if (path.size() <= n) return false;
    for (size_t i = 0; i < n; ++i) {
        char16_t c = path[i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
        if (c != prefix[i]) return false;
    }
    return true;
}

// An elevated token, or LocalSystem's.
bool token_privileged(HANDLE token)
{
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) && elevation.TokenIsElevated)
        return true;
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    if (!::GetTokenInformation(token, TokenUser, user, sizeof user, &size)) return false;
    return ::IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, WinLocalSystemSid) != FALSE;
}

// One overlapped operation with its own event.
class Overlapped {
public:
    Overlapped() { ov_.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped()
    {
        if (ov_.hEvent) ::CloseHandle(ov_.hEvent);
    }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;

    bool ok() const { return ov_.hEvent != nullptr; }
    OVERLAPPED* get() { return &ov_; }

    // Finishes the operation that `started` (the call's result) began; with a time-out the I/O is
    // cancelled when it passes. `done` gets the bytes moved, also with ERROR_MORE_DATA.
    Error finish(HANDLE h, BOOL started, uint32_t timeout_ms, DWORD& done)
    {
        done = 0;
        if (!started) {
            const DWORD e = ::GetLastError();
            if (e != ERROR_IO_PENDING && e != ERROR_MORE_DATA) return e;
        }
        bool timed_out = false;
        if (::WaitForSingleObject(ov_.hEvent, timeout_ms) == WAIT_TIMEOUT) {
            timed_out = true;
            ::CancelIoEx(h, &ov_);
        }
        if (::GetOverlappedResult(h, &ov_, &done, TRUE)) return err::success;
        const DWORD e = ::GetLastError();
        // A read that was cancelled moved nothing: the message waits for the next read whole.
        if (timed_out && e == ERROR_OPERATION_ABORTED) return err::timeout;
        return e;
    }

private:
    OVERLAPPED ov_{};
};

// Gives up the synchronous I/O the calling thread starts next (a WriteFile or FlushFileBuffers on
// a server instance) when it has not ended within the time-out: a helper thread cancels it.
class SynchronousLimit {
public:
    explicit SynchronousLimit(uint32_t timeout_ms) : timeout_ms_(timeout_ms)
    {
        if (timeout_ms_ == infinite) return;
        if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &thread_, 0, FALSE,
                               DUPLICATE_SAME_ACCESS))
            return;
        done_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (done_) helper_ = ::CreateThread(nullptr, 0, &SynchronousLimit::run, this, 0, nullptr);
    }
    // Called right after the I/O returned; after it no cancel can reach a later call.
    bool finished()
    {
        if (helper_) {
            ::SetEvent(done_);
            ::WaitForSingleObject(helper_, INFINITE);
        }
        return fired_;
    }
    ~SynchronousLimit()
    {
        if (helper_) ::CloseHandle(helper_);
        if (done_) ::CloseHandle(done_);
        if (thread_) ::CloseHandle(thread_);
    }
    SynchronousLimit(const SynchronousLimit&) = delete;
    SynchronousLimit& operator=(const SynchronousLimit&) = delete;

private:
    static DWORD WINAPI run(void* p)
    {
        auto* self = static_cast<SynchronousLimit*>(p);
        if (::WaitForSingleObject(self->done_, self->timeout_ms_) != WAIT_TIMEOUT) return 0;
        self->fired_ = true;
        // The I/O may not have begun yet: keep cancelling until the caller says it returned.
        while (::WaitForSingleObject(self->done_, 0) == WAIT_TIMEOUT) {
            ::CancelSynchronousIo(self->thread_);
            ::Sleep(10);
        }
        return 0;
    }

    uint32_t timeout_ms_;
    HANDLE thread_ = nullptr;
    HANDLE done_ = nullptr;
    HANDLE helper_ = nullptr;
    bool fired_ = false;
};

class Win32Pipes final : public Pipes {
public:
    Error create_server(const std::u16string& path, const PipeServerOptions& options, Handle& server) override
    {
        server = null_handle;
        if (!is_pipe_path(path)) return err::invalid_name;
        if (options.max_instances < 1 || options.max_instances > PIPE_UNLIMITED_INSTANCES) return err::invalid_parameter;
        SECURITY_ATTRIBUTES sa{};
        sa.nLength = sizeof sa;
        sa.bInheritHandle = options.inheritable;
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (options.system_and_everyone) {
            if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(system_and_everyone_sddl, SDDL_REVISION_1,
                                                                          &sd, nullptr))
                return ::GetLastError();
            sa.lpSecurityDescriptor = sd;
        }
        HANDLE h = ::CreateNamedPipeW(W(path), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                      options.max_instances, options.out_buffer_size, options.in_buffer_size,
                                      options.default_timeout_ms, &sa);
        const DWORD e = ::GetLastError();
        if (sd) ::LocalFree(sd);
        if (h == INVALID_HANDLE_VALUE) return e;
        server = to_handle(h);
        return err::success;
    }

    Error connect(Handle server) override
    {
        if (::ConnectNamedPipe(from_handle(server), nullptr)) return err::success;
        const DWORD e = ::GetLastError();
        return e == ERROR_PIPE_CONNECTED ? err::success : e;
    }

    Error disconnect(Handle server) override
    {
        return ::DisconnectNamedPipe(from_handle(server)) ? err::success : ::GetLastError();
    }

    Error open_client(const std::u16string& path, Handle& client) override
    {
        client = null_handle;
        HANDLE h = ::CreateFileW(W(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) return ::GetLastError();
        std::lock_guard lock(m_);
        overlapped_.insert(h);
        client = to_handle(h);
        return err::success;
    }

    Error set_message_mode(Handle client) override
    {
        DWORD mode = PIPE_READMODE_MESSAGE;
        return ::SetNamedPipeHandleState(from_handle(client), &mode, nullptr, nullptr) ? err::success : ::GetLastError();
    }

    Error peek(Handle h, uint32_t& available, uint32_t& left_in_message) override
    {
        DWORD avail = 0, left = 0;
        available = left_in_message = 0;
        if (!::PeekNamedPipe(from_handle(h), nullptr, 0, nullptr, &avail, &left)) return ::GetLastError();
        available = avail;
        left_in_message = left;
        return err::success;
    }

    Error read(Handle h, void* buffer, uint32_t size, uint32_t& read, uint32_t timeout_ms) override
    {
        read = 0;
        HANDLE native = from_handle(h);
        if (is_overlapped(native)) {
            Overlapped ov;
            if (!ov.ok()) return ::GetLastError();
            DWORD done = 0;
            const Error e = ov.finish(native, ::ReadFile(native, buffer, size, nullptr, ov.get()), timeout_ms, done);
            read = done;
            return e;
        }
        if (timeout_ms != infinite) {
            // A synchronous server instance: wait for bytes by peeking, then read what came.
            const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
            for (;;) {
                DWORD avail = 0;
                if (!::PeekNamedPipe(native, nullptr, 0, nullptr, &avail, nullptr) || avail > 0) break;
                if (::GetTickCount64() >= deadline) return err::timeout;
                ::Sleep(5);
            }
        }
        DWORD done = 0;
        const BOOL ok = ::ReadFile(native, buffer, size, &done, nullptr);
        read = done;
        return ok ? err::success : ::GetLastError();
    }

    Error write(Handle h, const void* data, uint32_t size, uint32_t& written, uint32_t timeout_ms) override
    {
        written = 0;
        if (size > max_pipe_message) return err::invalid_parameter;
        HANDLE native = from_handle(h);
        DWORD done = 0;
        if (is_overlapped(native)) {
            Overlapped ov;
            if (!ov.ok()) return ::GetLastError();
            const Error e = ov.finish(native, ::WriteFile(native, data, size, nullptr, ov.get()), timeout_ms, done);
            written = done;
            return e;
        }
        SynchronousLimit limit(timeout_ms);
        const BOOL ok = ::WriteFile(native, data, size, &done, nullptr);
        const DWORD e = ok ? 0 : ::GetLastError();
        const bool cancelled = limit.finished();
        written = done;
        if (ok) return err::success;
        return cancelled && e == ERROR_OPERATION_ABORTED ? err::timeout : e;
    }

    Error flush(Handle h, uint32_t timeout_ms) override
    {
        SynchronousLimit limit(timeout_ms);
        const BOOL ok = ::FlushFileBuffers(from_handle(h));
        const DWORD e = ok ? 0 : ::GetLastError();
        const bool cancelled = limit.finished();
        if (ok) return err::success;
        return cancelled && e == ERROR_OPERATION_ABORTED ? err::timeout : e;
    }

    Error client_process(Handle server, uint32_t& pid, bool& privileged) override
    {
        pid = 0;
        privileged = false;
        HANDLE native = from_handle(server);
        ULONG id = 0;
        if (!::GetNamedPipeClientProcessId(native, &id)) return ::GetLastError();
        pid = id;
        if (HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id)) {
            HANDLE token = nullptr;
            if (::OpenProcessToken(process, TOKEN_QUERY, &token)) {
                privileged = token_privileged(token);
                ::CloseHandle(token);
                ::CloseHandle(process);
                return err::success;
            }
            ::CloseHandle(process);
        }
        // A process we may not look into: ask as the client what it may do.
        if (!::ImpersonateNamedPipeClient(native)) return err::success;
        BYTE admins[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof admins;
        BOOL member = FALSE;
        if (::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size))
            ::CheckTokenMembership(nullptr, admins, &member);
        ::RevertToSelf();
        privileged = member != FALSE;
        return err::success;
    }

    Error close(Handle h) override
    {
        HANDLE native = from_handle(h);
        {
            std::lock_guard lock(m_);
            overlapped_.erase(native);
        }
        return ::CloseHandle(native) ? err::success : ::GetLastError();
    }

private:
    bool is_overlapped(HANDLE h)
    {
        std::lock_guard lock(m_);
        return overlapped_.count(h) != 0;
    }

    std::mutex m_;
    std::unordered_set<HANDLE> overlapped_; // the client ends, opened with FILE_FLAG_OVERLAPPED
};

} // namespace
} // namespace platform::win32

namespace platform::backend {
Pipes* native_pipes()
{
    static win32::Win32Pipes* instance = new win32::Win32Pipes; // never destroyed: used until exit
    return instance;
}
} // namespace platform::backend
