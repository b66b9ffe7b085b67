// A driver's control device on the emulated machine: where its socket lives, who may use it, and
// how requests and answers cross it. Both sides include this header: the posix `devices` backend
// (client) and the Linux driver (driver/linux) that serves the device.
//
// - A driver serving `\\.\<Name>` (its `\DosDevices\<Name>` link) listens on a SOCK_STREAM Unix
//   socket at socket_path(<Name>): <root>/devices/device.<name lower-cased>. Device names ignore
//   case, so both sides lower-case. A name too long for a socket address uses the hashed form.
// - The device is its owner's, as a driver's device on Windows is open to SYSTEM and the
//   Administrators only: here root and the driver's own user. The devices folder is kept apart
//   from the objects folder (which may be shared by all users for their pipes) and is owner-only
//   (0700, whatever the umask); the socket is 0600; the driver checks every connection's peer
//   (SO_PEERCRED) and ends any other user's at once. A name that another user's file holds is
//   never served on nor removed: the driver's start fails with 183. A client connects only to a
//   socket of its own user or root, and only to a peer of its own user or root (5 otherwise).
// - One connection per open handle. Closing the handle closes the connection; the driver sees the
//   end of the stream, which is its cleanup of that handle (IRP_MJ_CLEANUP).
// - Request: uint32 code, uint32 input_size, uint32 output_size (little-endian), then input_size
//   bytes. Answer: uint32 error (a Windows code, 0 success), uint32 returned (<= output_size), then
//   `returned` bytes. A frame that would carry more than max_frame bytes is refused (87) and the
//   connection dropped, on either side. The receiver's buffer grows with the bytes that arrive,
//   never ahead of them: a header alone costs nothing.
// - The driver knows the calling process from SO_PEERCRED of the connection (peer_pid).
// - Every read and write is bounded by a time-out, so a hung peer gives 1460 (ERROR_TIMEOUT), never
//   a hang; a peer that went away gives 109 (ERROR_BROKEN_PIPE) or 38 at a clean end of stream.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/le_fields.h"
#include "platform/posix/common.h"
#include "platform/posix/objects.h"
#include "platform/posix/root.h"
#include "text/text.h"

namespace platform::posix::control_device {

// The largest input or output a request may carry.
constexpr uint32_t max_frame = 16u * 1024 * 1024;
constexpr size_t request_header_size = 12;
constexpr size_t answer_header_size = 8;
// A driver may legitimately take up to its own bounds to answer (the user-test wait among them).
constexpr int io_timeout_ms = 60 * 1000;

struct Request {
    uint32_t code = 0;
    uint32_t input_size = 0;
    uint32_t output_size = 0;
};

struct Answer {
    uint32_t error = 0;
    uint32_t returned = 0;
};

// <root>/devices, the folder of the control devices' sockets (not created here).
inline std::string device_folder()
{
    return platform::posix::root() + "/devices";
}

// The socket of device `name` ("ZelmUsb", without "\\.\"); false when even the hashed file name
// does not fit a socket address.
inline bool socket_path(std::u16string_view name, std::string& path)
{
    const std::string folder = device_folder();
    const size_t room = sizeof(sockaddr_un::sun_path) - 1;
    const size_t limit = room > folder.size() + 1 ? room - folder.size() - 1 : 0;
    const std::u16string lower = text::to_lower(name);
    std::string file = objects::file_name("device", lower);
    if (file.size() > limit) file = objects::file_name("device", lower, 0); // the hashed form
    if (file.size() > limit) return false;
    path = folder + "/" + file;
    return true;
}

inline bool socket_address(std::u16string_view name, sockaddr_un& address)
{
    std::string path;
    if (!socket_path(name, path)) return false;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

// The process at the other end of a connection; 0 when unknown.
inline pid_t peer_pid(int fd)
{
    ucred cred{};
    socklen_t size = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) return 0;
    return cred.pid;
}

// Whether the other end of a connection runs as root or as this process's user; `uid` is its user
// (-1 when unknown, which is refused).
inline bool peer_trusted(int fd, uid_t& uid)
{
    ucred cred{};
    socklen_t size = sizeof cred;
    uid = static_cast<uid_t>(-1);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) return false;
    uid = cred.uid;
    return objects::trusted_owner(cred.uid);
}

// Server side: a listening socket for device `name`, owner-only, in the owner-only devices
// folder. 0 with `fd` and `path`; otherwise the Windows code a driver whose device cannot be made
// gets, with `why` for its trace: 183 (ERROR_ALREADY_EXISTS) when a live driver serves the name or
// a file of another user holds it, 5 (ERROR_ACCESS_DENIED) when the folder is not an owner-only
// folder of this user or root, 123 when the name does not fit, else the code of the failing call.
inline Error listen_device(std::u16string_view name, int backlog, int& fd, std::string& path, std::string& why)
{
    fd = -1;
    const std::string folder = device_folder();
    platform::posix::root_folder("");
    if (::mkdir(folder.c_str(), 0700) == 0) ::chmod(folder.c_str(), 0700); // not the umask's say
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) {
        why = "the devices folder " + folder + " cannot be made";
        return from_errno(errno);
    }
    if (!S_ISDIR(st.st_mode) || !objects::trusted_owner(st.st_uid)) {
        why = "the devices folder " + folder + " is not this machine's (user " + std::to_string(st.st_uid) + ")";
        return err::access_denied;
    }
    if ((st.st_mode & 077) != 0 && (st.st_uid != ::geteuid() || ::chmod(folder.c_str(), 0700) != 0)) {
        why = "the devices folder " + folder + " is open to other users";
        return err::access_denied;
    }

    sockaddr_un address{};
    if (!socket_address(name, address)) {
        why = "the device name does not fit a socket address";
        return err::invalid_name;
    }
    path = address.sun_path;
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode) || !objects::trusted_owner(st.st_uid)) {
            why = "the device name is held by a file of user " + std::to_string(st.st_uid);
            path.clear(); // never ours to remove
            return err::already_exists;
        }
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool live = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (probe >= 0) ::close(probe);
        if (live) {
            why = "the control device is served by another driver";
            path.clear();
            return err::already_exists;
        }
        ::unlink(path.c_str()); // left by a driver that died
    }
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        why = "no socket";
        path.clear();
        return from_errno(errno);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int e = errno;
        ::close(fd);
        fd = -1;
        path.clear();
        why = "the device name cannot be bound";
        return e == EADDRINUSE ? err::already_exists : from_errno(e);
    }
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(fd, backlog) != 0) {
        const int e = errno;
        ::close(fd);
        fd = -1;
        ::unlink(path.c_str());
        path.clear();
        why = "the device socket cannot be made owner-only and listening";
        return from_errno(e);
    }
    return err::success;
}

