// A driver's control device on the emulated machine: where its socket lives and how requests and
// answers cross it. Both sides include this header: the posix `devices` backend (client) and the
// driver stand-in that serves the device.
//
// - A driver serving `\\.\<Name>` (its `\DosDevices\<Name>` link) listens on a SOCK_STREAM Unix
//   socket at socket_path(<Name>): <root>/objects/device.<name lower-cased>. Device names ignore
//   case, so both sides lower-case. A name too long for a socket address uses the hashed form.
// - One connection per open handle. Closing the handle closes the connection; the driver sees the
//   end of the stream, which is its cleanup of that handle (IRP_MJ_CLEANUP).
// - Request: uint32 code, uint32 input_size, uint32 output_size (little-endian), then input_size
//   bytes. Answer: uint32 error (a Windows code, 0 success), uint32 returned (<= output_size), then
//   `returned` bytes. A frame that would carry more than max_frame bytes is refused (87) and the
//   connection dropped, on either side.
// - The driver knows the calling process from SO_PEERCRED of the connection (peer_pid).
// - Every read and write is bounded by a time-out, so a hung peer gives 1460 (ERROR_TIMEOUT), never
//   a hang; a peer that went away gives 109 (ERROR_BROKEN_PIPE) or 38 at a clean end of stream.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/posix/objects.h"
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

inline void put_u32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t get_u32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The socket of device `name` ("ZelmUsb", without "\\.\"); false when even the hashed file name
// does not fit a socket address.
inline bool socket_path(std::u16string_view name, std::string& path)
{
    const std::string folder = objects::folder();
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
    put_u32(frame.data(), r.code);
    put_u32(frame.data() + 4, r.input_size);
    put_u32(frame.data() + 8, r.output_size);
    if (r.input_size) std::memcpy(frame.data() + request_header_size, input, r.input_size);
    return write_all(fd, frame.data(), frame.size(), timeout_ms);
}

// Server side: the next request and its input. 38 when the client closed its handle between
// requests; 87 when a size passes max_frame (drop the connection then).
inline Error receive_request(int fd, Request& r, std::vector<uint8_t>& input, int timeout_ms = io_timeout_ms)
{
    uint8_t head[request_header_size];
    if (const Error e = read_exact(fd, head, sizeof head, timeout_ms)) return e;
    r.code = get_u32(head);
    r.input_size = get_u32(head + 4);
    r.output_size = get_u32(head + 8);
    if (r.input_size > max_frame || r.output_size > max_frame) return err::invalid_parameter;
    input.resize(r.input_size);
    return r.input_size ? read_exact(fd, input.data(), r.input_size, timeout_ms) : err::success;
}

// Server side: the answer to one request; `returned` bytes of `output` follow the header.
inline Error send_answer(int fd, const Answer& a, const void* output, int timeout_ms = io_timeout_ms)
{
    if (a.returned > max_frame) return err::invalid_parameter;
    std::vector<uint8_t> frame(answer_header_size + a.returned);
    put_u32(frame.data(), a.error);
    put_u32(frame.data() + 4, a.returned);
    if (a.returned) std::memcpy(frame.data() + answer_header_size, output, a.returned);
    return write_all(fd, frame.data(), frame.size(), timeout_ms);
}

// Client side: the answer header; the caller then reads `returned` bytes (after checking them
// against the output size it asked for: more is a broken peer, 87, drop the connection).
inline Error receive_answer(int fd, Answer& a, int timeout_ms = io_timeout_ms)
{
    uint8_t head[answer_header_size];
    if (const Error e = read_exact(fd, head, sizeof head, timeout_ms)) return e;
    a.error = get_u32(head);
    a.returned = get_u32(head + 4);
    return err::success;
}

} // namespace platform::posix::control_device
