// Named pipes of the emulated machine (see pipes.h for the model).
//
// Wire format: every SOCK_SEQPACKET record starts with one byte saying what it is. A message is a
// run of `fragment_more` records closed by one `fragment_last` record (a message of 0 bytes is a
// lone `fragment_last`), so that no record is empty (an empty record reads like the end of the
// connection) and none exceeds what the socket buffer takes. The first record a client receives
// is the acceptor's answer to its connection: `accepted` or `busy`. A server that disconnects
// sends `disconnected` last, so that its client can tell that from a server that went away
// (Windows answers 233 for the one, 109 and 232 for the other).
#include "platform/pipes.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <linux/sockios.h>

#include "platform/native.h"
#include "platform/posix/common.h"
#include "platform/posix/objects.h"
#include "text/text.h"

namespace platform::posix {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t fragment_last = 0;
constexpr uint8_t fragment_more = 1;
constexpr uint8_t accepted = 2;
constexpr uint8_t busy = 3;
constexpr uint8_t disconnected = 4;

// Well below the default socket send buffer (wmem_default, about 208 KiB).
constexpr size_t fragment_size = 60 * 1024;

// How long a client waits for the acceptor's answer; it answers at once unless its process hangs.
constexpr int acceptor_answer_ms = 5000;

constexpr std::u16string_view pipe_prefix = u"\\\\.\\pipe\\";

// The pipe name of a Windows pipe path, lower-cased (pipe names ignore case); empty when the path
// is not a pipe path.
std::u16string pipe_name(const std::u16string& path)
{
    if (path.size() <= pipe_prefix.size()) return {};
    if (text::to_lower(std::u16string_view(path).substr(0, pipe_prefix.size())) != text::to_lower(pipe_prefix))
        return {};
    return text::to_lower(std::u16string_view(path).substr(pipe_prefix.size()));
}

// The socket and lock files of a pipe name; false when even the hashed name does not fit a
// socket address.
bool pipe_files(const std::u16string& name, std::string& socket_path, std::string& lock_path)
{
    const std::string folder = objects::folder();
    const size_t room = sizeof(sockaddr_un::sun_path) - 1;
    const size_t limit = room > folder.size() + 1 ? room - folder.size() - 1 : 0;
    std::string file = objects::file_name("pipe", name);
    if (file.size() > limit) file = objects::file_name("pipe", name, 0); // the hashed form
    if (file.size() > limit) return false;
    socket_path = folder + "/" + file;
    lock_path = folder + "/pipelock." + file.substr(5);
    return true;
}

sockaddr_un address_of(const std::string& path)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.data(), std::min(path.size(), sizeof a.sun_path - 1));
    return a;
}

int remaining_ms(uint32_t timeout_ms, Clock::time_point deadline)
{
    if (timeout_ms == infinite) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 0x7FFFFFFF)) : 0;
}

// Waits for `events` on fd: 1 ready, 0 time-out.
int wait_fd(int fd, short events, int ms)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, ms);
        if (n >= 0) return n;
        if (errno != EINTR) return 1; // let the following call report what is wrong
    }
}

// The inbound half of one connection: the message being assembled or handed out.
struct Inbound {
    std::vector<uint8_t> message;
    size_t offset = 0;     // bytes of `message` already handed out
    bool complete = false; // the last fragment arrived
    void clear()
    {
        message.clear();
        message.shrink_to_fit();
        offset = 0;
        complete = false;
    }
};

