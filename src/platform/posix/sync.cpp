// Mutexes and events of the emulated machine (see sync.h for the model).
#include "platform/sync.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/native.h"
#include "platform/posix/common.h"
#include "platform/posix/objects.h"

namespace platform::posix {
namespace {

using Clock = std::chrono::steady_clock;

struct Object {
    enum class Kind { mutex, event };
    Kind kind = Kind::mutex;
    int fd = -1;             // the object file (-1 for an unnamed mutex, which nobody can see)
    bool manual_reset = true;
    std::string published;   // events: <objects>/handle.<pid>.<value>, removed with the handle

    ~Object()
    {
        if (!published.empty()) ::unlink(published.c_str());
        if (fd >= 0) ::close(fd);
    }
};

std::string handle_path(const std::string& folder, pid_t pid, Handle value)
{
    return folder + "/handle." + std::to_string(pid) + "." + std::to_string(value);
}

int open_object(const std::string& path, int flags)
{
    for (;;) {
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

// A FIFO's readability is the event's state.
bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

void drain(int fd)
{
    char buf[64];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
}

void signal_fifo(int fd)
{
    // Under the guard, so two setters never leave two bytes (an auto-reset event would then let
    // two waits through).
    if (!readable(fd)) {
        const char b = 1;
        while (::write(fd, &b, 1) < 0 && errno == EINTR) {
        }
    }
}

// Auto-reset events carry the owner-execute bit on their FIFO, so that every process opening the
// object, by name or by handle value, sees the same kind.
constexpr mode_t auto_reset_mark = S_IXUSR;

class PosixSync final : public Sync {
public:
    Error create_mutex(const std::u16string& name, Handle& out) override
    {
        out = null_handle;
        auto obj = std::make_shared<Object>();
        obj->kind = Object::Kind::mutex;
        const std::u16string_view plain = objects::strip_namespace(name);
        if (plain.empty()) {
            out = add(std::move(obj));
            return err::success;
        }
        const std::string path = objects::folder() + "/" + objects::file_name("mutex", plain);
        obj->fd = objects::open_own_file(path);
        if (obj->fd < 0) return from_errno(errno);

        bool existed;
        {
            objects::Guard g(obj->fd);
            existed = objects::locked_by_other(obj->fd, objects::holders);
            if (int e = objects::lock_byte(obj->fd, objects::holders, F_RDLCK, true))
                return from_errno(e);
        }
        out = add(std::move(obj));
        return existed ? err::already_exists : err::success;
    }

    Error open_mutex(const std::u16string& name, Handle& out) override
    {
        out = null_handle;
        const std::u16string_view plain = objects::strip_namespace(name);
        if (plain.empty()) return err::file_not_found;
        const std::string path = objects::folder() + "/" + objects::file_name("mutex", plain);
        auto obj = std::make_shared<Object>();
        obj->kind = Object::Kind::mutex;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && (!S_ISREG(st.st_mode) || !objects::trusted_owner(st.st_uid)))
            return err::file_not_found;
        obj->fd = open_object(path, O_RDWR | O_NOFOLLOW);
        if (obj->fd < 0) {
            const int e = errno;
            if (e != EACCES && e != EPERM) return from_errno(e);
            // The file of a user whose security denies us: whether a holder is alive can still be
            // seen. Windows answers 5 for a live one.
            return objects::held_by_anyone(path) ? err::access_denied : err::file_not_found;
        }
        {
            objects::Guard g(obj->fd);
            if (!objects::locked_by_other(obj->fd, objects::holders)) return err::file_not_found;
            if (int e = objects::lock_byte(obj->fd, objects::holders, F_RDLCK, true))
                return from_errno(e);
        }
        out = add(std::move(obj));
        return err::success;
    }

    Error create_event(bool manual_reset, bool initially_set, const std::u16string& name,
                       Handle& out) override
    {
        out = null_handle;
        const std::string folder = objects::folder();
        const Handle value = reserve();
        const std::string published = handle_path(folder, ::getpid(), value);
        const std::u16string_view plain = objects::strip_namespace(name);
        const mode_t mode = objects::file_mode | (manual_reset ? 0 : auto_reset_mark);

        auto obj = std::make_shared<Object>();
        obj->kind = Object::Kind::event;
        obj->manual_reset = manual_reset;
        bool existed = false;

        if (plain.empty()) {
            // An unnamed event is reachable only through its handle value: its FIFO is the
            // published file itself.
            ::unlink(published.c_str()); // left by a dead process whose id we now have
            if (::mkfifo(published.c_str(), mode) != 0) return from_errno(errno);
            obj->fd = open_object(published, O_RDWR | O_NONBLOCK);
            if (obj->fd < 0) {
                const int e = errno;
                ::unlink(published.c_str());
                return from_errno(e);
            }
            obj->published = published;
            ::fchmod(obj->fd, mode);
            objects::lock_byte(obj->fd, objects::holders, F_RDLCK, true);
            if (initially_set) signal_fifo(obj->fd);
        } else {
            const std::string path = folder + "/" + objects::file_name("event", plain);
            if (::mkfifo(path.c_str(), mode) != 0 && errno != EEXIST) return from_errno(errno);
            obj->fd = open_object(path, O_RDWR | O_NONBLOCK);
            if (obj->fd < 0) return from_errno(errno);
            struct stat st {};
            if (::fstat(obj->fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return err::invalid_handle;
            if (!objects::trusted_owner(st.st_uid)) return err::access_denied;
            {
                objects::Guard g(obj->fd);
                existed = objects::locked_by_other(obj->fd, objects::holders);
                if (!existed) {
                    // A left-over file of an event that ended: this is a new event, with our kind.
                    ::fchmod(obj->fd, mode);
                    drain(obj->fd);
                    if (initially_set) signal_fifo(obj->fd);
                } else {
                    obj->manual_reset = (st.st_mode & auto_reset_mark) == 0;
                }
                objects::lock_byte(obj->fd, objects::holders, F_RDLCK, true);
            }
            if (!publish(*obj, published)) return err::gen_failure;
        }
        out = value;
        insert(value, std::move(obj));
        return existed ? err::already_exists : err::success;
    }

    Error set_event(Handle h) override
    {
        auto obj = find(h);
        if (!obj || obj->kind != Object::Kind::event) return err::invalid_handle;
        objects::Guard g(obj->fd);
        signal_fifo(obj->fd);
        return err::success;
    }

    Error reset_event(Handle h) override
    {
        auto obj = find(h);
        if (!obj || obj->kind != Object::Kind::event) return err::invalid_handle;
        objects::Guard g(obj->fd);
        drain(obj->fd);
        return err::success;
    }

    Error open_event_of(uint32_t owner_pid, Handle value, Handle& out) override
    {
        out = null_handle;
        if (!objects::process_exists(static_cast<pid_t>(owner_pid))) return err::invalid_parameter;
        const std::string folder = objects::folder();
        const std::string source = handle_path(folder, static_cast<pid_t>(owner_pid), value);
        auto obj = std::make_shared<Object>();
        obj->kind = Object::Kind::event;
        obj->fd = open_object(source, O_RDWR | O_NONBLOCK);
        if (obj->fd < 0) return errno == ENOENT ? err::invalid_handle : from_errno(errno);
        struct stat st {};
        if (::fstat(obj->fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return err::invalid_handle;
        // A handle file another user put into a shared folder is none of the owner's handles.
        if (!objects::trusted_owner(st.st_uid)) return err::access_denied;
        {
            objects::Guard g(obj->fd);
            // A file whose holders are all gone is a handle that was never closed by a process
            // that died; it names nothing any more.
            if (!objects::locked_by_other(obj->fd, objects::holders)) return err::invalid_handle;
            objects::lock_byte(obj->fd, objects::holders, F_RDLCK, true);
        }
        obj->manual_reset = (st.st_mode & auto_reset_mark) == 0;
        const Handle mine = reserve();
        // Others may open this handle by its value too, when the link can be made (a FIFO of
        // another user cannot be linked under protected_hardlinks); ours works either way.
        publish(*obj, handle_path(folder, ::getpid(), mine));
        out = mine;
        insert(mine, std::move(obj));
        return err::success;
    }

    Error close(Handle h) override
    {
        std::shared_ptr<Object> obj;
        {
            std::lock_guard lock(m_);
            auto it = table_.find(h);
            if (it == table_.end()) return err::invalid_handle;
            obj = std::move(it->second);
            table_.erase(it);
        }
        return err::success; // the last reference (ours, or a wait's) closes the descriptor
    }

    Error wait_any(const std::vector<Handle>& handles, uint32_t timeout_ms, size_t& index) override
    {
        index = 0;
        if (handles.empty() || handles.size() > max_wait_handles) return err::invalid_parameter;
        std::vector<std::shared_ptr<Object>> objs;
        std::vector<pollfd> fds;
        for (Handle h : handles) {
            auto obj = find(h);
            if (!obj || obj->kind != Object::Kind::event) return err::invalid_handle;
            fds.push_back(pollfd{obj->fd, POLLIN, 0});
            objs.push_back(std::move(obj));
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            int wait_ms = -1;
            if (timeout_ms != infinite) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
                wait_ms = left > 0 ? static_cast<int>(std::min<long long>(left, 0x7FFFFFFF)) : 0;
            }
            for (auto& p : fds) p.revents = 0;
            const int n = ::poll(fds.data(), fds.size(), wait_ms);
            if (n < 0 && errno != EINTR) return err::gen_failure;
            if (n > 0) {
                for (size_t i = 0; i < fds.size(); ++i) {
                    if (!(fds[i].revents & POLLIN)) continue;
                    if (objs[i]->manual_reset) {
                        index = i;
                        return err::success;
                    }
                    // An auto-reset event lets one wait through: whoever takes the byte.
                    char b;
                    if (::read(fds[i].fd, &b, 1) == 1) {
                        index = i;
                        return err::success;
                    }
                }
            }
            if (n == 0 && wait_ms == 0) return err::wait_timeout;
        }
    }

    Error wait(Handle h, uint32_t timeout_ms) override
    {
        size_t index;
        return wait_any({h}, timeout_ms, index);
    }

    void sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

private:
    Handle reserve()
    {
        std::lock_guard lock(m_);
        next_ += 4; // Windows-like values: multiples of 4, never 0
        return next_;
    }

    void insert(Handle h, std::shared_ptr<Object> obj)
    {
        std::lock_guard lock(m_);
        table_[h] = std::move(obj);
    }

    Handle add(std::shared_ptr<Object> obj)
    {
        const Handle h = reserve();
        insert(h, std::move(obj));
        return h;
    }

    std::shared_ptr<Object> find(Handle h)
    {
        std::lock_guard lock(m_);
        auto it = table_.find(h);
        return it == table_.end() ? nullptr : it->second;
    }

    // Makes the handle openable by value from other processes: a hard link to the object's FIFO,
    // made from the open descriptor so that it is the very object this handle holds.
    static bool publish(Object& obj, const std::string& published)
    {
        ::unlink(published.c_str()); // left by a dead process whose id we now have
        const std::string self = "/proc/self/fd/" + std::to_string(obj.fd);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, published.c_str(), AT_SYMLINK_FOLLOW) != 0)
            return false;
        obj.published = published;
        return true;
    }

    std::mutex m_;
    std::unordered_map<Handle, std::shared_ptr<Object>> table_;
    Handle next_ = 0;
};

} // namespace
} // namespace platform::posix

namespace platform::backend {
Sync* native_sync()
{
    static posix::PosixSync* instance = new posix::PosixSync; // never destroyed: used until exit
    return instance;
}
} // namespace platform::backend