namespace detail {
inline int remaining_ms(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}
} // namespace detail

// Reads exactly `size` bytes within `timeout_ms`: 0, 38 (clean end of stream before the first
// byte), 109 (end of stream or error in the middle), 1460 (time-out).
inline Error read_exact(int fd, void* data, size_t size, int timeout_ms = io_timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    auto* p = static_cast<uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, detail::remaining_ms(deadline));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return err::broken_pipe;
        }
        if (ready == 0) return err::timeout;
        const ssize_t n = ::recv(fd, p + done, size - done, 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return err::broken_pipe;
        }
        if (n == 0) return done == 0 ? err::handle_eof : err::broken_pipe;
        done += static_cast<size_t>(n);
    }
    return err::success;
}

// Writes all of `size` bytes within `timeout_ms`: 0, 109 (the peer went away), 1460 (time-out).
inline Error write_all(int fd, const void* data, size_t size, int timeout_ms = io_timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    const auto* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        pollfd pfd{fd, POLLOUT, 0};
        const int ready = ::poll(&pfd, 1, detail::remaining_ms(deadline));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return err::broken_pipe;
        }
        if (ready == 0) return err::timeout;
        const ssize_t n = ::send(fd, p + done, size - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return err::broken_pipe;
        }
        done += static_cast<size_t>(n);
    }
    return err::success;
}

// Client side: one request with its input.
inline Error send_request(int fd, const Request& r, const void* input, int timeout_ms = io_timeout_ms)
{
    if (r.input_size > max_frame || r.output_size > max_frame) return err::invalid_parameter;
    std::vector<uint8_t> frame(request_header_size + r.input_size);
    le::put_u32(frame.data(), r.code);
    le::put_u32(frame.data() + 4, r.input_size);
    le::put_u32(frame.data() + 8, r.output_size);
    if (r.input_size) std::memcpy(frame.data() + request_header_size, input, r.input_size);
    return write_all(fd, frame.data(), frame.size(), timeout_ms);
}

// Server side: the next request and its input. 38 when the client closed its handle between
// requests; 87 when a size passes max_frame (drop the connection then). The input buffer grows as
// its bytes arrive (doubling from 64 KiB), so a header that announces much and sends little costs
// little; the whole frame arrives within `timeout_ms`.
inline Error receive_request(int fd, Request& r, std::vector<uint8_t>& input, int timeout_ms = io_timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    uint8_t head[request_header_size];
    if (const Error e = read_exact(fd, head, sizeof head, timeout_ms)) return e;
    r.code = le::get_u32(head);
    r.input_size = le::get_u32(head + 4);
    r.output_size = le::get_u32(head + 8);
    if (r.input_size > max_frame || r.output_size > max_frame) return err::invalid_parameter;
    input.clear();
    size_t done = 0;
    while (done < r.input_size) {
        const size_t chunk = std::min<size_t>(r.input_size - done, std::max<size_t>(64 * 1024, done));
        input.resize(done + chunk);
        const int left = detail::remaining_ms(deadline);
        if (left == 0) return err::timeout;
        if (const Error e = read_exact(fd, input.data() + done, chunk, left))
            return e == err::handle_eof ? err::broken_pipe : e;
        done += chunk;
    }
    return err::success;
}

// Server side: the answer to one request; `returned` bytes of `output` follow the header.
inline Error send_answer(int fd, const Answer& a, const void* output, int timeout_ms = io_timeout_ms)
{
    if (a.returned > max_frame) return err::invalid_parameter;
    std::vector<uint8_t> frame(answer_header_size + a.returned);
    le::put_u32(frame.data(), a.error);
    le::put_u32(frame.data() + 4, a.returned);
    if (a.returned) std::memcpy(frame.data() + answer_header_size, output, a.returned);
    return write_all(fd, frame.data(), frame.size(), timeout_ms);
}

// Client side: the answer header; the caller then reads `returned` bytes (after checking them
// against the output size it asked for: more is a broken peer, 87, drop the connection).
inline Error receive_answer(int fd, Answer& a, int timeout_ms = io_timeout_ms)
{
    uint8_t head[answer_header_size];
    if (const Error e = read_exact(fd, head, sizeof head, timeout_ms)) return e;
    a.error = le::get_u32(head);
    a.returned = le::get_u32(head + 4);
    return err::success;
}

} // namespace platform::posix::control_device