// Takes records from fd into `in` until the message is complete. With `block` false it takes only
// what is there. 0, or 1460 when the time passed, 109 when the other end is gone, 233 when the
// server disconnected us (`dropped` is then set for good), 13 for a message beyond
// max_pipe_message or a record of no known kind (the connection is then shut).
Error receive(int fd, Inbound& in, std::atomic<bool>& dropped, bool block, uint32_t timeout_ms,
              Clock::time_point deadline)
{
    while (!in.complete) {
        if (dropped) return err::pipe_not_connected;
        uint8_t kind = 0;
        const ssize_t len = ::recv(fd, &kind, 1, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (len < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return err::broken_pipe;
            if (!block) return err::success;
            if (wait_fd(fd, POLLIN, remaining_ms(timeout_ms, deadline)) == 0) return err::timeout;
            continue;
        }
        if (len == 0) return err::broken_pipe; // the end of the connection
        if (kind == disconnected) {
            // A message cut short by the disconnect is dropped; nothing more will come.
            dropped = true;
            in.clear();
            return err::pipe_not_connected;
        }
        const size_t payload = static_cast<size_t>(len) - 1;
        const size_t have = in.message.size();
        if (payload > max_pipe_message - have || (kind != fragment_more && kind != fragment_last)) {
            ::shutdown(fd, SHUT_RDWR);
            in.clear();
            return err::invalid_data;
        }
        in.message.resize(have + payload);
        iovec iov[2] = {{&kind, 1}, {in.message.data() + have, payload}};
        msghdr mh{};
        mh.msg_iov = iov;
        mh.msg_iovlen = 2;
        ssize_t got;
        do {
            got = ::recvmsg(fd, &mh, MSG_DONTWAIT);
        } while (got < 0 && errno == EINTR);
        if (got != len) {
            in.message.resize(have);
            return err::broken_pipe;
        }
        if (kind == fragment_last) in.complete = true;
    }
    return err::success;
}

Error send_record(int fd, uint8_t kind, const uint8_t* data, size_t size, uint32_t timeout_ms,
                  Clock::time_point deadline)
{
    iovec iov[2] = {{&kind, 1}, {const_cast<uint8_t*>(data), size}};
    msghdr mh{};
    mh.msg_iov = iov;
    mh.msg_iovlen = size ? 2 : 1;
    for (;;) {
        const ssize_t n = ::sendmsg(fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return err::success;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // Windows' WriteFile blocks too until the reader makes room, unless it is given up.
            if (wait_fd(fd, POLLOUT, remaining_ms(timeout_ms, deadline)) == 0) return err::timeout;
            continue;
        }
        if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) return err::no_data;
        return err::gen_failure;
    }
}

Error send_message(int fd, const uint8_t* data, size_t size, uint32_t timeout_ms = infinite)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms == infinite ? 0 : timeout_ms);
    size_t done = 0;
    do {
        const size_t n = std::min(fragment_size, size - done);
        const bool last = done + n == size;
        if (Error e = send_record(fd, last ? fragment_last : fragment_more, data + done, n, timeout_ms, deadline))
            return e;
        done += n;
    } while (done < size);
    return err::success;
}

struct Listener;

// A server instance or a client end.
struct PipeEnd {
    enum class State { listening, connected, disconnected, closed };

    bool server = false;
    std::shared_ptr<Listener> listener; // server instances only
    State state = State::listening;     // server instances; guarded by the listener's mutex
    int fd = -1;                        // the connection; guarded by the listener's mutex
    bool message_mode = true;

    std::mutex read_m;  // one reader at a time; guards `in`
    std::mutex write_m; // one writer at a time, so fragments of two messages never mix
    Inbound in;
    std::atomic<bool> dropped{false}; // client ends: the server disconnected us

    ~PipeEnd()
    {
        if (fd >= 0) ::close(fd);
    }
};

// One pipe name served by this process: the listening socket, its acceptor thread, the instances.
struct Listener {
    std::u16string name;
    std::string socket_path;
    int lock_fd = -1;
    int listen_fd = -1;
    int wake_fd = -1;
    uint32_t max_instances = 255;
    std::thread acceptor;

    std::mutex m;
    std::condition_variable cv;
    std::vector<PipeEnd*> instances; // in order of creation

