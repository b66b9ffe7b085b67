// Local message-mode named pipes: CreateNamedPipeW, ConnectNamedPipe, DisconnectNamedPipe,
// FlushFileBuffers, CloseHandle on the server side; CreateFileW and SetNamedPipeHandleState on the
// client side; PeekNamedPipe, ReadFile and WriteFile on both.
//
// Paths are Windows pipe paths, "\\\\.\\pipe\\<name>"; the name is compared without regard to
// case, as Windows does. Every write is one message and message boundaries are kept. A read into a
// buffer smaller than the message gives what fits and 234 (ERROR_MORE_DATA); the next read goes on
// with the same message. A message of 0 bytes is a message (it reads as 0 bytes and success).
//
// Errors as Windows gives them: 2 when no instance of the pipe exists, 231 when every instance is
// busy, 536 reading a server instance that no client has reached yet, 233 after it was
// disconnected, 109 reading when the other end has gone, 232 writing when it has gone, 1460 when a
// read's time-out passed.
//
// Win32: server instances are synchronous handles, exactly as created (so FlushFileBuffers really
// waits for the client to read); a read with a time-out on them polls PeekNamedPipe every few
// milliseconds, which cannot see a message of 0 bytes, so such a message is only read by a read
// that does not time out first. A write or flush with a time-out on them is given up with
// CancelSynchronousIo from a helper thread when the time passes. Client handles are opened with FILE_FLAG_OVERLAPPED so that a read
// can be given up: the read waits for its event with the time-out and cancels the I/O (CancelIoEx);
// nothing of the message is lost, the next read gets it whole. Flushing a client handle does not
// wait on Windows.
//
// posix: a SOCK_SEQPACKET Unix socket under <root>/objects/ per pipe name, served by one process
// (a second process that creates the same name gets 231); an acceptor thread in that process hands
// each connecting client to a free instance or turns it away as busy, so that the client learns at
// once, as on Windows. Messages travel in fragments (a socket record cannot hold megabytes) and
// are handed out whole or in 234 chunks. A message longer than max_pipe_message is refused by the
// writer (87) and by the reader, which drops the connection (13).
#pragma once

#include <cstdint>
#include <string>

#include "platform/errors.h"
#include "platform/sync.h" // infinite

namespace platform {

// The longest message either backend writes (both refuse longer ones, so the leg is the same).
constexpr uint32_t max_pipe_message = 64u * 1024u * 1024u;

struct PipeServerOptions {
    // nMaxInstances: 1 to 254, or 255, PIPE_UNLIMITED_INSTANCES, which sets no limit at all. The
    // first instance of a name fixes it; a create beyond it gives 231.
    uint32_t max_instances = 255;
    uint32_t out_buffer_size = 1024;
    uint32_t in_buffer_size = 1024;
    // nDefaultTimeOut, for clients that wait for an instance (WaitNamedPipe).
    uint32_t default_timeout_ms = 500;
    // A security descriptor whose access list grants LocalSystem (S-1-5-18) all file access
    // (0x1F01FF) and Everyone (S-1-1-0) generic read and write (0xC0000000); without it the
    // system's default one. posix: the socket file is readable and writable by all users.
    bool system_and_everyone = false;
    // The security attributes make the handle inheritable (posix: no meaning).
    bool inheritable = false;
};

class Pipes {
public:
    virtual ~Pipes() = default;

    // CreateNamedPipeW(path, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE |
    // PIPE_WAIT, options...): one new instance. 123 for a path that is not a pipe path,
    // 87 for max_instances outside 1..255, 231 when the name has all its instances.
    virtual Error create_server(const std::u16string& path, const PipeServerOptions& options,
                                Handle& server) = 0;
    // ConnectNamedPipe, blocking until a client is there. A client that came before the call
    // (Windows' 535, ERROR_PIPE_CONNECTED) is as good: both give 0.
    virtual Error connect(Handle server) = 0;
    // DisconnectNamedPipe: drops the client (what it did not read is lost; flush first).
    virtual Error disconnect(Handle server) = 0;

    // CreateFileW(path, GENERIC_READ | GENERIC_WRITE, no sharing, OPEN_EXISTING): the client end,
    // in byte read mode until set_message_mode. 2 when the pipe does not exist, 231 when every
    // instance is busy.
    virtual Error open_client(const std::u16string& path, Handle& client) = 0;
    // SetNamedPipeHandleState(PIPE_READMODE_MESSAGE): reads then return 234 for the rest of a
    // message that did not fit (in byte mode they return what fits, with success).
    virtual Error set_message_mode(Handle client) = 0;

    // PeekNamedPipe without a buffer: the bytes waiting and the bytes left in the message at the
    // head of the pipe (0 when there is none). Never waits.
    virtual Error peek(Handle h, uint32_t& available, uint32_t& left_in_message) = 0;
    // ReadFile of (the rest of) one message into `buffer`: 0, or 234 with `read` == `size` when
    // more of the message is left. With a time-out other than `infinite`, 1460 when no
    // message came in time; nothing is lost by that.
    virtual Error read(Handle h, void* buffer, uint32_t size, uint32_t& read,
                       uint32_t timeout_ms = infinite) = 0;
    // WriteFile of one message; `written` is `size` on success. With a time-out other than
    // `infinite`, 1460 when the other end did not make room for the message in time; part of it
    // may then have gone, so the connection is to be dropped.
    virtual Error write(Handle h, const void* data, uint32_t size, uint32_t& written,
                        uint32_t timeout_ms = infinite) = 0;
    // FlushFileBuffers: waits until the other end has read everything written to it (or is gone).
    // With a time-out other than `infinite`, 1460 when it has not read it in time.
    virtual Error flush(Handle h, uint32_t timeout_ms = infinite) = 0;

    // The process at the other end of a connected server instance and whether it is privileged.
    // Win32: GetNamedPipeClientProcessId; privileged when that process's token is elevated or is
    // LocalSystem's, or (when the process cannot be opened) when the client, impersonated with
    // ImpersonateNamedPipeClient, is a member of Administrators. posix: SO_PEERCRED of the
    // connection; privileged when its user is root or the user of this process.
    virtual Error client_process(Handle server, uint32_t& pid, bool& privileged) = 0;

    // CloseHandle of a server instance or a client end.
    virtual Error close(Handle h) = 0;
};

} // namespace platform
