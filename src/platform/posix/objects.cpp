#include "platform/posix/objects.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <chrono>
#include <optional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/root.h"
#include "platform/system.h"
#include "text/text.h"

namespace platform::posix::objects {

std::string folder()
{
    return root_folder("objects");
}

std::u16string_view strip_namespace(std::u16string_view name)
{
    for (std::u16string_view prefix : {std::u16string_view(u"Global\\"), std::u16string_view(u"Local\\")}) {
        if (name.substr(0, prefix.size()) == prefix) return name.substr(prefix.size());
    }
    return name;
}

std::string file_name(std::string_view kind, std::u16string_view name, size_t limit)
{
    const std::string utf8 = text::to_utf8(name);
    std::string out(kind);
    out += '.';
    for (unsigned char c : utf8) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '_' || c == '-';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            char esc[4];
            std::snprintf(esc, sizeof esc, "%%%02X", c);
            out += esc;
        }
    }
    if (out.size() <= limit) return out;

    // Two FNV-1a passes with different offsets: 128 bits, plenty to keep the long names apart.
    uint64_t a = 0xcbf29ce484222325ull, b = 0x84222325cbf29ce4ull;
    for (unsigned char c : utf8) {
        a = (a ^ c) * 0x100000001b3ull;
        b = (b ^ c) * 0x100000001b3ull;
    }
    char hash[40];
    std::snprintf(hash, sizeof hash, "h-%016llx%016llx", static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b));
    return std::string(kind) + "." + hash;
}

int lock_byte(int fd, off_t byte, short type, bool wait, off_t count)
{
    struct flock l {};
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = byte;
    l.l_len = count;
    // The clock is read only once the lock has been refused: a lock had at once costs one call.
    std::optional<std::chrono::steady_clock::time_point> deadline;
    for (;;) {
        if (::fcntl(fd, F_OFD_SETLK, &l) == 0) return 0;
        const int e = errno;
        if (e == EINTR) continue;
        if (!wait || (e != EAGAIN && e != EACCES)) return e;
        const auto now = std::chrono::steady_clock::now();
        if (!deadline) deadline = now + std::chrono::milliseconds(lock_wait_limit_ms);
        if (now >= *deadline) return ETIMEDOUT;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool trusted_owner(uid_t owner)
{
    return owner == ::geteuid() || owner == 0;
}

int open_own_file(const std::string& path, int extra_flags, mode_t mode)
{
    for (int attempt = 0; attempt < 4; ++attempt) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | extra_flags, mode);
        if (fd >= 0) {
            ::fchmod(fd, mode); // the umask must not decide who may use it
            return fd;
        }
        if (errno == EINTR) continue;
        if (errno != EEXIST) return -1;
        fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | extra_flags);
        if (fd < 0) {
            if (errno == ENOENT || errno == EINTR) continue; // removed meanwhile: make it
            if (errno == ELOOP && ::unlink(path.c_str()) == 0) continue; // a link is never ours
            return -1;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            ::close(fd);
            return -1;
        }
        if (trusted_owner(st.st_uid)) {
            if (st.st_uid == ::geteuid() && (st.st_mode & 07777) != mode) ::fchmod(fd, mode);
            return fd;
        }
        ::close(fd);
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            errno = EACCES;
            return -1;
        }
    }
    errno = EACCES;
    return -1;
}

int hold_lock_file(const std::string& path, std::string_view what)
{
    // A lock file that others could open (left so by an older version, or widened since) may have
    // an open description of theirs holding it: a new file is made in its place, which they
    // cannot open. (A process of ours still holding the old one loses its exclusion for that once.)
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) ::unlink(path.c_str());
    const int fd = open_own_file(path);
    if (fd < 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(lock_wait_limit_ms);
    int pause_ms = 1;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            const int e = errno;
            ::close(fd);
            errno = e;
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
        pause_ms = std::min(pause_ms * 2, 20);
    }
    ::close(fd);
    platform::system().debug_output(text::from_utf8(std::string(what) + ": " + path +
                                                    " still locked by another process after " +
                                                    std::to_string(lock_wait_limit_ms) + " ms\r\n"));
    errno = ETIMEDOUT;
    return -1;
}

bool held_by_anyone(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    FILE* f = std::fopen("/proc/locks", "re");
    if (!f) return false;
    bool held = false;
    char line[512];
    while (!held && std::fgets(line, sizeof line, f)) {
        // "1: OFDLCK  ADVISORY  READ  -1 08:01:1234 0 0" (a blocked waiter's line has "->" after
        // the number; it holds nothing).
        char kind[32], mode[32], rw[32], end[32];
        long pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0, start = 0;
        if (std::strstr(line, "->")) continue;
        const char* colon = std::strchr(line, ':');
        if (!colon) continue;
        if (std::sscanf(colon + 1, "%31s %31s %31s %ld %x:%x:%llu %llu %31s", kind, mode, rw, &pid, &major, &minor,
                        &inode, &start, end) != 9)
            continue;
        if (inode != st.st_ino || major != ::major(st.st_dev) || minor != ::minor(st.st_dev)) continue;
        const bool to_eof = std::strcmp(end, "EOF") == 0;
        const unsigned long long last = to_eof ? ~0ull : std::strtoull(end, nullptr, 10);
        if (start <= uint64_t(holders) && uint64_t(holders) <= last) held = true;
    }
    std::fclose(f);
    return held;
}

bool locked_by_other(int fd, off_t byte, off_t count, short as)
{
    struct flock l {};
    l.l_type = as;
    l.l_whence = SEEK_SET;
    l.l_start = byte;
    l.l_len = count;
    if (::fcntl(fd, F_OFD_GETLK, &l) != 0) return false;
    return l.l_type != F_UNLCK;
}

bool process_exists(pid_t pid)
{
    if (pid <= 0) return false;
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

} // namespace platform::posix::objects