    void accept_loop()
    {
        for (;;) {
            pollfd p[2] = {{listen_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
            if (::poll(p, 2, -1) < 0) continue;
            if (p[1].revents) return;
            if (!(p[0].revents & POLLIN)) continue;
            const int c = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (c < 0) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOMEM || errno == ENOBUFS)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            std::lock_guard lock(m);
            PipeEnd* free_instance = nullptr;
            for (PipeEnd* e : instances) {
                if (e->state == PipeEnd::State::listening && e->fd < 0) {
                    free_instance = e;
                    break;
                }
            }
            const uint8_t answer = free_instance ? accepted : busy;
            if (free_instance && ::send(c, &answer, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) {
                free_instance->fd = c;
                free_instance->state = PipeEnd::State::connected;
                cv.notify_all();
            } else {
                ::send(c, &answer, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                ::close(c);
            }
        }
    }

    void shut()
    {
        if (acceptor.joinable()) {
            const uint64_t one = 1;
            while (::write(wake_fd, &one, sizeof one) < 0 && errno == EINTR) {
            }
            acceptor.join();
        }
        if (listen_fd >= 0) ::close(listen_fd);
        // The socket file goes before the lock, so that a process that takes the name next never
        // has its fresh socket removed by us.
        if (!socket_path.empty()) ::unlink(socket_path.c_str());
        if (wake_fd >= 0) ::close(wake_fd);
        if (lock_fd >= 0) ::close(lock_fd);
    }
};

class PosixPipes final : public Pipes {
public:
    Error create_server(const std::u16string& path, const PipeServerOptions& options, Handle& server) override
    {
        server = null_handle;
        const std::u16string name = pipe_name(path);
        if (name.empty()) return err::invalid_name;
        if (options.max_instances < 1 || options.max_instances > 255) return err::invalid_parameter;

        std::lock_guard table_lock(m_);
        std::shared_ptr<Listener> listener;
        if (auto it = listeners_.find(name); it != listeners_.end()) {
            listener = it->second;
        } else {
            Error e = err::success;
            listener = listen(name, options, e);
            if (!listener) return e;
            listeners_[name] = listener;
        }

        auto end = std::make_shared<PipeEnd>();
        end->server = true;
        end->listener = listener;
        {
            std::lock_guard lock(listener->m);
            // 255 is PIPE_UNLIMITED_INSTANCES: no limit at all, as on Windows.
            if (listener->max_instances < 255 && listener->instances.size() >= listener->max_instances)
                return err::pipe_busy;
            listener->instances.push_back(end.get());
        }
        server = add_locked(std::move(end));
        return err::success;
    }

    Error connect(Handle server) override
    {
        auto end = find(server);
        if (!end || !end->server) return err::invalid_handle;
        Listener& l = *end->listener;
        std::unique_lock lock(l.m);
        if (end->state == PipeEnd::State::disconnected) end->state = PipeEnd::State::listening;
        l.cv.wait(lock, [&] { return end->fd >= 0 || end->state == PipeEnd::State::closed; });
        return end->state == PipeEnd::State::closed ? err::operation_aborted : err::success;
    }

    Error disconnect(Handle server) override
    {
        auto end = find(server);
        if (!end || !end->server) return err::invalid_handle;
        std::scoped_lock io(end->read_m, end->write_m);
        std::lock_guard lock(end->listener->m);
        if (end->fd >= 0) {
            const uint8_t note = disconnected;
            ::send(end->fd, &note, 1, MSG_NOSIGNAL | MSG_DONTWAIT); // a full queue loses it: 109 then
            ::close(end->fd);
        }
        end->fd = -1;
        end->state = PipeEnd::State::disconnected;
        end->in.clear();
        return err::success;
    }

    Error open_client(const std::u16string& path, Handle& client) override
    {
        client = null_handle;
        const std::u16string name = pipe_name(path);
        if (name.empty()) return err::invalid_name;
        std::string socket_path, lock_path;
        if (!pipe_files(name, socket_path, lock_path)) return err::file_not_found;

        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return from_errno(errno);
        const sockaddr_un a = address_of(socket_path);
        int rc;
        do {
            rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        } while (rc < 0 && errno == EINTR);
        if (rc < 0) {
            const int e = errno;
            ::close(fd);
            if (e == EAGAIN) return err::pipe_busy; // the listen queue is full
            if (e == EACCES || e == EPERM) return err::access_denied;
            return err::file_not_found; // no socket, or one that nobody serves any more
        }

        // The acceptor's answer: an instance of ours, or busy.
        uint8_t answer = 0;
        ssize_t n = -1;
        bool waited_out = false;
        const auto deadline = Clock::now() + std::chrono::milliseconds(acceptor_answer_ms);
        for (;;) {
            n = ::recv(fd, &answer, 1, MSG_DONTWAIT);
            if (n >= 0 || (errno != EAGAIN && errno != EINTR)) break;
            if (wait_fd(fd, POLLIN, remaining_ms(acceptor_answer_ms, deadline)) == 0) {
                waited_out = true;
                break;
            }
        }
        if (n != 1 || answer != accepted) {
            ::close(fd);
            // A server that does not answer in time is as good as busy; one that closed on us
            // (its last instance went) is no pipe any more.
            return (n == 1 && answer == busy) || waited_out ? err::pipe_busy : err::file_not_found;
        }

        auto end = std::make_shared<PipeEnd>();
        end->server = false;
        end->state = PipeEnd::State::connected;
        end->fd = fd;
        end->message_mode = false; // CreateFileW gives a byte-mode client
        std::lock_guard table_lock(m_);
        client = add_locked(std::move(end));
        return err::success;
    }

    Error set_message_mode(Handle client) override
    {
        auto end = find(client);
        if (!end) return err::invalid_handle;
        std::lock_guard io(end->read_m);
        end->message_mode = true;
        return err::success;
    }

    Error peek(Handle h, uint32_t& available, uint32_t& left_in_message) override
    {
        available = left_in_message = 0;
        auto end = find(h);
        if (!end) return err::invalid_handle;
        std::lock_guard io(end->read_m);
        int fd;
        if (Error e = usable_fd(*end, fd)) return e;
        const Error e = receive(fd, end->in, end->dropped, false, 0, Clock::now());
        const size_t waiting = end->in.message.size() - end->in.offset;
        if (e && waiting == 0) return e;
        available = left_in_message = static_cast<uint32_t>(waiting);
        return err::success;
    }

    Error read(Handle h, void* buffer, uint32_t size, uint32_t& read, uint32_t timeout_ms) override
    {
        read = 0;
        auto end = find(h);
        if (!end) return err::invalid_handle;
        if (!buffer && size) return err::invalid_parameter;
        std::lock_guard io(end->read_m);
        int fd;
        if (Error e = usable_fd(*end, fd)) return e;
        Inbound& in = end->in;
        if (!in.complete) {
            const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms == infinite ? 0 : timeout_ms);
            if (Error e = receive(fd, in, end->dropped, true, timeout_ms, deadline)) return e;
        }
        const size_t left = in.message.size() - in.offset;
        const size_t n = std::min<size_t>(left, size);
        if (n) std::memcpy(buffer, in.message.data() + in.offset, n);
        in.offset += n;
        read = static_cast<uint32_t>(n);
        if (in.offset == in.message.size()) {
            in.clear();
            return err::success;
        }
        return end->message_mode ? err::more_data : err::success;
    }

    Error write(Handle h, const void* data, uint32_t size, uint32_t& written, uint32_t timeout_ms) override
    {
        written = 0;
        auto end = find(h);
        if (!end) return err::invalid_handle;
        if (size > max_pipe_message || (!data && size)) return err::invalid_parameter;
        std::lock_guard io(end->write_m);
        int fd;
        if (Error e = usable_fd(*end, fd)) return e;
        if (end->dropped) return err::pipe_not_connected;
        if (Error e = send_message(fd, static_cast<const uint8_t*>(data), size, timeout_ms)) {
            // The server is gone; if it said goodbye, that was a disconnect.
            uint8_t kind = 0;
            if (e == err::no_data && ::recv(fd, &kind, 1, MSG_PEEK | MSG_DONTWAIT) == 1 && kind == disconnected) {
                end->dropped = true;
                return err::pipe_not_connected;
            }
            return e;
        }
        written = size;
        return err::success;
    }

    Error flush(Handle h, uint32_t timeout_ms) override
    {
        auto end = find(h);
        if (!end) return err::invalid_handle;
        std::lock_guard io(end->write_m);
        int fd;
        if (Error e = usable_fd(*end, fd)) return e;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms == infinite ? 0 : timeout_ms);
        // A Unix socket charges what it sent to the sender until the receiver has taken it, so an
        // empty send queue means the other end read everything (or is gone).
        for (;;) {
            int queued = 0;
            if (::ioctl(fd, SIOCOUTQ, &queued) != 0 || queued <= 0) return err::success;
            if (timeout_ms != infinite && Clock::now() >= deadline) return err::timeout;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    Error client_process(Handle server, uint32_t& pid, bool& privileged) override
    {
        pid = 0;
        privileged = false;
        auto end = find(server);
        if (!end || !end->server) return err::invalid_handle;
        int fd;
        if (Error e = usable_fd(*end, fd)) return e;
        ucred cred{};
        socklen_t len = sizeof cred;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return from_errno(errno);
        pid = static_cast<uint32_t>(cred.pid);
        privileged = cred.uid == 0 || cred.uid == ::geteuid();
        return err::success;
    }

    Error close(Handle h) override
    {
        std::lock_guard table_lock(m_);
        auto it = ends_.find(h);
        if (it == ends_.end()) return err::invalid_handle;
        std::shared_ptr<PipeEnd> end = std::move(it->second);
        ends_.erase(it);
        if (!end->server) {
            std::scoped_lock io(end->read_m, end->write_m);
            if (end->fd >= 0) ::close(end->fd);
            end->fd = -1;
            return err::success;
        }
        std::shared_ptr<Listener> listener = end->listener;
        bool last;
        {
            std::lock_guard lock(listener->m);
            if (end->fd >= 0) ::close(end->fd);
            end->fd = -1;
            end->state = PipeEnd::State::closed;
            auto& v = listener->instances;
            v.erase(std::remove(v.begin(), v.end(), end.get()), v.end());
            last = v.empty();
            listener->cv.notify_all();
        }
        // With no instance left the name is free again: clients get 2, as on Windows.
        if (last) drop_listener(listener->name);
        return err::success;
    }

private:
    // Binds the socket of a name that this process does not serve yet. Called under m_.
    std::shared_ptr<Listener> listen(const std::u16string& name, const PipeServerOptions& options, Error& e)
    {
        auto l = std::make_shared<Listener>();
        l->name = name;
        l->max_instances = options.max_instances;
        std::string lock_path;
        if (!pipe_files(name, l->socket_path, lock_path)) {
            e = err::invalid_name;
            return nullptr;
        }
        const std::string socket_path = l->socket_path;
        l->socket_path.clear(); // not ours to remove until the lock is held

        // The lock file is ours alone, so no other user can take the name by holding its lock.
        l->lock_fd = objects::open_own_file(lock_path);
        if (l->lock_fd < 0) {
            e = from_errno(errno);
            return nullptr;
        }
        if (objects::lock_byte(l->lock_fd, 0, F_WRLCK, false) != 0) {
            // Another process serves this name; one process serves a name here.
            l->shut();
            e = err::pipe_busy;
            return nullptr;
        }
        l->socket_path = socket_path;
        ::unlink(socket_path.c_str()); // left by a process that died serving it

        l->listen_fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const sockaddr_un a = address_of(socket_path);
        if (l->listen_fd < 0 || ::bind(l->listen_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
            ::chmod(socket_path.c_str(), options.system_and_everyone ? 0666 : 0600) != 0 ||
            ::listen(l->listen_fd, 64) != 0) {
            e = from_errno(errno);
            l->shut();
            return nullptr;
        }
        l->wake_fd = ::eventfd(0, EFD_CLOEXEC);
        if (l->wake_fd < 0) {
            e = from_errno(errno);
            l->shut();
            return nullptr;
        }
        Listener* raw = l.get();
        l->acceptor = std::thread([raw] { raw->accept_loop(); });
        return l;
    }

    // Called under m_.
    void drop_listener(const std::u16string& name)
    {
        auto it = listeners_.find(name);
        if (it == listeners_.end()) return;
        std::shared_ptr<Listener> l = std::move(it->second);
        listeners_.erase(it);
        l->shut();
    }

    // The connection of an end, or the error Windows gives for the state of the instance.
    static Error usable_fd(PipeEnd& end, int& fd)
    {
        fd = -1;
        if (!end.server) {
            fd = end.fd;
            return fd >= 0 ? err::success : err::invalid_handle;
        }
        std::lock_guard lock(end.listener->m);
        switch (end.state) {
        case PipeEnd::State::connected: fd = end.fd; return err::success;
        case PipeEnd::State::listening: return err::pipe_listening;
        case PipeEnd::State::disconnected: return err::pipe_not_connected;
        case PipeEnd::State::closed: return err::invalid_handle;
        }
        return err::invalid_handle;
    }

    Handle add_locked(std::shared_ptr<PipeEnd> end)
    {
        next_ += 4;
        ends_[next_] = std::move(end);
        return next_;
    }

    std::shared_ptr<PipeEnd> find(Handle h)
    {
        std::lock_guard lock(m_);
        auto it = ends_.find(h);
        return it == ends_.end() ? nullptr : it->second;
    }

    std::mutex m_;
    std::unordered_map<Handle, std::shared_ptr<PipeEnd>> ends_;
    std::map<std::u16string, std::shared_ptr<Listener>> listeners_;
    Handle next_ = 0;
};

} // namespace
} // namespace platform::posix

namespace platform::backend {
Pipes* native_pipes()
{
    static posix::PosixPipes* instance = new posix::PosixPipes; // never destroyed: used until exit
    return instance;
}
} // namespace platform::backend
