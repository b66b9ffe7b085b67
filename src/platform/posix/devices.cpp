// Device paths on the emulated machine: "\\.\<Name>" reaches the control device that a running
// driver serves on its socket (control_device.h); every path that no driver serves (volumes,
// hubs, host controllers) goes to the machine model through model_devices(). Handles of both
// kinds live in one table.
//
// One handle is one connection, and its requests cross it one at a time, as a handle opened
// without overlapped I/O serialises its requests on Windows. A connection that failed in the
// middle of a frame is out of step and stays broken: its later requests give 31.
#include "platform/devices.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/native.h"
#include "platform/posix/common.h"
#include "platform/posix/control_device.h"
#include "platform/posix/model_dispatch.h"
#include "platform/posix/objects.h"
#include "text/text.h"

namespace platform::posix {
namespace {

namespace cd = control_device;

constexpr std::u16string_view device_prefix = u"\\\\.\\";
// A listener too busy to take the connection within this gives 1460 instead of a hang.
constexpr int connect_timeout_s = 5;

struct Connection {
    int fd = -1;
    bool broken = false;
    std::atomic<bool> closed{false};
    std::mutex mutex;
    ~Connection()
    {
        if (fd >= 0) ::close(fd);
    }
};

struct Entry {
    std::shared_ptr<Connection> connection; // a control device
    Handle model = null_handle;             // else the machine model's handle
};

// The device name of "\\.\<Name>" when it can name a driver's control device (not a volume
// "E:", not a path with further components); empty otherwise.
std::u16string control_device_name(const std::u16string& path)
{
    if (path.size() <= device_prefix.size() || path.compare(0, device_prefix.size(), device_prefix) != 0) return {};
    std::u16string name = path.substr(device_prefix.size());
    if (name.find_first_of(u"\\/:") != std::u16string::npos) return {};
    return name;
}

// 0 and the connected socket; 2 when nothing serves the device; 5 when the socket or the process
// serving it belongs to another user than this one or root (a name taken by someone else is never
// talked to); another code when it cannot be reached.
Error connect_device(const std::u16string& name, int& fd)
{
    sockaddr_un address{};
    if (!cd::socket_address(name, address)) return err::file_not_found;
    struct stat st {};
    if (::lstat(address.sun_path, &st) != 0) {
        const int e = errno;
        return e == ENOENT || e == ENOTDIR ? err::file_not_found : posix::from_errno(e);
    }
    if (!S_ISSOCK(st.st_mode)) return err::file_not_found;
    if (!objects::trusted_owner(st.st_uid)) return err::access_denied;
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return from_errno(errno);
    const timeval limit{connect_timeout_s, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    int r;
    while ((r = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address)) != 0 && errno == EINTR) {
    }
    if (r == 0) {
        uid_t server = 0;
        if (!cd::peer_trusted(fd, server)) {
            ::close(fd);
            fd = -1;
            return err::access_denied;
        }
        const timeval none{0, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
        return err::success;
    }
    const int e = errno;
    ::close(fd);
    fd = -1;
    if (e == ENOENT || e == ECONNREFUSED || e == ENOTSOCK) return err::file_not_found;
    if (e == EACCES || e == EPERM) return err::access_denied;
    if (e == EAGAIN || e == ETIMEDOUT) return err::timeout;
    return from_errno(e);
}

class PosixDevices final : public Devices {
public:
    Error open(const std::u16string& path, uint32_t desired_access, uint32_t share_mode,
               uint32_t flags_and_attributes, Handle& device) override
    {
        device = null_handle;
        const std::u16string name = control_device_name(path);
        if (!name.empty()) {
            int fd = -1;
            const Error e = connect_device(name, fd);
            if (e == err::success) {
                Entry entry;
                entry.connection = std::make_shared<Connection>();
                entry.connection->fd = fd;
                device = table_.add(std::move(entry));
                return err::success;
            }
            if (e != err::file_not_found) return e;
        }
        Handle model = null_handle;
        if (const Error e = model_devices().open(path, desired_access, share_mode, flags_and_attributes, model))
            return e;
        Entry entry;
        entry.model = model;
        device = table_.add(std::move(entry));
        return err::success;
    }

    Error control(Handle device, uint32_t code, const void* input, uint32_t input_size, void* output,
                  uint32_t output_size, uint32_t& returned) override
    {
        returned = 0;
        const auto entry = table_.get(device);
        if (!entry) return err::invalid_handle;
        if (!entry->connection)
            return model_devices().control(entry->model, code, input, input_size, output, output_size, returned);
        if ((input_size && !input) || (output_size && !output)) return err::invalid_parameter;
        if (input_size > cd::max_frame || output_size > cd::max_frame) return err::invalid_parameter;

        Connection& c = *entry->connection;
        std::lock_guard lock(c.mutex);
        if (c.broken) return c.closed ? err::operation_aborted : err::gen_failure;
        auto fail = [&](Error e) {
            c.broken = true;
            if (c.closed) return err::operation_aborted;
            return e == err::timeout ? e : err::gen_failure;
        };
        if (const Error e = cd::send_request(c.fd, cd::Request{code, input_size, output_size}, input)) return fail(e);
        cd::Answer answer;
        if (const Error e = cd::receive_answer(c.fd, answer)) return fail(e);
        // A driver never returns more than the caller's buffer holds; one that does is broken.
        if (answer.returned > output_size) {
            c.broken = true;
            return err::invalid_parameter;
        }
        // Read whole before it reaches the caller's buffer, which may be the input too.
        std::vector<uint8_t> data(answer.returned);
        if (answer.returned)
            if (const Error e = cd::read_exact(c.fd, data.data(), data.size())) return fail(e);
        if (!data.empty()) std::memcpy(output, data.data(), data.size());
        returned = answer.returned;
        return answer.error;
    }

    Error close(Handle device) override
    {
        const auto entry = table_.take(device);
        if (!entry) return err::invalid_handle;
        if (!entry->connection) return model_devices().close(entry->model);
        // The driver sees the end of the stream now, as a Windows driver gets its cleanup when
        // the handle closes, and a request still waiting on another thread ends with 995; the
        // descriptor itself closes with the last copy of the entry.
        entry->connection->closed = true;
        ::shutdown(entry->connection->fd, SHUT_RDWR);
        return err::success;
    }

private:
    HandleTable<Entry> table_;
};

} // namespace
} // namespace platform::posix

namespace platform::backend {
Devices* native_devices()
{
    static posix::PosixDevices devices;
    return &devices;
}
} // namespace platform::backend
